// The setup record (one fixed-width text field per setting) and the setup file /opt/set/setup.txt.
#pragma once
#include <atomic>
#include <cstddef>
#include <string>

struct Works;

// 279 characters, in the unit's field order; one-character fields are also the threads' run switches.
struct Mirtsetup {
  char EnableKeyb, EnableSpi, EnableTouch, DelayedTouch, EnableRead, EnableWrite, EnableCAT;
  char EnableSerial;  // transceiver serial link thread (no key in the file)
  char EnableLinear, EnableTime, EnableGPIO, WebSocket;
  char Pitch[10];
  char Quality[4];
  char AudioIn[20];
  char EnableFFT;
  char EnableSpectrum;  // spectrum data is drawn (no key in the file)
  char Enable1600;
  char Divide[3];
  char InChannels[2];
  char AudioCompress[10];
  char Multiplier[3];
  char AudioOut[20];
  char Server[16];
  char CatPort[13];
  char SerPort[13];
  char LinPort[13];
  char NumAntenna, EnablePwrPeak, TempMode, FreqSensIn;
  char FreqPeriodTime[5];
  char Attenuator, AttenuatorTune;
  char SWRescAutoTune[6];
  char ViewTimeStr, ViewTemp;
  char MaxTemperature[6];
  char AutoTuneMaxCicli, PowerUnits, SaveScreenIdx, AutoTuneMode;
  char MaxTempAllowed[6];
  char PSpar1[6], PSpar2[6], PSpar3[6], PSpar4[6];
  char Isteresi1, Isteresi2;
  char OffsetPlot[6];
  char EnableCatSerial;  // CAT serial link thread (no key in the file)
  char CatSerialPort[13];
  char TUNEenabled[4];
  char NumBanco[4];
  char GMpar1[6], GMpar2[6];
  char Peak_media[6], Peak_ValDec[6], Peak_TimeDec[6], Peak_Time[6];
  char MAXbank[4];
  char BTN_longpress_Time[6];
  char EnableDebug, EnableLOGTemp;
};
static_assert(sizeof(Mirtsetup) == 279, "the setup record keeps the unit's layout");

// One-character flags are read and written by several threads while they run.
inline char getFlag(const char& f) {
  return std::atomic_ref<char>(const_cast<char&>(f)).load(std::memory_order_acquire);
}
inline void setFlag(char& f, char v) { std::atomic_ref<char>(f).store(v, std::memory_order_release); }

// Copies a text into a fixed-width field, cut to width - 1 characters so it never runs into the next.
void setField(char* field, size_t width, const char* text);

void initSetup(Works* works);
void readSetup(Works* works);
int writeSetup(Works* works);

// The file's text as writeSetup would write it (the mirrors refreshed first).
std::string setupFileText(Works* works);

// The device a port setting ("LinPort", "SerPort", "CatPort", "CatSerialPort") names. False, with
// `problem` naming the setting, when there is none to open: the file's value was too long for its
// field (it is never cut into another device's name) or the field is empty.
bool portDevice(Works* works, const char* key, std::string& device, std::string& problem);
