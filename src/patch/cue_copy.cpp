// The cue sheet of a patched copy of an image given by one.
#include <algorithm>
#include <cctype>
#include <vector>

#include "cue_sheet.h"
#include "file_io.h"
#include "patch.h"
#include "paths.h"

namespace orvex {
namespace {

size_t leafStart(const std::string& path) {
  size_t start = 0;
  for (size_t i = 0; i < path.size(); ++i)
    if (io::isPathSeparator(path[i])) start = i + 1;
  return start;
}

std::vector<std::string> components(const std::string& path) {
  std::vector<std::string> parts(1);
  for (char c : path) {
    if (io::isPathSeparator(c))
      parts.emplace_back();
    else
      parts.back() += c;
  }
  return parts;
}

// How a name written in the sheet at fromFolder is written in one at
// toFolder: the path from the one folder to the other put before it.
Status folderPrefix(io::Fs& fs, const std::string& oldCue, const std::string& newCue,
                    std::string* prefix) {
  prefix->clear();
  std::string from, to;
  const std::string oldFolder = oldCue.substr(0, leafStart(oldCue));
  if (Status s = resolvePath(fs, oldFolder.empty() ? "." : oldFolder, &from); !s.isOk())
    return s.context(oldCue);
  if (Status s = resolveOutputPath(fs, newCue, &to); !s.isOk()) return s.context(newCue);
  std::vector<std::string> a = components(from), b = components(to);
  b.pop_back();  // the new sheet's own name
  while (!a.empty() && a.back().empty()) a.pop_back();
  while (!b.empty() && b.back().empty()) b.pop_back();
  size_t common = 0;
  while (common < a.size() && common < b.size() && a[common] == b[common]) ++common;
  if (common == 0)
    return Status::invalid(newCue + ": on another drive than " + oldCue +
                           ", whose other files it could not name");
  for (size_t i = common; i < b.size(); ++i) *prefix += "../";
  for (size_t i = common; i < a.size(); ++i) *prefix += a[i] + "/";
  return Status::ok();
}

bool isFileCommand(const std::string& line, size_t* nameStart, size_t* nameEnd) {
  size_t at = 0;
  while (at < line.size() && std::isspace(static_cast<unsigned char>(line[at]))) ++at;
  if (line.size() - at < 4) return false;
  std::string word = line.substr(at, 4);
  for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (word != "FILE" ||
      (line.size() > at + 4 && !std::isspace(static_cast<unsigned char>(line[at + 4]))))
    return false;
  at += 4;
  while (at < line.size() && std::isspace(static_cast<unsigned char>(line[at]))) ++at;
  *nameStart = at;
  if (at < line.size() && line[at] == '"') {
    const size_t close = line.find('"', at + 1);
    *nameEnd = close == std::string::npos ? line.size() : close + 1;
  } else {
    *nameEnd = at;
    while (*nameEnd < line.size() && !std::isspace(static_cast<unsigned char>(line[*nameEnd])))
      ++*nameEnd;
  }
  return true;
}

std::string unquoted(const std::string& word) {
  if (word.size() >= 2 && word.front() == '"') return word.substr(1, word.size() - 2);
  return word;
}

}  // namespace

std::string patchedDataPath(const std::string& newCue, const std::string& oldData) {
  const std::string leaf = oldData.substr(leafStart(oldData));
  const size_t dot = leaf.rfind('.');
  const std::string extension = dot == std::string::npos || dot == 0 ? ".bin" : leaf.substr(dot);
  return newCue.substr(0, newCue.size() - 4) + extension;
}

Status patchedCueSheet(io::Fs& fs, const std::string& oldCue, const std::string& newCue,
                       const std::string& newData, std::string* text) {
  std::vector<uint8_t> bytes;
  if (Status s = io::readUserFile(fs, oldCue, &bytes); !s.isOk()) return s.context(oldCue);
  const std::string old(bytes.begin(), bytes.end());
  CueSheet sheet;
  if (Status s = parseCueSheet(old, &sheet); !s.isOk()) return s.context(oldCue);
  const CueTrack* data = firstDataTrack(sheet);
  if (data == nullptr) return Status::invalid(oldCue + ": the cue sheet has no data track");
  std::string prefix;
  if (Status s = folderPrefix(fs, oldCue, newCue, &prefix); !s.isOk()) return s;

  text->clear();
  size_t file = 0;
  for (size_t start = 0; start < old.size();) {
    size_t end = old.find('\n', start);
    end = end == std::string::npos ? old.size() : end + 1;
    std::string line = old.substr(start, end - start);
    start = end;
    size_t nameStart = 0, nameEnd = 0;
    if (isFileCommand(line, &nameStart, &nameEnd)) {
      std::string name = unquoted(line.substr(nameStart, nameEnd - nameStart));
      if (file == data->file) {
        name = newData.substr(leafStart(newData));
      } else if (!prefix.empty()) {
        std::replace(name.begin(), name.end(), '\\', '/');
        name = prefix + name;
      }
      line = line.substr(0, nameStart) + "\"" + name + "\"" + line.substr(nameEnd);
      ++file;
    }
    *text += line;
  }
  return Status::ok();
}

}  // namespace orvex
