// The USB spectrum reader: levels and layout of a spectrum line, the line against FFTW's transform of the
// same windowed samples, and the reader's run on the device model (divider, model check, failures).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "platform/usb.h"
#include "radio/radio.h"
#include "radio/usb_spectrum.h"
#include "tests/testlib/temp_root.h"
#include "ui/errors.h"

#ifdef KORVANE_HAVE_FFTW
#include <fftw3.h>
#endif

namespace {

constexpr double kPi = std::numbers::pi;

double windowAt(int k, int n) {
  if (k == 0) return 0;
  const double x = 2 * kPi * k / (n - 1);
  return 0.35875 - 0.48829 * std::cos(x) + 0.14128 * std::cos(2 * x) - 0.01168 * std::cos(3 * x);
}

// A complex tone on bin `bin` of an n-point transform whose bin magnitude, after the line's scaling
// by n/2, is `magnitude`.
std::vector<float> tone(int n, int bin, double magnitude) {
  double sum = 0;
  for (int k = 0; k < n; ++k) sum += windowAt(k, n);
  const double a = magnitude * (n / 2.0) / sum;
  std::vector<float> v(8192, 0.0f);
  for (int j = 0; j < n; ++j) {
    v[2 * j] = static_cast<float>(a * std::cos(2 * kPi * bin * j / n));
    v[2 * j + 1] = static_cast<float>(a * std::sin(2 * kPi * bin * j / n));
  }
  return v;
}

// Where bin k of an n-point transform lands in the line (centre-ordered, every second bin).
int linePosition(int k, int n) { return (((k + n / 2) % n) - (n == 2048 ? 170 : 341)) / 2; }

TEST(SpectrumLine, LevelsLayoutAndLength) {
  uint8_t line[kSpectrumLineMax];
  const struct {
    bool wide;
    int bin;
    double magnitude;
    int byte;
  } cases[] = {
      {false, 100, 1.0, 192}, {false, -300, 1.0, 192}, {false, 100, 1e6, 242}, {false, 100, 0.01, 152},
      {true, 401, 1.0, 192},  {true, -701, 0.1, 172},  {false, 0, 316.3, 242}, {false, 100, 1e-12, 0},
  };
  for (const auto& c : cases) {
    const int n = c.wide ? 4096 : 2048;
    const int k = (c.bin + n) % n;
    const std::vector<float> v = tone(n, k, c.magnitude);
    ASSERT_EQ(SpectrumLine(v.data(), static_cast<int>(v.size()), c.wide, line), c.wide ? 1706 : 854);
    const int at = linePosition(k, n);
    ASSERT_GE(at, 0);
    EXPECT_NEAR(line[at], c.byte, 1) << "bin " << c.bin << " magnitude " << c.magnitude << (c.wide ? " wide" : "");
    // Far from the tone the line lies on the window's floor, well below it.
    EXPECT_LT(line[(at + 200) % (c.wide ? 1706 : 854)], c.byte > 100 ? c.byte - 60 : 1) << "bin " << c.bin;
  }
  const std::vector<float> silence(8192, 0.0f);
  ASSERT_EQ(SpectrumLine(silence.data(), 8192, false, line), 854);
  for (int i = 0; i < 854; ++i) ASSERT_EQ(line[i], 0) << i;
  // Too few samples for the transform: no line.
  EXPECT_EQ(SpectrumLine(silence.data(), 4095, false, line), 0);
  EXPECT_EQ(SpectrumLine(silence.data(), 8191, true, line), 0);
}

#ifdef KORVANE_HAVE_FFTW
// The same windowed samples through FFTW: every byte of the line within one level.
TEST(SpectrumLine, MatchesFftwWithinOneLevel) {
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0, 1e-4);
  for (const bool wide : {false, true}) {
    const int n = wide ? 4096 : 2048;
    std::vector<float> v(8192);
    for (int j = 0; j < n; ++j) {
      const double i = 0.3 * std::cos(2 * kPi * 0.1234 * j) + 0.01 * std::cos(2 * kPi * -0.3 * j) + noise(rng);
      const double q = 0.3 * std::sin(2 * kPi * 0.1234 * j) + 0.01 * std::sin(2 * kPi * -0.3 * j) + noise(rng);
      v[2 * j] = static_cast<float>(i);
      v[2 * j + 1] = static_cast<float>(q);
    }
    fftw_complex* in = fftw_alloc_complex(n);
    fftw_complex* out = fftw_alloc_complex(n);
    fftw_plan plan = fftw_plan_dft_1d(n, in, out, FFTW_FORWARD, FFTW_ESTIMATE);
    for (int j = 0; j < n; ++j) {
      in[j][0] = static_cast<double>(v[2 * j]) * windowAt(j, n);
      in[j][1] = static_cast<double>(v[2 * j + 1]) * windowAt(j, n);
    }
    fftw_execute(plan);
    std::vector<int> expected(n);
    for (int k = 0; k < n; ++k) {
      const double m = std::hypot(out[k][0], out[k][1]) / (n / 2.0);
      const double level = 20 * std::log10(m);
      expected[(k + n / 2) % n] = (level < -192 ? -192 : level > 50 ? 50 : static_cast<int>(level)) + 192;
    }
    fftw_destroy_plan(plan);
    fftw_free(in);
    fftw_free(out);
    uint8_t line[kSpectrumLineMax];
    const int length = SpectrumLine(v.data(), 8192, wide, line);
    int worst = 0;
    for (int i = 0; i < length; ++i) worst = std::max(worst, std::abs(line[i] - expected[(wide ? 341 : 170) + 2 * i]));
    EXPECT_LE(worst, 1) << n << " points";
  }
}
#else
TEST(SpectrumLine, MatchesFftwWithinOneLevel) { GTEST_SKIP() << "FFTW (libfftw3-dev) is not installed"; }
#endif

// The reader on the device model, with the lines it sends counted.
std::atomic<int> g_lines{0};
std::atomic<int> g_lineLength{0};
void countLine(Works*, const unsigned char*, int length) {
  g_lines++;
  g_lineLength = length;
}

class Reader : public ::testing::Test {
 protected:
  void SetUp() override {
    root.activate();
    setFlag(w->setup->EnableFFT, '1');
    setFlag(w->setup->EnableSpectrum, '1');
    setFlag(w->setup->Enable1600, '0');
    w->cpPending = 0;
    w->wsockConnected = 1;
    w->hooks.sendWebSockSerSpectrFrame = countLine;
    g_lines = 0;
    g_lineLength = 0;
  }
  // Runs the reader to its end on a device described by `description`.
  void run(const std::string& description) {
    DeleteErrore(w.get(), kErrorRemoteUsb);
    root.write("/sim/usb", description);
    auto usb = usbDeviceModel(root.file("/sim/usb"));
    BIXReadOn(w.get(), *usb);
  }
  testlib::TempRoot root;
  testlib::TestWorks w;
};

TEST_F(Reader, EveryDividedTransferMakesALineUntilTheDeviceGoes) {
  const struct {
    int divide;
    const char* wide;
    int transfers, lines, length;
  } cases[] = {{3, "0", 30, 10, 854}, {1, "0", 7, 7, 854}, {0, "0", 5, 5, 854}, {2, "1", 9, 5, 1706}};
  for (const auto& c : cases) {
    g_lines = 0;
    setFlag(w->setup->EnableFFT, '1');
    setFlag(w->setup->Enable1600, c.wide[0]);
    w->fftDivide = c.divide;
    run("device 2b4d 0e31\nrate 4000000\ntone 0.1 -30\nlimit " + std::to_string(c.transfers) + "\n");
    EXPECT_EQ(g_lines, c.lines) << "divider " << c.divide << ", " << c.transfers << " transfers";
    EXPECT_EQ(g_lineLength, c.length);
    EXPECT_TRUE(ExistError(w.get(), kErrorRemoteUsb)) << "the end of a run is error 5";
    EXPECT_EQ(getFlag(w->setup->EnableFFT), '0');
  }
}

TEST_F(Reader, FailuresInARowEndTheStreamAtEleven) {
  w->fftDivide = 1;
  run("device 2b4d 0e31\nrate 4000000\nfail 10\nlimit 6\n");
  EXPECT_EQ(g_lines, 6) << "ten failures, then the stream goes on";
  setFlag(w->setup->EnableFFT, '1');
  g_lines = 0;
  run("device 2b4d 0e31\nrate 4000000\nfail 11\nlimit 6\n");
  EXPECT_EQ(g_lines, 0) << "the eleventh failure ends the run";
}

TEST_F(Reader, OtherModelsNoDeviceAndNoPeerMakeNoLines) {
  const struct {
    const char* description;
    bool peer;
  } cases[] = {{"device 2b4d 0e34\nlimit 5\n", true},
               {"device 2b4d 0e2a\nlimit 5\n", true},
               {"device 1234 0e31\nlimit 5\n", true},
               {"", true},
               {"device 2b4d 0e31\nrate 4000000\nlimit 5\n", false}};
  for (const auto& c : cases) {
    setFlag(w->setup->EnableFFT, '1');
    g_lines = 0;
    w->wsockConnected = c.peer ? 1 : 0;
    run(c.description);
    EXPECT_EQ(g_lines, 0) << c.description;
    EXPECT_TRUE(ExistError(w.get(), kErrorRemoteUsb)) << c.description;
  }
}

// The remote menu's presence check wants the transceiver itself, not another of the maker's devices.
TEST_F(Reader, PresenceCheckFindsOnlyTheTransceiver) {
  const struct {
    const char* description;
    int present;
  } cases[] = {{"device 2b4d 0e31\n", 1}, {"device 2b4d 0e34\n", 0}, {"device 0e31 2b4d\n", 0}, {"", 0}};
  for (const auto& c : cases) {
    root.write("/sim/usb", c.description);
    EXPECT_EQ(UsbTransceiverPresentOn(*usbDeviceModel(root.file("/sim/usb"))), c.present) << c.description;
    EXPECT_EQ(UsbTransceiverPresent(w.get()), c.present) << "through the unit's own port: " << c.description;
  }
}

// The model's tones come out of the reader's line at the level they were given.
TEST_F(Reader, ToneShowsAtItsLevel) {
  static std::vector<uint8_t> last;
  w->hooks.sendWebSockSerSpectrFrame = [](Works*, const unsigned char* data, int length) {
    last.assign(data, data + length);
  };
  w->fftDivide = 1;
  run("device 2b4d 0e31\nrate 4000000\noffsets 3.5 6 10\ntone 0.125 -40\ntone -0.25 -70\nlimit 3\n");
  ASSERT_EQ(last.size(), 854u);
  EXPECT_LT(last[linePosition(700, 2048)], 20) << "where there is no tone";
  EXPECT_NEAR(last[linePosition(256, 2048)], 192 - 40, 1);
  EXPECT_NEAR(last[linePosition(2048 - 512, 2048)], 192 - 70, 1);
}

}  // namespace
