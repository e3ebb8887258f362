// Setup file: fresh file contents, round trips, scaled values, bad lines and safe writing.
#include <gtest/gtest.h>

#include <cstring>
#include <csignal>
#include <sys/wait.h>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "core/setup.h"
#include "core/works.h"
#include "platform/optset.h"
#include "tests/testlib/temp_root.h"

using testlib::LogCapture;
using testlib::TempRoot;
using testlib::TestWorks;

namespace {

const char* kFresh =
    "EnableKeyb: 1\nEnableSpi: 0\nEnableTouch: 0\nDelayedTouch: 0\nEnableGPIO: 1\nEnableRead: 0\nEnableWrite: 0\n"
    "EnableCAT: 0\nEnableLinear: 1\nEnableTime: 1\nWebSocket: 1\nPitch: 2500\nQuality: 100\nAudioIn: hw:1\n"
    "InChannels: 1\nAudioCompress: 0\nMultiplier: 2\nAudioOut: hw:1\nServer: 127.0.0.1\nTcpPort: 6666\n"
    "CatPort: /dev/ttyUSB0\nSerPort: /dev/ttyUSB1\nLinPort: /dev/ttyAMA0\nNumAntenna: 1\nEnablePwrPeak: 0\n"
    "TempMode: 0\nFreqSensIn: 0\nFreqPeriodTime: 10\nAttenuator: 0\nAttenuatorTune: 0\nSWRescAutoTune: 0\n"
    "ViewTimeStr: 0\nViewTemp: 0\nMaxTemperature: 600\nAutoTuneMaxCicli: 0\nPowerUnits: 0\nSaveScreenIdx: 0\n"
    "AutoTuneMode: 0\nEnableFFT: 0\nDivide: 0\nMaxTempAllowed: 60\nPSpar1: 1\nPSpar2: 1000\nIsteresi1: 1\n"
    "Isteresi2: 1\nPSpar3: 0\nPSpar4: 0\nOffsetPlot: 0\nCatSerialPort: /dev/ttyUSB1\nTUNEenabled: 0\n"
    "NumBanco: 1\nGMpar1: 2\nGMpar2: 100\nPeak_media: 2\nPeak_ValDec: 10\nPeak_TimeDec: 1\nPeak_Time: 3000\n"
    "MAXbank: 20\nBTN_longpress_Time: 5\nEnableDebug: 0\nEnable1600: 1\nEnableLOGTemp: 0\n";

std::string replaceLine(std::string text, const std::string& key, const std::string& value) {
  size_t p = text.find(key + ": ");
  size_t e = text.find('\n', p);
  return text.replace(p, e - p, key + ": " + value);
}

class SetupFile : public ::testing::Test {
 protected:
  void SetUp() override { root.activate(); }
  TempRoot root;
  TestWorks w;
};

TEST_F(SetupFile, FirstStartWritesTheFreshFileByteForByte) {
  LogCapture log;
  readSetup(w.get());
  EXPECT_EQ(root.read("/opt/set/setup.txt"), kFresh);
  EXPECT_TRUE(log.contains("can't open /opt/set/setup.txt"));
  // The new file holds Multiplier 2, but this run keeps 240 samples per frame.
  EXPECT_EQ(w->audioFrame, 240);
  EXPECT_EQ(w->AudioCompress, 0);
  // The remount pair surrounds the write.
  std::string cmds = root.read("/var/log/commands.log");
  EXPECT_NE(cmds.find("mount -o remount defaults,rw " + root.path() + "/opt/set"), std::string::npos);
  EXPECT_NE(cmds.find("mount -v -n -o remount -r " + root.path() + "/opt/set"), std::string::npos);
}

TEST_F(SetupFile, FreshRecordLayout) {
  Mirtsetup* s = w->setup;
  const char* raw = reinterpret_cast<const char*>(s);
  EXPECT_EQ(raw[278], '\0');
  EXPECT_EQ(s->EnableSerial, '1');
  EXPECT_EQ(s->EnableCatSerial, '1');
  EXPECT_EQ(s->EnableSpectrum, '1');
  EXPECT_EQ(s->WebSocket, '1');
  EXPECT_EQ(s->EnableRead, '0');
  EXPECT_STREQ(s->LinPort, "/dev/ttyAMA0");
  EXPECT_STREQ(w->wsockPassword, "tarabumbalin");
}

TEST_F(SetupFile, ReadingAFullFileRoundTripsUnchanged) {
  std::string text = kFresh;
  text = replaceLine(text, "SWRescAutoTune", "115");
  text = replaceLine(text, "MaxTemperature", "601");
  text = replaceLine(text, "Peak_ValDec", "15");
  text = replaceLine(text, "BTN_longpress_Time", "7");
  text = replaceLine(text, "NumAntenna", "3");
  text = replaceLine(text, "TUNEenabled", "-128");
  text = replaceLine(text, "Multiplier", "2");
  text = replaceLine(text, "AudioCompress", "24000");
  text = replaceLine(text, "TcpPort", "7001");
  text = replaceLine(text, "LinPort", "/dev/ttyS0");
  root.write("/opt/set/setup.txt", text);
  readSetup(w.get());
  EXPECT_FLOAT_EQ(w->SWRescAutoTune, 1.15f);
  EXPECT_FLOAT_EQ(w->MaxTemperature, 60.1f);
  EXPECT_DOUBLE_EQ(PeakDecrement, 1.5);
  EXPECT_DOUBLE_EQ(TIME_LONG_PRESS, 0.7);
  EXPECT_EQ(w->antennaIdx, 2);
  EXPECT_EQ(w->TUNEenabled, -128);
  EXPECT_EQ(w->audioFrame, 480);
  EXPECT_EQ(w->AudioCompress, 24000);
  EXPECT_EQ(w->tcpPort, 7001);
  writeSetup(w.get());
  // Scaled values come back as themselves: no creeping down at every save.
  EXPECT_EQ(root.read("/opt/set/setup.txt"), text);
}

TEST_F(SetupFile, OffsetPlotKeepsWholeUnits) {
  root.write("/opt/set/setup.txt", replaceLine(kFresh, "OffsetPlot", "25"));
  readSetup(w.get());
  EXPECT_DOUBLE_EQ(w->OffsetPlot, 2.0);
  writeSetup(w.get());
  EXPECT_NE(root.read("/opt/set/setup.txt").find("OffsetPlot: 20\n"), std::string::npos);
}

TEST_F(SetupFile, CarriageReturnsAndMissingKeys) {
  std::string text = "EnableGPIO: 0\r\nNumAntenna: 2\r\nServer: 10.0.0.7\r\nbogus line\r\nenablegpio: 1\r\n";
  root.write("/opt/set/setup.txt", text);
  readSetup(w.get());
  EXPECT_EQ(w->setup->EnableGPIO, '0');
  EXPECT_EQ(w->antennaIdx, 1);
  EXPECT_STREQ(w->setup->Server, "10.0.0.7");
  EXPECT_STREQ(w->serverName, "10.0.0.7");
  writeSetup(w.get());
  std::string expect = replaceLine(replaceLine(replaceLine(kFresh, "EnableGPIO", "0"), "NumAntenna", "2"), "Server",
                                   "10.0.0.7");
  EXPECT_EQ(root.read("/opt/set/setup.txt"), expect);
}

TEST_F(SetupFile, ReadLogsEverySetting) {
  root.write("/opt/set/setup.txt", replaceLine(kFresh, "SWRescAutoTune", "150"));
  LogCapture log;
  readSetup(w.get());
  EXPECT_TRUE(log.contains("EnableKeyb: -1-"));
  EXPECT_TRUE(log.contains("Pitch: -2500-"));
  EXPECT_TRUE(log.contains("TcpPort: -6666-"));
  EXPECT_TRUE(log.contains("SWRescAutoTune: -150-"));
  EXPECT_TRUE(log.contains("MaxTemperature: -600-"));
  EXPECT_TRUE(log.contains("Peak_ValDec: -10-"));
}

TEST_F(SetupFile, OverlongValuesAreCutToTheirFieldAndNeverRunIntoTheNext) {
  std::string text = replaceLine(kFresh, "LinPort", "/dev/serial/by-id/usb-very-long-name");
  text = replaceLine(text, "Divide", "123456");
  text = replaceLine(text, "Server", std::string(60, 'x'));
  root.write("/opt/set/setup.txt", text);
  readSetup(w.get());
  EXPECT_STREQ(w->setup->LinPort, "/dev/serial/");  // 12 characters and the terminator
  EXPECT_STREQ(w->setup->SerPort, "/dev/ttyUSB1");
  EXPECT_EQ(w->setup->NumAntenna, '1');
  EXPECT_EQ(strlen(w->setup->Server), 15u);
  EXPECT_STREQ(w->setup->CatPort, "/dev/ttyUSB0");
  EXPECT_EQ(w->fftDivide, 123456);
  EXPECT_EQ(w->setup->EnableFFT, '0');
  EXPECT_EQ(w->setup->EnableSpectrum, '1');
}

TEST_F(SetupFile, MalformedNumbersKeepTheMirror) {
  std::string text = replaceLine(kFresh, "PSpar2", "abc");
  text = replaceLine(text, "GMpar1", "7x");
  text = replaceLine(text, "EnableGPIO", "");
  root.write("/opt/set/setup.txt", text);
  readSetup(w.get());
  EXPECT_EQ(w->PSpar2, 1000);
  EXPECT_EQ(w->GMpar1, 7);
  EXPECT_EQ(w->setup->EnableGPIO, '1');  // an empty value never becomes a NUL in the file
  writeSetup(w.get());
  std::string out = root.read("/opt/set/setup.txt");
  EXPECT_EQ(out.find('\0'), std::string::npos);
  EXPECT_NE(out.find("EnableGPIO: 1\n"), std::string::npos);
}

TEST_F(SetupFile, FailingMountLeavesTheFileUntouched) {
  root.write("/opt/set/setup.txt", kFresh);
  readSetup(w.get());
  root.standIn("mount", "#!/bin/sh\nexit 1\n");
  w->antennaIdx = 2;
  LogCapture log;
  EXPECT_EQ(writeSetup(w.get()), 0);
  EXPECT_EQ(root.read("/opt/set/setup.txt"), kFresh);
  EXPECT_TRUE(log.contains("can't mount rw /opt/set/ error"));
}

TEST_F(SetupFile, AWriterKilledMidwayLeavesACompleteFile) {
  root.write("/opt/set/setup.txt", kFresh);
  // A child process writes in a loop and is killed at an arbitrary moment; the file must always be
  // either the old text or the new one.
  std::string newer = replaceLine(kFresh, "NumAntenna", "3");
  for (int round = 0; round < 20; ++round) {
    pid_t pid = fork();
    if (pid == 0) {
      for (;;) {
        atomicWriteFile(root.file("/opt/set/setup.txt"), newer);
        atomicWriteFile(root.file("/opt/set/setup.txt"), kFresh);
      }
    }
    usleep(2000 + round * 300);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    std::string now = root.read("/opt/set/setup.txt");
    EXPECT_TRUE(now == kFresh || now == newer) << "round " << round << " left " << now.size() << " bytes";
  }
}

TEST_F(SetupFile, ConcurrentWritersNeverInterleave) {
  readSetup(w.get());
  std::vector<std::thread> t;
  for (int i = 0; i < 4; ++i)
    t.emplace_back([&] {
      for (int k = 0; k < 5; ++k) writeSetup(w.get());
    });
  for (auto& th : t) th.join();
  EXPECT_EQ(root.read("/opt/set/setup.txt"), kFresh);
  // Every rw remount is followed by its ro remount before the next rw one.
  std::string cmds = root.read("/var/log/commands.log");
  std::istringstream lines(cmds);
  std::string line;
  size_t rw = 0;
  bool open = false;
  while (std::getline(lines, line)) {
    bool isRw = line.rfind("mount -o remount defaults,rw ", 0) == 0;
    EXPECT_NE(isRw, open) << "remounts interleaved at " << line;
    open = isRw;
    rw += isRw;
  }
  EXPECT_EQ(rw, 21u);
}

}  // namespace
