// File-system helpers for the extractor's output tree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvex {

// True when the path can be opened for reading (a directory included).
bool fileExists(const std::string& path);

// Creates a directory and every missing ancestor.
bool makeDirectories(const std::string& path, std::string* error);

enum class Existing { kReplace, kKeep };

// Writes data to path so that the file appears under its final name only
// when complete. An earlier file there is replaced, or with Existing::kKeep
// left alone (the write then fails with "already exists"). Missing parent
// directories are created. On failure nothing new is left under path.
bool writeFileAtomic(const std::string& path, const uint8_t* data, size_t length,
                     std::string* error, Existing existing = Existing::kReplace);

// Like writeFileAtomic, with the length bytes at offset in the file open as
// sourceFd as the data; copied inside the kernel where it can be.
bool copyFileAtomic(const std::string& path, int sourceFd, uint64_t offset, uint64_t length,
                    std::string* error, Existing existing = Existing::kReplace);

enum class ReadLocal { kOk, kMissing, kNotAFile, kError };
// Reads a whole file from the working directory.
ReadLocal readLocalFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);

}  // namespace orvex
