// The configuration files read at start-up against damaged contents: every row the format allows is
// kept, rows with garbage or out-of-range values are refused with a bounded number of log lines,
// and only regular files are read (a FIFO never blocks, a folder is logged).
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "amp/protection.h"
#include "tests/tuner/tuner_test_util.h"

using tunertest::Fixture;
using tunertest::StderrCapture;

using ConfigFiles = Fixture;

namespace {

std::string binary(size_t n) {
  std::string s;
  uint32_t x = 12345;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s += static_cast<char>(x >> 24);
  }
  return s;
}

// Runs body in a child with an alarm: 0 when it returned, 128 + signal when it had to be stopped.
int returnsInTime(const std::function<void()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    alarm(5);
    body();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

TEST_F(ConfigFiles, CalibrationKeepsShortRowsAndRefusesGarbageWithOneSummary) {
  testlib::LogCapture log;
  StderrCapture quiet;
  std::string text =
      "; freq aux fwd refl pw k3 pwin cur refl fwd tunepar step\n"
      "1800000 0 100 4000 25 2000 10 3000 -0.007 12 20 30 150 1 2 3 4 5 6 7 8 9 10 4\n"
      "3500000 0 100 4000 25 2000 10 3000 -0.007 12 20 30 150\n"  // no tuner columns: allowed
      "7000000 0 100 4000\n"                                      // short row: allowed
      "\n";                                                       // a row of zeros
  for (int i = 0; i < 16000; ++i) text += "14000000 zz 100 4000 25 2000 10 3000 0 12 20 30 150\n";
  text += "21000000 0 100 4000 25 2000 10 3000 0 12 20 30 150 600\n";                        // tuner step beyond 9 bits
  text += "-5 0 100 4000 25 2000 10 3000 0 12 20 30 150\n";                                  // negative frequency
  text += "28000000 0 inf 4000 25 2000 10 3000 0 12 20 30 150\n";                            // no finite number
  text += "28000000 0 100 4000 25 2000 10 3000 0 12 20 30 150 1 2 3 4 5 6 7 8 9 10 4 99\n";  // a field too many
  text += "50000000 0\n";
  root.write("/opt/set/config.txt", text);
  ReadConfigFile(w);
  ASSERT_EQ(w->numConfigRows.load(), 5);
  EXPECT_EQ(w->configRows[1].freqStart, 3500000u);
  EXPECT_EQ(w->configRows[1].step, 0);
  EXPECT_EQ(w->configRows[2].freqStart, 7000000u);
  EXPECT_EQ(w->configRows[3].freqStart, 0u);
  EXPECT_EQ(w->configRows[4].freqStart, 50000000u);
  EXPECT_TRUE(log.contains("config.txt: 16004 lines refused (the first ones logged), 5 rows kept"));
  // Five refusals, five unusable pairs (the short rows have 0 counts), two summaries at most.
  EXPECT_LE(log.lines().size(), 12u);

  // A binary file: a handful of lines, not one per line; only its empty lines (rows of zeros) stay.
  root.write("/opt/set/config.txt", binary(200000));
  testlib::LogCapture log2;
  ReadConfigFile(w);
  EXPECT_LE(log2.lines().size(), 12u);
  for (int i = 0; i < w->numConfigRows.load(); ++i) EXPECT_EQ(w->configRows[i].freqStart, 0u);
}

TEST_F(ConfigFiles, FilterRowWithGarbageKeepsItsRelayPlaceSwitchedOff) {
  testlib::LogCapture log;
  StderrCapture quiet;
  root.write("/opt/set/filter.txt", "0 1999999 1\n2000000 3999999 1 junk\n4000000 7999999 1\n8000000 9999999 300\n");
  LoadTabFiltri(w);
  EXPECT_EQ(w->tabFiltri[0].enable, 1);
  EXPECT_EQ(w->tabFiltri[1].enable, 0);
  EXPECT_EQ(w->tabFiltri[2].freqMin, 4000000u);  // still relay 2
  EXPECT_EQ(w->tabFiltri[2].enable, 1);
  EXPECT_EQ(w->tabFiltri[3].enable, 0);
  EXPECT_TRUE(log.contains("filter.txt: 2 lines refused"));
}

TEST_F(ConfigFiles, TuneMemoryAndFanFilesSummariseTheirRefusedLines) {
  std::string atu;
  for (int i = 0; i < 3000; ++i) atu += "3110 3110000 1 1 x 5\n";
  atu += "3120 3120000 1 1 7 5\n";
  root.write("/opt/set/atu_ant1_b1.txt", atu);
  testlib::LogCapture log;
  StderrCapture quiet;
  LoadTabAtu(w, 1, 0);
  EXPECT_EQ(LoadTuneValFromTabRam(w, 3120, 0).L, 7);
  EXPECT_TRUE(log.contains("atu file: 3000 lines refused"));
  EXPECT_LE(log.lines().size(), 7u);

  std::string fan = binary(50000) + "\n30 20\n40 50 extra\n";
  testlib::LogCapture fanLog;
  auto tab = ParseVentolaText(fan);
  ASSERT_GE(tab.size(), 1u);
  EXPECT_EQ(tab.back().step, 20);
  EXPECT_LE(fanLog.lines().size(), 7u);
  EXPECT_TRUE(fanLog.contains("ventola.txt: line") && fanLog.contains("lines refused"));
}

TEST_F(ConfigFiles, OnlyRegularFilesAreReadAndNothingBlocks) {
  ASSERT_EQ(mkfifo(root.file("/opt/set/filter.txt").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo(root.file("/opt/set/config.txt").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo(root.file("/opt/set/ventola.txt").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo(root.file("/opt/set/atu_ant1_b1.txt").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo(root.file("/opt/set/antenna_b1.txt").c_str(), 0644), 0);
  EXPECT_EQ(returnsInTime([&] {
              StderrCapture quiet;
              ReadConfigFile(w);
              LoadTabFiltri(w);
              ReadVentolaFile(w);
              LoadAllBankTable(w, 1);
            }),
            0);
  std::filesystem::remove(root.file("/opt/set/config.txt"));
  std::filesystem::create_directory(root.file("/opt/set/config.txt"));
  testlib::LogCapture log;
  StderrCapture quiet;
  ReadConfigFile(w);
  LoadTabFiltri(w);
  EXPECT_TRUE(log.contains("config.txt: a folder, not a file, not read"));
  EXPECT_TRUE(log.contains("can't open /opt/set/config.txt"));
  EXPECT_TRUE(log.contains("filter.txt: not a regular file, not read"));
}
