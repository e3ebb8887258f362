// Setup file: fresh file contents, round trips, scaled values, bad lines and safe writing.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#include "core/setup.h"
#include "core/works.h"
#include "platform/optset.h"
#include "tests/testlib/temp_root.h"

using testlib::LogCapture;
void setLogMirror(const std::string& path);
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
  std::string expect =
      replaceLine(replaceLine(replaceLine(kFresh, "EnableGPIO", "0"), "NumAntenna", "2"), "Server", "10.0.0.7");
  EXPECT_EQ(root.read("/opt/set/setup.txt"), expect);
}

TEST_F(SetupFile, ReadLogsEverySetting) {
  // TUNEenabled's field is one character short of "-128": the log gives the value in use.
  root.write("/opt/set/setup.txt", replaceLine(replaceLine(kFresh, "SWRescAutoTune", "150"), "TUNEenabled", "-128"));
  LogCapture log;
  readSetup(w.get());
  EXPECT_TRUE(log.contains("EnableKeyb: -1-"));
  EXPECT_TRUE(log.contains("Pitch: -2500-"));
  EXPECT_TRUE(log.contains("TcpPort: -6666-"));
  EXPECT_TRUE(log.contains("SWRescAutoTune: -150-"));
  EXPECT_TRUE(log.contains("MaxTemperature: -600-"));
  EXPECT_TRUE(log.contains("Peak_ValDec: -10-"));
  EXPECT_TRUE(log.contains("TUNEenabled: --128-"));
  EXPECT_TRUE(log.contains("NumAntenna: -1-"));
  EXPECT_EQ(log.count("Multiplier: -2-"), 1u);
}

TEST_F(SetupFile, OverlongDevicesAndHostAreKeptOutOfUseOtherValuesCutAndLogged) {
  // Cut to its field "/dev/ttyUSB10" would be "/dev/ttyUSB1", another device (and the default).
  std::string text = replaceLine(kFresh, "LinPort", "/dev/ttyUSB10");
  text = replaceLine(text, "CatSerialPort", "/dev/serial/by-id/usb-very-long-name");
  text = replaceLine(text, "Server", std::string(60, 'x'));
  text = replaceLine(text, "Pitch", "12345678901234");
  root.write("/opt/set/setup.txt", text);
  LogCapture log;
  readSetup(w.get());
  std::string device, problem;
  EXPECT_FALSE(portDevice(w.get(), "LinPort", device, problem));
  EXPECT_NE(problem.find("LinPort"), std::string::npos) << problem;
  EXPECT_FALSE(portDevice(w.get(), "CatSerialPort", device, problem));
  EXPECT_NE(problem.find("CatSerialPort"), std::string::npos) << problem;
  ASSERT_TRUE(portDevice(w.get(), "SerPort", device, problem));
  EXPECT_EQ(device, "/dev/ttyUSB1");
  EXPECT_STREQ(w->serverName, "");
  EXPECT_EQ(w->setup->NumAntenna, '1');  // nothing ran into the next field
  EXPECT_STREQ(w->setup->CatPort, "/dev/ttyUSB0");
  EXPECT_STREQ(w->setup->Pitch, "123456789");
  EXPECT_TRUE(log.contains("LinPort \"/dev/ttyUSB10\" is longer than 12 characters: not used"));
  EXPECT_TRUE(log.contains("Server \"" + std::string(60, 'x') + "\" is longer than 15 characters"));
  EXPECT_TRUE(log.contains("Pitch \"12345678901234\" is longer than 9 characters, cut"));
  // The refused values go back to the file as they were: the next save changes nothing of them.
  writeSetup(w.get());
  EXPECT_EQ(root.read("/opt/set/setup.txt"), replaceLine(text, "Pitch", "123456789"));
  // A value set later takes the place of the refused one.
  setField(w->setup->LinPort, sizeof w->setup->LinPort, "/dev/ttyS0");
  ASSERT_TRUE(portDevice(w.get(), "LinPort", device, problem));
  EXPECT_EQ(device, "/dev/ttyS0");
  writeSetup(w.get());
  EXPECT_NE(root.read("/opt/set/setup.txt").find("LinPort: /dev/ttyS0\n"), std::string::npos);
}

// Every number is held to what its use can take; a refused value keeps the setting as it was.
TEST_F(SetupFile, NumbersOutsideWhatTheirUseTakesAreRefused) {
  struct Case {
    const char* key;
    const char* value;
    std::function<long()> mirror;
    long expect;
  } cases[] = {
      {"Multiplier", "9000000", [&] { return long(w->audioFrame); }, 240},  // n * 240 overflowed
      {"Multiplier", "-3", [&] { return long(w->audioFrame); }, 240},
      {"TcpPort", "70000", [&] { return long(w->tcpPort); }, 6666},
      {"TcpPort", "-1", [&] { return long(w->tcpPort); }, 6666},
      {"TUNEenabled", "300", [&] { return long(w->TUNEenabled); }, 0},
      {"AudioCompress", "99999999999999999999", [&] { return long(w->AudioCompress); }, 0},
      {"Divide", "123456", [&] { return long(w->fftDivide); }, 0},
      {"NumBanco", "25", [&] { return long(w->NumBanco); }, 1},
      {"MAXbank", "0", [&] { return long(w->MAXbank); }, 20},
      {"PSpar2", "-7", [&] { return long(w->PSpar2); }, 1000},
      {"Peak_Time", "2147483647", [&] { return long(TimerPeakSec); }, 3000},
      {"NumAntenna", "7", [&] { return long(w->antennaIdx); }, 0},
      {"Attenuator", "9", [&] { return long(w->Attenuator); }, 0},
      {"SaveScreenIdx", "5", [&] { return long(w->SaveScreenIdx); }, 0},
      {"EnablePwrPeak", "1 trailing", [&] { return long(w->EnablePwrPeak); }, 0},
  };
  for (const Case& c : cases) {
    root.write("/opt/set/setup.txt", replaceLine(kFresh, c.key, c.value));
    LogCapture log;
    readSetup(w.get());
    EXPECT_EQ(c.mirror(), c.expect) << c.key << ": " << c.value;
    EXPECT_TRUE(log.contains("setup.txt: 1 lines refused")) << c.key << ": " << c.value;
    writeSetup(w.get());
    EXPECT_EQ(root.read("/opt/set/setup.txt"), kFresh) << c.key << ": " << c.value;
  }
  // The edges themselves are taken.
  std::string text = replaceLine(replaceLine(kFresh, "Multiplier", "12"), "TcpPort", "32767");
  text = replaceLine(replaceLine(text, "TUNEenabled", "-128"), "NumAntenna", "3");
  root.write("/opt/set/setup.txt", text);
  readSetup(w.get());
  EXPECT_EQ(w->audioFrame, 12 * 240);
  EXPECT_EQ(w->tcpPort, 32767);
  EXPECT_EQ(w->TUNEenabled, -128);
  EXPECT_EQ(w->antennaIdx, 2);
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

// Two writers: one that saves its text built earlier after the other has saved newer settings
// would put old settings in the file. Each read-only remount (inside the write's lock) records the
// value just written; they must never go down. (The read-only remount is matched by its " -r ": a
// temporary root whose name holds "-r" would otherwise count the read-write one too.)
TEST_F(SetupFile, ConcurrentWritersNeverSaveOlderSettingsLast) {
  readSetup(w.get());
  root.standIn("mount",
               "#!/bin/sh\nroot=\"$(dirname \"$0\")/..\"\ncase \"$*\" in *\" -r \"*) "
               "grep '^PSpar1: ' \"$root/opt/set/setup.txt\" >> \"$root/var/log/written.log\";; esac\nexit 0\n");
  std::mutex counterMut;
  int counter = 1;
  std::vector<std::thread> t;
  for (int i = 0; i < 4; ++i)
    t.emplace_back([&] {
      for (int k = 0; k < 8; ++k) {
        {
          std::lock_guard<std::mutex> lk(counterMut);
          w->PSpar1 = ++counter;
        }
        writeSetup(w.get());
      }
    });
  for (auto& th : t) th.join();
  std::istringstream lines(root.read("/var/log/written.log"));
  std::string line;
  int last = 0, n = 0;
  while (std::getline(lines, line)) {
    int v = std::stoi(line.substr(8));
    EXPECT_GE(v, last) << "write " << n << " saved older settings";
    last = v;
    ++n;
  }
  EXPECT_EQ(n, 32);
  EXPECT_EQ(last, counter);
}

// Runs body in a child process (as an unprivileged user when the tests run as root, so that file
// permissions apply) with an alarm against blocking for ever; its exit status, or 128 + signal.
int inChild(const std::string& rootDir, const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    alarm(10);
    if (geteuid() == 0) {
      for (auto& e : std::filesystem::recursive_directory_iterator(rootDir))
        if (lchown(e.path().c_str(), 65534, 65534) != 0) _exit(90);
      if (lchown(rootDir.c_str(), 65534, 65534) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(91);
    }
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// An unreadable file holds the operator's settings: it is kept aside, never written over.
TEST_F(SetupFile, UnreadableFileIsKeptAsideAndTheUnitRunsOnDefaults) {
  const std::string operatorText = replaceLine(replaceLine(kFresh, "NumBanco", "5"), "Pitch", "1234");
  root.write("/opt/set/setup.txt", operatorText);
  chmod(root.file("/opt/set/setup.txt").c_str(), 0);
  const std::string logFile = root.file("/var/log/child.log");
  int rc = inChild(root.path(), [&] {
    setLogMirror(logFile);
    readSetup(w.get());
    setLogMirror("");
    return w->NumBanco == 1 && strcmp(w->setup->Pitch, "2500") == 0 ? 0 : 1;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_FALSE(root.exists("/opt/set/setup.txt"));
  chmod(root.file("/opt/set/setup.txt.unreadable").c_str(), 0644);
  EXPECT_EQ(root.read("/opt/set/setup.txt.unreadable"), operatorText);
  EXPECT_NE(root.read("/var/log/child.log").find("can't read /opt/set/setup.txt"), std::string::npos)
      << root.read("/var/log/child.log");
  EXPECT_NE(root.read("/var/log/child.log").find("kept as /opt/set/setup.txt.unreadable"), std::string::npos);
}

// A FIFO or a folder in the file's place never blocks the start and is set aside, logged.
TEST_F(SetupFile, FifoOrFolderInItsPlaceIsSetAsideWithoutBlocking) {
  for (bool fifo : {true, false}) {
    if (fifo)
      ASSERT_EQ(mkfifo(root.file("/opt/set/setup.txt").c_str(), 0644), 0);
    else
      std::filesystem::create_directory(root.file("/opt/set/setup.txt"));
    LogCapture log;
    int rc = inChild(root.path(), [&] {
      readSetup(w.get());
      return 0;
    });
    EXPECT_EQ(rc, 0) << (fifo ? "fifo" : "folder");
    readSetup(w.get());  // the file is gone now: a fresh one is written
    EXPECT_EQ(root.read("/opt/set/setup.txt"), kFresh);
    EXPECT_TRUE(root.exists(fifo ? "/opt/set/setup.txt.unreadable" : "/opt/set/setup.txt.unreadable.1"));
    std::filesystem::remove(root.file("/opt/set/setup.txt"));
  }
}

TEST_F(SetupFile, BinaryFileGivesOneSummaryNotALinePerLine) {
  std::string junk;
  for (int i = 0; i < 20000; ++i) junk += static_cast<char>((i * 7919) % 251 + 1);
  junk += "\nNumAntenna: 2\n" + std::string(300, 'y') + "\nPitch: " + std::string(200, '9') + "\n";
  root.write("/opt/set/setup.txt", junk);
  LogCapture log;
  readSetup(w.get());
  EXPECT_EQ(w->antennaIdx, 1);
  EXPECT_TRUE(log.contains("setup.txt: 1 lines longer than 99 characters refused"));
  EXPECT_STREQ(w->setup->Pitch, "2500");
  EXPECT_LT(log.lines().size(), 70u);  // the 62 settings and a few summaries
}

}  // namespace
