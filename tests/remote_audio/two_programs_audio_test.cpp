// Two instances of the program, each in its own simulated root: the station's capture file arrives in the
// remote head's playback file, and the head's in the station's, sample for sample (PCM).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <cstring>
#include <map>

#include "sim/micro/micro_sim.h"
#include "sim/root/mkroot.h"
#include "tests/testlib/temp_root.h"
#include "tests/testlib/unit_process.h"
#include "tests/testlib/wait.h"

using namespace std::chrono_literals;

namespace {

struct Program {
  explicit Program(std::map<std::string, std::string> setup, uint16_t mark) {
    sim::RootOptions o;
    o.setup = std::move(setup);
    EXPECT_TRUE(sim::makeSimRoot(root.path(), o));
    // 30 s of stereo frames that each tell their own index, told apart by the unit's mark.
    std::string in;
    for (uint32_t i = 0; i < 48000 * 30; ++i) {
      const uint16_t left = static_cast<uint16_t>(i), right = static_cast<uint16_t>((i >> 16) | (mark << 8));
      in.append(reinterpret_cast<const char*>(&left), 2).append(reinterpret_cast<const char*>(&right), 2);
    }
    root.write("/sim/audio_in.raw", in);
    micro.start(root.path() + "/dev/ttyAMA0");
    pid = testlib::startUnit(KORVANE_BINARY, root.path(), sim::unitWorkDir(root.path()), "0.05");
  }
  ~Program() { stop(); }
  void stop() {
    if (pid > 0) {
      EXPECT_EQ(testlib::stopUnit(pid, SIGTERM, 20s), 0);
    }
    pid = 0;
    micro.stop();
  }
  std::string log() const { return testlib::slurp(root.path() + "/var/log/korvane.log"); }
  bool logHas(const std::string& text) const {
    return testlib::waitUntil([&] { return log().find(text) != std::string::npos; }, 30s);
  }
  // The playback file as it is now (playback rewrites it when it opens again after the peer).
  size_t played() {
    out = testlib::slurp(root.path() + "/sim/audio_out.raw");
    return out.size() / 4;
  }
  // The longest run of consecutive frames of the peer's capture (mark) in the playback file last read.
  size_t longestRunFrom(uint16_t mark) const {
    size_t best = 0, run = 0;
    uint32_t prev = 0;
    for (size_t p = 0; p + 4 <= out.size(); p += 4) {
      uint16_t left, right;
      memcpy(&left, out.data() + p, 2);
      memcpy(&right, out.data() + p + 2, 2);
      const uint32_t index = left | (uint32_t{right & 0xFFu} << 16);
      const bool ours = (right >> 8) == mark;
      run = ours && run > 0 && index == prev + 1 ? run + 1 : ours ? 1 : 0;
      prev = index;
      best = std::max(best, run);
    }
    return best;
  }
  testlib::TempRoot root;
  std::string out;
  sim::MicroSim micro;
  pid_t pid = 0;
};

TEST(TwoProgramsAudio, CaptureFilesArriveInThePeersPlaybackFiles) {
  const std::string port = std::to_string(testlib::freeSetupPort());
  const std::map<std::string, std::string> audio = {
      {"EnableRead", "1"}, {"EnableWrite", "1"}, {"InChannels", "2"}, {"AudioCompress", "0"}, {"EnableGPIO", "0"}};
  auto with = [&](std::map<std::string, std::string> m) {
    m.insert(audio.begin(), audio.end());
    return m;
  };
  Program station(with({{"WebSocket", "1"}, {"TcpPort", port}}), 0x11);
  Program head(with({{"WebSocket", "2"}, {"TcpPort", port}, {"Server", "127.0.0.1"}}), 0x22);
  ASSERT_TRUE(station.logHas("Receiving data")) << station.log();
  ASSERT_TRUE(station.logHas("output audio interface prepared")) << station.log();
  ASSERT_TRUE(head.logHas("output audio interface prepared")) << head.log();
  // A second and a half of audio each way in the playback files.
  EXPECT_TRUE(testlib::waitUntil([&] { return head.played() > 72000 && station.played() > 72000; }, 30s))
      << head.out.size() << " " << station.out.size();
  head.stop();
  station.stop();
  EXPECT_GE(head.longestRunFrom(0x11), 48000u) << head.log();
  EXPECT_GE(station.longestRunFrom(0x22), 48000u) << station.log();
}

}  // namespace
