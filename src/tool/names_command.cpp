#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <ostream>

#include "catalog.h"
#include "command_line.h"
#include "console.h"
#include "file_io.h"
#include "new_file.h"
#include "recover.h"
#include "tool.h"

namespace orvex {
namespace {

constexpr char kUsage[] =
    "usage: orvex-tool names [OPTIONS] IMAGE INDEX\n"
    "\n"
    "Looks for names of the index entries no name reaches (unnamed and shadowed, as\n"
    "list calls them), from what the user gives and the disc's own evidence,\n"
    "strongest first:\n"
    "  given       a name of a --names file\n"
    "  listed      a slot of an entry that reads as a name list the walk does not read\n"
    "  referenced  a string inside a decoded entry (4 or more of A-Za-z0-9_./-)\n"
    "  completed   such a string with a folder and an extension the disc's names use\n"
    "  guessed     a name a --guess pattern gives\n"
    "Every candidate has the entry's hash; an entry with several is ambiguous and\n"
    "none is chosen. The chance matches each kind would give alone are shown too,\n"
    "from the hash bits its names' varying bytes can set (m bytes: at most 16 + m);\n"
    "a candidate chance alone would give once or more among the names of its kind\n"
    "and length tried is marked so and ranks below the others of the disc.\n"
    "\n"
    "  --guess PATTERN  try the names PATTERN gives (repeatable): '?' one byte and\n"
    "                   '*' up to 8 bytes of the alphabet, classes [a-z0-9] with a\n"
    "                   count {2} or {1,6}, alternatives {map,tile}, \\c for c\n"
    "  --alphabet CHARS the bytes of '?' and '*' (default a-z0-9_)\n"
    "  --names FILE     the names of a names file as evidence (repeatable)\n"
    "  --json           print one JSON document instead of a table\n"
    "  -o FILE          write a names file of the names chosen: an entry's name when\n"
    "                   exactly one candidate ranks first for it; FILE must not exist\n"
    "  --force          let -o replace FILE; when FILE was given with --names, its\n"
    "                   lines stay as they are and the names it lacks are added\n"
    "  --index-in-image PATH\n"
    "                   the index is PATH of the image's ISO 9660 file system\n"
    "                   (see 'orvex-tool disc'); no INDEX operand is given\n"
    "  -h, --help       show this help\n";

const CommandSpec kCommand{"names",
                           kUsage,
                           {{"--guess", {}, "a value"},
                            {"--alphabet", {}, "a value"},
                            namesOption("a value"),
                            {"-o", "--output", "a value"},
                            kJsonOption,
                            {"--force"},
                            kIndexInImageOption}};

std::string label(const UnreachedEntry& entry) {
  char text[48];
  std::snprintf(text, sizeof text, "entry %u (0x%08X)", entry.position, entry.hash);
  return text;
}

// The candidate's kind, and when chance alone would give it, as often.
std::string kindOf(const Candidate& c) {
  std::string kind = evidenceName(c.evidence);
  if (!c.byChance()) return kind;
  char chance[64];
  std::snprintf(chance, sizeof chance,
                c.chance < 100 ? ", %.2g expected by chance" : ", %.0f expected by chance",
                c.chance);
  return kind + chance;
}

void writeTable(const Recovery& recovery, std::ostream& out) {
  constexpr size_t kShown = 10;
  for (const UnreachedEntry& entry : recovery.entries) {
    out << label(entry) << ", " << stateName(entry.state) << ": ";
    const Candidate* chosen = entry.chosen();
    if (entry.candidates.empty()) {
      out << "no candidate\n";
      continue;
    }
    if (!entry.ambiguous && chosen) {
      out << shownName(chosen->name) << " (" << kindOf(*chosen) << ": " << shownName(chosen->source)
          << ")\n";
      continue;
    }
    out << counted(entry.candidates.size(), "candidate", "candidates")
        << (chosen ? ", " + shownName(chosen->name) + " the strongest" : ", ambiguous") << '\n';
    for (size_t i = 0; i < entry.candidates.size() && i < kShown; ++i) {
      const Candidate& c = entry.candidates[i];
      out << "  " << shownName(c.name) << "  " << kindOf(c) << ": " << shownName(c.source) << '\n';
    }
    if (entry.candidates.size() > kShown)
      out << "  ... and " << entry.candidates.size() - kShown << " more\n";
  }
  out << "\nevidence           tried    found  chance alone\n";
  for (int kind = 0; kind < EVIDENCE_KINDS; ++kind) {
    const KindTally& t = recovery.tally[kind];
    char line[96];
    std::snprintf(line, sizeof line, "%-10s %13llu %8llu  %.4g\n",
                  evidenceName(static_cast<Evidence>(kind)),
                  static_cast<unsigned long long>(t.tried),
                  static_cast<unsigned long long>(t.matches), t.chance);
    out << line;
  }
}

void writeJson(const Recovery& recovery, std::ostream& out) {
  using Layout = JsonWriter::Layout;
  JsonWriter json(out);
  json.beginObject(Layout::kLines).key("entries").beginArray(Layout::kLines);
  for (const UnreachedEntry& entry : recovery.entries) {
    char hash[16];
    std::snprintf(hash, sizeof hash, "0x%08X", entry.hash);
    json.beginObject().key("position").value(entry.position).key("hash").value(hash);
    json.key("state").value(stateName(entry.state)).key("ambiguous").value(entry.ambiguous);
    json.key("candidates").beginArray();
    for (const Candidate& c : entry.candidates) {
      json.beginObject().key("name").value(c.name).key("evidence").value(evidenceName(c.evidence));
      json.key("source").value(c.source).key("chance").value(c.chance).endObject();
    }
    json.endArray().endObject();
  }
  json.endArray().key("evidence").beginObject(Layout::kLines);
  for (int kind = 0; kind < EVIDENCE_KINDS; ++kind) {
    const KindTally& t = recovery.tally[kind];
    json.key(evidenceName(static_cast<Evidence>(kind))).beginObject();
    json.key("tried").value(t.tried).key("matches").value(t.matches);
    json.key("chance").value(t.chance).endObject();
  }
  json.endObject().endObject();
}

// The chosen names as the text of a names file, a shadowed entry's tied to
// it. Given kept, the text of a names file the names came from, that text
// stays as it is, comments and order, and only the names it lacks follow.
std::string namesFileText(const Recovery& recovery, const std::optional<std::string>& kept,
                          size_t* written, size_t* added) {
  std::string text = kept.value_or("# names recovered by orvex-tool names\n");
  const size_t firstBreak = text.find('\n');
  const std::string lineEnd =
      firstBreak != std::string::npos && firstBreak > 0 && text[firstBreak - 1] == '\r' ? "\r\n"
                                                                                        : "\n";
  if (!text.empty() && text.back() != '\n') text += lineEnd;
  std::vector<GivenName> present;
  Problems unreadable;  // lines kept as they are all the same
  if (kept) decodeNamesFile(*kept, "", &present, &unreadable);
  *written = *added = 0;
  for (const UnreachedEntry& entry : recovery.entries) {
    const Candidate* chosen = entry.chosen();
    if (chosen == nullptr) continue;
    ++*written;
    const bool there = std::any_of(present.begin(), present.end(), [&](const GivenName& g) {
      return g.name == chosen->name && (!g.position || *g.position == entry.position);
    });
    if (there) continue;
    text += encodeNameLine(chosen->name, entry.state == EntryState::kShadowed
                                             ? std::optional<uint32_t>(entry.position)
                                             : std::nullopt) +
            lineEnd;
    ++*added;
  }
  return text;
}

// Writes text to path in one step: a temporary file renamed into place.
// Without replace, a file already at path stays and the result is kExists;
// with it, the file it replaces keeps its mode.
Status writeWhole(const std::string& path, const std::string& text, bool replace) {
  io::Fs& fs = io::realFs();
  io::Folder folder;
  std::string leaf;
  Status status = io::openParent(fs, path, &folder, &leaf);
  if (status.isOk()) io::removeStaleTemporaries(fs, folder);
  io::NewFile file(fs);
  if (status.isOk()) status = file.create(folder, leaf);
  io::FileInfo old;
  if (status.isOk() && replace && fs.info(folder, leaf, io::Follow::kYes, &old).isOk() &&
      old.kind == io::FileKind::kFile)
    status = fs.setPermissions(file.file(), old.permissions).context("cannot set its mode");
  if (status.isOk())
    status =
        io::writeAll(fs, file.file(), reinterpret_cast<const uint8_t*>(text.data()), text.size());
  if (status.isOk()) status = file.sync();
  if (status.isOk()) status = file.publish(replace);
  if (status.isOk()) status = file.syncFolder();
  if (status.code() == Status::Code::kExists) return status;
  return status.isOk() ? status : Status::ioError(path + ": " + status.message());
}

std::string existsMessage(const std::string& path) {
  return "orvex-tool: names: " + path +
         " already exists, left as it is (--force replaces it; a file given with --names "
         "then keeps its lines)\n";
}

}  // namespace

int runNamesCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  int status = 0;
  const std::optional<CommandLine> parsed = parseCommandLine(kCommand, args, out, err, &status);
  if (!parsed) return status;
  const CommandLine& line = *parsed;
  const bool json = line.has("--json"), force = line.has("--force");
  const std::string alphabet = line.value("--alphabet").value_or(DEFAULT_ALPHABET);
  const std::optional<std::string> output = line.value("-o");
  std::vector<std::string> guesses;
  for (const CommandOption& option : line.options)
    if (option.name == "--guess") guesses.push_back(*option.value);
  DiscOperands disc;
  std::vector<std::string> rest;
  if (!takeDiscOperands(line, &disc, &rest) || !rest.empty())
    return usageError(err, kCommand, "expected " + disc.words());
  RecoverOptions options;
  for (const std::string& text : guesses) {
    NamePattern pattern;
    if (Status s = parsePattern(text, alphabet, &pattern); !s.isOk())
      return usageError(err, kCommand, "pattern '" + text + "': " + s.message());
    options.patterns.push_back(std::move(pattern));
  }
  if (!readNamesFiles("names", line.options, &options.given, err)) return 1;
  // A names file is the user's work: said before the search, not after.
  std::error_code error;
  const bool outputExists =
      output && std::filesystem::exists(std::filesystem::symlink_status(*output, error));
  if (outputExists && !force) {
    err << existsMessage(*output);
    return 1;
  }
  bool outputGiven = false;
  for (const CommandOption& option : line.options) {
    if (outputExists && option.name == "--names" && option.value)
      outputGiven = outputGiven || std::filesystem::equivalent(*option.value, *output, error);
  }

  Store store;
  Problems oddities;
  if (!openCommandStore("names", disc, &store, &oddities, err)) return 1;
  printOddities("names", oddities, err);
  std::unique_ptr<OutputDir> here;
  // Without the folder, names are learnt from the disc alone.
  (void)OutputDir::open(".", false, &here, io::realFs());
  options.folder = here.get();
  if (!oddities.empty() &&
      refuseSenseless("names", oddities,
                      learnNames(store, options.folder, options.walk).entriesReached(), err))
    return 1;
  // A progress line while patterns are searched, on a terminal only.
  Console console(stdout, stderr, "orvex-tool: names");
  if (&err != &std::cerr) console.hideProgress();
  options.guessProgress = [&](uint64_t tried, uint64_t total) {
    char text[96];
    std::snprintf(text, sizeof text, "trying names: %llu of %llu (%.0f%%)",
                  static_cast<unsigned long long>(tried), static_cast<unsigned long long>(total),
                  100.0 * static_cast<double>(tried) / static_cast<double>(total));
    console.progress(text);
  };
  const Recovery recovery = recoverNames(store, options);
  console.finish();
  if (json) {
    writeJson(recovery, out);
  } else {
    writeTable(recovery, out);
  }
  out.flush();
  if (output) {
    std::optional<std::string> kept;
    if (outputGiven) {
      std::vector<uint8_t> bytes;
      if (io::readUserFile(io::realFs(), *output, &bytes).isOk())
        kept.emplace(bytes.begin(), bytes.end());
    }
    size_t written = 0, added = 0;
    const std::string text = namesFileText(recovery, kept, &written, &added);
    if (Status s = writeWhole(*output, text, force); !s.isOk()) {
      if (s.code() == Status::Code::kExists) {
        err << existsMessage(*output);
      } else {
        err << "orvex-tool: names: " << s.message() << '\n';
      }
      return 1;
    }
    err << "orvex-tool: names: " << counted(written, "name", "names") << " of "
        << counted(recovery.entries.size(), "entry", "entries") << " written to " << *output;
    if (kept) err << ", its own lines kept and " << added << " added";
    err << '\n';
  }
  return 0;
}

}  // namespace orvex
