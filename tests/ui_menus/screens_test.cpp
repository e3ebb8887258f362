// The content area and the button bar as pixels: reference images of the panel, the band table, the
// status strips and the information page; the band box; the display modes' backgrounds.
#include <unistd.h>

#include <cstring>

#include "core/setup.h"
#include "core/works.h"
#include "tests/testlib/reference_image.h"
#include "tests/ui_menus/menus_fixture.h"
#include "tuner/tuner.h"
#include "ui/errors.h"
#include "ui/menu.h"

using MenuScreens = menutest::ScreenFixture;

namespace {
const std::vector<testlib::NamedRegion> kRegions = {{"title", 0, 0, 800, 90},
                                                    {"table or page", 0, 90, 800, 278},
                                                    {"status strips", 0, 278, 800, 335},
                                                    {"panel and message", 0, 335, 800, 420},
                                                    {"button bar", 0, 420, 800, 480}};

std::string reference(const char* name) { return std::string(KORVANE_MENU_REFERENCES) + "/" + name; }

void setBand(Works* w, int i, const char* name, uint32_t lo, uint32_t hi, int amp, int ant, int atu, int att,
             float pwr) {
  BandRow& r = w->tabAntenna[i];
  snprintf(r.name, sizeof r.name, "%s", name);
  r.freqMin = lo;
  r.freqMax = hi;
  r.ampEnable = static_cast<uint8_t>(amp);
  r.ant = static_cast<uint8_t>(ant);
  r.atu = static_cast<uint8_t>(atu);
  r.att = static_cast<uint8_t>(att);
  r.pwr = pwr;
}
void threeBands(Works* w) {
  setBand(w, 0, "40m", 7000000, 7300000, 1, 1, 0, 0, 0.0f);
  setBand(w, 1, "20m", 14000000, 14350000, 1, 2, 1, 2, 12.5f);
  setBand(w, 2, "10m", 26000000, 29700000, 0, 3, 0, 3, 5.0f);
  w->numBands = 3;
}
}  // namespace

class FrameOf {
 public:
  explicit FrameOf(MemoryScreen& m) : m_(m) {}
  testlib::RgbImage image() { return testlib::imageOfBuffer(m_.s.workBuf, 800, 480, m_.s.lineSize); }

 private:
  MemoryScreen& m_;
};

TEST_F(MenuScreens, BandBoxNamesTheLastMatchingBandAndNopaAroundElevenMetres) {
  threeBands(w);
  setBand(w, 3, "20wide", 13000000, 15000000, 1, 1, 0, 0, 0);
  w->numBands = 4;
  const std::pair<uint64_t, const char*> cases[] = {
      {7100000, "Band:40m"}, {14070000, "Band:20wide"}, {10100000, "Band:---"}, {26000000, "NOPA"},
      {27500000, "NOPA"},    {28000000, "NOPA"},        {28000001, "Band:10m"}};
  for (auto [f, text] : cases) {
    w->freq = f;
    char out[32];
    GetBandText(w, out, sizeof out);
    EXPECT_STREQ(out, text) << f;
  }
}

TEST_F(MenuScreens, ParameterListPanelMatchesItsReference) {
  w->MAXbank = 20;
  w->paramIndex = 0;  // the previous line is the last entry
  w->menuPage = kPageParamList;
  {
    std::lock_guard<std::mutex> lk(mem->s.drawMut);
    LoadButtons(w);
  }
  EXPECT_EQ(testlib::compareWithReference(FrameOf(*mem).image(), reference("parameter-list.png"), kRegions), "");
}

TEST_F(MenuScreens, BandTableWithACellInEditMatchesItsReference) {
  threeBands(w);
  w->NumBanco = 3;
  w->ModeWorkIdx = 2;
  w->statusPage = kStatusInterface;
  w->menuPage = kPageBandEdit;
  w->tabRow = 1;
  w->tabCol = 3;
  {
    std::lock_guard<std::mutex> lk(mem->s.drawMut);
    LoadButtons(w);
  }
  EXPECT_EQ(testlib::compareWithReference(FrameOf(*mem).image(), reference("band-table-edit.png"), kRegions), "");
}

TEST_F(MenuScreens, StatusStripsMatchTheirReference) {
  threeBands(w);
  w->ModeWorkIdx = 1;
  w->freq = 27000000;  // NOPA whatever the table says
  w->stStatus0 = 1;
  w->bypass = 0;
  w->Attenuator = 2;
  w->antennaIdx = 2;
  w->atuBypass = 1;
  w->remoteMode = 1;
  w->remoteThreadsEnded = 1;  // the remote box in red
  w->TempMode = 1;
  w->temp1 = 25.0f;
  w->temp2 = 40.0f;
  w->microCfgB = 0;
  w->gpioReading[3] = 250;  // 21.2 V on the smaller model's divider: not shown
  w->rawCurrent = 2048;
  w->msgFlags = kMsgBypassNotSaved;
  {
    std::lock_guard<std::mutex> lk(mem->s.drawMut);
    LoadButtons(w);
  }
  EXPECT_EQ(testlib::compareWithReference(FrameOf(*mem).image(), reference("status-strips.png"), kRegions), "");
}

TEST_F(MenuScreens, InformationPageMatchesItsReference) {
  snprintf(w->version, sizeof w->version, "%s", "1.0.7");
  snprintf(w->microVersion, sizeof w->microVersion, "%s", "2.14");
  memcpy(w->microCfg0, "KV1234", 7);
  memcpy(w->microCfg1, "A5", 3);
  w->microCfgA = '0';
  w->microCfgB = '1';
  w->pwrFwd = 100.0f;
  w->pwrRefl = 2.5f;
  w->pwrPW = 3.0f;
  w->swr = 1.3f;
  w->freqMeasured = 14074000;
  setFlag(w->setup->EnableSerial, '0');
  w->temp1 = 31.5f;
  w->temp2 = 35.25f;
  w->cpuTemp = 48.3f;
  w->gpuTemp = 47.0f;
  w->stStatus0 = 0x11;
  w->stStatus1 = 0x08;
  w->gpioReading[0] = 0x12;
  w->gpioReading[1] = 40;
  w->gpioReading[2] = 50;
  w->gpioReading[3] = 200;
  AddErrore(w, kErrorBixData);
  w->wsockDefaultPassword = 1;
  w->ModeWorkIdx = 2;
  longPress(6);
  ASSERT_EQ(w->statusPage, kStatusInfo);
  w->menuPage = kPageTune;  // no date line: it changes every second
  {
    std::lock_guard<std::mutex> lk(mem->s.drawMut);
    LoadButtons(w);
  }
  EXPECT_EQ(testlib::compareWithReference(FrameOf(*mem).image(), reference("information-page.png"), kRegions), "");
}

// The key 1 label gives way to the error reset while errors other than the high-temperature alarm are listed.
TEST_F(MenuScreens, ErrorKeyLabelAndArrowsOfTheEditPage) {
  auto bar = [&] {
    std::fill(mem->work.begin(), mem->work.end(), 0);
    std::lock_guard<std::mutex> lk(mem->s.drawMut);
    LoadButtons(w);
    return FrameOf(*mem).image();
  };
  auto orangeIn = [](const testlib::RgbImage& img, int x0, int x1) {
    int n = 0;
    for (int y = 425; y < 477; ++y)
      for (int x = x0; x < x1; ++x) {
        const uint8_t* p = &img.px[(static_cast<size_t>(y) * img.width + x) * 3];
        n += p[0] > 200 && p[1] > 100 && p[1] < 200 && p[2] < 60;
      }
    return n;
  };
  const int plain = orangeIn(bar(), 2, 128);
  AddErrore(w, kErrorHighTemp);
  EXPECT_EQ(orangeIn(bar(), 2, 128), plain);
  AddErrore(w, kErrorTuneTimeout);
  EXPECT_NE(orangeIn(bar(), 2, 128), plain);
  // On the edit page the arrows are shown only for an address.
  w->menuPage = kPageParamEdit;
  w->paramIndex = 0;
  EXPECT_EQ(orangeIn(bar(), 134, 395), 0);
  w->paramIndex = 10;
  EXPECT_GT(orangeIn(bar(), 134, 395), 0);
}

TEST_F(MenuScreens, ViewKeyStepsTheDisplayModesAndTheirBackgrounds) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(KORVANE_SOURCE_DIR "/assets/screens"), 0);
  const std::pair<int, const char*> steps[] = {{2, "img3"}, {3, "img1"}, {4, "m5a"}, {5, "m5a"}, {1, "img1"}};
  w->meterPage = 1;
  for (auto [mode, image] : steps) {
    press(6);
    EXPECT_EQ(w->meterPage, mode);
    EXPECT_STREQ(w->pngName, image) << mode;
    EXPECT_EQ(bottom(0, 6), "    " + std::to_string(mode));
  }
  ASSERT_EQ(chdir(cwd), 0);
}
