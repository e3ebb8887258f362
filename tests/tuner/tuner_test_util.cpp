// Helpers of the tuner tests.
#include "tests/tuner/tuner_test_util.h"

#include <fstream>
#include <sstream>

#include "core/works.h"

namespace tunertest {

void Fixture::SetUp() {
  root.activate();
  tw = std::make_unique<testlib::TestWorks>();
  w = tw->get();
  InitGlobalVar(w);
  w->cpPending = 0;      // the error list accepts errors, as after the micro's first "CP"
  InstallTunerHooks(w);  // wired as the entry point wires the link and the tuner
  drain();
}

std::vector<int> Fixture::drain() {
  std::vector<int> out;
  for (int s; (s = PopCMDLinear(w)) >= 0;) out.push_back(s);
  return out;
}

StderrCapture::StderrCapture() { ::testing::internal::CaptureStderr(); }
std::string StderrCapture::take() {
  taken = true;
  return ::testing::internal::GetCapturedStderr();
}
StderrCapture::~StderrCapture() {
  if (!taken) ::testing::internal::GetCapturedStderr();
}

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

}  // namespace tunertest
