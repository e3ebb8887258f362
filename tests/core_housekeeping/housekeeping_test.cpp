// Tests of the temperature log, the board temperature helper, the date text and the marker clean-up.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>
#include <thread>

#include "core/housekeeping.h"
#include "core/works.h"
#include "platform/timing.h"
#include "tests/testlib/temp_root.h"
#include "tests/testlib/wait.h"

namespace {

// The marker clean-up's 30 s count runs at a thousandth of its length here.
const bool kScaled = [] {
  setenv("KORVANE_STARTUP_SCALE", "0.001", 1);
  return true;
}();

const char* kFailingMount = "#!/bin/sh\necho \"mount $*\" >> \"$(dirname \"$0\")/../var/log/commands.log\"\nexit 32\n";

class Housekeeping : public ::testing::Test {
 protected:
  void SetUp() override {
    root.activate();
    w->temp1 = 25.04f;
    w->temp2 = 31.5f;
    w->pwrFwd = 100.0f;
    w->swr = 1.5f;
    w->rawCurrent = 2048;  // 7.0 A
    w->stStatus1 = 0x1;    // transmitting
  }
  testlib::TempRoot root;
  testlib::TestWorks w;
};

size_t lineCount(const std::string& s) {
  size_t n = 0;
  for (char c : s) n += c == '\n';
  return n;
}

}  // namespace

TEST_F(Housekeeping, FirstEntryCreatesTheFileWithItsHeader) {
  ASSERT_EQ(LogTempFunction(w.get(), 0), 0);
  std::string log = root.read("/opt/set/LOGtemp.txt");
  std::regex want(
      ";TX,Temp1,Temp2,FDD,SWR\n"
      "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} , 1,25\\.0,31\\.5,100\\.0W,1\\.50,\\d+\\.\\dV,07\\.0A\n");
  EXPECT_TRUE(std::regex_match(log, want)) << log;
  // The write happened inside the remount pair.
  std::string cmds = root.read("/var/log/commands.log");
  EXPECT_NE(cmds.find("remount defaults,rw"), std::string::npos);
  EXPECT_NE(cmds.find("remount -r"), std::string::npos);
}

TEST_F(Housekeeping, EntriesAppendAndAlarmIsMarked) {
  ASSERT_EQ(LogTempFunction(w.get(), 0), 0);
  w->stStatus1 = 0;
  ASSERT_EQ(LogTempFunction(w.get(), 0), 0);
  ASSERT_EQ(LogTempFunction(w.get(), 1), 0);
  std::string log = root.read("/opt/set/LOGtemp.txt");
  EXPECT_EQ(lineCount(log), 4u);
  EXPECT_EQ(log.find(";TX"), 0u);
  EXPECT_EQ(log.rfind(";TX"), 0u);  // one header
  EXPECT_NE(log.find(" , 0,"), std::string::npos);
  const std::string alarm = " -> protezione attiva\n";
  ASSERT_GE(log.size(), alarm.size());
  EXPECT_EQ(log.substr(log.size() - alarm.size()), alarm);
  EXPECT_EQ(log.find(alarm), log.size() - alarm.size());  // only the last entry is an alarm
}

// The entry's PA voltage is the status screen's: reading slot 3 through the model's divider.
TEST_F(Housekeeping, EntryCarriesThePaVoltageOfTheModel) {
  w->gpioReading[3] = 200;
  w->microCfgB = 0x31;  // 200 × 3.3 × 348 / 255 / 18 = 50.04 V
  ASSERT_EQ(LogTempFunction(w.get(), 0), 0);
  w->microCfgB = 0x30;  // 200 × 3.3 × 118 / 255 / 18 = 16.97 V
  ASSERT_EQ(LogTempFunction(w.get(), 0), 0);
  std::string log = root.read("/opt/set/LOGtemp.txt");
  size_t first = log.find(",50.0V,");
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_NE(log.find(",17.0V,", first), std::string::npos) << log;
}

TEST_F(Housekeeping, DeleteRemovesTheLog) {
  ASSERT_EQ(LogTempFunction(w.get(), 0), 0);
  ASSERT_TRUE(root.exists("/opt/set/LOGtemp.txt"));
  EXPECT_EQ(LogTempFunction(w.get(), -1), 0);
  EXPECT_FALSE(root.exists("/opt/set/LOGtemp.txt"));
  ASSERT_EQ(LogTempFunction(w.get(), 0), 0);  // the next transmission starts a fresh log
  EXPECT_EQ(lineCount(root.read("/opt/set/LOGtemp.txt")), 2u);
}

// A long transmission must not fill the partition: past the limit the oldest entries go, the header
// and the newest entries stay whole, and the cut is logged once per log.
TEST_F(Housekeeping, LogPastItsLimitKeepsTheHeaderAndTheNewestEntries) {
  testlib::LogCapture capture;
  setLogTempLimit(2000);
  std::string last;
  for (int i = 0; i < 200; ++i) {
    w->temp1 = static_cast<float>(i % 90);
    w->stStatus1 = i % 2;
    ASSERT_EQ(LogTempFunction(w.get(), 0), 0);
    const std::string log = root.read("/opt/set/LOGtemp.txt");
    ASSERT_LE(log.size(), 2000u) << "after entry " << i;
    ASSERT_EQ(log.find(";TX,Temp1,Temp2,FDD,SWR\n"), 0u);
    ASSERT_EQ(log.back(), '\n');
    // Every line after the header is a whole entry.
    for (size_t at = log.find('\n') + 1; at < log.size(); at = log.find('\n', at) + 1)
      ASSERT_EQ(log.compare(at + 19, 3, " , "), 0) << log.substr(at, 60);
    last = log;
  }
  EXPECT_NE(last.find(" , 1,19.0,"), std::string::npos) << "the newest entry (temperature 199 % 90) is kept";
  EXPECT_EQ(capture.count("Temperature log reached"), 1u);
  // A fresh log (the next transmission) may be cut again, and says so again.
  ASSERT_EQ(LogTempFunction(w.get(), -1), 0);
  for (int i = 0; i < 40; ++i) ASSERT_EQ(LogTempFunction(w.get(), 0), 0);
  EXPECT_EQ(capture.count("Temperature log reached"), 2u);
  setLogTempLimit(256 * 1024);
}

TEST_F(Housekeeping, FailingRemountLeavesTheOldLogUntouched) {
  const std::string old = ";TX,Temp1,Temp2,FDD,SWR\n2024-01-01 10:00:00 , 1,30.0,30.0,50.0W,1.20,13.8V,05.0A\n";
  root.write("/opt/set/LOGtemp.txt", old);
  root.standIn("mount", kFailingMount);
  EXPECT_EQ(LogTempFunction(w.get(), 1), -1);
  EXPECT_EQ(LogTempFunction(w.get(), -1), -1);
  EXPECT_EQ(root.read("/opt/set/LOGtemp.txt"), old);
}

TEST_F(Housekeeping, ConcurrentWritersLoseNoEntry) {
  std::thread a([&] {
    for (int i = 0; i < 10; ++i) LogTempFunction(w.get(), 0);
  });
  std::thread b([&] {
    for (int i = 0; i < 10; ++i) LogTempFunction(w.get(), 1);
  });
  a.join();
  b.join();
  std::string log = root.read("/opt/set/LOGtemp.txt");
  EXPECT_EQ(lineCount(log), 21u);
  EXPECT_EQ(log.rfind(";TX"), 0u);
}

TEST_F(Housekeeping, BoardTemperaturesFromTheHelper) {
  root.standIn("my_temp", "#!/bin/sh\necho 47.5\necho \"temp=52.1'C\"\n");
  ReadCPUTemp(w.get());
  EXPECT_FLOAT_EQ(w->cpuTemp, 47.5f);
  EXPECT_FLOAT_EQ(w->gpuTemp, 52.1f);
}

TEST_F(Housekeeping, MissingHelperIsLoggedOnceAndTheLastValuesKept) {
  root.standIn("my_temp", "#!/bin/sh\necho 47.5\necho \"temp=52.1'C\"\n");
  ReadCPUTemp(w.get());
  std::remove(root.file("/bin/my_temp").c_str());
  testlib::LogCapture log;
  for (int i = 0; i < 3; ++i) ReadCPUTemp(w.get());  // the program goes on
  EXPECT_EQ(log.count("my_temp failed"), 1u);
  EXPECT_FLOAT_EQ(w->cpuTemp, 47.5f);
  EXPECT_FLOAT_EQ(w->gpuTemp, 52.1f);
  EXPECT_EQ(w->cpuTempFault, 1);
}

TEST_F(Housekeeping, GarbledHelperOutputKeepsTheLastValues) {
  w->cpuTemp = 40.0f;
  w->gpuTemp = 41.0f;
  root.standIn("my_temp", "#!/bin/sh\necho oops\n");
  testlib::LogCapture log;
  ReadCPUTemp(w.get());
  EXPECT_FLOAT_EQ(w->cpuTemp, 40.0f);
  EXPECT_FLOAT_EQ(w->gpuTemp, 41.0f);
  EXPECT_EQ(log.count("my_temp failed"), 1u);
}

TEST_F(Housekeeping, CpuLineAloneUpdatesTheCpuAndKeepsTheLastGpu) {
  root.standIn("my_temp", "#!/bin/sh\necho 47.5\necho \"temp=52.1'C\"\n");
  ReadCPUTemp(w.get());
  ASSERT_FLOAT_EQ(w->gpuTemp, 52.1f);
  testlib::LogCapture log;
  root.standIn("my_temp", "#!/bin/sh\necho 48.5\n");
  ReadCPUTemp(w.get());
  EXPECT_FLOAT_EQ(w->cpuTemp, 48.5f);
  EXPECT_FLOAT_EQ(w->gpuTemp, 52.1f);
  root.standIn("my_temp", "#!/bin/sh\necho 49.5\necho temp=\n");  // a GPU line with no number
  ReadCPUTemp(w.get());
  EXPECT_FLOAT_EQ(w->cpuTemp, 49.5f);
  EXPECT_FLOAT_EQ(w->gpuTemp, 52.1f);
  EXPECT_EQ(log.count("no GPU temperature"), 1u);
  EXPECT_FALSE(log.contains("my_temp failed"));
  EXPECT_EQ(w->cpuTempFault, 0);
  // The GPU line comes back.
  root.standIn("my_temp", "#!/bin/sh\necho 50.5\necho \"temp=53.0'C\"\n");
  ReadCPUTemp(w.get());
  EXPECT_FLOAT_EQ(w->gpuTemp, 53.0f);
  root.standIn("my_temp", "#!/bin/sh\necho 51.5\n");
  ReadCPUTemp(w.get());
  EXPECT_EQ(log.count("no GPU temperature"), 2u);  // a new outage is told again
}

// A helper that never stops printing gives its first two lines and is stopped; one that never
// answers is stopped at its limit with the last temperatures kept and one log line for the outage.
// Either used to hold the caller (the supervisor's pass) for as long as the helper ran.
TEST_F(Housekeeping, FloodingOrHungHelperIsStoppedAndNeverHoldsTheCaller) {
  using namespace std::chrono_literals;
  const std::string pidFile = root.file("/helper.pid");
  auto unstick = [&] {
    if (pid_t p = testlib::pidFromFile(pidFile)) kill(p, SIGKILL);
  };
  root.standIn("my_temp", "#!/bin/sh\necho $$ > " + pidFile + "\nwhile :; do echo 47.5; echo \"temp=52.1'C\"; done\n");
  EXPECT_TRUE(testlib::returnsWithin([&] { ReadCPUTemp(w.get()); }, 20s, unstick))
      << "a flooding helper held the caller";
  EXPECT_FLOAT_EQ(w->cpuTemp, 47.5f);
  EXPECT_FLOAT_EQ(w->gpuTemp, 52.1f);
  const pid_t flood = testlib::pidFromFile(pidFile);
  ASSERT_NE(flood, 0);
  EXPECT_TRUE(testlib::waitUntil([&] { return testlib::processGone(flood); }, 5000ms)) << "the helper still runs";

  std::remove(pidFile.c_str());
  testlib::LogCapture log;
  root.standIn("my_temp", "#!/bin/sh\necho $$ > " + pidFile + "\necho 61.0\nexec sleep 600\n");
  EXPECT_TRUE(testlib::returnsWithin([&] { ReadCPUTemp(w.get()); }, 20s, unstick)) << "a hung helper held the caller";
  EXPECT_FLOAT_EQ(w->cpuTemp, 47.5f) << "a helper stopped at its limit is not trusted";
  EXPECT_FLOAT_EQ(w->gpuTemp, 52.1f);
  EXPECT_EQ(w->cpuTempFault, 1);
  const pid_t hung = testlib::pidFromFile(pidFile);
  ASSERT_NE(hung, 0);
  EXPECT_TRUE(testlib::waitUntil([&] { return testlib::processGone(hung); }, 5000ms)) << "the helper still runs";
  ReadCPUTemp(w.get());  // within the retry interval: not run again
  EXPECT_EQ(log.count("my_temp gave no temperature within 2000 ms"), 1u);
  EXPECT_FALSE(log.contains("my_temp failed"));
}

// A raised cancel flag ends the reading at once, leaves the values and logs nothing: the program is
// stopping, not the helper failing.
TEST_F(Housekeeping, CancelledReadingStopsTheHelperQuietly) {
  using namespace std::chrono_literals;
  const std::string pidFile = root.file("/helper.pid");
  w->cpuTemp = 40.0f;
  root.standIn("my_temp", "#!/bin/sh\necho $$ > " + pidFile + "\nexec sleep 600\n");
  testlib::LogCapture log;
  std::atomic<bool> cancel{false};
  std::thread reader([&] { ReadCPUTemp(w.get(), &cancel); });
  EXPECT_TRUE(testlib::waitUntil([&] { return testlib::pidFromFile(pidFile) != 0; }, 10000ms));
  cancel = true;
  reader.join();
  EXPECT_FLOAT_EQ(w->cpuTemp, 40.0f);
  EXPECT_EQ(w->cpuTempFault, 0);
  EXPECT_TRUE(log.lines().empty());
  const pid_t hung = testlib::pidFromFile(pidFile);
  EXPECT_TRUE(hung == 0 || testlib::waitUntil([&] { return testlib::processGone(hung); }, 5000ms));
}

TEST_F(Housekeeping, DateTextRefreshedAtMostOncePerSecond) {
  ReadDataOra(w.get());
  char text[80];
  getDataOra(w.get(), text, sizeof text);
  EXPECT_TRUE(std::regex_match(text, std::regex("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}"))) << text;
  // Within the same second the text stays; retried when the clock ticks over in between.
  bool sameSecond = false;
  for (int attempt = 0; attempt < 5 && !sameSecond; ++attempt) {
    time_t now = time(nullptr);
    {
      std::lock_guard<std::mutex> lk(w->dateMut);
      w->dateLastSec = now;
      snprintf(w->dateText, sizeof w->dateText, "kept");
    }
    ReadDataOra(w.get());
    getDataOra(w.get(), text, sizeof text);
    sameSecond = time(nullptr) == now;
    if (sameSecond) {
      EXPECT_STREQ(text, "kept");
    }
  }
  EXPECT_TRUE(sameSecond);
  {
    std::lock_guard<std::mutex> lk(w->dateMut);
    w->dateLastSec = 0;
  }
  ReadDataOra(w.get());
  getDataOra(w.get(), text, sizeof text);
  EXPECT_STRNE(text, "kept");
}

TEST_F(Housekeeping, DateTextAndTemperatureLogAfter2038) {
  // The test clock is moved to instants a 32-bit time_t cannot hold; the text must be the calendar's.
  const char* oldTz = getenv("TZ");
  const std::string savedTz = oldTz ? oldTz : "";
  setenv("TZ", "UTC0", 1);
  tzset();
  const struct {
    long long at;
    const char* minute;  // the text up to the minute: the run may cross a second, not a minute
  } cases[] = {
      {2147483647LL - 7, "2038-01-19 03:14"},  // the last minute a 32-bit time_t reaches
      {2147483648LL + 52, "2038-01-19 03:15"}, {2208988800LL, "2040-01-01 00:00"},
      {2214864000LL, "2040-03-09 00:00"},       // after a leap day
      {4294967296LL + 44, "2106-02-07 06:29"},  // past 32 unsigned bits too
  };
  for (const auto& c : cases) {
    shiftWallClock(static_cast<time_t>(c.at) - time(nullptr));
    {
      std::lock_guard<std::mutex> lk(w->dateMut);
      w->dateLastSec = 0;
    }
    ReadDataOra(w.get());
    char text[80];
    getDataOra(w.get(), text, sizeof text);
    EXPECT_EQ(std::string(text).substr(0, 16), c.minute) << text;
  }
  // The temperature log stamps its rows with the same text.
  ASSERT_EQ(LogTempFunction(w.get(), 0), 0);
  std::string log = root.read("/opt/set/LOGtemp.txt");
  EXPECT_NE(log.find("\n2106-02-07 06:29:"), std::string::npos) << log;
  shiftWallClock(0);
  if (oldTz)
    setenv("TZ", savedTz.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST(Conversion, CelsiusToFahrenheit) {
  EXPECT_FLOAT_EQ(ConversionCelsius_to_Fahrenheit(25.0f), 77.0f);
  EXPECT_FLOAT_EQ(ConversionCelsius_to_Fahrenheit(-40.0f), -40.0f);
  EXPECT_FLOAT_EQ(ConversionCelsius_to_Fahrenheit(100.0f), 212.0f);
}

TEST_F(Housekeeping, MarkerCleanUpRemovesTheMarker) {
  ASSERT_TRUE(kScaled);
  root.write("/opt/good", "");
  AggFWThread(w.get());
  EXPECT_FALSE(root.exists("/opt/good"));
  std::string cmds = root.read("/var/log/commands.log");
  size_t rw = cmds.find("remount defaults,rw"), ro = cmds.find("remount -r");
  ASSERT_NE(rw, std::string::npos);
  ASSERT_NE(ro, std::string::npos);
  EXPECT_LT(rw, ro);
}

TEST_F(Housekeeping, MarkerCleanUpStopsWhenTheRemountFails) {
  root.write("/opt/good", "");
  root.standIn("mount", kFailingMount);
  testlib::LogCapture log;
  AggFWThread(w.get());
  EXPECT_TRUE(root.exists("/opt/good"));
  EXPECT_TRUE(log.contains("can't mount rw /opt/set/"));
}

TEST_F(Housekeeping, MarkerCleanUpEndsWithTheProgram) {
  root.write("/opt/good", "");
  w->running = 0;
  AggFWThread(w.get());
  EXPECT_TRUE(root.exists("/opt/good"));
}
