#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <ostream>

#include "command_line.h"
#include "console.h"
#include "file_io.h"
#include "store.h"
#include "terminal.h"
#include "tool.h"
#include "walk.h"

namespace orvex {
namespace {

constexpr char kUsage[] =
    "usage: orvex-tool cat [--events FILE] IMAGE INDEX NAME...\n"
    "\n"
    "Writes each named file's bytes, decoded when compressed, to standard output,\n"
    "in the order given. A name that reaches no index entry, or whose entry cannot\n"
    "be read, is reported on standard error and the next name follows.\n"
    "\n"
    "  --events FILE  learn event files from the event table FILE: a NAME that is\n"
    "                 one of their pieces (DIR/NNN.mset) and no stored entry gives\n"
    "                 that piece as a run cuts it\n"
    "  --names FILE   a NAME this names file ties to an entry (NAME<TAB>#POSITION)\n"
    "                 reads that entry\n"
    "  --index-in-image PATH\n"
    "                 the index is PATH of the image's ISO 9660 file system\n"
    "                 (see 'orvex-tool disc'); no INDEX operand is given\n"
    "  -h, --help     show this help\n"
    "\n"
    "Exit status: 0 when every file was written out; 1 when one could not be, or\n"
    "the image or the index cannot be opened; 2 on bad usage.\n";

const CommandSpec kCommand{
    "cat", kUsage, {eventsOption(), namesOption("a path"), kIndexInImageOption}};

// A piece of an event file the table names: its bytes as a run cuts them,
// when name is one.
Status readPiece(const Store& store, const PieceFolders& folders, const std::string& name,
                 std::vector<uint8_t>* bytes) {
  std::string dir;
  size_t number = 0;
  const auto event = parsePiecePath(name, &dir, &number) ? folders.eventByFolder.find(dir)
                                                         : folders.eventByFolder.end();
  if (event == folders.eventByFolder.end()) return Status::notFound("no such entry");
  std::vector<uint8_t> file;
  if (Status s = readFile(store, event->second, &file); !s.isOk()) return s;
  std::vector<EventPiece> pieces;
  if (Status s = decodeEventPieces(file.data(), file.size(), &pieces); !s.isOk()) return s;
  if (number >= pieces.size() || !writtenPieces(file.size(), pieces)[number])
    return Status::notFound("no such piece of " + event->second);
  bytes->assign(file.begin() + pieces[number].start, file.begin() + pieces[number].end);
  return Status::ok();
}

}  // namespace

int runCatCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  int status = 0;
  const std::optional<CommandLine> line = parseCommandLine(kCommand, args, out, err, &status);
  if (!line) return status;
  const std::optional<std::string> events = line->value("--events");
  std::vector<GivenName> given;
  if (!readNamesFiles("cat", line->options, &given, err)) return 1;
  DiscOperands disc;
  std::vector<std::string> names;
  if (!takeDiscOperands(*line, &disc, &names) || names.empty())
    return usageError(err, kCommand, "expected " + disc.words() + " NAME...");
  if (!eventsTableReadable("cat", events, err)) return 1;

  Store store;
  Problems oddities;
  if (!openCommandStore("cat", disc, &store, &oddities, err)) return 1;
  printOddities("cat", oddities, err);
  PieceFolders folders;
  if (events) {
    WalkOptions walk;
    walk.eventsTablePath = events;
    folders = learnPieceFolders(
        store, walk, [](std::vector<uint8_t>*) { return Status::notFound("no folder"); });
  }

  uint64_t found = 0;
  std::vector<uint8_t> bytes;
  // The files' bytes go out as they are; where messages are text (CRLF on
  // Windows), standard output is switched to bytes first.
  if (&out == &std::cout) io::writeBinary(stdout);
  for (size_t i = 0; i < names.size() && out; ++i) {
    // A name a names file ties to an entry reads that entry.
    const auto tied = std::find_if(given.begin(), given.end(), [&](const GivenName& g) {
      return g.position && g.name == names[i] && *g.position < store.index.entries().size();
    });
    Status read = tied != given.end()
                      ? readLocated(store, locateEntry(store, *tied->position), &bytes)
                      : readFile(store, names[i], &bytes);
    // A stored entry under the name wins over a piece.
    if (read.code() == Status::Code::kNotFound && events)
      read = readPiece(store, folders, names[i], &bytes);
    if (!read.isOk()) {
      // Whatever came before reaches the reader first.
      out.flush();
      err << "orvex-tool: cat: " << shownName(names[i]) << ": " << read.message() << '\n';
      status = 1;
      continue;
    }
    ++found;
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  refuseSenseless("cat", oddities, found, err);
  errno = 0;
  out.flush();
  if (!out) {
    const int error = errno;
    err << "orvex-tool: cat: cannot write to standard output"
        << (error ? std::string(": ") + std::strerror(error) : std::string()) << '\n';
    return 1;
  }
  return status;
}

}  // namespace orvex
