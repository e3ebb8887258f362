// The WebSocket server against raw peers: handshake forms, the password gate, frame limits, dispatch, the
// unkeying of a transmitter left alone, and the "ST" command texts.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/remote_ws/ws_rig.h"
#include "ui/errors.h"

using namespace std::chrono_literals;
using namespace wsrig;
using testlib::LogCapture;
using testlib::TempRoot;

namespace {

// The unit's 2 s start pause is not what these tests are about.
const int kScaled = setenv("KORVANE_STARTUP_SCALE", "0.01", 1);

class Server : public ::testing::Test {
 protected:
  void SetUp() override {
    (void)kScaled;
    root.activate();
    u.start();
    ASSERT_NE(u.port(), 0);
  }
  TempRoot root;
  LogCapture log;
  Unit u{'1'};
};

TEST(Accept, RfcSampleKey) {
  EXPECT_EQ(websock::AcceptValue("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

// Each request form: completes (the reply carries the accept value of its key) or ends the connection.
TEST_F(Server, HandshakeForms) {
  u->wsockLoginTimeoutMs = 500;
  const std::string key = "x3JJHMbDL1EzLkh9GBhXDw==";
  struct Case {
    const char* name;
    std::string request;
    bool completes;
  } cases[] = {
      {"unit client, no protocol line, two extra blank lines", unitRequest(key), true},
      {"standard client: Connection: Upgrade and unknown headers",
       "GET /chat HTTP/1.1\r\nHost: h\r\nUser-Agent: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
       "Sec-WebSocket-Key: " +
           key +
           "\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: chat\r\n"
           "Sec-WebSocket-Extensions: permessage-deflate\r\n\r\n",
       true},
      {"blank lines but no key", "GET /chat HTTP/1.1\r\nHost: h\r\n\r\n\r\n\r\n\r\n\r\n\r\n", false},
      {"eight counted steps without a key",
       "GET /\r\nGET /\r\nHost: a\r\nHost: b\r\nUpgrade: websocket\r\nUpgrade: websocket\r\n"
       "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Version: 13\r\n",
       false},
      {"a key longer than any key", "GET /chat HTTP/1.1\r\nSec-WebSocket-Key: " + std::string(200, 'A') + "\r\n\r\n",
       false},
      {"endless headers", "GET /chat HTTP/1.1\r\n" + std::string(9000, 'h') + "\r\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawPeer p(u.port());
    ASSERT_TRUE(p.connected());
    p.send(c.request);
    const std::string reply = p.readReply(1500ms);
    if (c.completes) {
      EXPECT_EQ(reply,
                "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                "Sec-WebSocket-Accept: " +
                    websock::AcceptValue(key) + "\r\nSec-WebSocket-Protocol: chat\r\n\r\n");
    } else {
      EXPECT_EQ(reply, "");
      EXPECT_TRUE(p.closedWithin(2s));
    }
  }
}

TEST_F(Server, ConnectionUpgradeCountsOneStepLess) {
  RawPeer p(u.port());
  p.send(
      "GET /chat HTTP/1.1\r\nHost: h\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: "
      "dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
  ASSERT_FALSE(p.readReply().empty());
  EXPECT_TRUE(log.contains("Caught Sec-WebSocket-Version:  go to status 5/7"));
  EXPECT_TRUE(log.contains("status advanced 6"));
  EXPECT_FALSE(log.contains("Caught Connection: keep-alive, Upgrade"));
}

// A wrong password: nothing is sent, nothing acted on, the next peer is served.
TEST_F(Server, WrongPasswordSendsNothingAndTheNextPeerIsServed) {
  RawPeer bad(u.port());
  ASSERT_TRUE(bad.send(unitRequest("dGhlIHNhbXBsZSBub25jZQ==")));
  ASSERT_FALSE(bad.readReply().empty());
  bad.send(text("tarabumbalix"));
  const char status[] = "some status";
  sendWebSockStatusFrame(u.get(), status, 11);  // the supervisor's pass meanwhile
  std::string after;
  EXPECT_TRUE(bad.closedWithin(2s, &after));
  EXPECT_EQ(after, "");
  EXPECT_EQ(u->wsockConnected, 0);
  EXPECT_TRUE(log.contains("password differs"));

  RawPeer good(u.port());
  ASSERT_TRUE(login(good, u));
  sendWebSockStatusFrame(u.get(), status, 11);
  InFrame f;
  ASSERT_TRUE(good.readFrame(f));
  EXPECT_EQ(f.head, 0x82);
  EXPECT_EQ(f.payload, "STsome status");
}

TEST_F(Server, PasswordFromTheSettingsFolder) {
  u.stop();
  root.write("/opt/set/wsock_password.txt", "; the remote link's password\nsecret77\r\n");
  u.start();
  EXPECT_STREQ(u->wsockPassword, "secret77");
  EXPECT_EQ(u->wsockDefaultPassword, 0);
  RawPeer old(u.port());
  old.send(unitRequest("dGhlIHNhbXBsZSBub25jZQ=="));
  ASSERT_FALSE(old.readReply().empty());
  old.send(text("tarabumbalin"));
  EXPECT_TRUE(old.closedWithin(2s));
  RawPeer p(u.port());
  EXPECT_TRUE(login(p, u, "secret77", true));
}

// Before the password, no frame is acted on: it ends the connection.
TEST_F(Server, FramesBeforeThePasswordEndTheConnection) {
  const int bank = u->NumBanco;
  for (const std::string& f : {binary("STTIRMBANK"), binary("CAFA;"), binary("SCRX;"), binary("PA12345"),
                               frame(0x89, "ping", true), binary(std::string(5000, 'x'))}) {
    RawPeer p(u.port());
    p.send(unitRequest("dGhlIHNhbXBsZSBub25jZQ=="));
    ASSERT_FALSE(p.readReply().empty());
    p.send(f);
    EXPECT_TRUE(p.closedWithin(2s));
  }
  EXPECT_EQ(u->NumBanco, bank);
  EXPECT_EQ(u.received.catText(), "");
  EXPECT_EQ(u.received.serText(), "");
  EXPECT_EQ(log.count("before the password: connection ended"), 6u);
}

TEST_F(Server, SilentPeerLosesTheSlotAfterTheLoginTime) {
  u->wsockLoginTimeoutMs = 300;
  RawPeer silent(u.port());
  RawPeer halfway(u.port());  // waits in the backlog meanwhile
  EXPECT_TRUE(silent.closedWithin(3s));
  halfway.send(unitRequest("dGhlIHNhbXBsZSBub25jZQ=="));
  EXPECT_FALSE(halfway.readReply().empty());  // served once the first is gone
  EXPECT_TRUE(halfway.closedWithin(3s));      // but no password came
  EXPECT_TRUE(log.contains("no handshake within 300 ms"));
  EXPECT_TRUE(log.contains("no handshake and password within 300 ms"));
}

// After the password: every tag goes where it belongs, control frames are answered, an oversized frame is
// dropped without ending the connection.
TEST_F(Server, DispatchAfterThePassword) {
  RawPeer p(u.port());
  ASSERT_TRUE(login(p, u, "tarabumbalin", true));
  p.send(binary("CAFA00014070000;", true));
  p.send(binary(std::string("PA") + std::string(21, '\x05')));
  p.send(binary("SCTX;"));
  p.send(binary(std::string(kWebSockMaxPayload + 1, 'Z'), true));
  p.send(binary(std::string(70000, 'Y')));
  p.send(binary("SO" + std::string("\0\0\0\4", 4) + "abcd"));
  p.send(binary("SP" + std::string(520, '\0')));  // the server takes no spectrum
  p.send(text("XY0012300456"));
  p.send(frame(0x89, "are you there", true));
  InFrame pong;
  ASSERT_TRUE(p.readFrame(pong));
  EXPECT_EQ(pong.head, 0x8A);
  EXPECT_EQ(pong.payload, "are you there");
  EXPECT_EQ(u.received.catText(), "FA00014070000;");
  EXPECT_EQ(u.received.serText(), std::string(21, '\x05') + "TX;");
  EXPECT_EQ(log.count("dropped: the receive buffer holds"), 1u);
  EXPECT_EQ(u->wsockConnected, 1);
  p.send(frame(0x88, std::string("\x03\xe8", 2), true));
  InFrame close;
  ASSERT_TRUE(p.readFrame(close));
  EXPECT_EQ(close.head, 0x88);
  EXPECT_EQ(close.payload, std::string("\x03\xe8", 2));
  EXPECT_TRUE(p.closedWithin(2s));
  EXPECT_EQ(u->wsockConnected, 0);
}

TEST_F(Server, RefusedCatWriteEndsTheRelayAndTheConnection) {
  RawPeer p(u.port());
  ASSERT_TRUE(login(p, u));
  u.received.catRefuses = 1;
  p.send(binary("CAFA;"));
  EXPECT_TRUE(p.closedWithin(2s));
  EXPECT_EQ(u.received.exitCat, 1);
  EXPECT_EQ(u->running, 1);
}

// A peer that goes away while the transceiver transmits leaves it unkeyed; one that never got in changes
// nothing.
TEST_F(Server, LinkLostWhileTransmittingSendsRx) {
  {
    std::lock_guard<std::mutex> lk(*u->serMut);
    u->serParam.txOn = 1;
  }
  {
    RawPeer stranger(u.port());
    stranger.send(unitRequest("dGhlIHNhbXBsZSBub25jZQ=="));
    stranger.readReply();
  }
  testlib::waitUntil([&] { return log.contains("TCP closed"); }, 3s);
  EXPECT_EQ(u.received.serText(), "");
  {
    RawPeer p(u.port());
    ASSERT_TRUE(login(p, u));
  }
  EXPECT_TRUE(testlib::waitUntil([&] { return u.received.serText() == "RX;"; }, 3s));
}

TEST_F(Server, StopEndsPromptlyWhileAPeerIsConnected) {
  RawPeer p(u.port());
  ASSERT_TRUE(login(p, u));
  EXPECT_TRUE(u.stop(1000ms));
  EXPECT_TRUE(p.closedWithin(1s));
}

// The "ST" command texts.
TEST(DispStat, Table) {
  TempRoot root;
  root.activate();
  root.standIn("mount", "#!/bin/sh\nexit 0\n");
  struct Case {
    const char* text;
    int divideBefore;
    int divide;
    char spectrum, e1600;
    int bankStep;
  } cases[] = {
      {"TIRMBANK", 0, 0, '1', '1', 1},  {"TIRMPA1", 0, 0, '1', '1', 1},       {"TIRMTU2", 0, 0, '1', '1', 0},
      {"TIRMFT00;", 0, 0, '0', '1', 0}, {"TIRMFT01;", 1, 2, '1', '0', 0},     {"TIRMFT02;", 0, 2, '1', '1', 0},
      {"TIRMFT01;", 5, 5, '1', '0', 0}, {"TIRMFD15", 3, 15, '1', '1', 0},     {"TIRMFD0;", 3, 0, '1', '1', 0},
      {"TIRMFD", 3, 3, '1', '1', 0},    {"TIRMFD999", 3, 3, '1', '1', 0},     {"TIRMFDx", 3, 3, '1', '1', 0},
      {"TIRMFT03;", 1, 1, '1', '1', 0}, {"TIRMXYZ", 1, 1, '1', '1', 0},       {"TIRMA", 1, 1, '1', '1', 0},
      {"tirmbank", 1, 1, '1', '1', 0},  {"0012000110000", 1, 1, '1', '1', 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    testlib::TestWorks w;
    w->MAXbank = 20;
    w->NumBanco = 1;
    setFlag(w->setup->EnableSpectrum, '1');
    setFlag(w->setup->Enable1600, '1');
    w->fftDivide = c.divideBefore;
    snprintf(w->statusText, sizeof w->statusText, "%s", c.text);
    dispStat(w.get());
    EXPECT_EQ(w->fftDivide, c.divide);
    EXPECT_EQ(w->setup->EnableSpectrum, c.spectrum);
    EXPECT_EQ(w->setup->Enable1600, c.e1600);
    EXPECT_EQ(w->NumBanco, 1 + c.bankStep);
  }
}

}  // namespace
