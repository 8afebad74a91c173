// Test helper: a disc built in memory, written to a temporary directory and
// opened as a store.
#pragma once

#include <gtest/gtest.h>

#include "catalog.h"
#include "disc_builder.h"
#include "disc_content.h"
#include "pack.h"
#include "program.h"

namespace orvex {

using testing::compressed;

class TestDisc {
 public:
  explicit TestDisc(const DiscBuilder& disc) {
    const DiscBytes bytes = buildDisc(disc);
    testing::writeBytes(dir / "disc.img", bytes.image);
    testing::writeBytes(dir / "disc.idx", bytes.index);
    Problems oddities;
    const Status status =
        openStore(dir / "disc.img", dir / "disc.idx", &store, &oddities, nullptr, io::realFs());
    EXPECT_TRUE(status.isOk()) << status.message();
    EXPECT_TRUE(OutputDir::open(dir.path(), false, &folder, io::realFs()).isOk());
  }
  TestDisc(const TestDisc&) = delete;
  TestDisc& operator=(const TestDisc&) = delete;

  // The event table that learnNames reads, in the temporary directory.
  std::string eventsTable() const { return dir / "eventsTable"; }
  // The names a run in the temporary directory learns.
  NameReach learn() const { return learnNames(store, folder.get()); }
  Inventory inventory() const { return takeInventory(store, learn()); }

  testing::TempDir dir;
  Store store;
  std::unique_ptr<OutputDir> folder;
};

}  // namespace orvex
