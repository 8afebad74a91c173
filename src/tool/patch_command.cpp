#include <fcntl.h>
#include <sys/stat.h>

#include <ostream>

#include "catalog.h"
#include "command_line.h"
#include "console.h"
#include "patch.h"
#include "tool.h"

namespace orvex {
namespace {

constexpr char kUsage[] =
    "usage: orvex-tool patch IMAGE INDEX CHANGES_DIR (-o NEW_IMAGE NEW_INDEX | --in-place)\n"
    "                        [--events FILE] [--store|--compress] [-n] [--json]\n"
    "\n"
    "Puts every regular file under CHANGES_DIR back into the disc, in place of the\n"
    "stored file its relative path names; files equal to the stored ones change\n"
    "nothing. A piece DIR/NNN.mset of an event file named in the event table\n"
    "rebuilds that event file with the edited piece in place. Everything else on\n"
    "the disc stays as it was. When any file cannot go in, every problem is\n"
    "reported and nothing is written.\n"
    "\n"
    "  -o, --output NEW_IMAGE NEW_INDEX\n"
    "                          write a patched copy of the disc\n"
    "  --in-place              patch IMAGE and INDEX themselves, appending the new\n"
    "                          bytes and then replacing INDEX atomically\n"
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
    "  -n, --dry-run           print the plan and write nothing\n"
    "  --json                  print the plan as one JSON document\n"
    "  -h, --help              show this help\n"
    "\n"
    "Exits with 0 when every change went in, 1 when the patch was refused or failed.\n";

int usageError(std::ostream& err, const std::string& message) {
  return orvex::usageError(err, "patch", message);
}

// True when both paths name one existing file.
bool sameFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
  struct stat sa, sb;
  io::Fs& fs = io::realFs();
  return fs.stat(AT_FDCWD, a.c_str(), &sa, 0) == 0 && fs.stat(AT_FDCWD, b.c_str(), &sb, 0) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string describe(const EntryChange& change) {
  std::string text = change.name;
  if (!change.pieces.empty()) {
    text += " (pieces";
    for (size_t piece : change.pieces) text += " " + std::to_string(piece);
    text += ")";
  }
  text += ": entry " + std::to_string(change.position) + ", " +
          humanBytes(static_cast<double>(change.before.size)) + " -> " +
          humanBytes(static_cast<double>(change.after.size)) + " " +
          (change.after.flags & FLAG_COMPRESSED ? "compressed" : "stored") + ", ";
  text += change.ownSectors ? "in its own sectors at sector " : "appended at sector ";
  text += std::to_string(change.after.sector);
  return text;
}

void writePlanJson(const PatchPlan& plan, bool dryRun, std::ostream& out) {
  const auto form = [](const IndexEntry& e) {
    return "{\"sector\": " + std::to_string(e.sector) + ", \"size\": " + std::to_string(e.size) +
           ", \"compressed\": " + (e.flags & FLAG_COMPRESSED ? "true" : "false") + "}";
  };
  out << "{\n  \"dry_run\": " << (dryRun ? "true" : "false") << ",\n  \"changes\": [";
  const char* separator = "\n";
  for (const EntryChange& change : plan.changes) {
    out << separator << "    {\"name\": " << jsonQuoted(change.name) << ", \"pieces\": [";
    for (size_t i = 0; i < change.pieces.size(); ++i) out << (i ? ", " : "") << change.pieces[i];
    out << "], \"position\": " << change.position << ", \"before\": " << form(change.before)
        << ", \"after\": " << form(change.after) << ", \"placed\": \""
        << (change.ownSectors ? "own-sectors" : "appended") << "\"}";
    separator = ",\n";
  }
  out << (*separator == '\n' ? "],\n" : "\n  ],\n");
  out << "  \"summary\": {\"changed\": " << plan.changes.size()
      << ", \"rewritten_in_own_sectors\": " << plan.rewrittenInOwnSectors()
      << ", \"appended_bytes\": " << plan.appendedBytes() << "}\n}\n";
}

}  // namespace

int runPatchCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  // -o takes two words, which the shared splitter cannot give; take them first.
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
    if (outputs) return usageError(err, "-o given twice");
    if (i + 2 >= args.size()) return usageError(err, "-o needs NEW_IMAGE and NEW_INDEX");
    outputs.emplace(args[i + 1], args[i + 2]);
    i += 2;
  }

  PatchOptions options;
  bool inPlace = false, dryRun = false, formGiven = false, json = false;
  const CommandLine line = splitCommandLine(rest, {"--events", "--names", "--unnamed"});
  for (const CommandOption& option : line.options) {
    const std::string& a = option.name;
    if (isHelpOption(option)) {
      return printHelp(out, kUsage);
    } else if (a == "--in-place") {
      inPlace = true;
    } else if (a == "-n") {
      dryRun = true;
    } else if (a == "--json") {
      json = true;
    } else if (a == "--store" || a == "--compress") {
      const StoredForm form = a == "--store" ? StoredForm::kStore : StoredForm::kCompress;
      if (formGiven && options.form != form)
        return usageError(err, "--store and --compress exclude each other");
      options.form = form;
      formGiven = true;
    } else if (a == "--names") {
      if (!option.value || option.value->empty()) return usageError(err, "--names needs a FILE");
    } else if (a == "--unnamed") {
      if (!option.value || option.value->empty()) return usageError(err, "--unnamed needs a DIR");
      options.unnamedDir = *option.value;
    } else if (a == "--events") {
      if (!option.value) return usageError(err, "--events needs a FILE");
      options.eventsTablePath = *option.value;
    } else {
      return usageError(err, "unknown option '" + a + "'");
    }
  }
  const std::vector<std::string>& paths = line.operands;
  if (paths.size() != 3) return usageError(err, "expected IMAGE INDEX CHANGES_DIR");
  if (inPlace == outputs.has_value())
    return usageError(err, "give either -o NEW_IMAGE NEW_INDEX or --in-place");
  options.inPlace = inPlace;
  const std::string &imagePath = paths[0], &indexPath = paths[1];
  if (outputs) {
    if (sameFile(outputs->first, outputs->second))
      return usageError(err, "NEW_IMAGE and NEW_INDEX are the same file");
    for (const std::string* output : {&outputs->first, &outputs->second})
      for (const std::string* input : {&imagePath, &indexPath})
        if (sameFile(*output, *input))
          return usageError(err, "output " + *output +
                                     " is also an input; to change the disc itself use --in-place");
  }

  if (!readNamesFiles("patch", line.options, &options.givenNames, err)) return 1;
  Store store;
  Problems oddities;
  if (!openCommandStore("patch", imagePath, indexPath, &store, &oddities, err)) return 1;
  printOddities("patch", oddities, err);

  PatchPlan plan;
  Problems problems;
  Status status = planPatch(store, paths[2], options, &plan, &problems);
  if (!status.isOk()) {
    problems.print(err, "orvex-tool: patch");
    if (problems.empty()) err << "orvex-tool: patch: " << status.message() << '\n';
    err << "orvex-tool: patch: refused; nothing was written\n";
    return 1;
  }
  if (json) {
    writePlanJson(plan, dryRun, out);
  } else {
    for (const EntryChange& change : plan.changes) out << describe(change) << '\n';
  }
  out.flush();

  if (!dryRun) {
    status = inPlace ? patchInPlace(imagePath, indexPath, plan)
                     : writePatchedCopy(store, plan, outputs->first, outputs->second);
  }
  if (!status.isOk()) {
    err << "orvex-tool: patch: " << status.message() << "\n"
        << "orvex-tool: patch: failed; "
        << (inPlace ? "the disc reads as before" : "no output was written") << '\n';
    return 1;
  }
  err << "orvex-tool: patch: " << (dryRun ? "would change " : "changed ")
      << counted(plan.changes.size(), "entry", "entries") << ": " << plan.rewrittenInOwnSectors()
      << " rewritten in their own sectors, "
      << humanBytes(static_cast<double>(plan.appendedBytes())) << " appended\n";
  return 0;
}

}  // namespace orvex
