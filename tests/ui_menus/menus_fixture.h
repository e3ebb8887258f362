// Helpers of the menu tests: a record with its menus in a fresh root, key presses, the queued link states.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/testlib/temp_root.h"
#include "ui/memory_screen.h"

namespace menutest {

struct Fixture : ::testing::Test {
  testlib::TempRoot root;
  std::unique_ptr<testlib::TestWorks> tw;
  Works* w = nullptr;
  void SetUp() override;
  // A key as the scanner reports it: a short press on release, or the long press once held.
  int press(int key, bool held = false);
  int longPress(int key) { return press(key, true); }
  // Takes every queued link state off the ring, oldest first.
  std::vector<int> drain();
  // The label a page shows now under or above a key.
  std::string bottom(int page, int key);
  std::string top(int page, int key);
  // Commands the root's stand-ins ran, one per line.
  std::string commands() const;
};

// A screen in memory with the fonts of the unit's slots loaded.
struct ScreenFixture : Fixture {
  std::unique_ptr<MemoryScreen> mem;
  void SetUp() override;
};

}  // namespace menutest
