// Band tables, banks and interface tags, the calibration rows and the filter table: readers, writers, reactions.
#include "tests/tuner/tuner_test_util.h"

#include "core/setup.h"
#include "core/works.h"
#include "ui/errors.h"

using tunertest::Fixture;
using tunertest::StderrCapture;

using BandConfig = Fixture;

namespace {
void setRow(Works* w, int i, const char* name, uint32_t lo, uint32_t hi, int amp, int ant, int atu, int att,
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
int startedBIX = 0, startedCat = 0;
void fakeStartBIX(Works*) { ++startedBIX; }
void fakeStartCat(Works*) { ++startedCat; }
}  // namespace

TEST_F(BandConfig, BandFilesRoundTripForEachBankName) {
  const std::pair<int, const char*> banks[] = {{0, "/opt/set/antenna.txt"},
                                               {1, "/opt/set/antenna_b1.txt"},
                                               {19, "/opt/set/antenna_b19.txt"},
                                               {20, "/opt/set/antenna.txt"}};
  for (auto [bank, file] : banks) {
    InitTabAntenna(w, 0);
    setRow(w, 5, "20m", 14000000, 14350000, 1, 2, 0, 1, 0.0f);
    setRow(w, 6, "17m", 18068000, 18168000, 0, 3, 1, 3, 12.34f);
    w->numBands = 7;
    w->ModeWorkIdx = bank == 1 ? 1 : 2;
    ASSERT_EQ(SaveTabConfig(w, bank), 0);
    std::string text = root.read(file);
    EXPECT_EQ(text.substr(0, 5), bank == 1 ? "!Bix\n" : "!817\n");
    EXPECT_NE(text.find("\n20m 14000000 14350000 1 2 0 1 0.0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n17m 18068000 18168000 0 3 1 3 12.3\n"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 8);

    InitTabAntenna(w, 0);
    w->bandIdx = 5;
    EXPECT_EQ(LoadTabConfig(w, bank), bank == 1 ? 1 : 2);
    EXPECT_EQ(w->numBands.load(), 7);
    EXPECT_EQ(w->bandIdx.load(), -1);
    const BandRow& r = w->tabAntenna[6];
    EXPECT_STREQ(r.name, "17m");
    EXPECT_EQ(r.freqMin, 18068000u);
    EXPECT_EQ(r.ant, 3);
    EXPECT_EQ(r.atu, 1);
    EXPECT_EQ(r.att, 3);
    EXPECT_FLOAT_EQ(r.pwr, 12.3f);
    EXPECT_EQ(w->tabAntenna[5].ampEnable, 1);
  }
}

TEST_F(BandConfig, TwelfthBandIgnoredAndLongNameCut) {
  std::string text = "!Gen\n";
  for (int i = 0; i < 11; ++i)
    text += "b" + std::to_string(i) + " " + std::to_string(1000000 * (i + 1)) + " " +
            std::to_string(1000000 * (i + 1) + 500) + " 1 1 0 0 1.0\n";
  text += "extra 60000000 61000000 1 1 0 0 0.0\n";
  root.write("/opt/set/antenna_b3.txt", text);
  EXPECT_EQ(LoadTabConfig(w, 3), 0);
  EXPECT_EQ(w->numBands.load(), 11);
  EXPECT_STREQ(w->tabAntenna[10].name, "b10");

  root.write("/opt/set/antenna_b3.txt", "abcdefgh 1800000 2000000 1 2 0 0 5.5\nabcdefghij 3500000 4000000 1 1 1 1 0\n");
  testlib::LogCapture log;
  LoadTabConfig(w, 3);
  // The 8th character is lost; a 10-character name leaves "ij" where the numbers should start:
  // that row is no band row and is refused.
  EXPECT_EQ(w->numBands.load(), 1);
  EXPECT_TRUE(log.contains("antenna file: line 2: band abcdefg is no band row"));
  EXPECT_TRUE(log.contains("antenna file: 1 lines refused"));
  // A row without edges makes the table fall back to the default names and edges.
  root.write("/opt/set/antenna_b3.txt", "abcdefgh 1800000 2000000 1 2 0 0 5.5\nnoedges\n");
  StderrCapture err;
  LoadTabConfig(w, 3);
  EXPECT_NE(err.take().find("Error Reinit antenna\n"), std::string::npos);
  EXPECT_EQ(w->numBands.load(), 11);
  EXPECT_STREQ(w->tabAntenna[0].name, "160m");
  EXPECT_EQ(w->tabAntenna[0].ant, 2);  // settings are kept
  EXPECT_FLOAT_EQ(w->tabAntenna[0].pwr, 5.5f);

  root.write("/opt/set/antenna_b3.txt", "abcdefgh 1800000 2000000 1 2 0 0 5.5\n");
  LoadTabConfig(w, 3);
  EXPECT_EQ(w->numBands.load(), 1);
  EXPECT_STREQ(w->tabAntenna[0].name, "abcdefg");
  EXPECT_EQ(w->tabAntenna[0].freqMin, 1800000u);
}

TEST_F(BandConfig, TagOnlyFileSelectsFT817WithNoBands) {
  root.write("/opt/set/antenna.txt", "!817\n");
  StderrCapture err;
  EXPECT_EQ(LoadTabConfig(w, 0), 2);
  EXPECT_EQ(w->numBands.load(), 0);
  EXPECT_EQ(err.take().find("Reinit"), std::string::npos);
  // The last valid tag wins, unknown tags are ignored.
  root.write("/opt/set/antenna.txt", "!Bix\n!817\n!Xyz\n!\n");
  EXPECT_EQ(LoadTabConfig(w, 0), 2);
}

TEST_F(BandConfig, MissingOrDamagedBandFiles) {
  setRow(w, 0, "x", 1, 2, 1, 3, 0, 2, 1.0f);
  EXPECT_EQ(LoadTabConfig(w, 4), 0);
  EXPECT_EQ(w->numBands.load(), 11);
  EXPECT_STREQ(w->tabAntenna[0].name, "160m");
  EXPECT_EQ(w->tabAntenna[0].ant, 1);
  EXPECT_EQ(w->tabAntenna[0].atu, 1);
  EXPECT_EQ(w->tabAntenna[0].ampEnable, 0);
  EXPECT_EQ(w->tabAntenna[10].freqMax, 54000000u);
  EXPECT_FALSE(root.exists("/opt/set/antenna_b4.txt"));

  // Settings the relays cannot take are reset; a row with a field that is no number is refused;
  // fields left out at the end read as 0.
  root.write("/opt/set/antenna_b4.txt",
             "20m 14000000 14350000 7 9 5 200 0.0\n30m 10100000 10150000 1 1 0 0 x\n40m 0x6acfc0 7300000\n");
  LoadTabConfig(w, 4);
  EXPECT_EQ(w->numBands.load(), 2);
  EXPECT_EQ(w->tabAntenna[0].ant, 1);
  EXPECT_EQ(w->tabAntenna[0].att, 0);
  EXPECT_EQ(w->tabAntenna[1].freqMin, 7000000u);
  EXPECT_EQ(w->tabAntenna[1].ampEnable, 0);
}

TEST_F(BandConfig, SaveToBankRecordsTheManualChoiceInTheBandOfTheFrequency) {
  w->NumBanco = 0;
  InitTabAntenna(w, 0);
  w->freq = 14350000;  // on the upper edge of 20 m
  w->atuBypass = 0;
  w->Attenuator = 2;
  w->attState = 2;
  w->ModeWorkIdx = 0;
  SaveToBank(w, 0, 2);
  EXPECT_EQ(w->tabAntenna[5].ant, 3);
  EXPECT_EQ(w->tabAntenna[5].atu, 0);
  EXPECT_EQ(w->tabAntenna[5].att, 2);
  EXPECT_EQ(w->tabAntenna[5].ampEnable, 1);
  EXPECT_NE(root.read("/opt/set/antenna.txt").find("20m 14000000 14350000 1 3 0 2 0.0\n"), std::string::npos);
  w->attState = 4;
  SaveToBank(w, 0, 2);
  EXPECT_EQ(w->tabAntenna[5].ampEnable, 0);
}

TEST_F(BandConfig, SaveToBankNeverWritesTheActiveTableUnderAnotherBank) {
  w->NumBanco = 1;
  InitTabAntenna(w, 0);
  root.write("/opt/set/antenna_b2.txt", "!Gen\nkeep 1 2 0 0 0 0 0.0\n");
  w->freq = 14200000;
  testlib::LogCapture log;
  SaveToBank(w, 2, 1);
  EXPECT_EQ(root.read("/opt/set/antenna_b2.txt"), "!Gen\nkeep 1 2 0 0 0 0 0.0\n");
  EXPECT_TRUE(log.contains("SaveToBank: bank 2 is not the active bank 1, not saved"));
}

TEST_F(BandConfig, FailedRemountLeavesTheFileAlone) {
  root.write("/opt/set/antenna.txt", "!Gen\nold 1 2 0 0 0 0 0.0\n");
  root.standIn("mount", "#!/bin/sh\nexit 1\n");
  testlib::LogCapture log;
  InitTabAntenna(w, 0);
  EXPECT_NE(SaveTabConfig(w, 0), 0);
  EXPECT_EQ(root.read("/opt/set/antenna.txt"), "!Gen\nold 1 2 0 0 0 0 0.0\n");
  EXPECT_TRUE(log.contains("can't mount rw /opt/set/ error"));
}

TEST_F(BandConfig, CalibrationRowsAreParsedAndLogged) {
  root.write("/opt/set/config.txt",
             "; freq aux fwd refl pw k3 pwin cur refl fwd tunepar step\n"
             "1800000 0x10 100 4000 25 2000 10 3000 -0.007 12 20 30 150 1 2 3 4 5 6 7 8 9 10 4\r\n"
             "\n"
             "3500000 7 400 4000\n");
  StderrCapture err;
  ReadConfigFile(w);
  std::string trace = err.take();
  ASSERT_EQ(w->numConfigRows.load(), 3);
  const ConfigRow& r = w->configRows[0];
  EXPECT_EQ(r.freqStart, 1800000u);
  EXPECT_EQ(r.aux, 16u);
  EXPECT_FLOAT_EQ(r.K0, 100.0f / (4000.0f * 4000.0f));
  EXPECT_FLOAT_EQ(r.K2, 10.0f / (3000.0f * 3000.0f));
  EXPECT_FLOAT_EQ(r.K3, -0.007f);
  EXPECT_FLOAT_EQ(r.sogliaFwd, 150.0f);
  EXPECT_EQ(r.tuneparL[4], 9);
  EXPECT_EQ(r.tuneparC[4], 10);
  EXPECT_EQ(r.step, 4);
  EXPECT_EQ(w->configRows[1].freqStart, 0u);  // the blank line is a row of zeros
  EXPECT_EQ(w->configRows[2].aux, 7u);
  EXPECT_NE(trace.find("N row Config File 3 \n"), std::string::npos);
  EXPECT_NE(trace.find("->1800000,16,0.00000"), std::string::npos);
  EXPECT_NE(trace.find("(10.00,3000.00) Soglie: PWIN 12.0, Corrente: 20.0, REFL: 30.0, FWD: 150.0\n"),
            std::string::npos);
  EXPECT_NE(trace.find("\ttunepar: 1 2, 3 4, 5 6, 7 8, 9 10, step:4\n"), std::string::npos);
}

TEST_F(BandConfig, ConfigFileMissingOrHuge) {
  testlib::LogCapture log;
  StderrCapture err;
  ReadConfigFile(w);
  EXPECT_NE(err.take().find("Config File not FOUND!!"), std::string::npos);
  EXPECT_TRUE(log.contains("can't open /opt/set/config.txt"));
  EXPECT_EQ(w->numConfigRows.load(), 0);

  std::string text;
  for (int i = 0; i < 5000; ++i) text += std::to_string(1000000 + i * 1000) + " 0 100 4000 25 2000 10 3000 0 1 2 3 4\n";
  text += std::string(3000, '9') + "\n";
  root.write("/opt/set/config.txt", text);
  StderrCapture err2;
  ReadConfigFile(w);
  err2.take();
  EXPECT_EQ(w->numConfigRows.load(), 5000);  // the over-long line is refused, not twelve rows
  EXPECT_TRUE(log.contains("config.txt: line 5001: longer than 255 characters"));
  EXPECT_TRUE(log.contains("config.txt: 1 lines refused, 5000 rows kept"));
}

TEST_F(BandConfig, FilterTableReadsEightRows) {
  std::string text = "; min max enable\n";
  for (int i = 0; i < 9; ++i)
    text +=
        std::to_string(i * 1000000) + " " + std::to_string(i * 1000000 + 999999) + " " + (i == 3 ? "0" : "1") + "\n";
  root.write("/opt/set/filter.txt", text);
  w->tabFiltri[3].enable = 1;
  StderrCapture err;
  LoadTabFiltri(w);
  std::string trace = err.take();
  EXPECT_EQ(w->tabFiltri[7].freqMin, 7000000u);
  EXPECT_EQ(w->tabFiltri[3].enable, 0);
  EXPECT_EQ(w->tabFiltri[7].enable, 1);
  EXPECT_NE(trace.find("Filter 2 2000000,2999999,1\n"), std::string::npos);
  EXPECT_EQ(trace.find("Filter 8 "), std::string::npos);

  root.write("/opt/set/filter.txt", "0x1b7740 0x1e8480 1\n");
  LoadTabFiltri(w);
  EXPECT_EQ(w->tabFiltri[0].freqMin, 1800000u);
  EXPECT_EQ(w->tabFiltri[0].freqMax, 2000000u);
  EXPECT_EQ(w->tabFiltri[1].enable, 0);

  remove(root.file("/opt/set/filter.txt").c_str());
  StderrCapture err2;
  LoadTabFiltri(w);
  EXPECT_NE(err2.take().find("Filter File not FOUND!!\n"), std::string::npos);
  for (auto& r : w->tabFiltri) EXPECT_EQ(r.enable, 0);
}

TEST_F(BandConfig, InterfaceFlagsFollowTheModeAndQueueGS) {
  startedBIX = startedCat = 0;
  w->hooks.startThreadBIX = fakeStartBIX;
  w->hooks.startThreadCATserial = fakeStartCat;
  setFlag(w->setup->EnableSerial, '0');
  setFlag(w->setup->EnableCatSerial, '1');
  w->ModeWorkIdx = 1;
  SetModeWorkIDX(w);
  EXPECT_EQ(getFlag(w->setup->EnableSerial), '1');
  EXPECT_EQ(getFlag(w->setup->EnableCatSerial), '0');
  EXPECT_EQ(startedBIX, 1);
  EXPECT_EQ(drain(), std::vector<int>{LIN_GS_WRITE});

  AddErrore(w, kErrorBixData);
  w->ModeWorkIdx = 2;
  SetModeWorkIDX(w);
  EXPECT_EQ(getFlag(w->setup->EnableSerial), '0');
  EXPECT_EQ(getFlag(w->setup->EnableCatSerial), '1');
  EXPECT_EQ(startedCat, 1);
  EXPECT_EQ(ExistError(w, kErrorBixData), 0);

  w->ModeWorkIdx = 0;
  SetModeWorkIDX(w);
  EXPECT_EQ(getFlag(w->setup->EnableCatSerial), '0');
  EXPECT_EQ(startedBIX, 1);
}

TEST_F(BandConfig, InterfaceChangeIsStoredInTheActiveBank) {
  w->NumBanco = 2;
  w->ModeWorkIdx = 2;
  ChangeInterfaceBanco(w);
  EXPECT_EQ(w->ModeWorkIdx.load(), 0);
  EXPECT_EQ(root.read("/opt/set/antenna_b2.txt").substr(0, 5), "!Gen\n");
  ChangeInterfaceBanco(w);
  EXPECT_EQ(root.read("/opt/set/antenna_b2.txt").substr(0, 5), "!Bix\n");
}

TEST_F(BandConfig, BankChangeWrapsAndReloads) {
  root.write("/opt/set/antenna.txt", "!817\n20m 14000000 14350000 1 2 0 0 0.0\n");
  root.write("/opt/set/atu_ant2.txt", "3130 14200000 1 1 10 20\n");
  w->MAXbank = 1;
  w->NumBanco = 0;
  w->bandIdx = 3;
  ChangeBanco(w);
  EXPECT_EQ(w->NumBanco.load(), 0);
  EXPECT_EQ(w->bandIdx.load(), -1);
  EXPECT_EQ(w->ModeWorkIdx.load(), 2);
  EXPECT_EQ(w->numBands.load(), 1);
  EXPECT_EQ(LoadTuneValFromTabRam(w, 3130, 1).C, 20);
  EXPECT_NE(root.read("/opt/set/setup.txt").find("NumBanco: 0"), std::string::npos);

  w->MAXbank = 20;
  w->NumBanco = 19;
  ChangeBanco(w);
  EXPECT_EQ(w->NumBanco.load(), 0);
  w->NumBanco = 4;
  ChangeBanco(w);
  EXPECT_EQ(w->NumBanco.load(), 5);
}

TEST_F(BandConfig, CopyAndDeleteBanks) {
  root.write("/opt/set/antenna_b2.txt", "!Bix\n20m 14000000 14350000 1 2 0 0 0.0\n");
  root.write("/opt/set/atu_ant1_b2.txt", "; kept out\n3130 14200000 1 2 10 20\n");
  root.write("/opt/set/atu_ant3.txt", "900 1800000 1 1 1 1\n");
  w->NumBanco = 0;
  LoadAllBankTable(w, 0);
  ASSERT_EQ(LoadTuneValFromTabRam(w, 900, 2).valid, 1);

  CopyBank(w, 2, 5);
  EXPECT_EQ(root.read("/opt/set/antenna_b5.txt"), "!Bix\n20m 14000000 14350000 1 2 0 0 0.0\n");
  EXPECT_EQ(root.read("/opt/set/atu_ant1_b5.txt"), "3130 14200000 1 2 10 20\n");
  EXPECT_EQ(root.read("/opt/set/atu_ant3_b5.txt"), "");
  EXPECT_EQ(LoadTuneValFromTabRam(w, 900, 2).valid, 1);  // the active bank is untouched
  EXPECT_EQ(LoadTuneValFromTabRam(w, 3130, 0).valid, 0);

  DeleteBank(w, 5);
  EXPECT_FALSE(root.exists("/opt/set/antenna_b5.txt"));
  EXPECT_FALSE(root.exists("/opt/set/atu_ant1_b5.txt"));
  EXPECT_TRUE(root.exists("/opt/set/antenna_b2.txt"));

  w->MAXbank = 20;
  DeleteBank(w, 20);  // all banks
  EXPECT_FALSE(root.exists("/opt/set/antenna_b2.txt"));
  EXPECT_FALSE(root.exists("/opt/set/atu_ant3.txt"));
  EXPECT_EQ(LoadTuneValFromTabRam(w, 900, 2).valid, 0);
  EXPECT_EQ(w->bandIdx.load(), -1);
  EXPECT_EQ(DeleteFileConf(w, 0, 4), -1);
}

TEST_F(BandConfig, BankNumbersWithoutABankAreRefused) {
  for (int b : {0, 1}) {
    root.write(AntennaFileName(b), "!Gen\n20m 14000000 14350000 1 2 0 0 0.0\n");
    for (int a = 0; a < kTuneMemAntennas; ++a) root.write(AtuFileName(b, a), "900 1800000 1 1 1 1\n");
  }
  w->MAXbank = 5;
  w->NumBanco = 1;
  w->freq = 14200000;
  w->tuneWord = kTuneNetCL;
  testlib::LogCapture log;
  StderrCapture quiet;
  for (int bad : {-1, 6, 25}) {  // 5, the number of banks, means all of them
    DeleteBank(w, bad);
    CopyBank(w, 1, bad);
    CopyBank(w, bad, 0);
    EXPECT_EQ(SaveTuneToBank(w, bad, 0), -1);
    InsertTuneToMem(w, bad, 0);
    EXPECT_EQ(DeleteFileConf(w, bad, 3), -1);
  }
  for (int b : {0, 1}) {
    EXPECT_EQ(root.read(AntennaFileName(b)), "!Gen\n20m 14000000 14350000 1 2 0 0 0.0\n") << b;
    for (int a = 0; a < kTuneMemAntennas; ++a) EXPECT_EQ(root.read(AtuFileName(b, a)), "900 1800000 1 1 1 1\n") << b;
  }
  EXPECT_TRUE(log.contains("Delete bank -1: no such bank, nothing deleted"));
  EXPECT_TRUE(log.contains("Copy bank 1 to bank 25: no such bank, nothing copied"));
  EXPECT_TRUE(log.contains("Save tune: no bank 6, nothing stored"));
  EXPECT_TRUE(log.contains("can't delete file bank 25: no such bank"));
  EXPECT_EQ(LoadTuneValFromTabRam(w, 3130, 0).valid, 0);

  // The active bank stays usable after the number of banks was lowered below it.
  w->MAXbank = 1;
  EXPECT_EQ(SaveTuneToBank(w, 1, 0), 0);
  EXPECT_NE(root.read(AtuFileName(1, 0)).find("3130 14200000 1 1 0 0\n"), std::string::npos);
  // More banks offered than have files: the step after bank 19 is bank 0, not bank 0's files as 20.
  w->MAXbank = 25;
  w->NumBanco = 19;
  ChangeBanco(w);
  EXPECT_EQ(w->NumBanco.load(), 0);
  // A damaged active number makes bank 0 the active bank.
  w->NumBanco = 25;
  LoadAllBankTable(w);
  EXPECT_EQ(w->NumBanco.load(), 0);
  EXPECT_TRUE(log.contains("Bank 25 does not exist, bank 0 loaded"));
  EXPECT_EQ(LoadTuneValFromTabRam(w, 900, 2).valid, 1);
  // All banks still means all of them.
  w->MAXbank = 5;
  DeleteBank(w, 5);
  EXPECT_FALSE(root.exists(AntennaFileName(0)));
  EXPECT_FALSE(root.exists(AtuFileName(1, 2)));
}

TEST_F(BandConfig, UnusableCalibrationAndOversizedFilesAreLogged) {
  testlib::LogCapture log;
  StderrCapture quiet;
  // Line 2 has 0 forward counts, line 3 no reflected pair at all; the closing line is not a row
  // whose numbers are used.
  ParseConfigText(w,
                  "; calibration\n"
                  "1800000 0 100 0 25 2000 10 3000 0 20 10 30 120\n"
                  "3500000 0 100 4000 0 0 10 3000 0 20 10 30 120\n"
                  "7000000 0 100 4000 25 2000 10 3000 0 20 10 30 120\n"
                  "60000000 0\n");
  ASSERT_EQ(w->numConfigRows.load(), 4);  // the rows stay
  EXPECT_TRUE(log.contains("config.txt: line 2: forward power pair gives no coefficient"));
  EXPECT_TRUE(log.contains("config.txt: line 3: reflected power pair gives no coefficient"));
  EXPECT_EQ(log.count("gives no coefficient"), 2u);
  w->freq = 1900000;
  w->curConfigRow = -1;
  SearchCambioSoglie_TS(w);
  EXPECT_EQ(drain(), std::vector<int>{LIN_TS});
  EXPECT_GE(w->tsFwd.load(), 0);
  EXPECT_LE(w->tsFwd.load(), 4095);

  // A memory file past the size limit: logged, and the line torn by the limit is not read.
  std::string text = "3130 14200000 1 1 5 5\n";
  const std::string pad = ";" + std::string(99, 'x') + "\n";
  while (text.size() + pad.size() <= (4u << 20) - 10) text += pad;
  text += ";" + std::string((4u << 20) - 10 - text.size() - 2, 'y') + "\n";  // 10 bytes short of the limit
  text += "4000 31000000 1 1 9 9\n";                                         // crosses the limit
  text += "4001 31050000 1 1 9 9\n";
  root.write(AtuFileName(2, 0), text);
  LoadTabAtu(w, 2, 0);
  EXPECT_TRUE(log.contains("atu file: larger than 4194304 bytes, only its first"));
  EXPECT_EQ(LoadTuneValFromTabRam(w, 3130, 0).L, 5);
  EXPECT_EQ(LoadTuneValFromTabRam(w, 4000, 0).valid, 0);
  EXPECT_EQ(LoadTuneValFromTabRam(w, 4001, 0).valid, 0);
  // Within the limit nothing is said.
  root.write(AtuFileName(2, 0), "3130 14200000 1 1 5 5\n");
  LoadTabAtu(w, 2, 0);
  EXPECT_EQ(log.count("larger than"), 1u);
}
