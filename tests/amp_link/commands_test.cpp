// The link's command table: every row formats from the record and the simulated micro takes the text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "amp/link.h"
#include "core/works.h"
#include "sim/micro/micro_model.h"
#include "tests/testlib/temp_root.h"
#include "tuner/tuner.h"

namespace {

TEST(LinkCommands, EveryRowFormatsAndTheMicroAcceptsIt) {
  testlib::TestWorks tw;
  Works* w = tw.get();
  InitGlobalVar(w);
  w->antennaIdx = 2;
  w->freq = 14070000;
  w->Attenuator = 2;
  w->AttenuatorTune = 1;
  w->anValue = 1;
  w->fanSent = 40;
  w->filterMask = 1 << 4;
  memcpy(w->settingsText, "0000000000", 11);
  sim::MicroModel micro;
  int rows = 0;
  for (const LinkCommand& c : LinkCommands()) {
    SCOPED_TRACE(c.form);
    ++rows;
    char text[96];
    int n = c.send == LinkSend::RelayWord ? TunerCommandText(w, c.state, text, sizeof text)
                                          : FormatLinkCommand(w, c.state, text, sizeof text);
    ASSERT_GT(n, 2);
    ASSERT_EQ(text[n - 1], ';');
    EXPECT_EQ(std::string(text, 2), std::string(c.form, 2));  // the letters the reply must echo
    EXPECT_NE(c.fields, nullptr);
    if (c.state == LIN_MR1) continue;  // the loader would swallow everything after it
    const std::string reply = micro.handle(std::string_view(text, static_cast<size_t>(n - 1)));
    ASSERT_GE(reply.size(), 3u) << text;
    EXPECT_EQ(reply.substr(0, 2), std::string(text, 2)) << text << " -> " << reply;
    EXPECT_TRUE(reply[2] != '?' && reply[2] != '!' && reply[2] != '&') << text << " -> " << reply;
  }
  EXPECT_EQ(rows, 32);
  // The states that send nothing have no row and cannot be queued.
  for (int s : {int(LIN_WAIT), int(LIN_DECODE), int(LIN_IDLE), 4, 5, 6, 25, 26, 29, 41})
    EXPECT_FALSE(IsLinkCommand(s)) << s;
}

TEST(LinkCommands, ValuesAndTheProtectionOverride) {
  testlib::TestWorks tw;
  Works* w = tw.get();
  auto text = [&](int s) {
    char b[96];
    int n = FormatLinkCommand(w, s, b, sizeof b);
    return n < 0 ? std::string("-") : std::string(b, static_cast<size_t>(n));
  };
  w->antennaIdx = 2;
  w->freq = 14070000;
  w->Attenuator = 1;
  w->AttenuatorTune = 2;
  w->filterMask = 0x2a;
  EXPECT_EQ(text(LIN_SA), "SA3;");
  EXPECT_EQ(text(LIN_FA), "FA00014070000;");
  EXPECT_EQ(text(LIN_AT), "AT01;");
  EXPECT_EQ(text(LIN_AT_TUNE), "AT10;");
  EXPECT_EQ(text(LIN_AT_PROT), "AT11;");
  EXPECT_EQ(text(LIN_SF), "SF300002a;");
  EXPECT_EQ(text(LIN_MP0), "MP0;");
  EXPECT_EQ(text(LIN_GS_WRITE), "-");  // the micro's settings are not known yet
  EXPECT_EQ(text(LIN_MT1), "-");       // the tuner composes the relay words
  w->protectionHeld = 1;
  EXPECT_EQ(text(LIN_MP0), "MP1;");
  EXPECT_EQ(text(LIN_AT), "AT11;");
  EXPECT_EQ(text(LIN_AT_TUNE), "AT11;");
  memcpy(w->settingsText, "0000000000", 11);
  w->ModeWorkIdx = 0;
  EXPECT_EQ(text(LIN_GS_WRITE), "GS0200000000;");
  w->ModeWorkIdx = 1;
  EXPECT_EQ(text(LIN_GS_WRITE), "GS0000000000;");
}

}  // namespace
