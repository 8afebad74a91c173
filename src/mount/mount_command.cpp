// orvex-tool mount: the disc as a read-only file system, through libfuse.
#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <ostream>
#include <unordered_set>

#include "command_line.h"
#include "console.h"
#include "decode_cache.h"
#include "file_io.h"
#include "mount_tree.h"
#include "tool.h"

namespace orvex {
namespace {

constexpr char kUsage[] =
    "usage: orvex-tool mount [OPTIONS] IMAGE INDEX MOUNTPOINT\n"
    "\n"
    "Shows the disc read-only at MOUNTPOINT: the tree 'orvex-tool extract' writes into\n"
    "an empty folder with the same options, and the entries no name reaches in the\n"
    "folder _unnamed, named as 'orvex-tool unnamed' names them. Only the lists, the\n"
    "event table and the event files are read at mount; a file is decoded when it\n"
    "is first read, into a cache of bounded size. Unmount with 'fusermount3 -u\n"
    "MOUNTPOINT' (or, with -f, Ctrl-C).\n"
    "\n"
    "  --events FILE       read the event table from FILE\n"
    "  --names FILE        also learn names from this names file (repeatable)\n"
    "  --no-unnamed        leave out the entries no name reaches\n"
    "  --cache-size SIZE   bytes of decoded files kept (default 64M; K, M, G allowed)\n"
    "  -f, --foreground    stay in the foreground; warnings go to standard error\n"
    "                      (else to the system log)\n"
    "  -o OPTIONS          FUSE mount options, such as allow_other\n"
    "  -h, --help          show this help\n";

int usageError(std::ostream& err, const std::string& message) {
  return orvex::usageError(err, "mount", message);
}

// A size with an optional K, M or G (powers of 1024); 0 when it is none.
uint64_t parseSize(const std::string& text) {
  if (text.empty()) return 0;
  uint64_t value = 0;
  size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value > (UINT64_MAX - 9) / 10) return 0;
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  if (i == 0) return 0;
  const std::string unit = text.substr(i);
  const int shift = unit.empty() ? 0 : unit == "K" ? 10 : unit == "M" ? 20 : unit == "G" ? 30 : -1;
  if (shift < 0 || value > (UINT64_MAX >> shift)) return 0;
  return value << shift;
}

struct Mount {
  Store store;
  MountTree tree;
  std::unique_ptr<DecodeCache> cache;
  struct stat image {};
  bool foreground = false;
  std::mutex mutex;  // guards warned
  std::unordered_set<uint32_t> warned;
};

Mount& mount() { return *static_cast<Mount*>(fuse_get_context()->private_data); }

// One warning for each file that cannot be read.
void warnOnce(Mount& m, uint32_t node, const std::string& why) {
  {
    std::lock_guard<std::mutex> lock(m.mutex);
    if (!m.warned.insert(node).second) return;
  }
  const std::string line = "orvex-tool: mount: warning: " + shownName(m.tree.pathOf(node)) + ": " +
                           why + "; reads fail with EIO";
  if (m.foreground) {
    std::cerr << line << std::endl;
  } else {
    syslog(LOG_WARNING, "%s", line.c_str());
  }
}

void fill(const Mount& m, uint32_t index, struct stat* st) {
  const MountNode& node = m.tree.node(index);
  *st = {};
  st->st_ino = index + 1;
  const bool folder = node.kind == MountNode::Kind::kFolder;
  st->st_mode = folder ? S_IFDIR | 0555 : S_IFREG | 0444;
  st->st_nlink = folder ? 2 : 1;
  st->st_size = static_cast<off_t>(node.size);
  st->st_blocks = static_cast<blkcnt_t>((node.size + 511) / 512);
  st->st_uid = getuid();
  st->st_gid = getgid();
  st->st_atim = m.image.st_atim;
  st->st_mtim = m.image.st_mtim;
  st->st_ctim = m.image.st_ctim;
}

// The decoded bytes a large file's open handle holds: decoded alone, never
// kept in the cache.
struct Handle {
  DecodeCache::Bytes bytes;
};

Status decodeNode(Mount& m, uint32_t index, DecodeCache::Bytes* bytes) {
  const MountNode& node = m.tree.node(index);
  return m.cache->get(
      index, node.size,
      [&](std::vector<uint8_t>* out) {
        return readLocated(m.store, locateEntry(m.store, node.position), out);
      },
      bytes);
}

int getattrOp(const char* path, struct stat* st, fuse_file_info*) {
  Mount& m = mount();
  const std::optional<uint32_t> index = m.tree.find(path);
  if (!index) return -ENOENT;
  fill(m, *index, st);
  return 0;
}

int readdirOp(const char* path, void* buf, fuse_fill_dir_t filler, off_t, fuse_file_info*,
              fuse_readdir_flags) {
  Mount& m = mount();
  const std::optional<uint32_t> index = m.tree.find(path);
  if (!index) return -ENOENT;
  if (m.tree.node(*index).kind != MountNode::Kind::kFolder) return -ENOTDIR;
  struct stat st;
  fill(m, *index, &st);
  filler(buf, ".", &st, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(m, m.tree.node(*index).parent, &st);
  filler(buf, "..", &st, 0, static_cast<fuse_fill_dir_flags>(0));
  for (uint32_t child : m.tree.node(*index).children) {
    fill(m, child, &st);
    if (filler(buf, m.tree.node(child).name.c_str(), &st, 0, static_cast<fuse_fill_dir_flags>(0)))
      break;
  }
  return 0;
}

int openOp(const char* path, fuse_file_info* fi) {
  Mount& m = mount();
  const std::optional<uint32_t> index = m.tree.find(path);
  if (!index) return -ENOENT;
  if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  const MountNode& node = m.tree.node(*index);
  if (node.kind == MountNode::Kind::kFolder) return -EISDIR;
  fi->fh = 0;
  const uint32_t whole = node.kind == MountNode::Kind::kPiece ? node.source : *index;
  if (m.tree.node(whole).kind == MountNode::Kind::kCompressed &&
      m.tree.node(whole).size > m.cache->capacity()) {
    auto handle = std::make_unique<Handle>();
    if (const Status s = decodeNode(m, whole, &handle->bytes); !s.isOk()) {
      warnOnce(m, whole, s.message());
      return -EIO;
    }
    fi->fh = reinterpret_cast<uint64_t>(handle.release());
  }
  fi->keep_cache = 1;
  return 0;
}

int readOp(const char* path, char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  Mount& m = mount();
  const std::optional<uint32_t> index = m.tree.find(path);
  if (!index) return -ENOENT;
  const Handle* handle = reinterpret_cast<const Handle*>(fi->fh);
  size_t got = 0;
  uint32_t failed = *index;
  const Status read = readMountFile(
      m.store, m.tree, *index, static_cast<uint64_t>(offset), reinterpret_cast<uint8_t*>(buf), size,
      [&](uint32_t whole, DecodeCache::Bytes* decoded) {
        failed = whole;
        if (handle != nullptr) {
          *decoded = handle->bytes;
          return Status::ok();
        }
        return decodeNode(m, whole, decoded);
      },
      &got);
  if (!read.isOk()) {
    warnOnce(m, failed, read.message());
    return -EIO;
  }
  return static_cast<int>(got);
}

int releaseOp(const char*, fuse_file_info* fi) {
  delete reinterpret_cast<Handle*>(fi->fh);
  return 0;
}

int readOnly() { return -EROFS; }
int writeOp(const char*, const char*, size_t, off_t, fuse_file_info*) { return readOnly(); }
int createOp(const char*, mode_t, fuse_file_info*) { return readOnly(); }
int mknodOp(const char*, mode_t, dev_t) { return readOnly(); }
int mkdirOp(const char*, mode_t) { return readOnly(); }
int pathOp(const char*) { return readOnly(); }
int twoPathOp(const char*, const char*) { return readOnly(); }
int renameOp(const char*, const char*, unsigned) { return readOnly(); }
int chmodOp(const char*, mode_t, fuse_file_info*) { return readOnly(); }
int chownOp(const char*, uid_t, gid_t, fuse_file_info*) { return readOnly(); }
int truncateOp(const char*, off_t, fuse_file_info*) { return readOnly(); }
int utimensOp(const char*, const timespec[2], fuse_file_info*) { return readOnly(); }

void* initOp(fuse_conn_info* conn, fuse_config* config) {
  config->use_ino = 1;
  config->kernel_cache = 1;
  // Fewer, larger reads: the kernel's readahead reaches further.
  conn->max_readahead = 1 << 20;
  // The tree never changes while mounted: lookups and attributes may be
  // kept as long as the kernel likes.
  config->entry_timeout = 86400;
  config->attr_timeout = 86400;
  return fuse_get_context()->private_data;
}

fuse_operations operations() {
  fuse_operations ops{};
  ops.init = initOp;
  ops.getattr = getattrOp;
  ops.readdir = readdirOp;
  ops.open = openOp;
  ops.read = readOp;
  ops.release = releaseOp;
  ops.write = writeOp;
  ops.create = createOp;
  ops.mknod = mknodOp;
  ops.mkdir = mkdirOp;
  ops.unlink = pathOp;
  ops.rmdir = pathOp;
  ops.symlink = twoPathOp;
  ops.link = twoPathOp;
  ops.rename = renameOp;
  ops.chmod = chmodOp;
  ops.chown = chownOp;
  ops.truncate = truncateOp;
  ops.utimens = utimensOp;
  return ops;
}

}  // namespace

int runMountCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  auto m = std::make_unique<Mount>();
  MountOptions options;
  uint64_t cacheSize = uint64_t{64} << 20;
  std::vector<std::string> fuseOptions;
  const CommandLine line = splitCommandLine(args, {"--events", "--cache-size", "-o", "--names"});
  for (const CommandOption& option : line.options) {
    if (isHelpOption(option)) return printHelp(out, kUsage);
    if (option.name == "--events" || option.name == "-o") {
      if (!option.value || option.value->empty())
        return usageError(err, option.name + " needs a value");
      if (option.name == "-o")
        fuseOptions.push_back(*option.value);
      else
        options.walk.eventsTablePath = option.value;
    } else if (option.name == "--cache-size") {
      cacheSize = option.value ? parseSize(*option.value) : 0;
      if (cacheSize == 0) return usageError(err, "--cache-size needs a size such as 64M");
    } else if (option.name == "-f" || option.name == "--foreground") {
      m->foreground = true;
    } else if (option.name == "--names") {
      if (!option.value || option.value->empty()) return usageError(err, "--names needs a FILE");
    } else if (option.name == "--no-unnamed") {
      options.unnamed = false;
    } else {
      return usageError(err, "unknown option '" + option.name + "'");
    }
  }
  if (line.operands.size() != 3) return usageError(err, "expected IMAGE INDEX MOUNTPOINT");
  if (options.walk.eventsTablePath) {
    std::vector<uint8_t> table;
    const Status read = io::readUserFile(*options.walk.eventsTablePath, &table);
    if (!read.isOk()) {
      err << "orvex-tool: mount: cannot read event table " << *options.walk.eventsTablePath << ": "
          << read.message() << '\n';
      return 1;
    }
  }
  if (!readNamesFiles("mount", line.options, &options.walk.givenNames, err)) return 1;
  Problems oddities;
  if (!openCommandStore("mount", line.operands[0], line.operands[1], &m->store, &oddities, err))
    return 1;
  printOddities("mount", oddities, err);
  if (io::realFs().fstat(m->store.image.fd(), &m->image) != 0) m->image = {};
  Problems warnings;
  m->tree = MountTree::build(m->store, options, &warnings);
  warnings.print(err, "orvex-tool: mount: warning");
  m->cache = std::make_unique<DecodeCache>(cacheSize);
  // Decoded files come and go: each large one gets memory of its own, given
  // back when it goes, so that the process stays within the cache's bound
  // (the allocator would otherwise raise this threshold and keep what the
  // cache let go of).
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);

  // libfuse sets its own handlers, which unmount, only over the defaults.
  for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_DFL);
  std::vector<std::string> words = {"orvex-tool", line.operands[2], "-o",
                                    "ro,default_permissions,fsname=orvex,subtype=orvex"};
  for (const std::string& o : fuseOptions) words.insert(words.end(), {"-o", o});
  if (m->foreground) words.push_back("-f");
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  out.flush();
  err.flush();
  if (!m->foreground) openlog("orvex-tool", LOG_PID, LOG_USER);
  const fuse_operations ops = operations();
  const int status = fuse_main(static_cast<int>(argv.size() - 1), argv.data(), &ops, m.get());
  return status == 0 ? 0 : 1;
}

}  // namespace orvex
