// Fields of the shared record owned by the tuner, the tune memories and the band tables.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <vector>

struct Works;

inline constexpr int kTuneMemSlots = 5000;  // slots of one tune memory
inline constexpr int kTuneMemAntennas = 3;
inline constexpr int kBandRows = 11;
inline constexpr int kFilterRows = 8;
inline constexpr int kTuneHistory = 10;
// curConfigRow values that are not rows: thresholds to be sent again; the defaults were sent.
inline constexpr int kConfigRowResend = -1;
inline constexpr int kConfigRowDefaults = -2;

// One measurement of the auto-tune search.
struct TuneRecord {
  float swr = 0;
  float power = 0;  // W
  int L = 0;
  int C = 0;
  uint32_t tuneWord = 0;
};

// One slot of a tune memory (six bytes, as the unit keeps them).
struct TuneMem {
  uint8_t valid = 0;
  uint8_t mode = 0;  // 1 CL, 2 LC, 3 bypass
  uint16_t L = 0;
  uint16_t C = 0;
};
static_assert(sizeof(TuneMem) == 6, "a tune memory slot stays six bytes");

// One line of config.txt: coupler calibration and protection thresholds of a frequency range.
struct ConfigRow {
  uint32_t freqStart = 0;  // Hz; the range runs up to the next row's freqStart
  uint32_t aux = 0;
  float K0 = 0, K1 = 0, K2 = 0, K3 = 0;
  float sogliaPwin = 0, sogliaCorrente = 0, sogliaRefl = 0, sogliaFwd = 0;
  int tuneparL[5]{};
  int tuneparC[5]{};
  int step = 0;
};

// One low-pass filter relay: row i drives relay bit i.
struct FilterRow {
  uint32_t freqMin = 0, freqMax = 0;
  uint8_t enable = 0;
};

// One band of the band table of a bank.
struct BandRow {
  char name[8]{};
  uint32_t freqMin = 0, freqMax = 0;
  uint8_t ampEnable = 0;
  uint8_t ant = 0;  // 1-based; 0 leaves the antenna alone
  uint8_t atu = 0;  // 1 tuner bypassed on this band
  uint8_t att = 0;  // attenuator index 0..3
  float pwr = 0;
};

struct TunerFields {
  // Relay word and its decoded parts. Writers of the word hold tuneWordMut (the tune-word lock);
  // tuneLock mirrors whether it is held.
  std::atomic<uint32_t> tuneWord{0};
  std::atomic<int> tuneC{0}, tuneL{0};
  std::atomic<uint8_t> tuneMode{0};
  // The relay word and its parts when the running auto-tune started: a run that never measured
  // any forward power puts them back instead of sending an unmeasured word.
  TuneRecord tuneBeforeRun{};
  std::atomic<uint8_t> atuBypass{0};
  std::atomic<uint8_t> tuneLock{0};
  std::mutex tuneWordMut;

  // Auto-tune run. The records and counters belong to whoever holds tuneRunMut: the link thread
  // during a step, or the thread that aborts a run, so an abort never lands inside a step.
  std::atomic<uint8_t> tuneState{0};  // 0 idle, 1 tuning, 2 tuning with a trip to clear first
  std::atomic<int> tuneStep{0};
  std::recursive_mutex tuneRunMut;
  TuneRecord tuneParam, miglioretuneParam;
  TuneRecord vTuneParam[kTuneHistory];
  int cnttune = 0;
  int cnttunefine = 0;
  int tuneLeftWorse = 0;  // the last fine descent left on a worse measurement

  // Configuration tables. Loaders take tablesMut exclusively; the selection chain and the
  // coefficient lookup take it shared.
  mutable std::shared_mutex tablesMut;
  std::vector<ConfigRow> configRows;
  std::atomic<int> numConfigRows{0};
  FilterRow tabFiltri[kFilterRows]{};
  BandRow tabAntenna[kBandRows]{};
  std::atomic<int> numBands{0};

  // Bank operations (loading, changing, copying, deleting a bank; storing a tune into a bank's
  // file) hold bankMut, so NumBanco and the memories in RAM always belong to the same bank and
  // the writes of one file keep their order. Its holders take tabTuneMut, tablesMut and the
  // /opt/set writer's lock inside it, never the other way round; the transceiver links are
  // started and the setup file written after it is released.
  std::mutex bankMut;

  // Tune memories of the active bank; a reload never interleaves with a lookup.
  mutable std::shared_mutex tabTuneMut;
  TuneMem tabTune[kTuneMemAntennas][kTuneMemSlots]{};

  // Selection state.
  std::atomic<int> ModeWorkIdx{0};   // -1 unset, 0 generic, 1 transceiver serial link, 2 CAT serial
  std::atomic<int> curConfigRow{0};  // row whose thresholds were sent last, or one of the two below
  std::atomic<int> bandIdx{0};
  // Selection commands refused by a full link queue in this run of refusals, and the back-off of
  // the re-runs (supervisor passes) with the passes still to wait.
  std::atomic<int> chainRefused{0}, chainBackoff{0}, chainBackoffLeft{0};
  std::atomic<uint8_t> filterMask{0};

  // Captions the key pages show for the tuner (read by the UI when its page is up).
  std::atomic<int> antennaAuto{0};      // 1: the last antenna choice came from the band table
  std::atomic<int> tuneModeCaption{3};  // network mode whose caption the mode key shows
};

// Coefficient row governing a frequency: row i when freqStart(i) <= f < freqStart(i+1).
// Copies the row under the table lock; false when no row governs f.
inline bool GetConfigRowFor(const TunerFields* t, uint64_t f, ConfigRow* out, int* index) {
  std::shared_lock lk(t->tablesMut);
  const auto& rows = t->configRows;
  for (size_t i = 0; i + 1 < rows.size(); ++i) {
    if (rows[i].freqStart <= f && f < rows[i + 1].freqStart) {
      if (out) *out = rows[i];
      if (index) *index = static_cast<int>(i);
      return true;
    }
  }
  return false;
}
