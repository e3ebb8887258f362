// The WebSocket client: against a scripted server (reply steps, accept check, loss mid-frame, the same key
// again), and against the unit's own server in the same process (screen, spectrum, parameters, commands).
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/remote_ws/ws_rig.h"
#include "ui/errors.h"

using namespace std::chrono_literals;
using namespace wsrig;
using testlib::LogCapture;
using testlib::TempRoot;

namespace {

const int kScaled = setenv("KORVANE_STARTUP_SCALE", "0.01", 1);

// A listening socket on a port of this machine that the test serves by hand.
struct Listener {
  Listener() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    listen(fd, 4);
  }
  ~Listener() { close(fd); }
  // The next connection within the limit, or -1.
  int accept(std::chrono::milliseconds limit) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(limit.count())) <= 0) return -1;
    return ::accept(fd, nullptr, nullptr);
  }
  int fd;
  int port;
};

std::string readRequest(RawPeer& p) {
  std::string out;
  while (out.find("Version: 13\r\n\r\n\r\n") == std::string::npos) {
    const std::string c = p.read(1, 3000ms);
    if (c.empty()) break;
    out += c;
  }
  return out;
}

std::string keyOf(const std::string& request) {
  static const std::string kName = "Sec-WebSocket-Key: ";
  const size_t at = request.find(kName);
  if (at == std::string::npos) return "";
  const size_t end = request.find("\r\n", at);
  return end == std::string::npos ? "" : request.substr(at + kName.size(), end - at - kName.size());
}

class Client : public ::testing::Test {
 protected:
  void SetUp() override {
    (void)kScaled;
    root.activate();
    root.write("/dev/urandom", "0123456789abcdefXYZ");
    u->tcpPort = static_cast<short>(server.port);
    u->cpPending = 0;  // errors are listed
  }
  TempRoot root;
  LogCapture log;
  Listener server;
  Unit u{'2'};
};

TEST_F(Client, RequestReplyStepsAndTheSameKeyAfterALossMidFrame) {
  u.start();
  std::string key;
  {
    RawPeer p(server.accept(3s), true);
    const std::string request = readRequest(p);
    key = keyOf(request);
    EXPECT_EQ(key, "MDEyMzQ1Njc4OWFiY2RlZg==");  // the root's random bytes
    EXPECT_EQ(request, "GET /chat HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port) +
                           "\r\nUpgrade: websocket\r\nConnection: keep-alive, Upgrade\r\nSec-WebSocket-Key: " + key +
                           "\r\nSec-WebSocket-Version: 13\r\n\r\n\r\n");
    p.send(websock::HandshakeReply(key));
    EXPECT_EQ(p.read(18), std::string("\x81\x0c\0\0\0\0tarabumbalin", 18));
    ASSERT_TRUE(testlib::waitUntil([&] { return u->wsockConnected == 1; }, 2s));
    EXPECT_TRUE(log.contains("keys correct"));
    EXPECT_TRUE(log.contains("Caught Sec-WebSocket-Protocol: chat go to status 5/5"));
    EXPECT_TRUE(log.contains("status advanced 6"));
    p.send(std::string("\x82\x7e\x02\x0aSP\0\0\0\x10", 10));  // half a chunk, then gone
  }
  EXPECT_TRUE(testlib::waitUntil([&] { return log.contains("reconnecting"); }, 2s));
  EXPECT_EQ(u->wsockConnected, 0);
  RawPeer again(server.accept(3s), true);
  EXPECT_EQ(keyOf(readRequest(again)), key);
  EXPECT_EQ(u->running, 1);
}

TEST_F(Client, WrongAcceptShowsError20AndTriesAgain) {
  u.start();
  {
    RawPeer p(server.accept(3s), true);
    readRequest(p);
    p.send(websock::HandshakeReply("not the key it sent"));
    EXPECT_TRUE(p.closedWithin(2s));
  }
  EXPECT_TRUE(log.contains("keys not correct"));
  EXPECT_TRUE(ExistError(u.get(), kErrorRemoteCat));
  EXPECT_EQ(u->running, 1);
  RawPeer p(server.accept(4s), true);
  p.send(websock::HandshakeReply(keyOf(readRequest(p))));
  EXPECT_TRUE(testlib::waitUntil([&] { return u->wsockConnected == 1; }, 2s));
  EXPECT_FALSE(ExistError(u.get(), kErrorRemoteCat));
}

// Replies that never complete properly: blank lines without an accept value, an end in mid-reply.
TEST_F(Client, IncompleteRepliesAreRetried) {
  u.start();
  for (const std::string& reply : {std::string("\r\n\r\n\r\n\r\n\r\n\r\n\r\n"), std::string("HTTP/1.1 101 Sw")}) {
    RawPeer p(server.accept(4s), true);
    ASSERT_GE(p.fd(), 0);
    readRequest(p);
    p.send(reply);
  }
  RawPeer p(server.accept(4s), true);
  ASSERT_GE(p.fd(), 0);
  EXPECT_EQ(u->wsockConnected, 0);
  EXPECT_TRUE(log.contains("handshake reply without its Sec-WebSocket-Accept line"));
}

TEST_F(Client, ServerNotYetListeningIsRetried) {
  const int port = server.port;
  close(server.fd);
  server.fd = socket(AF_INET, SOCK_STREAM, 0);
  u.start();
  ASSERT_TRUE(testlib::waitUntil([&] { return log.count("Connect Error") >= 1; }, 3s));
  Listener late;  // a new port: bind it where the client keeps knocking
  close(late.fd);
  late.fd = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(late.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  ASSERT_EQ(bind(late.fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  listen(late.fd, 1);
  RawPeer p(late.accept(4s), true);
  EXPECT_NE(readRequest(p), "");
  EXPECT_TRUE(u.stop(1000ms));
}

// The unit's server and client, one record each, over this machine's loopback.
class TwoUnits : public ::testing::Test {
 protected:
  void SetUp() override {
    (void)kScaled;
    root.activate();
    root.standIn("mount", "#!/bin/sh\nexit 0\n");
    root.write("/dev/urandom", "0123456789abcdefXYZ");
    station.start();
    head->tcpPort = static_cast<short>(station.port());
    head.start();
    ASSERT_TRUE(testlib::waitUntil([&] { return station->wsockConnected == 1 && head->wsockConnected == 1; }, 5s));
  }
  TempRoot root;
  LogCapture log;
  Unit station{'1'};
  Unit head{'2'};
};

TEST_F(TwoUnits, RawScreenArrivesByteExact) {
  for (size_t i = 0; i < station.screen.mem.size(); ++i) station.screen.mem[i] = static_cast<uint8_t>(i * 7 + i / 256);
  ASSERT_EQ(sendScreenFrame(station.get()), 0);
  EXPECT_TRUE(testlib::waitUntil([&] { return head.shown() == station.screen.mem; }, 3s));
  std::lock_guard<std::mutex> lk(head.screen.s.drawMut);
  EXPECT_EQ(head.screen.work, station.screen.mem);
}

TEST_F(TwoUnits, JpegScreenArrivesWithinTheCodecsTolerance) {
  station->jpegQuality = 90;
  const int w = station.screen.s.width, h = station.screen.s.height;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &station.screen.work[(y * w + x) * 4];
      p[0] = static_cast<uint8_t>(x * 4), p[1] = static_cast<uint8_t>(y * 8), p[2] = 128, p[3] = 255;
    }
  ASSERT_EQ(sendScreenFrame(station.get()), 0);
  std::vector<uint8_t> shown;
  ASSERT_TRUE(testlib::waitUntil([&] { return (shown = head.shown())[(5 * w + 40) * 4] > 100; }, 3s));
  double sum = 0;
  for (int i = 0; i < w * h; ++i)
    for (int c = 0; c < 3; ++c) sum += std::abs(shown[i * 4 + c] - station.screen.work[i * 4 + c]);
  EXPECT_LT(sum / (w * h * 3), 3.0);
}

TEST_F(TwoUnits, StationTrafficReachesTheHead) {
  std::string line(854, '\0');
  for (size_t i = 0; i < line.size(); ++i) line[i] = static_cast<char>(i % 251);
  ASSERT_EQ(sendWebSockSerSpectrFrame(station.get(), line.data(), 854), 0);
  std::string block(21, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(0x80 | i);
  sendWebSockSerParFrame(station.get(), block.data(), 21);
  sendWebSockCatFrame(station.get(), "IF00014070000;", 14);
  sendWebSockStatusFrame(station.get(), "TIRMFD15", 8);
  ASSERT_TRUE(testlib::waitUntil([&] { return head->fftDivide == 15; }, 3s));
  std::lock_guard<std::mutex> lk(head.received.m);
  ASSERT_EQ(head.received.spectra.size(), 1u);
  EXPECT_EQ(head.received.spectra[0], line);
  ASSERT_EQ(head.received.params.size(), 1u);
  EXPECT_EQ(head.received.params[0], block);
  EXPECT_EQ(head.received.cat, "IF00014070000;");
}

TEST_F(TwoUnits, HeadCommandsReachTheStation) {
  const int bank = station->NumBanco;
  sendWebSockStatusFrame(head.get(), "TIRMBANK", 8);
  sendWebSockCatFrame(head.get(), "FA00007100000;", 14);
  sendWebSockEventFrame(head.get(), 123, 456);
  sendWebSockStatusFrame(head.get(), "TIRMFT02;", 9);
  ASSERT_TRUE(
      testlib::waitUntil([&] { return getFlag(station->setup->Enable1600) == '1' && station->fftDivide == 2; }, 3s));
  EXPECT_EQ(station->NumBanco, bank + 1);
  EXPECT_EQ(station.received.catText(), "FA00007100000;");
}

TEST_F(TwoUnits, HeadReconnectsWhenTheStationComesBack) {
  const int port = station.port();
  ASSERT_TRUE(station.stop(1000ms));
  EXPECT_TRUE(testlib::waitUntil([&] { return log.contains("reconnecting"); }, 2s));
  station->tcpPort = static_cast<short>(port);
  station.start();
  EXPECT_TRUE(testlib::waitUntil([&] { return head->wsockSessions == 2 && station->wsockConnected == 1; }, 6s));
}

}  // namespace
