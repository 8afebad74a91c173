#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "pack.h"
#include "program.h"

namespace orvex {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes randomBytes(size_t length, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(length);
  for (uint8_t& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

Bytes textBytes(size_t length) {
  const std::string line = "sector after sector, the store keeps its files in order.\n";
  Bytes b;
  while (b.size() < length) b.insert(b.end(), line.begin(), line.end());
  b.resize(length);
  return b;
}

void writeFile(const fs::path& path, const Bytes& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// A source tree shared by every test in the suite: file sizes around the
// sector size, an empty file, incompressible data and a file too long for a
// compressed stream.
class PackTreeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new fs::path(fs::temp_directory_path() / ("orvex_pack_" + std::to_string(getpid())));
    files_ = new std::map<std::string, Bytes>{
        {"readme.txt", textBytes(5000)},
        {"empty", {}},
        {"one", {'x'}},
        {"data/sector.bin", randomBytes(SECTOR_SIZE, 1)},
        {"data/sector_plus.bin", textBytes(SECTOR_SIZE + 1)},
        {"data/random.bin", randomBytes(70000, 2)},
        {"data/deep/er/leaf.txt", textBytes(300)},
        {"a.txt", textBytes(10)},  // sorts before "a/..."
        {"a/b", textBytes(20)},
        {"big/stream.bin", textBytes(MAX_COMPRESSED_LENGTH + 1)},
    };
    for (const auto& [name, bytes] : *files_) writeFile(*root_ / "src" / name, bytes);
  }
  static void TearDownTestSuite() {
    fs::remove_all(*root_);
    delete root_;
    delete files_;
  }

  static fs::path* root_;
  static std::map<std::string, Bytes>* files_;
};

fs::path* PackTreeTest::root_ = nullptr;
std::map<std::string, Bytes>* PackTreeTest::files_ = nullptr;

struct PackCase {
  StoredForm form;
  uint32_t baseSector;
};

class PackRoundTrip : public PackTreeTest, public ::testing::WithParamInterface<PackCase> {};

TEST_P(PackRoundTrip, EveryFileReadsBackThroughTheStore) {
  Problems problems;
  const fs::path image = *root_ / "disc.img", index = *root_ / "disc.idx";
  const Status packed =
      packTree(io::realFs(), (*root_ / "src").string(), image.string(), index.string(),
               {GetParam().baseSector, GetParam().form}, &problems);
  ASSERT_TRUE(packed.isOk()) << packed.message();

  Store store;
  Problems oddities;
  ASSERT_TRUE(
      openStore(image.string(), index.string(), &store, &oddities, nullptr, io::realFs()).isOk());
  EXPECT_EQ(oddities.lines(), std::vector<std::string>{});
  EXPECT_EQ(store.image.baseSector, GetParam().baseSector);

  // The name list, then the sorted names; each file on the sector after the
  // last one's, starting at relative sector 1.
  const auto& entries = store.index.entries();
  ASSERT_EQ(entries.size(), files_->size() + 1);
  const IndexEntry& list = entries.front();
  EXPECT_EQ(list.hash, hashName(NAME_LIST_NAME));
  EXPECT_EQ(list.sector, 1u);
  uint32_t expectedSector = 1 + std::max<uint32_t>(1, (list.size + SECTOR_SIZE - 1) / SECTOR_SIZE);
  size_t i = 1;
  for (const auto& [name, bytes] : *files_) {
    const IndexEntry& e = entries[i++];
    EXPECT_EQ(e.hash, hashName(name)) << name;
    EXPECT_EQ(e.sector, expectedSector) << name;
    expectedSector += std::max<uint32_t>(1, (e.size + SECTOR_SIZE - 1) / SECTOR_SIZE);

    std::vector<uint8_t> data;
    const Status r = readFile(store, name, &data);
    ASSERT_TRUE(r.isOk()) << name << ": " << r.message();
    EXPECT_TRUE(data == bytes) << name;

    const bool compressed = e.flags & FLAG_COMPRESSED;
    Bytes stream;
    const bool accepted = compress(bytes.data(), bytes.size(), &stream);
    switch (GetParam().form) {
      case StoredForm::kStore:
        EXPECT_FALSE(compressed) << name;
        break;
      case StoredForm::kCompress:
        EXPECT_EQ(compressed, accepted) << name;
        break;
      case StoredForm::kAuto:
        EXPECT_EQ(compressed, accepted && stream.size() < bytes.size()) << name;
        break;
      case StoredForm::kKeep:
        break;
    }
    if (!compressed) {
      EXPECT_EQ(e.size, bytes.size()) << name;
    }
  }
  EXPECT_EQ(fs::file_size(image), uint64_t{GetParam().baseSector + expectedSector} * SECTOR_SIZE);

  std::vector<uint8_t> names;
  const Status read = readFile(store, NAME_LIST_NAME, &names);
  ASSERT_TRUE(read.isOk()) << read.message();
  std::vector<std::string> expectedNames;
  for (const auto& entry : *files_) expectedNames.push_back(entry.first);
  EXPECT_TRUE(names == encodeNameList(expectedNames));
}

INSTANTIATE_TEST_SUITE_P(Modes, PackRoundTrip,
                         ::testing::Values(PackCase{StoredForm::kAuto, 16},
                                           PackCase{StoredForm::kCompress, 0},
                                           PackCase{StoredForm::kStore, 299},
                                           PackCase{StoredForm::kAuto, 1}));

TEST_F(PackTreeTest, SymlinkInsideTheTreeIsPackedAsItsTarget) {
  ORVEX_SKIP_WITHOUT_POSIX("symbolic links");
  const fs::path tree = *root_ / "linked";
  writeFile(tree / "real/file.txt", textBytes(100));
  fs::create_directories(tree / "alias");
  fs::create_symlink("../real/file.txt", tree / "alias" / "file.txt");
  Problems problems;
  const Status packed = packTree(io::realFs(), tree.string(), (*root_ / "l.img").string(),
                                 (*root_ / "l.idx").string(), {}, &problems);
  ASSERT_TRUE(packed.isOk()) << packed.message();
  Store store;
  Problems oddities;
  ASSERT_TRUE(openStore((*root_ / "l.img").string(), (*root_ / "l.idx").string(), &store, &oddities,
                        nullptr, io::realFs())
                  .isOk());
  for (const char* name : {"alias/file.txt", "real/file.txt"}) {
    std::vector<uint8_t> data;
    ASSERT_TRUE(readFile(store, name, &data).isOk()) << name;
    EXPECT_TRUE(data == textBytes(100)) << name;
  }
}

TEST_F(PackTreeTest, RefusesBaseSectorTheExtractorCannotFind) {
  Problems problems;
  const Status packed =
      packTree(io::realFs(), (*root_ / "src").string(), (*root_ / "x.img").string(),
               (*root_ / "x.idx").string(), {300, StoredForm::kAuto}, &problems);
  EXPECT_EQ(packed.code(), Status::Code::kInvalid);
  EXPECT_NE(packed.message().find("300"), std::string::npos) << packed.message();
  EXPECT_FALSE(fs::exists(*root_ / "x.img"));
}

}  // namespace
}  // namespace orvex
