// Packet link decoding: parameter blocks, header digits, spectrum rotation and store, request order.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "core/setup.h"
#include "core/works.h"
#include "radio/radio.h"
#include "tests/testlib/pty.h"
#include "tests/testlib/temp_root.h"

namespace {

using Bytes = std::basic_string<unsigned char>;

Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A full 31-byte block as the transceiver sends it: VFO A 14070000 Hz, mode 1, receive, squelch 3,
// filter A 1 / C 2 / B 3, NR 5, NB off, settings, ATT on, LP off, antenna 2, level 9, volume 40,
// pitch 600, offset -200.
const std::string kBlock = std::string("\x00", 1) + "00=6;0?0" +
                           "\x81\x40\x43\x91\x43\x35\x30\x64\x69\x32\x6D\x55\xDC\x28"
                           "258???38";

SerParam store(Works* w, const std::string& block) {
  Bytes b = bytes(block);
  storeParameters(w, static_cast<int>(b.size()), b.data());
  SerParam p;
  getParameters(w, &p);
  return p;
}

std::string withByte(std::string s, size_t i, unsigned char v) {
  s.replace(i, 1, 1, static_cast<char>(v));
  return s;
}

TEST(StoreParameters, FullBlockFillsEveryField) {
  testlib::TestWorks w;
  const SerParam p = store(w.get(), kBlock);
  struct {
    const char* name;
    int32_t got, want;
  } rows[] = {
      {"freqRaw", p.freqRaw, 14070000},
      {"freqA", p.freqA, 14070000},
      {"freqCur", p.freqCur, 14070000},
      {"freqB", p.freqB, 0},
      {"freqLast", p.freqLast, 14070000},
      {"freqPrev", p.freqPrev, 0},
      {"modeA", p.modeA, 1},
      {"modeCur", p.modeCur, 1},
      {"txOn", p.txOn, 0},
      {"audioSel", p.audioSel, 0},
      {"sw10b3", p.sw10b3, 1},
      {"sw10b0", p.sw10b0, -1},
      {"anRequest", p.anRequest, 0},
      {"squelch", p.squelch, 3},
      {"filterSel", p.filterSel, 0},
      {"filterA", p.filterA, 1},
      {"filterC", p.filterC, 2},
      {"filterB", p.filterB, 3},
      {"filterIdx", p.filterIdx, 3},
      {"nr", p.nr, 5},
      {"nb", p.nb, -1},
      {"set16", p.set16, 5},
      {"set17", p.set17, 10},
      {"set18", p.set18, 3},
      {"set19a", p.set19a, 4},
      {"set19b", p.set19b, 2},
      {"rxAtt", p.rxAtt, 1},
      {"rxLp", p.rxLp, -1},
      {"rxAnt", p.rxAnt, 2},
      {"flag20b0", p.flag20b0, 1},
      {"level21", p.level21, 9},
      {"volume", p.volume, 40},
      {"volumeAux", p.volumeAux, 0},
      {"pitch", p.pitch, 600},
      {"rxOffset", p.rxOffset, -200},
  };
  for (const auto& r : rows) EXPECT_EQ(r.got, r.want) << r.name;
}

TEST(StoreParameters, ShortBlocksAndGuardsKeepWhatTheyDoNotCarry) {
  testlib::TestWorks w;
  store(w.get(), kBlock);
  // Nine bytes: byte 0 and the frequency only (7100000 = 0x6C5660).
  SerParam p = store(w.get(), std::string("\x00", 1) + "006<5660");
  EXPECT_EQ(p.freqCur, 7100000);
  EXPECT_EQ(p.freqPrev, 14070000);
  EXPECT_EQ(p.modeA, 1);
  EXPECT_EQ(p.squelch, 3);
  EXPECT_EQ(p.pitch, 600);
  // VFO B's frequency while A is active: B changes, the current frequency does not.
  p = store(w.get(), withByte(kBlock, 0, 0x10));
  EXPECT_EQ(p.freqB, 14070000);
  EXPECT_EQ(p.freqCur, 7100000);
  EXPECT_EQ(p.modeB, 1);
  // B active: the current frequency and mode are B's.
  p = store(w.get(), withByte(withByte(kBlock, 0, 0x30), 9, 0xC3));
  EXPECT_EQ(p.freqCur, 14070000);
  EXPECT_EQ(p.modeCur, 3);
  EXPECT_EQ(p.txOn, 1);
  // Third slot.
  p = store(w.get(), withByte(kBlock, 0, 0x01));
  EXPECT_EQ(p.freqC, 14070000);
  // Byte 9 without its bit 7, byte 11 without its 01 top bits: both ignored.
  p = store(w.get(), withByte(withByte(kBlock, 9, 0x44), 11, 0x8F));
  EXPECT_EQ(p.modeA, 1);
  EXPECT_EQ(p.squelch, 3);
  // A frequency beyond a signed 32-bit value is refused, the rest of the block taken.
  p = store(w.get(), withByte(withByte(kBlock, 1, 0x38), 11, 0x47));
  EXPECT_EQ(p.freqA, 14070000);
  EXPECT_EQ(p.squelch, 7);
}

TEST(StoreParameters, LevelsRememberTheirLastValueWhileOff) {
  testlib::TestWorks w;
  EXPECT_EQ(store(w.get(), withByte(kBlock, 11, 0x40)).squelch, -1);  // first report off: default
  EXPECT_EQ(store(w.get(), kBlock).squelch, 3);
  EXPECT_EQ(store(w.get(), withByte(kBlock, 11, 0x40)).squelch, -3);
  EXPECT_EQ(store(w.get(), withByte(kBlock, 11, 0x40)).squelch, -3);
  // Volume goes where byte 10 says: aux, then side with its own default.
  SerParam p = store(w.get(), withByte(withByte(kBlock, 10, 0x50), 22, 0x00));
  EXPECT_EQ(p.volumeAux, 50);
  EXPECT_EQ(p.volume, 40);
  p = store(w.get(), withByte(withByte(kBlock, 10, 0x60), 22, 0x00));
  EXPECT_EQ(p.volumeSide, 5);
  // Filter bank B in use: the index counts from 5.
  EXPECT_EQ(store(w.get(), withByte(kBlock, 12, 0x95)).filterIdx, 8);
}

TEST(DecodeCmdParameters, DigitsLeastSignificantFirstAndClamped) {
  testlib::TestWorks w;
  struct {
    const char* header;
    int length;
    unsigned char subtype;
  } rows[] = {{"1?100", 31, '1'}, {"0::40", 1194, '0'}, {"00000", 0, '0'}, {"1>>>>", 1999, '1'}, {"1A000", -1, '1'}};
  for (const auto& r : rows) {
    unsigned char sub = 0;
    EXPECT_EQ(decodeCmdParameters(w.get(), reinterpret_cast<const unsigned char*>(r.header), &sub), r.length)
        << r.header;
    EXPECT_EQ(sub, r.subtype);
  }
}

TEST(RotateSpectrum, StartBinFollowsModePitchAndOffset) {
  Bytes line(1194, 0);
  for (int i = 0; i < 1024; ++i) line[static_cast<size_t>(i)] = static_cast<unsigned char>(i & 0xFF);
  struct {
    int mode, pitch, offset, length, start, forwarded;
  } rows[] = {
      {6, 600, 0, 1194, 88, 1024},       // 3.1998 + 85
      {4, 600, 0, 1194, 81, 1024},       // -3.1998 + 85
      {1, 600, 0, 1100, 85, 930},        // pitch only in modes 4 and 6; a shorter line forwards less
      {1, 0, -20000, 1194, 1002, 1024},  // negative start wraps from the end
      {1, 0, 500000, 1999, 703, 1024},   // far beyond one line: wraps, never reads outside it
      {1, 0, -524288, 1194, 361, 1024},  // the most negative offset
  };
  for (const auto& r : rows) {
    SerParam p;
    p.modeCur = r.mode;
    p.pitch = r.pitch;
    p.rxOffset = r.offset;
    unsigned char out[1024];
    EXPECT_EQ(RotateSpectrum(p, line.data(), r.length, out), r.forwarded) << r.offset;
    EXPECT_EQ(out[0], static_cast<unsigned char>(r.start & 0xFF)) << r.mode << " " << r.offset;
    EXPECT_EQ(out[1023], static_cast<unsigned char>((r.start + 1023) % 1024 & 0xFF));
  }
  unsigned char out[1024];
  EXPECT_EQ(RotateSpectrum(SerParam{}, line.data(), 1023, out), 0);  // too short to rotate
}

TEST(StoreFFT, TakesBins85To938AndKeepsTheRestOfAShortLine) {
  testlib::TestWorks w;
  Bytes line(1194, 0);
  for (size_t i = 0; i < line.size(); ++i) line[i] = static_cast<unsigned char>(i % 200);
  storeFFT(w.get(), static_cast<int>(line.size()), line.data());
  EXPECT_FLOAT_EQ(w->fftLevel[0], 85 - 192.0f);
  EXPECT_FLOAT_EQ(w->fftLevel[853], 938 % 200 - 192.0f);
  Bytes shortLine(100, 255);
  storeFFT(w.get(), 100, shortLine.data());
  EXPECT_FLOAT_EQ(w->fftLevel[14], 63.0f);
  EXPECT_FLOAT_EQ(w->fftLevel[15], 100 - 192.0f);  // beyond the short line: the older value
}

std::string readAll(int fd) {
  std::string out;
  char buf[256];
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, 50) > 0) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

TEST(ServeSerialRequests, OrderAndPendingRules) {
  testlib::Pty pty;
  ASSERT_GE(pty.slave, 0);
  testlib::TestWorks w;
  w->serFD = pty.slave;
  struct {
    uint8_t atm, req;
    const char* sent;
    uint8_t atmAfter, reqAfter;
    int holdoff;
  } rows[] = {
      {0x25, 0x00, "RX;TU120;TX2;", 0x49, 0x00, 0},  // both hand-shake requests: "RX;" first
      {0x00, 0x13, "", 0x00, 0x13, 0},               // transmit with "AN" queued, reply not in: waits
      {0x00, 0x33, "TU120;TX2;", 0x00, 0x32, 0},     // the reply arrived
      {0x00, 0x03, "TU120;TX2;", 0x00, 0x02, 0},     // no "AN" step at all
      {0x00, 0x01, "RX;", 0x00, 0x00, 30},           // manual receive
  };
  for (const auto& r : rows) {
    w->AutoTuneMode = r.atm;
    w->txReqFlags = r.req;
    w->rxHoldoff = 0;
    ServeSerialRequests(w.get(), pty.slave);
    EXPECT_EQ(readAll(pty.master), r.sent);
    EXPECT_EQ(w->AutoTuneMode.load(), r.atmAfter);
    EXPECT_EQ(w->txReqFlags.load(), r.reqAfter);
    EXPECT_EQ(w->rxHoldoff.load(), r.holdoff);
  }
  // A descriptor that is not the open link is never written.
  EXPECT_EQ(writeSerialPort(pty.master, "RX;", 3, w.get()), -1);
}

}  // namespace

namespace {

// A byte stream through the link's own loop on a socket pair, until the line ends.
struct StreamRun {
  testlib::TestWorks w;
  testlib::LogCapture log;
  int result = -1;
  explicit StreamRun(const std::string& bytes) {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    EXPECT_EQ(write(sv[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    shutdown(sv[1], SHUT_WR);
    w->running = 1;
    w->errorTimer = 1;
    setFlag(w->setup->EnableSerial, '1');
    result = SerialLoop(w.get(), sv[0]);
    close(sv[0]);
    close(sv[1]);
  }
  SerParam params() {
    SerParam p;
    getParameters(w.get(), &p);
    return p;
  }
};

std::string packet(int type, const std::string& payload) {
  std::string h(1, static_cast<char>(type));
  h += static_cast<char>('0' + type);
  for (size_t len = payload.size(), i = 0; i < 4; ++i, len >>= 4) h += static_cast<char>(0x30 + (len & 0xF));
  return h + payload;
}

TEST(SerialLoop, HeaderScanTrace) {
  // A space, a type-5 packet (its header consumed, its three bytes scanned and skipped), zeros
  // from the end of a spectrum line, then a block: decoded, and the line's end ends the loop.
  StreamRun run(std::string(" ") +
                "\x05"
                "53000abc" +
                std::string(7, '\0') + packet(1, kBlock));
  EXPECT_EQ(run.result, 1);
  EXPECT_TRUE(run.log.contains("Error3"));
  EXPECT_EQ(run.w->serBlocks.load(), 1u);
  EXPECT_EQ(run.params().freqCur, 14070000);
}

TEST(SerialLoop, OverlongLengthIsClampedAndAShortPacketIsDropped) {
  // "????" is 65535: taken as 1999 bytes, of which only the block is there; the line ends first.
  StreamRun clamped(std::string("\x01") + "1????" + kBlock);
  EXPECT_EQ(clamped.w->serBlocks.load(), 0u);
  EXPECT_EQ(clamped.result, 1);
  // Two blocks, the second cut short: the first is stored, the second dropped.
  StreamRun cut(packet(1, kBlock) + packet(1, withByte(kBlock, 11, 0x47)).substr(0, 20));
  EXPECT_EQ(cut.w->serBlocks.load(), 1u);
  EXPECT_EQ(cut.params().squelch, 3);
}

}  // namespace
