// Helpers of the tuner tests: a record in a fresh root, the queued link states, stderr capture.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "amp/link.h"
#include "tests/testlib/temp_root.h"
#include "tuner/tuner.h"

namespace tunertest {

// A record with defaults in its own temporary root, the queue emptied.
struct Fixture : ::testing::Test {
  testlib::TempRoot root;
  std::unique_ptr<testlib::TestWorks> tw;
  Works* w = nullptr;
  void SetUp() override;
  // Takes every queued state off the ring, oldest first.
  std::vector<int> drain();
};

// Everything written to standard error while alive.
struct StderrCapture {
  StderrCapture();
  std::string take();
  bool taken = false;
  ~StderrCapture();
};

std::string slurp(const std::string& path);

}  // namespace tunertest
