// Fields of the shared record owned by start-up, the setup file, the supervisor and housekeeping.
#pragma once
#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

struct Mirtsetup;
struct Screen;

// Bits of the AutoTuneMode byte: bit 0 is the operator's setting, the rest the hand-shake of a run
// with the transceiver.
constexpr uint8_t kAtmEnabled = 0x01,  // auto-tune with the transceiver enabled (saved)
    kAtmStartedByTx = 0x02,            // the run began because the transceiver transmitted
    kAtmEnded = 0x04,                  // the run ended
    kAtmSettling = 0x08,               // the return to receive was sent
    kAtmStartedByKey = 0x10,           // the run began from the TUNE key
    kAtmAskCarrier = 0x20,             // the transceiver must be asked for a tune carrier
    kAtmCarrierAsked = 0x40;           // the tune carrier was requested

class DeferredWrites;

struct CoreFields {
  // Lifecycle.
  std::atomic<int> running{0};
  // Where the amplifier link hands its file writes (set by the entry point for the whole run;
  // none: writes run on the caller's thread).
  DeferredWrites* fileWriter = nullptr;
  char version[8]{};
  // 0 none, 1 amplifier port, 2 CAT serial port, 3 transceiver serial port, -1 restart requested.
  // portErrorText is written before portError announces it.
  std::atomic<int> portError{0};
  char portErrorText[100]{};
  Screen* fb = nullptr;
  char pngName[64]{};
  std::atomic<time_t> lastActivity{0};
  std::atomic<uint8_t> mainImageDue{0};

  // Setup record and its numeric mirrors (the key names of the setup file).
  Mirtsetup* setup = nullptr;
  std::atomic<int> antennaIdx{0};  // NumAntenna - 1
  std::atomic<uint8_t> EnablePwrPeak{0};
  std::atomic<uint8_t> TempMode{0};
  std::atomic<uint8_t> FreqSensIn{0};
  std::atomic<int> FreqPeriodTime{0};
  std::atomic<uint8_t> Attenuator{0};
  std::atomic<uint8_t> AttenuatorTune{0};
  std::atomic<float> SWRescAutoTune{0};
  std::atomic<uint8_t> ViewTimeStr{0};
  std::atomic<uint8_t> ViewTemp{0};
  std::atomic<float> MaxTemperature{0};
  std::atomic<uint8_t> AutoTuneMaxCicli{0};
  std::atomic<uint8_t> PowerUnits{0};
  std::atomic<uint8_t> SaveScreenIdx{0};
  std::atomic<uint8_t> AutoTuneMode{0};  // bit 0 saved; bits 1-6 the transceiver hand-shake
  std::atomic<int> fftDivide{0};         // Divide
  std::atomic<int> MaxTempAllowed{0};
  std::atomic<int> PSpar1{0}, PSpar2{0}, PSpar3{0}, PSpar4{0};
  std::atomic<int> Isteresi1{0}, Isteresi2{0};
  std::atomic<double> OffsetPlot{0};
  std::atomic<int8_t> TUNEenabled{0};
  std::atomic<int> NumBanco{0};
  std::atomic<int> GMpar1{0}, GMpar2{0};
  std::atomic<int> MAXbank{0};
  std::atomic<uint8_t> EnableDebug{0};
  std::atomic<uint8_t> EnableLOGTemp{0};
  // Setup values too long for their fields (LinPort, SerPort, CatPort, CatSerialPort, Server, by
  // bit): kept out of use, and written back as they were read. Texts guarded by the setup lock.
  std::atomic<uint32_t> refusedSettings{0};
  std::string refusedSetting[5];

  // Supervisor.
  std::atomic<int> timerUsec{0};
  std::atomic<int> meterPage{0};
  std::atomic<uint8_t> screenSaverOn{0};
  std::atomic<int> txActive{0};

  // Guards named in the design; they live beside the record.
  std::mutex* serMut = nullptr;
  std::mutex* wsockMut = nullptr;
  std::mutex* connMut = nullptr;
};

// Globals of the meters, peak hold and key timing, set from the setup file.
extern std::atomic<double> TIME_LONG_PRESS;
extern std::atomic<int> number_ofStep_meter_FWD, number_ofStep_meter_REFL, number_ofStep_meter_SWR,
    number_ofStep_meter_PW;
extern std::atomic<int> fattoremedia;
extern std::atomic<double> PeakDecrement;
extern std::atomic<int> PeakDecrementTime;
extern std::atomic<int> TimerPeakSec;
extern std::atomic<int> StepTune1;
extern std::atomic<int> CntIP, CntDNS, CntNetMask, CntGateway;
extern std::atomic<int> waitBIX;
extern std::atomic<int> startInitThread;
