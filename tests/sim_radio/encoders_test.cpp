// The simulated devices' own encoders against bytes written out by hand, and the FT-817's answers.
#include <gtest/gtest.h>

#include <string>

#include "sim/ft817/ft817_sim.h"
#include "sim/transceiver/transceiver_sim.h"

namespace {

TEST(TransceiverEncoders, PacketHeaderAndParameterBlock) {
  EXPECT_EQ(sim::encodePacket(1, std::string(31, 'x')).substr(0, 6), std::string("\x01") + "1?100");
  EXPECT_EQ(sim::encodePacket(0, std::string(1194, 'x')).substr(0, 6), std::string("\x00", 1) + "0::40");
  sim::RadioState s;
  s.freqA = 14070000;
  s.freqB = 7100000;
  s.vfoB = true;
  s.modeB = 3;
  s.tx = true;
  s.squelch = 3;
  s.anRequest = true;
  s.nr = 5;
  s.att = true;
  s.antenna = 2;
  s.volume = 40;
  s.pitch = 600;
  s.offset = -200;
  const std::string b = sim::encodeParameterBlock(s, true);
  ASSERT_EQ(b.size(), 31u);
  EXPECT_EQ(b.substr(0, 10), std::string("\x30") + "006<5660" + "\xC3");
  EXPECT_EQ(static_cast<unsigned char>(b[11]), 0x63);  // "AN" request, squelch 3
  EXPECT_EQ(static_cast<unsigned char>(b[14]), 0x35);
  EXPECT_EQ(static_cast<unsigned char>(b[20]), 0x55);  // ATT, antenna 2, bit 0
  EXPECT_EQ(static_cast<unsigned char>(b[22]), 40);
  EXPECT_EQ(b.substr(23), "258???38");
  EXPECT_EQ(sim::encodeParameterBlock(s, false).substr(0, 9), std::string("\x20") + "00=6;0?0");
}

TEST(TransceiverEncoders, SpectrumLineHasItsStationsWhereTheDialSaysAndAQuietTrailer) {
  const std::string line = sim::encodeSpectrumLine(14070000, 7);
  ASSERT_EQ(line.size(), 1194u);
  auto level = [&](size_t i) { return static_cast<int>(static_cast<unsigned char>(line[i])) - 192; };
  EXPECT_EQ(level(533), -64);  // 14074000 Hz is 21.3 bins above the middle
  for (size_t i : {0u, 300u, 1000u}) EXPECT_NEAR(level(i), -120, 3);
  EXPECT_EQ(line.substr(1024), std::string(170, '\0'));
}

TEST(Ft817Encoders, FrequencyReplyAndCommands) {
  EXPECT_EQ(sim::encodeFreqModeReply(14234560, 1), std::string("\x01\x42\x34\x56\x01", 5));
  EXPECT_EQ(sim::encodeFreqModeReply(7074000, sim::kFt817Dig), std::string("\x00\x70\x74\x00\x0A", 5));
  sim::Ft817Sim rig;
  struct {
    std::string cmd, reply;
  } rows[] = {
      {std::string("\x00\x70\x74\x00\x01", 5), std::string(1, '\0')},  // set 7074000 Hz
      {std::string("\x03\x00\x00\x00\x07", 5), std::string(1, '\0')},  // set CWR
      {std::string("\x00\x00\x00\x00\x03", 5), std::string("\x00\x70\x74\x00\x03", 5)},
      {std::string("\x00\x00\x00\x00\xF7", 5), std::string("\xFF")},         // not keyed
      {std::string("\x00\x00\x00\x00\x08", 5), std::string(1, '\0')},        // PTT on
      {std::string("\x00\x00\x00\x00\x08", 5), std::string("\xF0")},         // already on
      {std::string("\x00\x00\x00\x00\xF7", 5), std::string(1, '\0')},        // keyed
      {std::string("\x00\x00\x00\x00\x88", 5), std::string(1, '\0')},        // PTT off
      {std::string("\x00\x55\x00\x00\xBB", 5), std::string("\x00\x00", 2)},  // EEPROM: VFO A
      {std::string("\x4A\x00\x00\x00\x01", 5), std::string(1, '\0')},        // not BCD: ignored
      {std::string("\x00\x00\x00\x00\x03", 5), std::string("\x00\x70\x74\x00\x03", 5)},
  };
  for (const auto& r : rows)
    EXPECT_EQ(rig.handle(reinterpret_cast<const uint8_t*>(r.cmd.data())), r.reply)
        << static_cast<int>(static_cast<unsigned char>(r.cmd[4]));
  EXPECT_EQ(rig.command("ft817 fault short"), "ok ft817 fault short");
  EXPECT_EQ(rig.handle(reinterpret_cast<const uint8_t*>("\x00\x00\x00\x00\x03")).size(), 3u);
  EXPECT_EQ(rig.command("ft817 fault nonbcd"), "ok ft817 fault nonbcd");
  EXPECT_EQ(static_cast<unsigned char>(rig.handle(reinterpret_cast<const uint8_t*>("\x00\x00\x00\x00\x03"))[1]), 0x4A);
  EXPECT_EQ(rig.command("ft817 fault melted").rfind("error:", 0), 0u);
}

}  // namespace
