// Reading and writing through the seam: every loop over interrupted calls and
// short transfers is here, and so is the one engine that copies between
// files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fs.h"
#include "status.h"

namespace orvex::io {

// Reads length bytes at offset, fewer only where the file ends; *got gets
// how many were read.
Status readAt(Fs& fs, const File& file, uint8_t* into, size_t length, uint64_t offset, size_t* got);

// Reads length bytes from the file position, fewer only where the file
// ends; *got gets how many were read.
Status readFull(Fs& fs, const File& file, uint8_t* into, size_t length, size_t* got);

// Reads from the file position to the end, keeping at most limit bytes;
// stops reading once it has limit + 1, so that a file without end (a
// character device, a pipe) is never read further. *more tells whether the
// file held more than limit bytes.
Status readUpTo(Fs& fs, const File& file, uint64_t limit, std::vector<uint8_t>* bytes, bool* more);

Status writeAll(Fs& fs, const File& file, const uint8_t* data, size_t length);
Status writeAllAt(Fs& fs, const File& file, const uint8_t* data, size_t length, uint64_t offset);
Status writeZerosAt(Fs& fs, const File& file, uint64_t length, uint64_t offset);

// Copies bytes between two files inside the kernel where it can:
// copy_file_range, else sendfile, else reading and writing through a buffer.
// Once the kernel refuses a way for a pair of files (another file system, a
// kernel without it) the copier does not ask again. One copier serves one
// thread.
class Copier {
 public:
  explicit Copier(Fs& fs) : fs_(fs) {}
  // Appends length bytes of from, starting at offset, at to's file position.
  // A source that ends early gives kDamaged.
  Status copy(const File& from, uint64_t offset, uint64_t length, const File& to);
  // Makes the empty file to a copy of from's first length bytes, sharing
  // the blocks (a reflink) where the file system can.
  Status copyWhole(const File& from, uint64_t length, const File& to);

 private:
  Status copyThroughBuffer(const File& from, uint64_t offset, uint64_t length, const File& to);

  Fs& fs_;
  bool copyRange_ = true;
  bool sendFile_ = true;
};

// Opens a file of the user's for reading: kNotFound when there is none.
Status openUserFile(Fs& fs, const std::string& path, File* file);
// Reads a whole regular file of the user's; kNotFound when there is none,
// kInvalid when it is not a regular file.
Status readUserFile(Fs& fs, const std::string& path, std::vector<uint8_t>* bytes);
// Reads the rest of an open regular file.
Status readRegularFile(Fs& fs, const File& file, std::vector<uint8_t>* bytes);

// One entry of a folder.
struct FolderEntry {
  std::string name;
  FileInfo info;  // of the entry itself, a link not followed
};
// The entries of the folder, sorted by name.
Status listFolder(Fs& fs, const Folder& folder, std::vector<FolderEntry>* entries);

}  // namespace orvex::io
