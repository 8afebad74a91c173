#include <cctype>
#include <optional>
#include <ostream>
#include <string_view>

#include "catalog.h"
#include "command_line.h"
#include "console.h"
#include "patch.h"
#include "tool.h"

namespace orvex {
namespace {

constexpr char kUsage[] =
    "usage: orvex-tool patch IMAGE INDEX CHANGES_DIR (-o NEW_IMAGE NEW_INDEX | --in-place)\n"
    "                        [--events FILE] [--store|--compress] [--update-folder]\n"
    "                        [-n] [--json]\n"
    "       orvex-tool patch IMAGE --index-in-image PATH CHANGES_DIR\n"
    "                        (-o NEW_IMAGE | --in-place) [OPTIONS]\n"
    "\n"
    "Puts every regular file under CHANGES_DIR back into the disc, in place of the\n"
    "stored file its relative path names; files equal to the stored ones change\n"
    "nothing. A piece DIR/NNN.mset of an event file named in the event table\n"
    "rebuilds that event file with the edited piece in place. Everything else on\n"
    "the disc stays as it was. When any file cannot go in, every problem is\n"
    "reported and nothing is written.\n"
    "\n"
    "In a raw image (2352-byte sectors, or a cue sheet) every sector written keeps\n"
    "its header and subheader and gets its EDC and ECC anew; no other sector\n"
    "changes. For a cue sheet, NEW_IMAGE is the new sheet, NAME.cue, and its data\n"
    "file is written beside it as NAME with the old data file's extension.\n"
    "\n"
    "With --index-in-image the index is PATH of the image's ISO 9660 file system\n"
    "(see 'orvex-tool disc'), and the patched index, as long as the old one, is\n"
    "written into its extent: in NEW_IMAGE with -o (no NEW_INDEX is given), or with\n"
    "--in-place into IMAGE last, in one write once everything else is synced. A\n"
    "change whose bytes would go into the index's extent is refused.\n"
    "\n"
    "An event file in CHANGES_DIR that equals the disc's while pieces of it are\n"
    "edited is the old disc's once the patch is written; patch names each such\n"
    "file, and --update-folder replaces it with the new disc's.\n"
    "\n"
    "  -o, --output NEW_IMAGE NEW_INDEX\n"
    "                          write a patched copy of the disc\n"
    "  --in-place              patch IMAGE and INDEX themselves, appending the new\n"
    "                          bytes and then replacing INDEX atomically (an index\n"
    "                          in the image is rewritten in place: a crash during\n"
    "                          that write can leave a mix of old and new index;\n"
    "                          keep a copy, or use -o)\n"
    "  --index-in-image PATH   the index is PATH of the image's ISO 9660 file\n"
    "                          system; no INDEX operand, and -o takes NEW_IMAGE alone\n"
    "  --events FILE           the event table that places pieces (default:\n"
    "                          CHANGES_DIR/eventsTable, else the one a list names in\n"
    "                          the store, else the store's eventsTable)\n"
    "  --names FILE            names from this names file name files under\n"
    "                          CHANGES_DIR too (repeatable)\n"
    "  --unnamed DIR           also put back the files of DIR named as 'orvex-tool\n"
    "                          unnamed' names them (HASH.bin, HASH-N.bin), each into\n"
    "                          the entry it came from\n"
    "  --store                 store every changed file as it is\n"
    "  --compress              compress every changed file\n"
    "                          (default: each entry keeps its stored form when it can)\n"
    "  --update-folder         once the new disc is written, replace in CHANGES_DIR\n"
    "                          each event file rebuilt from its edited pieces by the\n"
    "                          new disc's, so that editing can go on there; only\n"
    "                          files equal to the old disc's are replaced, never\n"
    "                          a piece\n"
    "  -n, --dry-run           print the plan and write nothing\n"
    "  --json                  print the plan as one JSON document\n"
    "  -h, --help              show this help\n"
    "\n"
    "Exits with 0 when every change went in, 1 when the patch was refused or failed\n"
    "or --update-folder could not replace a file (the patch itself went in).\n";

std::string checkForm(const CommandLine& before, const CommandOption& option) {
  return before.has(option.name == "--store" ? "--compress" : "--store")
             ? "--store and --compress exclude each other"
             : "";
}

const CommandSpec kCommand{"patch",
                           kUsage,
                           {{"--in-place"},
                            {"-n", "--dry-run"},
                            kJsonOption,
                            {"--update-folder"},
                            {"--store", {}, {}, false, checkForm},
                            {"--compress", {}, {}, false, checkForm},
                            namesOption(),
                            {"--unnamed", {}, "a DIR"},
                            // An event table that cannot be read is the plan's to report.
                            {"--events", {}, "a FILE", true},
                            kIndexInImageOption}};

// Whether the words before "--" give --index-in-image, which decides how
// many words -o takes.
bool givesIndexInImage(const std::vector<std::string>& args) {
  const std::string name(kIndexInImageOption.name);
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == name || arg.starts_with(name + "=")) return true;
  }
  return false;
}

bool endsWithCue(const std::string& path) {
  if (path.size() < 4) return false;
  std::string tail = path.substr(path.size() - 4);
  for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == ".cue";
}

// The folder part of a path, with its last separator.
std::string folderOf(const std::string& path) {
  size_t start = 0;
  for (size_t i = 0; i < path.size(); ++i)
    if (io::isPathSeparator(path[i])) start = i + 1;
  return path.substr(0, start);
}

// True when both paths name one existing file.
bool sameFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
  io::FileInfo ia, ib;
  io::Fs& fs = io::realFs();
  const io::Folder& here = io::Folder::working();
  return fs.info(here, a, io::Follow::kYes, &ia).isOk() &&
         fs.info(here, b, io::Follow::kYes, &ib).isOk() && ia.id == ib.id;
}

std::string describe(const EntryChange& change) {
  std::string text = change.name;
  if (!change.pieces.empty()) text += " (" + pieceNumbers(change.pieces) + ")";
  text += ": entry " + std::to_string(change.position) + ", " +
          humanBytes(static_cast<double>(change.before.size)) + " -> " +
          humanBytes(static_cast<double>(change.after.size)) + " " +
          (change.after.flags & FLAG_COMPRESSED ? "compressed" : "stored") + ", ";
  text += change.ownSectors ? "in its own sectors at sector " : "appended at sector ";
  text += std::to_string(change.after.sector);
  return text;
}

void writePlanJson(const PatchPlan& plan, bool dryRun, std::ostream& out) {
  using Layout = JsonWriter::Layout;
  JsonWriter json(out);
  const auto form = [&json](const IndexEntry& e) {
    json.beginObject().key("sector").value(e.sector).key("size").value(e.size);
    json.key("compressed").value((e.flags & FLAG_COMPRESSED) != 0).endObject();
  };
  json.beginObject(Layout::kLines).key("dry_run").value(dryRun);
  json.key("changes").beginArray(Layout::kLines);
  for (const EntryChange& change : plan.changes) {
    json.beginObject().key("name").value(change.name).key("pieces").beginArray();
    for (const auto piece : change.pieces) json.value(piece);
    json.endArray().key("position").value(change.position).key("before");
    form(change.before);
    json.key("after");
    form(change.after);
    json.key("placed").value(change.ownSectors ? "own-sectors" : "appended").endObject();
  }
  json.endArray().key("summary").beginObject();
  json.key("changed").value(plan.changes.size());
  json.key("rewritten_in_own_sectors").value(plan.rewrittenInOwnSectors());
  json.key("appended_bytes").value(plan.appendedBytes()).endObject().endObject();
}

// A path as a shell word that no command takes for an option.
std::string shellPath(std::string path) {
  if (path.starts_with("-")) path = "./" + path;
  return shellQuoted(path);
}

// A file of the changes folder as a shell word.
std::string shellPath(const std::string& dir, const std::string& name) {
  return shellPath(dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name);
}

// A name as an extract pattern that matches only itself.
std::string exactPattern(const std::string& name) {
  std::string pattern;
  for (char c : name) {
    if (std::string_view("*?[]\\").find(c) != std::string_view::npos) pattern += '\\';
    pattern += c;
  }
  return shellQuoted(pattern);
}

// The words of the command line that make extraction read the changes
// folder as patch read it, and the disc.
struct ExtractWords {
  std::string folder;  // as given
  std::string tableAndNames;
  std::string image, index;
  bool indexInImage = false;  // index is a path in the image

  std::string command(const std::string& eventName, bool refresh) const {
    const std::string disc =
        indexInImage ? " --index-in-image " + shellQuoted(index) + " " + shellPath(image)
                     : " " + shellPath(image) + " " + shellPath(index);
    return std::string("orvex-tool extract") + (refresh ? " --refresh-pieces" : "") + " -C " +
           shellPath(folder) + tableAndNames + disc + " " + exactPattern(eventName);
  }
};

// For an event file and pieces that disagree, which remedy fits which case.
void adviseOnDisagreement(const PieceDisagreement& d, const ExtractWords& words,
                          std::ostream& err) {
  const std::string file = shellPath(words.folder, d.file);
  err << "orvex-tool: patch: if you edited " << file
      << " itself, cut it again with: " << words.command(d.eventName, true)
      << " (each of its pieces in " << shellPath(words.folder) << " is then replaced by its cut)\n"
      << "orvex-tool: patch: if its pieces went in with an earlier patch, " << file
      << " is the disc's from before: remove it (rm " << file << ")\n";
}

// Names the files of the changes folder the patch leaves as the old disc's,
// or replaces them with the new disc's. 1 when one could not be replaced.
int reportStaleFiles(const PatchPlan& plan, bool dryRun, bool updateFolder, ExtractWords words,
                     const std::optional<std::pair<std::string, std::string>>& outputs,
                     std::ostream& err) {
  if (outputs) {
    words.image = outputs->first;
    if (!words.indexInImage) words.index = outputs->second;
  }
  const std::vector<LevelledFile> levelled =
      updateFolder && !dryRun ? levelChangesFolder(words.folder, plan, io::realFs())
                              : std::vector<LevelledFile>{};
  int status = 0;
  for (size_t i = 0; i < plan.staleFiles.size(); ++i) {
    const StaleEventFile& stale = plan.staleFiles[i];
    const std::string file = shellPath(words.folder, stale.file);
    const std::string rebuilt = "rebuilt from its " + pieceNumbers(stale.pieces);
    err << "orvex-tool: patch: " << file << ": ";
    if (dryRun) {
      err << (updateFolder ? "would be replaced by the new disc's (" + rebuilt + ")\n"
                           : "would be left as the old disc's; the new disc holds it " + rebuilt +
                                 " (--update-folder replaces it)\n");
      continue;
    }
    if (updateFolder && levelled[i].status.isOk()) {
      err << "replaced by the new disc's (" << rebuilt << ")\n";
      continue;
    }
    if (updateFolder) {
      err << "not replaced: " << levelled[i].status.message() << '\n';
      status = 1;
      // An edit made meanwhile is the user's: no step that would remove it.
      if (levelled[i].status.code() == Status::Code::kExists) continue;
    } else {
      err << "left as the old disc's; the new disc holds it " << rebuilt << '\n';
    }
    err << "orvex-tool: patch: to edit on in " << shellPath(words.folder)
        << ", take the new one: rm " << file << " && " << words.command(stale.eventName, false)
        << '\n';
  }
  return status;
}

}  // namespace

int runPatchCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  // -o takes two words (one with --index-in-image), which the shared
  // splitter cannot give; take them first.
  const bool indexInImage = givesIndexInImage(args);
  std::vector<std::string> rest;
  std::optional<std::pair<std::string, std::string>> outputs;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--") {
      rest.insert(rest.end(), args.begin() + static_cast<ptrdiff_t>(i), args.end());
      break;
    }
    if (args[i] != "-o" && args[i] != "--output") {
      rest.push_back(args[i]);
      continue;
    }
    if (outputs) return usageError(err, kCommand, "-o given twice");
    if (indexInImage) {
      if (i + 1 >= args.size()) return usageError(err, kCommand, "-o needs NEW_IMAGE");
      outputs.emplace(args[i + 1], "");
      i += 1;
      continue;
    }
    if (i + 2 >= args.size()) return usageError(err, kCommand, "-o needs NEW_IMAGE and NEW_INDEX");
    outputs.emplace(args[i + 1], args[i + 2]);
    i += 2;
  }

  int exitStatus = 0;
  const std::optional<CommandLine> parsed = parseCommandLine(kCommand, rest, out, err, &exitStatus);
  if (!parsed) return exitStatus;
  const CommandLine& line = *parsed;
  PatchOptions options;
  const bool inPlace = line.has("--in-place"), dryRun = line.has("-n"), json = line.has("--json"),
             updateFolder = line.has("--update-folder");
  if (line.has("--store")) options.form = StoredForm::kStore;
  if (line.has("--compress")) options.form = StoredForm::kCompress;
  options.unnamedDir = line.value("--unnamed");
  options.withoutCompressionHint = "patch without --compress";
  options.eventsTableHint = "pass --events FILE";
  options.eventsTablePath = line.value("--events");
  DiscOperands disc;
  std::vector<std::string> operandsLeft;
  // An option's value that reads as --index-in-image misled the count of -o's words.
  if (line.has(kIndexInImageOption.name) != indexInImage)
    return usageError(err, kCommand, "--index-in-image given only as another option's value");
  if (!takeDiscOperands(line, &disc, &operandsLeft) || operandsLeft.size() != 1)
    return usageError(err, kCommand, "expected " + disc.words() + " CHANGES_DIR");
  const std::string& changesDir = operandsLeft[0];
  if (inPlace == outputs.has_value())
    return usageError(err, kCommand,
                      disc.inImage ? "give either -o NEW_IMAGE or --in-place"
                                   : "give either -o NEW_IMAGE NEW_INDEX or --in-place");
  options.inPlace = inPlace;
  const std::string &imagePath = disc.image, &indexPath = disc.index;
  if (outputs) {
    if (!disc.inImage && sameFile(outputs->first, outputs->second))
      return usageError(err, kCommand, "NEW_IMAGE and NEW_INDEX are the same file");
    std::vector<const std::string*> outputPaths = {&outputs->first}, inputPaths = {&imagePath};
    if (!disc.inImage) {
      outputPaths.push_back(&outputs->second);
      inputPaths.push_back(&indexPath);
    }
    for (const std::string* output : outputPaths)
      for (const std::string* input : inputPaths)
        if (sameFile(*output, *input))
          return usageError(
              err, kCommand,
              "output " + *output + " is also an input; to change the disc itself use --in-place");
  }

  if (!readNamesFiles("patch", line.options, &options.givenNames, err)) return 1;
  ExtractWords words{changesDir, "", imagePath, indexPath, disc.inImage};
  if (options.eventsTablePath)
    words.tableAndNames += " --events " + shellQuoted(*options.eventsTablePath);
  for (const CommandOption& option : line.options)
    if (option.name == "--names") words.tableAndNames += " --names " + shellQuoted(*option.value);
  Store store;
  Problems oddities;
  if (!openCommandStore("patch", disc, &store, &oddities, err)) return 1;
  printOddities("patch", oddities, err);
  const SectorImage& sectors = store.image.sectors;
  const bool cue = !sectors.cuePath().empty();
  if (outputs && cue != endsWithCue(outputs->first)) {
    err << "orvex-tool: patch: " << shownName(imagePath)
        << (cue ? " is a cue sheet: NEW_IMAGE names the new one (NAME.cue), and its data file is "
                  "written beside it (NAME with the data file's extension)"
                : " is no cue sheet: NEW_IMAGE is the new image, not a cue sheet")
        << "; nothing was changed\n";
    return 1;
  }
  if (outputs && cue) {
    // The new data file must be none of the disc's files.
    const std::string data = patchedDataPath(outputs->first, sectors.dataPath());
    std::vector<std::string> taken = {imagePath, sectors.dataPath()};
    if (!disc.inImage) taken.insert(taken.end(), {indexPath, outputs->second});
    for (const RawTrackFacts& track : sectors.tracks())
      taken.push_back(folderOf(imagePath) + track.fileName);
    for (const std::string& path : taken) {
      if (!sameFile(data, path)) continue;
      err << "orvex-tool: patch: the new data file " << shownName(data) << " would be "
          << shownName(path) << ", which the patch reads or writes; name the new cue sheet "
          << "otherwise; nothing was changed\n";
      return 1;
    }
  }
  if (inPlace)
    options.cannotGrowHint =
        "with -o, a change that fits the entry's own sectors is "
        "rewritten there";

  PatchPlan plan;
  Problems problems;
  Status status = planPatch(store, changesDir, options, &plan, &problems);
  if (!status.isOk()) {
    problems.print(err, "orvex-tool: patch");
    if (problems.empty()) err << "orvex-tool: patch: " << status.message() << '\n';
    for (const PieceDisagreement& d : plan.disagreements) adviseOnDisagreement(d, words, err);
    err << "orvex-tool: patch: refused; nothing was written\n";
    return 1;
  }
  if (json) {
    writePlanJson(plan, dryRun, out);
  } else {
    for (const EntryChange& change : plan.changes) out << describe(change) << '\n';
  }
  out.flush();

  bool indexTorn = false;
  if (!dryRun && inPlace) {
    status = store.indexInImage ? patchInPlaceIndexInImage(sectors.dataPath(), *store.indexInImage,
                                                           plan, io::realFs(), &indexTorn)
                                : patchInPlace(sectors.dataPath(), indexPath, plan, io::realFs());
  } else if (!dryRun) {
    status = writePatchedCopy(store, plan, outputs->first, outputs->second);
  }
  if (!status.isOk()) {
    err << "orvex-tool: patch: " << status.message() << "\n"
        << "orvex-tool: patch: failed; "
        << (indexTorn ? "the index's sectors could not be put back as they were: the disc may "
                        "read as neither before nor after"
            : inPlace ? "the disc reads as before"
                      : "no output was written")
        << '\n';
    return 1;
  }
  err << "orvex-tool: patch: " << (dryRun ? "would change " : "changed ")
      << counted(plan.changes.size(), "entry", "entries") << ": " << plan.rewrittenInOwnSectors()
      << " rewritten in their own sectors, "
      << humanBytes(static_cast<double>(plan.appendedBytes())) << " appended\n";
  if (outputs && cue && !dryRun)
    err << "orvex-tool: patch: " << shownName(outputs->first) << " names its data file "
        << shownName(patchedDataPath(outputs->first, sectors.dataPath())) << '\n';
  return reportStaleFiles(plan, dryRun, updateFolder, words, outputs, err);
}

}  // namespace orvex
