#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstring>

#include "program.h"
#include "store.h"

namespace orvex {
namespace {

// An image file in a temporary location, removed when the test ends.
class TempImage {
 public:
  explicit TempImage(const std::vector<uint8_t>& bytes) : path_(dir_ / "image") {
    testing::writeBytes(path_, bytes);
    EXPECT_TRUE(openImage(path_, &image_, io::realFs()).isOk());
  }
  DiscImage& image() { return image_; }
  const std::string& path() const { return path_; }

 private:
  testing::TempDir dir_;
  std::string path_;
  DiscImage image_;
};

// The marker at offset, cut short where the image ends.
std::vector<uint8_t> imageWithMarkerAt(uint64_t offset, uint64_t length) {
  std::vector<uint8_t> bytes(length, 0);
  uint8_t marker[BOOT_MARKER_SIZE];
  encodeBootMarker(marker);
  std::memcpy(&bytes[offset], marker, std::min<uint64_t>(BOOT_MARKER_SIZE, length - offset));
  return bytes;
}

struct MarkerCase {
  uint64_t offset;
  uint64_t length;
  std::optional<uint32_t> expected;
};

class BootSectorTest : public ::testing::TestWithParam<MarkerCase> {};

TEST_P(BootSectorTest, FindsMarkerOnlyAtSectorStartsBelow300) {
  TempImage t(imageWithMarkerAt(GetParam().offset, GetParam().length));
  EXPECT_EQ(findBootSector(t.image()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Offsets, BootSectorTest,
                         ::testing::Values(MarkerCase{0, 4096, 0},
                                           MarkerCase{299 * 2048, 300 * 2048, 299},
                                           MarkerCase{300 * 2048, 301 * 2048, std::nullopt},
                                           MarkerCase{5 * 2048 + 1, 20 * 2048, std::nullopt},
                                           // Short image: the marker's last sector is cut short.
                                           MarkerCase{7 * 2048, 7 * 2048 + 5, 7},
                                           MarkerCase{0, 4, std::nullopt},  // only "BOOT" fits
                                           MarkerCase{9 * 2048, 9 * 2048 + 4, std::nullopt}));

TEST(BootSector, FirstMarkerWins) {
  auto bytes = imageWithMarkerAt(3 * 2048, 10 * 2048);
  encodeBootMarker(&bytes[8 * 2048]);
  TempImage t(bytes);
  EXPECT_EQ(findBootSector(t.image()), 3u);
}

TEST(SectorOffset, WrapsThroughMissingMarker) {
  EXPECT_EQ(sectorOffset(5, 100), 105u * 2048);
  EXPECT_EQ(sectorOffset(1, 0xFFFFFFFF), 0u);
  EXPECT_EQ(sectorOffset(0x200000, 0xFFFFFFFF), uint64_t{0x1FFFFF} * 2048);
  // Offsets beyond 4 GiB are computed in 64 bits.
  EXPECT_EQ(sectorOffset(0x300000, 0), uint64_t{0x300000} * 2048);
}

// An index of records over the image, with the image's base sector.
Store storeOf(TempImage& image, const std::vector<IndexEntry>& entries) {
  const std::vector<uint8_t> bytes = encodeIndex(entries);
  Store store;
  EXPECT_TRUE(openImage(image.path(), &store.image, io::realFs()).isOk());
  store.image.baseSector = image.image().baseSector;
  store.index = parseIndex(bytes.data(), bytes.size());
  return store;
}

Status::Code read(const Store& store, std::string_view name) {
  std::vector<uint8_t> data;
  return readFile(store, name, &data).code();
}

TEST(ReadFile, ReadsStoredAndCompressedEntries) {
  std::vector<uint8_t> bytes(8 * 2048, 0);
  encodeBootMarker(&bytes[2 * 2048]);
  std::memcpy(&bytes[3 * 2048], "plain", 5);
  const uint8_t stream[] = {0x02, 0x01, 0x80, 'z', 0x00, 0x00, 0x06, 0x80};
  std::memcpy(&bytes[4 * 2048], stream, sizeof stream);
  std::memcpy(&bytes[5 * 2048], "flag2", 5);
  TempImage t(bytes);
  t.image().baseSector = findBootSector(t.image()).value_or(NO_BASE_SECTOR);
  ASSERT_EQ(t.image().baseSector, 2u);
  const Store store = storeOf(t, {{hashName("p"), 0, 1, 5},
                                  {hashName("c"), 1, 2, sizeof stream},
                                  {hashName("f2"), 2, 3, 5},
                                  {hashName("empty"), 0, 1, 0}});

  struct {
    const char* name;
    std::string expected;
  } cases[] = {{"p", "plain"}, {"c", "zzzzzz"}, {"f2", "flag2"}, {"empty", ""}};
  for (const auto& c : cases) {
    for (int attempt = 0; attempt < 2; ++attempt) {  // reads leave the index unchanged
      std::vector<uint8_t> data;
      const Status r = readFile(store, c.name, &data);
      ASSERT_TRUE(r.isOk()) << c.name << " " << r.message();
      EXPECT_EQ(std::string(data.begin(), data.end()), c.expected) << c.name;
    }
  }
  EXPECT_EQ(read(store, "missing"), Status::Code::kNotFound);
}

// A compressed entry whose stream's start decoding cannot reach: only its
// end is read, whatever the entry's stored size.
TEST(ReadFile, CompressedEntryReadsOnlyWhatDecodingReaches) {
  ORVEX_SKIP_WITHOUT_POSIX("getrusage");
#ifndef _WIN32
  std::vector<uint8_t> stream;
  ASSERT_TRUE(compress(reinterpret_cast<const uint8_t*>("hello, hello"), 12, &stream));
  const uint64_t size = uint64_t{256} << 20;  // sparse: a hole, then the stream
  char path[] = "/tmp/orvex_image_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(2048 + size)), 0);
  ASSERT_EQ(
      pwrite(fd, stream.data(), stream.size(), static_cast<off_t>(2048 + size - stream.size())),
      static_cast<ssize_t>(stream.size()));
  close(fd);
  Store store;
  ASSERT_TRUE(openImage(path, &store.image, io::realFs()).isOk());
  unlink(path);
  store.image.baseSector = 0;
  const std::vector<uint8_t> index =
      encodeIndex({{hashName("far"), FLAG_COMPRESSED, 1, static_cast<uint32_t>(size)}});
  store.index = parseIndex(index.data(), index.size());

  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  std::vector<uint8_t> data;
  const Status r = readFile(store, "far", &data);
  getrusage(RUSAGE_SELF, &after);
  ASSERT_TRUE(r.isOk()) << r.message();
  EXPECT_EQ(std::string(data.begin(), data.end()), "hello, hello");
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 32 << 10) << "kB more at the peak";
#endif
}

TEST(ReadFile, WithoutMarkerSectorOneIsByteZero) {
  std::vector<uint8_t> bytes(2048, 0);
  std::memcpy(bytes.data(), "first", 5);
  TempImage t(bytes);
  const Store store = storeOf(t, {{hashName("x"), 0, 1, 5}});
  std::vector<uint8_t> data;
  ASSERT_TRUE(readFile(store, "x", &data).isOk());
  EXPECT_EQ(std::string(data.begin(), data.end()), "first");
}

TEST(ReadFile, EntriesPastTheImageEndAreDamaged) {
  TempImage t(std::vector<uint8_t>(3 * 2048, 'q'));
  t.image().baseSector = 0;
  const Store store = storeOf(t, {{hashName("fits"), 0, 2, 2048},
                                  {hashName("over"), 0, 2, 2049},
                                  {hashName("far"), 0, 0x7FFFFFFF, 1},
                                  {hashName("bad"), 1, 1, 2},
                                  {hashName("empty-far"), 0, 0x7FFFFFFF, 0}});
  EXPECT_EQ(read(store, "fits"), Status::Code::kOk);
  EXPECT_EQ(read(store, "over"), Status::Code::kDamaged);
  EXPECT_EQ(read(store, "far"), Status::Code::kDamaged);
  EXPECT_EQ(read(store, "bad"), Status::Code::kDamaged);  // stream under 4 bytes
  // Reading nothing cannot fail, wherever it would start: an empty file.
  EXPECT_EQ(read(store, "empty-far"), Status::Code::kOk);
}

}  // namespace
}  // namespace orvex
