// Tests of the error list: adding, removing, order, flags, warnings, concurrent use and the tiles on screen.
#include <gtest/gtest.h>

#include <unistd.h>
#include <array>
#include <atomic>
#include <cstring>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "core/works.h"
#include "tests/testlib/reference_image.h"
#include "tests/testlib/temp_root.h"
#include "ui/errors.h"
#include "ui/fb.h"
#include "ui/memory_screen.h"
#include "ui/png.h"
#include "ui/text.h"

namespace {

std::vector<int> listed(Works* w) {
  int codes[32];
  int n = ErrorListSnapshot(w, codes, 32);
  return std::vector<int>(codes, codes + n);
}

size_t occurrences(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

class ErrorList : public ::testing::Test {
 protected:
  void SetUp() override { w->cpPending = 0; }
  testlib::TestWorks w;
};

// An 800x480, 32-bit screen held in memory.
struct MemScreen {
  MemScreen() {
    s.width = 800;
    s.height = 480;
    s.pixelSize = 4;
    s.lineSize = 800 * 4;
    s.memSize = s.lineSize * 480;
    work.assign(s.memSize, 0);
    s.workBuf = work.data();
    s.screenMem = work.data();
    s.backBuf = work.data();
  }
  // (r, g, b) of a pixel of the work buffer.
  std::array<int, 3> at(int x, int y) const {
    const uint8_t* p = work.data() + static_cast<size_t>(y) * s.lineSize + static_cast<size_t>(x) * 4;
    return {p[2], p[1], p[0]};
  }
  Screen s;
  std::vector<uint8_t> work;
};

const std::array<int, 3> kOrange{250, 150, 0}, kRed{255, 30, 0}, kWhite{255, 255, 255}, kBlack{0, 0, 0};
constexpr int kTileX0[6] = {5, 133, 266, 399, 532, 665};

}  // namespace

TEST_F(ErrorList, DuplicateIsListedOnceAndArmsTheBiasResetOnce) {
  testing::internal::CaptureStderr();
  AddErrore(w.get(), kErrorAmpAlarm);
  AddErrore(w.get(), kErrorAmpAlarm);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(listed(w.get()), std::vector<int>{kErrorAmpAlarm});
  EXPECT_EQ(w->errorFlags, kErrFlagBiasReset);
  EXPECT_EQ(occurrences(err, " -->set protezione 0x1\n"), 1u);
  EXPECT_EQ(occurrences(err, "Add: N: 1 err:1\n"), 1u);
}

TEST_F(ErrorList, KeepsTheOrderOfAdditionAndClosesGapsOnRemoval) {
  for (int c : {kErrorBixModeOff, kErrorPwrIn, kErrorAmpFault, kErrorHighTempCleared, kErrorRemoteCat})
    AddErrore(w.get(), c);
  EXPECT_EQ(listed(w.get()),
            (std::vector<int>{kErrorBixModeOff, kErrorPwrIn, kErrorAmpFault, kErrorHighTempCleared, kErrorRemoteCat}));
  EXPECT_EQ(ExistAnError(w.get()), 7);
  EXPECT_EQ(LastError(w.get()), 20);
  testing::internal::CaptureStderr();
  DeleteErrore(w.get(), kErrorAmpFault);
  DeleteErrore(w.get(), kErrorAmpFault);  // not listed any more: nothing changes, nothing printed
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "Del ERROR: N: 4 err:15\n");
  EXPECT_EQ(listed(w.get()), (std::vector<int>{kErrorBixModeOff, kErrorPwrIn, kErrorHighTempCleared, kErrorRemoteCat}));
  EXPECT_EQ(ExistError(w.get(), kErrorAmpFault), 0);
  EXPECT_EQ(ExistError(w.get(), kErrorHighTempCleared), 1);
  DeleteErrore(w.get(), kErrorBixModeOff);
  EXPECT_EQ(ExistAnError(w.get()), 3);
}

TEST_F(ErrorList, EmptyList) {
  EXPECT_EQ(ExistAnError(w.get()), -1);
  EXPECT_EQ(LastError(w.get()), -1);
  EXPECT_EQ(ErrorResetLabelShown(w.get()), 0);
  DeleteErrore(w.get(), kErrorPwrIn);
  EXPECT_EQ(w->errorCount, 0);
}

TEST_F(ErrorList, NothingIsListedBeforeTheFirstCpReply) {
  w->cpPending = 1;
  AddErrore(w.get(), kErrorAmpAlarm);
  AddErrore(w.get(), kErrorTuneTimeout);
  EXPECT_TRUE(listed(w.get()).empty());
  EXPECT_EQ(w->errorFlags, 0);
}

TEST_F(ErrorList, EveryCodeFitsAndUnknownCodesAreRefused) {
  testlib::LogCapture log;
  for (int c = kNumErrorCodes - 1; c >= 0; --c) AddErrore(w.get(), c);
  for (int c : {-1, 21, 1000}) AddErrore(w.get(), c);
  EXPECT_EQ(w->errorCount, kNumErrorCodes);
  EXPECT_EQ(ExistAnError(w.get()), 20);
  EXPECT_EQ(log.count("is not in the error table"), 3u);
  EXPECT_EQ(ExistError(w.get(), 1000), 0);
}

TEST_F(ErrorList, TemporaryWarningsMarkedOnceAndRemovedTogether) {
  testing::internal::CaptureStderr();
  AddErrore(w.get(), kErrorTuneTimeout);
  AddErrore(w.get(), kErrorAudioRead);
  AddErrore(w.get(), kErrorTuneSwr);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(occurrences(err, " -->tasto reset errore 0x4\n"), 1u);
  EXPECT_EQ(w->errorFlags, kErrFlagWarnings);
  testing::internal::CaptureStderr();
  VerifyWarningTemporanei(w.get());
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(listed(w.get()), std::vector<int>{kErrorAudioRead});
  EXPECT_NE(err.find("Del temp err: 12 (0 , 3)\n"), std::string::npos);
  EXPECT_NE(err.find("Del temp err: 13 (1 , 2)\n"), std::string::npos);
}

TEST_F(ErrorList, BandWarningIsProtectiveAndTemporary) {
  AddErrore(w.get(), kErrorBandStandby);
  EXPECT_EQ(w->errorFlags, kErrFlagBiasReset | kErrFlagWarnings);
}

TEST_F(ErrorList, ResetAfterBiasRemovesEverything) {
  for (int c : {kErrorHighTemp, kErrorRemoteUsb, kErrorAmpAlarm, kErrorMicroReset}) AddErrore(w.get(), c);
  VerifyWarningTemporaneiDopoResetBias(w.get());
  EXPECT_TRUE(listed(w.get()).empty());
}

TEST_F(ErrorList, ResetLabel) {
  AddErrore(w.get(), kErrorHighTemp);
  EXPECT_EQ(ErrorResetLabelShown(w.get()), 0);
  AddErrore(w.get(), kErrorComm);
  EXPECT_EQ(ErrorResetLabelShown(w.get()), 1);
  DeleteErrore(w.get(), kErrorHighTemp);
  EXPECT_EQ(ErrorResetLabelShown(w.get()), 1);
}

TEST_F(ErrorList, TextsAreCutToTheirFieldAndRestored) {
  SetErrorText(w.get(), kErrorComm, 2, "Err ST");
  EXPECT_STREQ(w->errorTable[kErrorComm].line2, "Err ST");
  SetErrorText(w.get(), kErrorAmpFault, 2, std::string(100, 'x').c_str());
  EXPECT_EQ(strlen(w->errorTable[kErrorAmpFault].line2), static_cast<size_t>(kErrorTextLen - 1));
  SetErrorText(w.get(), 21, 1, "nowhere");  // ignored
  InitErrorTable(w.get());
  EXPECT_STREQ(w->errorTable[kErrorComm].line2, "warn ");
  EXPECT_STREQ(w->errorTable[kErrorAmpFault].line2, "---");
  EXPECT_STREQ(w->errorTable[kErrorBandStandby].line1, "Band warn");
  EXPECT_EQ(w->errorTable[kErrorBandStandby].flags, 6);
}

// Adders and removers from several threads, with the tiles drawn meanwhile: the list never holds a
// duplicate or an unknown code and its count always matches its contents.
TEST_F(ErrorList, ConcurrentAddDeleteAndDraw) {
  MemScreen screen;
  w->fb = &screen.s;
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(t + 1);
      for (int i = 0; i < 4000; ++i) {
        int code = static_cast<int>(rng() % kNumErrorCodes);
        if (rng() & 1)
          AddErrore(w.get(), code);
        else
          DeleteErrore(w.get(), code);
        if (i % 500 == 0) VerifyWarningTemporanei(w.get());
      }
    });
  }
  std::thread drawer([&] {
    while (!stop) {
      DrawError(w.get());
      SetErrorText(w.get(), kErrorAmpFault, 2, "I OUT");
      (void)ExistAnError(w.get());
    }
  });
  for (auto& th : threads) th.join();
  stop = true;
  drawer.join();
  auto l = listed(w.get());
  std::set<int> unique(l.begin(), l.end());
  EXPECT_EQ(unique.size(), l.size());
  EXPECT_EQ(static_cast<int>(l.size()), w->errorCount.load());
  for (int c : l) EXPECT_TRUE(c >= 0 && c < kNumErrorCodes);
  w->fb = nullptr;
}

TEST_F(ErrorList, TileColoursAndOutline) {
  MemScreen screen;
  w->fb = &screen.s;
  AddErrore(w.get(), kErrorHighTemp);  // red
  AddErrore(w.get(), kErrorComm);      // orange
  DrawError(w.get());
  EXPECT_EQ(screen.at(60, 372), kRed);
  EXPECT_EQ(screen.at(60, 414), kRed);     // last filled row
  EXPECT_EQ(screen.at(129, 380), kRed);    // last filled column
  EXPECT_EQ(screen.at(5, 380), kWhite);    // left edge
  EXPECT_EQ(screen.at(130, 380), kWhite);  // right edge
  EXPECT_EQ(screen.at(60, 370), kWhite);   // top edge
  EXPECT_EQ(screen.at(60, 415), kWhite);   // bottom edge
  EXPECT_EQ(screen.at(200, 400), kOrange);
  EXPECT_EQ(screen.at(300, 400), kBlack);  // third position: nothing listed for it
  EXPECT_EQ(screen.at(60, 369), kBlack);   // nothing above the tiles
  EXPECT_EQ(screen.at(60, 416), kBlack);
  w->fb = nullptr;
}

TEST_F(ErrorList, NewestSixShownAndShiftLeftOnRemoval) {
  MemScreen screen;
  w->fb = &screen.s;
  // Red codes: 1, 2, 3, 15. List positions 2..7 are shown: 5 2 6 3 7 15.
  for (int c : {kErrorComm, kErrorAmpAlarm, kErrorRemoteUsb, kErrorHighTemp, kErrorAudioMissing, kErrorPwrIn,
                kErrorBixModeOff, kErrorAmpFault})
    AddErrore(w.get(), c);
  DrawError(w.get());
  const std::array<int, 3> before[6] = {kOrange, kRed, kOrange, kRed, kOrange, kRed};
  for (int k = 0; k < 6; ++k) EXPECT_EQ(screen.at(kTileX0[k] + 20, 400), before[k]) << "tile " << k;

  DeleteErrore(w.get(), kErrorRemoteUsb);  // the leftmost tile's code: 1 2 6 3 7 15
  std::fill(screen.work.begin(), screen.work.end(), 0);
  DrawError(w.get());
  const std::array<int, 3> after[6] = {kRed, kRed, kOrange, kRed, kOrange, kRed};
  for (int k = 0; k < 6; ++k) EXPECT_EQ(screen.at(kTileX0[k] + 20, 400), after[k]) << "tile " << k;
  w->fb = nullptr;
}

TEST_F(ErrorList, TileForAListPositionAndItsText) {
  MemScreen screen;
  w->fb = &screen.s;
  TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 18, 10);
  AddErrore(w.get(), kErrorAudioRead);
  AddErrore(w.get(), kErrorAmpAlarm);
  DrawTastoErrore(w.get(), 266, 396, 1);  // position 1 is code 1: red
  EXPECT_EQ(screen.at(300, 372), kRed);
  EXPECT_EQ(screen.at(20, 400), kBlack);  // position 0 was not asked for
  DrawTastoErrore(w.get(), 399, 529, 5);  // no such position: nothing drawn
  EXPECT_EQ(screen.at(450, 400), kBlack);
  if (getStringSpace(10, "HI SWR") > 0) {
    // The two text lines are drawn inside the tile in near-white.
    int light = 0;
    for (int y = 372; y < 414; ++y)
      for (int x = 268; x < 395; ++x) {
        auto p = screen.at(x, y);
        if (p[1] > 150 && p[2] > 100) ++light;
      }
    EXPECT_GT(light, 20);
  }
  w->fb = nullptr;
}

// Six tiles over the meter face, composed as the supervisor composes them, against the reference
// image: colours, outlines, both text lines of every tile and the face around them, pixel for pixel.
TEST_F(ErrorList, TilesOverTheMeterFaceMatchTheReferenceImage) {
  MemoryScreen m(800, 480);
  w->fb = &m.s;
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(KORVANE_SOURCE_DIR "/assets/screens"), 0);
  snprintf(w->pngName, sizeof w->pngName, "%s", "img1");
  getPng(w.get(), 1);
  ASSERT_EQ(chdir(cwd), 0);
  TTFLoad("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 18, 10);
  fbSetBack(&m.s);
  for (int c : {kErrorHighTempCleared, kErrorHighTemp, kErrorComm, kErrorAudioRead, kErrorTuneBixAbort, kErrorAmpFault})
    AddErrore(w.get(), c);
  DrawError(w.get());
  std::vector<testlib::NamedRegion> regions = {{"meter face", 0, 0, 800, 365}, {"key bar", 0, 420, 800, 480}};
  for (int k = 0; k < 6; ++k)
    regions.push_back({"tile " + std::to_string(k + 1), kTileX0[k], 365, kTileX0[k] + 128, 420});
  EXPECT_EQ(testlib::compareWithReference(testlib::imageOfBuffer(m.s.workBuf, 800, 480, m.s.lineSize),
                                          KORVANE_SOURCE_DIR "/tests/ui_errors/reference/error-tiles.png", regions),
            "");
  w->fb = nullptr;
}
