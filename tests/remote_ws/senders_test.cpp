// The bytes of every frame the unit sends, read off the other end of a socket pair; the remote menu's
// presence check and service shell.
#include <gtest/gtest.h>

#include "tests/remote_ws/ws_rig.h"

using namespace std::chrono_literals;
using namespace wsrig;

namespace {

class Senders : public ::testing::Test {
 protected:
  void SetUp() override {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    w->wsockFD = sv[0];
    w->wsockConnected = 1;
    peer = std::make_unique<RawPeer>(sv[1], true);
    setFlag(w->setup->WebSocket, '1');
  }
  void TearDown() override { close(w->wsockFD); }
  // Everything sent so far.
  std::string sent() { return peer->read(1 << 20, 100ms); }
  testlib::TestWorks w;
  std::unique_ptr<RawPeer> peer;
};

std::string be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

TEST_F(Senders, ShortFrames) {
  struct Case {
    int (*send)(Works*, const void*, int);
    const char* tag;
  } cases[] = {{sendWebSockCatFrame, "CA"},
               {sendWebSockSerParFrame, "PA"},
               {sendWebSockStatusFrame, "ST"},
               {sendWebSockSerFrame, "SC"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tag);
    EXPECT_EQ(c.send(w.get(), "FA;", 3), 0);
    EXPECT_EQ(sent(), std::string("\x82\x05") + c.tag + "FA;");
    const std::string longest(123, 'x');
    EXPECT_EQ(c.send(w.get(), longest.data(), 123), 0);
    EXPECT_EQ(sent(), std::string("\x82\x7d") + c.tag + longest);
    EXPECT_EQ(c.send(w.get(), longest.data(), 124), -1);
    EXPECT_EQ(sent(), "");
  }
  w->wsockConnected = 0;
  EXPECT_EQ(sendWebSockStatusFrame(w.get(), "x", 1), 0);
  EXPECT_EQ(sendWebSockSerSpectrFrame(w.get(), "x", 1), 0);
  EXPECT_EQ(sendWebSockEventFrame(w.get(), 1, 2), 0);
  EXPECT_EQ(sent(), "");
}

// A peer that stops reading fills the socket: the status of each pass is then skipped rather than waited for
// (the supervisor would stand still for the whole send time-out), and every frame that did go is whole.
TEST_F(Senders, StatusFramesNeverWaitForAPeerThatStoppedReading) {
  std::atomic<int> calls{0};
  const bool returned = testlib::returnsWithin(
      [&] {
        for (; calls < 20000; ++calls) ASSERT_EQ(sendWebSockStatusFrame(w.get(), "0123456789", 10), 0);
      },
      20s, [&] { shutdown(w->wsockFD, SHUT_RDWR); });
  ASSERT_TRUE(returned) << "blocked after " << calls << " frames";
  // Another sender holds the lock: skipped as well.
  {
    std::lock_guard<std::mutex> lk(*w->wsockMut);
    EXPECT_EQ(sendWebSockStatusFrame(w.get(), "x", 1), 0);
  }
  const std::string got = peer->read(1 << 24, 500ms);
  const std::string one = std::string("\x82\x0c") + "ST0123456789";
  ASSERT_GT(got.size(), 0u);
  ASSERT_LT(got.size(), 20000 * one.size()) << "the socket never filled: nothing was skipped";
  ASSERT_EQ(got.size() % one.size(), 0u);
  for (size_t i = 0; i < got.size(); i += one.size()) ASSERT_EQ(got.compare(i, one.size(), one), 0) << i;
  EXPECT_EQ(w->wsockConnected, 1);
}

// 854 level bytes: chunks at 0 and 512, the second with 342 meaningful bytes and zeros after them.
TEST_F(Senders, SpectrumLineInTwoChunks) {
  std::string line(854, '\0');
  for (size_t i = 0; i < line.size(); ++i) line[i] = static_cast<char>(1 + i % 200);
  ASSERT_EQ(sendWebSockSerSpectrFrame(w.get(), line.data(), 854), 0);
  const std::string got = sent();
  ASSERT_EQ(got.size(), 2u * 526);
  const std::string head = std::string("\x82\x7e\x02\x0aSP", 6) + be32(854);
  EXPECT_EQ(got.substr(0, 526), head + be32(0) + line.substr(0, 512));
  EXPECT_EQ(got.substr(526), head + be32(512) + line.substr(512) + std::string(170, '\0'));
}

TEST_F(Senders, RawScreenAndTouch) {
  TestScreen screen(16, 16);  // 1024 bytes: two whole chunks
  for (size_t i = 0; i < screen.mem.size(); ++i) screen.mem[i] = static_cast<uint8_t>(i / 3);
  w->fb = &screen.s;
  ASSERT_EQ(sendScreenFrame(w.get()), 0);
  const std::string got = sent();
  ASSERT_EQ(got.size(), 2u * 526);
  const std::string pixels(screen.mem.begin(), screen.mem.end());
  EXPECT_EQ(got.substr(0, 14), std::string("\x82\x7e\x02\x0a"
                                           "FB",
                                           6) +
                                   be32(1024) + be32(0));
  EXPECT_EQ(got.substr(14, 512), pixels.substr(0, 512));
  EXPECT_EQ(got.substr(526 + 10, 4), be32(512));
  EXPECT_EQ(got.substr(526 + 14), pixels.substr(512));
  setFlag(w->setup->WebSocket, '2');  // a remote head sends no screen
  EXPECT_EQ(sendScreenFrame(w.get()), 0);
  EXPECT_EQ(sent(), "");
  EXPECT_EQ(sendWebSockEventFrame(w.get(), 123, 456), 0);
  EXPECT_EQ(sent(), std::string("\x81\x0c\0\0\0\0XY0012300456", 18));
}

TEST_F(Senders, CutFrameEndsTheConnection) {
  peer->closeNow();
  EXPECT_EQ(sendWebSockStatusFrame(w.get(), "abc", 3), -1);
}

TEST(PresenceCheck, ResultByWhatIsMissing) {
  testlib::TestWorks w;
  EXPECT_EQ(Find_Remote_Settings(w.get()), 1);  // no USB library at all
  struct Case {
    int usb, cat, audio, result;
  } cases[] = {{0, 0, 1, 1}, {1, -1, 1, 2}, {1, 0, 0, 3}, {1, 0, 2, 0}};
  static Case current;
  w->hooks.usbTransceiverPresent = [](Works*) { return current.usb; };
  w->hooks.verifyCat = [](Works*) { return current.cat; };
  w->hooks.verifyAudioBIX = [](Works*) { return current.audio; };
  for (const Case& c : cases) {
    current = c;
    EXPECT_EQ(Find_Remote_Settings(w.get()), c.result) << c.usb << c.cat << c.audio;
  }
}

TEST(RemoteShell, RunsAndWaits) {
  testlib::TempRoot root;
  root.activate();
  root.write("/opt/sshshell", "#!/bin/sh\necho ran > \"$(dirname \"$0\")/ran\"\n");
  chmod(root.file("/opt/sshshell").c_str(), 0755);
  testlib::LogCapture log;
  RemoteConnection();
  EXPECT_TRUE(root.exists("/opt/ran"));
  EXPECT_TRUE(log.contains("launched ssh"));
}

}  // namespace

namespace {

// Chunks whose total or offset point past the screen are refused whole; a good last chunk shows the object.
TEST(ScreenChunks, BoundsAndTheLastChunk) {
  testlib::TestWorks w;
  TestScreen screen(16, 16);  // 1024 bytes
  w->fb = &screen.s;
  testlib::LogCapture log;
  const std::vector<uint8_t> chunk(512, 0xAB);
  struct Case {
    uint32_t total, offset;
    size_t avail;
    bool refused;
  } cases[] = {{1025, 0, 512, true}, {1024, 1024, 512, true}, {1024, 4000000000u, 512, true}, {0, 0, 512, true}};
  for (const Case& c : cases) websock::ScreenChunk(w.get(), chunk.data(), c.avail, c.total, c.offset);
  EXPECT_EQ(log.count("screen chunk refused"), 4u);
  EXPECT_EQ(screen.back, std::vector<uint8_t>(1024, 0));
  // A short last chunk copies only what it carries; the raw object is then shown.
  websock::ScreenChunk(w.get(), chunk.data(), 512, 1024, 0);
  EXPECT_EQ(screen.mem, std::vector<uint8_t>(1024, 0));
  websock::ScreenChunk(w.get(), chunk.data(), 100, 1024, 512);
  std::vector<uint8_t> want(1024, 0);
  std::fill(want.begin(), want.begin() + 612, 0xAB);
  EXPECT_EQ(screen.mem, want);
}

}  // namespace
