#include <cstdio>
#include <memory>
#include <ostream>

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
    "list calls them), from the disc's own evidence, strongest first:\n"
    "  listed      a slot of an entry that reads as a name list the walk does not read\n"
    "  referenced  a string inside a decoded entry (4 or more of A-Za-z0-9_./-)\n"
    "  completed   such a string with a folder and an extension the disc's names use\n"
    "  guessed     a name a --guess pattern gives\n"
    "  given       a name of a --names file\n"
    "Every candidate has the entry's hash; an entry with several is ambiguous and\n"
    "none is chosen. The chance matches each kind would give alone are shown too.\n"
    "\n"
    "  --guess PATTERN  try the names PATTERN gives (repeatable): '?' one byte and\n"
    "                   '*' up to 8 bytes of the alphabet, classes [a-z0-9] with a\n"
    "                   count {2} or {1,6}, alternatives {map,tile}, \\c for c\n"
    "  --alphabet CHARS the bytes of '?' and '*' (default a-z0-9_)\n"
    "  --names FILE     the names of a names file as evidence (repeatable)\n"
    "  --json           print one JSON document instead of a table\n"
    "  -o FILE          write a names file of the names chosen: an entry's name when\n"
    "                   exactly one candidate has the strongest kind found for it\n"
    "  -h, --help       show this help\n";

int usageError(std::ostream& err, const std::string& message) {
  return orvex::usageError(err, "names", message);
}

std::string label(const UnreachedEntry& entry) {
  char text[48];
  std::snprintf(text, sizeof text, "entry %u (0x%08X)", entry.position, entry.hash);
  return text;
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
      out << shownName(chosen->name) << " (" << evidenceName(chosen->evidence) << ": "
          << shownName(chosen->source) << ")\n";
      continue;
    }
    out << counted(entry.candidates.size(), "candidate", "candidates")
        << (chosen ? ", " + shownName(chosen->name) + " the strongest" : ", ambiguous") << '\n';
    for (size_t i = 0; i < entry.candidates.size() && i < kShown; ++i) {
      const Candidate& c = entry.candidates[i];
      out << "  " << shownName(c.name) << "  " << evidenceName(c.evidence) << ": "
          << shownName(c.source) << '\n';
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
  out << "{\n  \"entries\": [";
  const char* separator = "\n";
  for (const UnreachedEntry& entry : recovery.entries) {
    char hash[16];
    std::snprintf(hash, sizeof hash, "0x%08X", entry.hash);
    out << separator << "    {\"position\": " << entry.position << ", \"hash\": \"" << hash
        << "\", \"state\": \"" << stateName(entry.state)
        << "\", \"ambiguous\": " << (entry.ambiguous ? "true" : "false") << ", \"candidates\": [";
    for (size_t i = 0; i < entry.candidates.size(); ++i) {
      const Candidate& c = entry.candidates[i];
      out << (i ? ", " : "") << "{\"name\": " << jsonQuoted(c.name) << ", \"evidence\": \""
          << evidenceName(c.evidence) << "\", \"source\": " << jsonQuoted(c.source) << "}";
    }
    out << "]}";
    separator = ",\n";
  }
  out << (*separator == '\n' ? "],\n" : "\n  ],\n") << "  \"evidence\": {";
  for (int kind = 0; kind < EVIDENCE_KINDS; ++kind) {
    const KindTally& t = recovery.tally[kind];
    out << (kind ? ",\n" : "\n") << "    \"" << evidenceName(static_cast<Evidence>(kind))
        << "\": {\"tried\": " << t.tried << ", \"matches\": " << t.matches
        << ", \"chance\": " << t.chance << "}";
  }
  out << "\n  }\n}\n";
}

// The chosen names as a names file: a shadowed entry's tied to it.
Status writeNamesFile(const Recovery& recovery, const std::string& path, size_t* written) {
  std::string text = "# names recovered by orvex-tool names\n";
  *written = 0;
  for (const UnreachedEntry& entry : recovery.entries) {
    const Candidate* chosen = entry.chosen();
    if (chosen == nullptr) continue;
    text += encodeNameLine(chosen->name, entry.state == EntryState::kShadowed
                                             ? std::optional<uint32_t>(entry.position)
                                             : std::nullopt) +
            "\n";
    ++*written;
  }
  io::OutputFile file(io::realFs());
  Status status = file.create(path);
  if (status.isOk())
    status = file.about(io::writeAll(io::realFs(), file.fd(),
                                     reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  if (status.isOk()) status = io::publishTogether(file, nullptr);
  return status;
}

}  // namespace

int runNamesCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  bool json = false;
  std::string alphabet = DEFAULT_ALPHABET;
  std::optional<std::string> output;
  std::vector<std::string> guesses;
  const CommandLine line = splitCommandLine(args, {"--guess", "--alphabet", "--names", "-o"});
  for (const CommandOption& option : line.options) {
    if (isHelpOption(option)) return printHelp(out, kUsage);
    if (option.name == "--json") {
      json = true;
      continue;
    }
    if (option.name != "--guess" && option.name != "--alphabet" && option.name != "--names" &&
        option.name != "-o")
      return usageError(err, "unknown option '" + option.name + "'");
    if (!option.value || option.value->empty())
      return usageError(err, option.name + " needs a value");
    if (option.name == "--guess") guesses.push_back(*option.value);
    if (option.name == "--alphabet") alphabet = *option.value;
    if (option.name == "-o") output = option.value;
  }
  if (line.operands.size() != 2) return usageError(err, "expected IMAGE INDEX");
  RecoverOptions options;
  for (const std::string& text : guesses) {
    NamePattern pattern;
    if (Status s = parsePattern(text, alphabet, &pattern); !s.isOk())
      return usageError(err, "pattern '" + text + "': " + s.message());
    options.patterns.push_back(std::move(pattern));
  }
  if (!readNamesFiles("names", line.options, &options.given, err)) return 1;

  Store store;
  Problems oddities;
  if (!openCommandStore("names", line.operands[0], line.operands[1], &store, &oddities, err))
    return 1;
  printOddities("names", oddities, err);
  std::unique_ptr<OutputDir> here;
  OutputDir::open(".", false, &here);
  options.folder = here.get();
  const Recovery recovery = recoverNames(store, options);
  if (json) {
    writeJson(recovery, out);
  } else {
    writeTable(recovery, out);
  }
  out.flush();
  if (output) {
    size_t written = 0;
    if (Status s = writeNamesFile(recovery, *output, &written); !s.isOk()) {
      err << "orvex-tool: names: " << s.message() << '\n';
      return 1;
    }
    err << "orvex-tool: names: " << counted(written, "name", "names") << " of "
        << counted(recovery.entries.size(), "entry", "entries") << " written to " << *output
        << '\n';
  }
  return 0;
}

}  // namespace orvex
