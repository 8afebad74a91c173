// A new file that appears under its final name only when complete.
//
// It starts as an unnamed temporary file in the folder it goes to and is
// linked under its final name once written, so that a process that dies at
// any point leaves nothing behind. Two cases need a name for it before then:
// replacing an entry that is there (the file is linked under a temporary
// name, then renamed over the entry: a process killed between the two steps
// leaves the temporary) and file systems without unnamed temporary files
// (the file has a temporary name from the start). Temporary names are
// ".orvex-tmp-PID-N". Each is locked by the run that made it and removed by
// a signal that interrupts that run; one left by a killed run is removed by
// the next run that makes a temporary file in the same folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "fs.h"
#include "interrupt.h"
#include "status.h"

namespace orvex::io {

class NewFile {
 public:
  explicit NewFile(Fs& fs) : fs_(fs) {}
  // A file that was never published is discarded.
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  // Starts the file that will be leaf in folder, which must stay open until
  // the file is published or discarded.
  Status create(const Folder& folder, std::string leaf);
  // The file, open for reading and writing.
  const File& file() const { return file_; }
  // Flushes the file's data to the disk.
  Status sync();
  // Gives the file its final name. Without replace, nothing that stands
  // there is touched and the result is kExists. With replace, what stands
  // there is replaced in one step (a link is replaced, never followed).
  Status publish(bool replace);
  // Flushes the folder, so that the name survives a crash.
  Status syncFolder();

 private:
  Status linkUnderTemporaryName();
  void discard();

  Fs& fs_;
  const Folder* dir_ = nullptr;
  std::string leaf_;
  File file_;
  bool unnamed_ = false;
  std::string temp_;  // the file's temporary name, while it has one
  PendingUndo undo_;
};

// A new file at a path of the user's (an output of pack or patch): its
// folder is opened and cleared of stale temporaries first, and every
// failure names the path.
class OutputFile {
 public:
  explicit OutputFile(Fs& fs) : fs_(fs), file_(fs) {}

  // With permissions, the file gets them whatever the umask (to keep those
  // of a file it replaces).
  Status create(const std::string& path, std::optional<uint32_t> permissions = std::nullopt);
  const File& file() const { return file_.file(); }
  const std::string& path() const { return path_; }
  // Whether the file has its final name.
  bool published() const { return published_; }
  // The status with the path in front, when it is a failure.
  Status about(const Status& status) const;

 private:
  friend Status publishTogether(OutputFile& first, OutputFile* second, OutputFile* third);

  Fs& fs_;
  std::string path_;
  Folder folder_;
  NewFile file_;
  bool published_ = false;
};

// Flushes the files, gives them their final names (replacing what stands
// there) with signals held, so that an interrupted run leaves all old or
// all new, then flushes their folders. second and third may be null.
Status publishTogether(OutputFile& first, OutputFile* second, OutputFile* third = nullptr);

// An empty folder of the process's own under the temporary folder ($TMPDIR,
// else /tmp), removed when this ends if still empty.
class EmptyFolder {
 public:
  explicit EmptyFolder(Fs& fs) : fs_(fs) {}
  ~EmptyFolder();
  EmptyFolder(const EmptyFolder&) = delete;
  EmptyFolder& operator=(const EmptyFolder&) = delete;

  Status create();
  const std::string& path() const { return path_; }

 private:
  Fs& fs_;
  std::string path_;
};

// Removes from folder the temporary files that runs which are gone left
// behind: names of the temporary pattern only, regular files only, and only
// those no run holds.
void removeStaleTemporaries(Fs& fs, const Folder& folder);

// Opens the folder that path's last part lives in, for creating that part
// there.
Status openParent(Fs& fs, const std::string& path, Folder* folder, std::string* leaf);

}  // namespace orvex::io
