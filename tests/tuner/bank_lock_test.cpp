// Bank operations against tunes stored from the link thread: every file keeps only its own bank's entries.
#include "tests/tuner/tuner_test_util.h"

#include <atomic>
#include <set>
#include <sstream>
#include <thread>

#include "core/works.h"

using tunertest::Fixture;
using tunertest::StderrCapture;

namespace {
constexpr int kBanks = 4;
constexpr int kStoredSlot = 3130;  // 14.2 MHz, where the runs end

struct BankLock : Fixture {
  StderrCapture quiet;
  void SetUp() override {
    Fixture::SetUp();
    w->MAXbank = kBanks;
    // Each bank's first memory holds one entry that only that bank has: slot 100 + bank.
    for (int b = 0; b < kBanks; ++b)
      root.write(AtuFileName(b, 0), marker(b) + " 200000 1 1 " + std::to_string(b) + " 0\n");
    w->NumBanco = 0;
    LoadAllBankTable(w, 0);
    w->antennaIdx = 0;
    w->freq = 14200000;
    w->tuneWord = 0;
    SetMode(w, 1);
    SetC(w, 7);
    SetI(w, 9);
    drain();
  }
  static std::string marker(int b) { return std::to_string(100 + b); }
  // Slots held by a memory file.
  std::set<int> slotsOf(int bank) {
    std::set<int> out;
    std::istringstream in(root.read(AtuFileName(bank, 0)));
    for (std::string line; std::getline(in, line);) out.insert(std::stoi(line));
    return out;
  }
  // The link thread: the end of a successful run stores the tune into the active bank.
  std::thread storeRuns(std::atomic<bool>& done, int atLeast) {
    return std::thread([this, &done, atLeast] {
      for (int n = 0; !done || n < atLeast; ++n) {
        EscAutoTune(w, 1);
        for (int s; (s = PopCMDLinear(w)) >= 0;) {
        }
      }
    });
  }
};
}  // namespace

TEST_F(BankLock, TunesStoredWhileTheBankChangesStayInTheirBank) {
  std::atomic<bool> done{false};
  std::thread link = storeRuns(done, 20);
  for (int i = 0; i < 4 * kBanks; ++i) ChangeBanco(w);
  done = true;
  link.join();
  for (int b = 0; b < kBanks; ++b) {
    std::set<int> slots = slotsOf(b);
    for (int o = 0; o < kBanks; ++o)
      EXPECT_EQ(slots.count(100 + o), o == b ? 1u : 0u) << "bank " << b << ", slot of bank " << o;
  }
  // The memories in RAM are those of the active bank.
  const int active = w->NumBanco;
  for (int o = 0; o < kBanks; ++o) EXPECT_EQ(LoadTuneValFromTabRam(w, 100 + o, 0).valid, o == active ? 1 : 0);
}

TEST_F(BankLock, SavingIntoAnotherBankNeverLendsItsMemoryToTheActiveOne) {
  std::atomic<bool> done{false};
  std::thread link = storeRuns(done, 20);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(SaveTuneToBank(w, 2, 0), 0);
  done = true;
  link.join();
  EXPECT_EQ(slotsOf(0), (std::set<int>{100, kStoredSlot}));
  EXPECT_EQ(slotsOf(2), (std::set<int>{102, kStoredSlot}));
  EXPECT_EQ(LoadTuneValFromTabRam(w, 102, 0).valid, 0);
  EXPECT_EQ(LoadTuneValFromTabRam(w, 100, 0).valid, 1);

  // Into the active bank: its file and its memory in RAM both get the tune.
  w->freq = 7100000;
  EXPECT_EQ(SaveTuneToBank(w, 0, 0), 0);
  const int slot = AtuIdxSearch(7100000, nullptr);
  EXPECT_EQ(slotsOf(0).count(slot), 1u);
  TuneMem e = LoadTuneValFromTabRam(w, slot, 0);
  EXPECT_EQ(e.valid, 1);
  EXPECT_EQ(e.C, 7);
  EXPECT_EQ(e.L, 9);
  // Not in the active bank, not in the file of another antenna of it.
  EXPECT_EQ(SaveTuneToBank(w, 3, 1), 0);
  EXPECT_EQ(LoadTuneValFromTabRam(w, slot, 1).valid, 0);
  EXPECT_EQ(root.read(AtuFileName(3, 1)), std::to_string(slot) + " 7100000 1 1 9 7\n");
  EXPECT_EQ(SaveTuneToBank(w, 3, 3), -1);
}
