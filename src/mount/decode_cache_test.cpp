#include "decode_cache.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace orvex {
namespace {

DecodeCache::Decode bytesOf(size_t size, uint8_t fill) {
  return [=](std::vector<uint8_t>* out) {
    out->assign(size, fill);
    return Status::ok();
  };
}

TEST(DecodeCache, KeepsWhatFitsLeastRecentlyUsedFirstOut) {
  DecodeCache cache(100);
  DecodeCache::Bytes bytes;
  for (uint64_t key : {1, 2, 1, 3}) {  // 1 is used again, so 2 goes first
    ASSERT_TRUE(cache.get(key, 40, bytesOf(40, static_cast<uint8_t>(key)), &bytes).isOk());
    EXPECT_EQ(bytes->at(0), key);
    bytes.reset();
    EXPECT_LE(cache.heldBytes(), 100u);
  }
  EXPECT_EQ(cache.decodes(), 3u);
  ASSERT_TRUE(cache.get(1, 40, bytesOf(40, 1), &bytes).isOk());
  EXPECT_EQ(cache.decodes(), 3u);
  ASSERT_TRUE(cache.get(2, 40, bytesOf(40, 2), &bytes).isOk());
  EXPECT_EQ(cache.decodes(), 4u);
}

TEST(DecodeCache, AFileLargerThanTheBoundIsKeptAloneWhileItIsRead) {
  for (const bool stillRead : {true, false}) {
    SCOPED_TRACE(stillRead ? "read within the patience" : "patience over");
    DecodeCache cache(100, stillRead ? std::chrono::hours(1) : std::chrono::seconds(0));
    DecodeCache::Bytes bytes;
    ASSERT_TRUE(cache.get(1, 60, bytesOf(60, 1), &bytes).isOk());
    ASSERT_TRUE(cache.get(2, 150, bytesOf(150, 2), &bytes).isOk());
    bytes.reset();
    // The kept file made room: the large one is all there is.
    EXPECT_EQ(cache.heldBytes(), 150u);
    ASSERT_TRUE(cache.get(2, 150, bytesOf(150, 2), &bytes).isOk());
    EXPECT_EQ(cache.decodes(), 2u);
    // Another file read beside it is served alone while it is read, and
    // takes its room once it is not.
    for (int i = 0; i < 2; ++i) {
      ASSERT_TRUE(cache.get(3, 40, bytesOf(40, 3), &bytes).isOk());
      EXPECT_EQ(bytes->at(0), 3);
    }
    bytes.reset();
    EXPECT_EQ(cache.decodes(), stillRead ? 4u : 3u);
    EXPECT_EQ(cache.heldBytes(), stillRead ? 150u : 40u);
    ASSERT_TRUE(cache.get(2, 150, bytesOf(150, 2), &bytes).isOk());
    EXPECT_EQ(cache.decodes(), 4u);  // kept all along, or decoded again
  }
}

TEST(DecodeCache, TwoReadersAtOnceDecodeOnceAndInFlightBytesCount) {
  DecodeCache cache(1000);
  DecodeCache::Bytes first, second;
  uint64_t heldWhileDecoding = 0;
  // The decode goes on only once the second reader waits for it.
  const DecodeCache::Decode slow = [&](std::vector<uint8_t>* out) {
    heldWhileDecoding = cache.heldBytes();
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (cache.waiting() == 0 && std::chrono::steady_clock::now() < give_up)
      std::this_thread::yield();
    out->assign(300, 7);
    return Status::ok();
  };
  std::thread one([&] { EXPECT_TRUE(cache.get(9, 300, slow, &first).isOk()); });
  while (cache.decodes() == 0) std::this_thread::yield();
  std::thread two([&] { EXPECT_TRUE(cache.get(9, 300, slow, &second).isOk()); });
  one.join();
  two.join();
  EXPECT_EQ(cache.decodes(), 1u);
  EXPECT_EQ(first, second);
  EXPECT_EQ(heldWhileDecoding, 300u);
}

TEST(DecodeCache, AFailedDecodeIsNotKept) {
  DecodeCache cache(100);
  DecodeCache::Bytes bytes;
  const DecodeCache::Decode broken = [](std::vector<uint8_t>*) {
    return Status::damaged("a damaged stream");
  };
  EXPECT_EQ(cache.get(1, 10, broken, &bytes).code(), Status::Code::kDamaged);
  EXPECT_EQ(cache.get(1, 10, broken, &bytes).code(), Status::Code::kDamaged);
  EXPECT_EQ(cache.decodes(), 2u);
  EXPECT_EQ(cache.heldBytes(), 0u);
}

}  // namespace
}  // namespace orvex
