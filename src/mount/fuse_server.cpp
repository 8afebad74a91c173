// Serving a disc's mount tree through libfuse's low-level interface.
#define FUSE_USE_VERSION 312
#include "fuse_server.h"

#include <fuse_lowlevel.h>
#ifdef ORVEX_LINUX
#include <malloc.h>
#include <sys/mman.h>
#endif
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <utility>

#include "console.h"
#include "decode_cache.h"
#include "file_io.h"

namespace orvex {
namespace {

class Prefetcher;

struct Mount {
  explicit Mount(MountedDisc&& disc)
      : store(std::move(disc.store)),
        tree(std::move(disc.tree)),
        cache(std::make_unique<DecodeCache>(disc.cacheSize)),
        image(disc.image),
        foreground(disc.foreground) {}

  Store store;
  MountTree tree;
  std::unique_ptr<DecodeCache> cache;
  io::FileInfo image;
  bool foreground = false;
  // Every entry belongs to whoever mounted the disc.
  const uid_t owner = getuid();
  const gid_t group = getgid();
  // Opening a file needs no request (the kernel then sends no release
  // either): one round trip fewer for every file read.
  std::atomic<bool> noOpen = false;
  std::mutex mutex;  // guards warned
  std::unordered_set<uint32_t> warned;
  Prefetcher* prefetcher = nullptr;  // once serving
};

// The tree never changes while mounted: the kernel may keep names and
// attributes as long as it likes.
constexpr double kForever = 86400.0 * 365;

Mount& mountOf(fuse_req_t request) { return *static_cast<Mount*>(fuse_req_userdata(request)); }

// Inode numbers are node numbers plus one: the root is FUSE_ROOT_ID.
std::optional<uint32_t> nodeOf(const Mount& m, fuse_ino_t inode) {
  if (inode < FUSE_ROOT_ID || inode - FUSE_ROOT_ID >= m.tree.size()) return std::nullopt;
  return static_cast<uint32_t>(inode - FUSE_ROOT_ID);
}

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

timespec timeOf(const io::FileTime& time) {
  timespec at{};
  at.tv_sec = static_cast<time_t>(time.seconds);
  at.tv_nsec = static_cast<long>(time.nanoseconds);
  return at;
}

void fill(const Mount& m, uint32_t index, struct stat* st) {
  const MountNode& node = m.tree.node(index);
  *st = {};
  st->st_ino = index + FUSE_ROOT_ID;
  const bool folder = node.kind == MountNode::Kind::kFolder;
  st->st_mode = folder ? S_IFDIR | 0555 : S_IFREG | 0444;
  st->st_nlink = folder ? 2 : 1;
  st->st_size = static_cast<off_t>(node.size);
  st->st_blocks = static_cast<blkcnt_t>((node.size + 511) / 512);
  st->st_uid = m.owner;
  st->st_gid = m.group;
  st->st_atim = timeOf(m.image.accessed);
  st->st_mtim = timeOf(m.image.modified);
  st->st_ctim = timeOf(m.image.changed);
}

fuse_entry_param entryOf(const Mount& m, uint32_t index) {
  fuse_entry_param entry{};
  entry.ino = index + FUSE_ROOT_ID;
  entry.attr_timeout = kForever;
  entry.entry_timeout = kForever;
  fill(m, index, &entry.attr);
  return entry;
}

// Room for used bytes in out, asked to be backed by huge pages where whole
// ones fit: decoded files are large and short-lived, so their memory is
// fresh each time, and a huge page takes one fault where small ones take 512.
void reserveFresh(std::vector<uint8_t>* out, size_t used) {
  out->reserve(used);
#ifdef ORVEX_LINUX
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  const auto start = reinterpret_cast<uintptr_t>(out->data());
  const uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t last = (start + used) & ~(kHugePage - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

Status decodeNode(Mount& m, uint32_t index, DecodeCache::Bytes* bytes) {
  const MountNode& node = m.tree.node(index);
  return m.cache->get(
      index, node.size,
      [&](std::vector<uint8_t>* out) {
        const Location where = locateEntry(m.store, node.position);
        // Decoding grows the stored bytes into the file in place.
        if (where.entry != nullptr)
          reserveFresh(out, std::max<size_t>(node.size, where.entry->size));
        return readLocated(m.store, where, out);
      },
      bytes);
}

// Files are most often read whole and one after another in their folder's
// order, as a copy or a walk of the tree reads them. The prefetcher decodes
// what such a reader asks for next on a thread of its own and stores it in
// the kernel's cache, so that reading it takes no request: the reader does
// not wait for this process to wake and answer, file after file.
//
// A read from a file's start claims a window of the files after it; one of
// them, past the window's middle, is only decoded into the cache and left
// for the reader to ask for: its read says how far the reader has got, and
// the next window starts there, ahead of the reader. A file larger than a
// window is led the same way, by its own bytes: a sequential read of it has
// the next stretch stored, but for one page past the middle, whose read
// moves the lead on. A file whose decode fails is left to be read, which
// warns.
class Prefetcher {
 public:
  static constexpr size_t kWindowFiles = 64;
  static constexpr uint64_t kWindowBytes = uint64_t{8} << 20;
  static constexpr uint64_t kPage = 4096;

  explicit Prefetcher(Mount& m)
      : m_(m),
        state_(m.tree.size()),
        place_(m.tree.size()),
        readTo_(m.tree.size()),
        storedTo_(m.tree.size()) {
    for (uint32_t i = 0; i < m.tree.size(); ++i) {
      const std::vector<uint32_t>& children = m.tree.node(i).children;
      for (uint32_t at = 0; at < children.size(); ++at) place_[children[at]] = at;
    }
  }

  void start(fuse_session* session) {
    session_ = session;
    thread_ = std::thread([this] { run(); });
  }

  // Stops the thread. A store it makes may wait for pages a read holds, so
  // requests that arrive meanwhile are answered.
  void stop() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      queue_.clear();
    }
    wake_.notify_all();
    const int fd = fuse_session_fd(session_);
    fuse_buf buffer{};
    while (!idle_.load()) {
      pollfd ready{fd, POLLIN, 0};
      if (poll(&ready, 1, 10) <= 0 || !(ready.revents & POLLIN)) continue;
      const int got = fuse_session_receive_buf(session_, &buffer);
      if (got == -EINTR || got == -EAGAIN) continue;
      if (got <= 0) break;  // unmounted: the store fails too
      fuse_session_process_buf(session_, &buffer);
    }
    free(buffer.mem);
    thread_.join();
  }

  // A read of length bytes of node at offset arrived.
  void read(uint32_t node, uint64_t offset, uint64_t length) {
    std::vector<Job> jobs;
    if (offset == 0) followFile(node, &jobs);
    const uint64_t size = m_.tree.node(node).size;
    const uint64_t end = std::min(size, offset + length);
    const bool sequential = offset == 0 || readTo_[node].load() == offset;
    readTo_[node] = end;
    if (size > kWindowBytes && sequential) {
      const uint64_t from = std::max(end, storedTo_[node].load());
      const uint64_t to = std::min(size, end + kWindowBytes);
      if (from < to) {
        storedTo_[node] = to;
        const uint64_t mark = std::max(from, (end + kWindowBytes / 2) / kPage * kPage);
        jobs.push_back({node, from, to, mark});
      }
    }
    if (jobs.empty()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
      queue_.insert(queue_.end(), jobs.begin(), jobs.end());
      idle_ = false;
    }
    wake_.notify_one();
  }

 private:
  static constexpr uint8_t kFree = 0, kClaimed = 1, kAsked = 2;
  static constexpr uint64_t kNoMark = UINT64_MAX;

  // Bytes begin to end of node to store, but for the page at mark; or, when
  // begin is end, node to decode into the cache.
  struct Job {
    uint32_t node;
    uint64_t begin, end;
    uint64_t mark = kNoMark;
  };

  // Claims the files after node in its folder, as a window.
  void followFile(uint32_t node, std::vector<Job>* jobs) {
    if (state_[node].exchange(kAsked) == kAsked) return;
    const std::vector<uint32_t>& siblings = m_.tree.node(m_.tree.node(node).parent).children;
    size_t files = 0;
    uint64_t bytes = 0;
    size_t marked = SIZE_MAX;
    for (size_t at = place_[node] + 1;
         at < siblings.size() && files < kWindowFiles && bytes < kWindowBytes; ++at) {
      const uint32_t next = siblings[at];
      const MountNode& sibling = m_.tree.node(next);
      if (sibling.kind == MountNode::Kind::kFolder || sibling.size == 0) continue;
      ++files;
      if (sibling.size > kWindowBytes) continue;  // led by its own reads
      bytes += sibling.size;
      uint8_t free = kFree;
      if (!state_[next].compare_exchange_strong(free, kClaimed)) continue;
      const bool past = files > kWindowFiles / 2 || bytes > kWindowBytes / 2;
      if (past && marked == SIZE_MAX) marked = jobs->size();
      jobs->push_back({next, 0, sibling.size});
    }
    if (jobs->empty()) return;
    Job& mark = (*jobs)[marked == SIZE_MAX ? 0 : marked];
    mark.end = mark.begin;
  }

  void run() {
    for (;;) {
      Job job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        if (queue_.empty()) idle_ = true;
        wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) {
          idle_ = true;
          return;
        }
        job = queue_.front();
        queue_.pop_front();
      }
      const MountNode& file = m_.tree.node(job.node);
      if (file.size <= kWindowBytes && state_[job.node].load() == kAsked) continue;
      if (job.begin == job.end) {
        warm(job.node);
      } else if (job.mark == kNoMark) {
        store(job.node, job.begin, job.end);
      } else {
        store(job.node, job.begin, job.mark);
        store(job.node, std::min(job.end, job.mark + kPage), job.end);
      }
    }
  }

  // Decodes node into the cache, for the read that is to come.
  void warm(uint32_t node) {
    const MountNode& file = m_.tree.node(node);
    const uint32_t whole = file.kind == MountNode::Kind::kPiece ? file.source : node;
    if (m_.tree.node(whole).kind != MountNode::Kind::kCompressed) return;
    DecodeCache::Bytes bytes;
    (void)decodeNode(m_, whole, &bytes);
  }

  // Stores bytes begin to end of node in the kernel's cache. A file that
  // fits a window is decoded here, without the cache: the kernel keeps it;
  // a larger one is being read, so the cache holds it.
  void store(uint32_t node, uint64_t begin, uint64_t end) {
    if (begin >= end) return;
    const bool large = m_.tree.node(node).size > kWindowBytes;
    MountSlice slice;
    const Status sliced = sliceMountFile(
        m_.store, m_.tree, node, begin, static_cast<size_t>(end - begin),
        [&](uint32_t whole, DecodeCache::Bytes* bytes) {
          if (large) return decodeNode(m_, whole, bytes);
          const Location where = locateEntry(m_.store, m_.tree.node(whole).position);
          if (Status s = readLocated(m_.store, where, decoded_.get()); !s.isOk()) return s;
          *bytes = decoded_;
          return Status::ok();
        },
        &slice);
    if (!sliced.isOk()) return;
    // Stored bytes go through a buffer of a fixed size, a stretch at a time.
    constexpr size_t kStretch = size_t{1} << 20;
    for (size_t done = 0; done < slice.length;) {
      const size_t length = slice.decoded ? slice.length : std::min(kStretch, slice.length - done);
      const uint8_t* bytes = nullptr;
      if (slice.decoded) {
        bytes = slice.decoded->data() + slice.at;
      } else {
        stored_.resize(kStretch);
        size_t got = 0;
        if (!readImage(m_.store.image, stored_.data(), length, slice.at + done, &got).isOk() ||
            got != length)
          return;
        bytes = stored_.data();
      }
      if (!large && state_[node].load() == kAsked) return;
      fuse_bufvec data = FUSE_BUFVEC_INIT(length);
      data.buf[0].mem = const_cast<uint8_t*>(bytes);
      if (fuse_lowlevel_notify_store(session_, node + FUSE_ROOT_ID,
                                     static_cast<off_t>(begin + done), &data,
                                     fuse_buf_copy_flags{}) != 0)
        return;
      done += length;
    }
  }

  Mount& m_;
  fuse_session* session_ = nullptr;
  std::vector<std::atomic<uint8_t>> state_;      // of files that fit a window
  std::vector<uint32_t> place_;                  // of each node among its folder's children
  std::vector<std::atomic<uint64_t>> readTo_;    // where the last read of each file ended
  std::vector<std::atomic<uint64_t>> storedTo_;  // how far a larger file is led
  std::shared_ptr<std::vector<uint8_t>> decoded_ = std::make_shared<std::vector<uint8_t>>();
  std::vector<uint8_t> stored_;
  std::mutex mutex_;  // guards queue_ and stopping_
  std::condition_variable wake_;
  std::deque<Job> queue_;
  bool stopping_ = false;
  std::atomic<bool> idle_ = true;
  std::thread thread_;
};

void lookupOp(fuse_req_t request, fuse_ino_t parent, const char* name) {
  const Mount& m = mountOf(request);
  const std::optional<uint32_t> folder = nodeOf(m, parent);
  const std::optional<uint32_t> found = folder ? m.tree.child(*folder, name) : std::nullopt;
  if (!found) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  const fuse_entry_param entry = entryOf(m, *found);
  fuse_reply_entry(request, &entry);
}

void getattrOp(fuse_req_t request, fuse_ino_t inode, fuse_file_info*) {
  const Mount& m = mountOf(request);
  const std::optional<uint32_t> index = nodeOf(m, inode);
  if (!index) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  struct stat st;
  fill(m, *index, &st);
  fuse_reply_attr(request, &st, kForever);
}

// A folder's entries from offset on, as many as fit in size: ".", ".." and
// its children, with their attributes when plus is set (the kernel then
// needs no lookup for them).
void listFolder(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset, bool plus) {
  const Mount& m = mountOf(request);
  const std::optional<uint32_t> index = nodeOf(m, inode);
  if (!index || m.tree.node(*index).kind != MountNode::Kind::kFolder) {
    fuse_reply_err(request, index ? ENOTDIR : ENOENT);
    return;
  }
  const MountNode& folder = m.tree.node(*index);
  std::vector<char> buffer(size);
  size_t used = 0;
  for (auto at = static_cast<size_t>(offset); at < folder.children.size() + 2; ++at) {
    const uint32_t entry = at == 0 ? *index : at == 1 ? folder.parent : folder.children[at - 2];
    const char* name = at == 0 ? "." : at == 1 ? ".." : m.tree.node(entry).name.c_str();
    const auto next = static_cast<off_t>(at + 1);
    const fuse_entry_param param = entryOf(m, entry);
    const size_t added = plus ? fuse_add_direntry_plus(request, buffer.data() + used, size - used,
                                                       name, &param, next)
                              : fuse_add_direntry(request, buffer.data() + used, size - used, name,
                                                  &param.attr, next);
    if (added > size - used) break;
    used += added;
  }
  fuse_reply_buf(request, buffer.data(), used);
}

void readdirOp(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset, fuse_file_info*) {
  listFolder(request, inode, size, offset, false);
}

void readdirplusOp(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset,
                   fuse_file_info*) {
  listFolder(request, inode, size, offset, true);
}

void openOp(fuse_req_t request, fuse_ino_t inode, fuse_file_info* fi) {
  const Mount& m = mountOf(request);
  if (m.noOpen) {
    fuse_reply_err(request, ENOSYS);
    return;
  }
  const std::optional<uint32_t> index = nodeOf(m, inode);
  if (!index) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  if ((fi->flags & O_ACCMODE) != O_RDONLY) {
    fuse_reply_err(request, EROFS);
    return;
  }
  fi->keep_cache = 1;
  fi->noflush = 1;
  fuse_reply_open(request, fi);
}

void readOp(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset, fuse_file_info*) {
  Mount& m = mountOf(request);
  const std::optional<uint32_t> index = nodeOf(m, inode);
  if (!index) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  if (m.prefetcher != nullptr) m.prefetcher->read(*index, static_cast<uint64_t>(offset), size);
  uint32_t failed = *index;
  MountSlice slice;
  Status read = sliceMountFile(
      m.store, m.tree, *index, static_cast<uint64_t>(offset), size,
      [&](uint32_t whole, DecodeCache::Bytes* decoded) {
        failed = whole;
        return decodeNode(m, whole, decoded);
      },
      &slice);
  if (read.isOk() && slice.decoded) {
    fuse_reply_buf(request, reinterpret_cast<const char*>(slice.decoded->data() + slice.at),
                   slice.length);
    return;
  }
  // Stored bytes come straight from the image.
  thread_local std::vector<uint8_t> buffer;
  size_t got = 0;
  if (read.isOk()) {
    buffer.resize(std::max(buffer.size(), slice.length));
    read = readImage(m.store.image, buffer.data(), slice.length, slice.at, &got);
  }
  if (!read.isOk()) {
    warnOnce(m, failed, read.message());
    fuse_reply_err(request, EIO);
    return;
  }
  fuse_reply_buf(request, reinterpret_cast<const char*>(buffer.data()), got);
}

// The kernel refuses changes to a read-only mount itself; these answer
// anything that still arrives.
void refuseEntry(fuse_req_t request, fuse_ino_t, const char*) { fuse_reply_err(request, EROFS); }
void refuseMake(fuse_req_t request, fuse_ino_t, const char*, mode_t) {
  fuse_reply_err(request, EROFS);
}
void refuseNode(fuse_req_t request, fuse_ino_t, const char*, mode_t, dev_t) {
  fuse_reply_err(request, EROFS);
}
void refuseSymlink(fuse_req_t request, const char*, fuse_ino_t, const char*) {
  fuse_reply_err(request, EROFS);
}
void refuseRename(fuse_req_t request, fuse_ino_t, const char*, fuse_ino_t, const char*, unsigned) {
  fuse_reply_err(request, EROFS);
}
void refuseLink(fuse_req_t request, fuse_ino_t, fuse_ino_t, const char*) {
  fuse_reply_err(request, EROFS);
}
void refuseSetattr(fuse_req_t request, fuse_ino_t, struct stat*, int, fuse_file_info*) {
  fuse_reply_err(request, EROFS);
}
void refuseWrite(fuse_req_t request, fuse_ino_t, const char*, size_t, off_t, fuse_file_info*) {
  fuse_reply_err(request, EROFS);
}
void refuseCreate(fuse_req_t request, fuse_ino_t, const char*, mode_t, fuse_file_info*) {
  fuse_reply_err(request, EROFS);
}

void initOp(void* userdata, fuse_conn_info* conn) {
  static_cast<Mount*>(userdata)->noOpen = (conn->capable & FUSE_CAP_NO_OPEN_SUPPORT) != 0;
  // Fewer, larger reads: the kernel's readahead reaches further.
  conn->max_readahead = 1 << 20;
  // Attributes with every listing, so that walking the tree needs no lookups.
  if (conn->capable & FUSE_CAP_READDIRPLUS) conn->want |= FUSE_CAP_READDIRPLUS;
  conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
}

fuse_lowlevel_ops operations() {
  fuse_lowlevel_ops ops{};
  ops.init = initOp;
  ops.lookup = lookupOp;
  ops.getattr = getattrOp;
  ops.readdir = readdirOp;
  ops.readdirplus = readdirplusOp;
  ops.open = openOp;
  ops.read = readOp;
  ops.write = refuseWrite;
  ops.create = refuseCreate;
  ops.mknod = refuseNode;
  ops.mkdir = refuseMake;
  ops.unlink = refuseEntry;
  ops.rmdir = refuseEntry;
  ops.symlink = refuseSymlink;
  ops.link = refuseLink;
  ops.rename = refuseRename;
  ops.setattr = refuseSetattr;
  return ops;
}

}  // namespace

int serveMount(MountedDisc disc, const std::string& point,
               const std::vector<std::string>& fuseOptions) {
  auto m = std::make_unique<Mount>(std::move(disc));
  // Decoded files come and go: each large one gets memory of its own, given
  // back when it goes, so that the process stays within the cache's bound
  // (the allocator would otherwise raise this threshold and keep what the
  // cache let go of).
#ifdef ORVEX_LINUX
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
  // libfuse sets its own handlers, which unmount, only over the defaults.
  for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_DFL);
  if (!m->foreground) openlog("orvex-tool", LOG_PID, LOG_USER);

  std::vector<std::string> words = {"orvex-tool", "-o",
                                    "ro,default_permissions,fsname=orvex,subtype=orvex"};
  for (const std::string& o : fuseOptions) words.insert(words.end(), {"-o", o});
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(words.size()), argv.data());
  const fuse_lowlevel_ops ops = operations();
  fuse_session* session = fuse_session_new(&args, &ops, sizeof ops, m.get());
  if (session == nullptr) return 1;
  int status = 1;
  if (fuse_set_signal_handlers(session) == 0) {
    if (fuse_session_mount(session, point.c_str()) == 0) {
      if (fuse_daemonize(m->foreground ? 1 : 0) == 0) {
        // A thread for each core and one to spare for requests that would
        // otherwise wait while every core decodes: more threads only take
        // turns on the cores, and each turn delays a reader.
        const unsigned threads = std::max(1u, std::thread::hardware_concurrency()) + 1;
        fuse_loop_config* loop = fuse_loop_cfg_create();
        fuse_loop_cfg_set_max_threads(loop, threads);
        fuse_loop_cfg_set_idle_threads(loop, threads);
        Prefetcher prefetcher(*m);
        prefetcher.start(session);
        m->prefetcher = &prefetcher;
        // A signal that asked to stop is a clean end.
        status = fuse_session_loop_mt(session, loop) < 0 ? 1 : 0;
        prefetcher.stop();
        m->prefetcher = nullptr;
        fuse_loop_cfg_destroy(loop);
      }
      fuse_session_unmount(session);
    }
    fuse_remove_signal_handlers(session);
  }
  fuse_session_destroy(session);
  fuse_opt_free_args(&args);
  return status;
}

}  // namespace orvex
