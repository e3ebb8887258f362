// Housekeeping: firmware-update markers, temperature log, board temperature, date and time.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

struct Works;

// Marker clean-up, once, 30 s after the loading countdown.
void AggFWThread(Works* works);

// mode -1 deletes /opt/set/LOGtemp.txt, 0 adds an entry, 1 adds an alarm entry (with the values of
// the moment of the call). Returns 0 on success, -1 when nothing was written; with a file writer in
// the record the write is handed to it and 0 returned.
int LogTempFunction(Works* works, int mode);
// Size past which the temperature log drops its oldest entries (256 KiB on the unit; tests lower it).
void setLogTempLimit(size_t bytes);

// cpuTemp and gpuTemp from "my_temp"; a failing helper is logged once and the last values kept.
// Output with a CPU line but no usable GPU line updates cpuTemp and keeps gpuTemp (logged once).
// The helper gets two seconds and its first two lines; one that hangs or keeps printing is stopped
// (and counts as failing). A raised `cancel` stops it at once and changes nothing.
void ReadCPUTemp(Works* works, const std::atomic<bool>* cancel = nullptr);
// Parses one line of "my_temp"'s output: the decimal number at its start; false when there is
// none or it is not finite (the value is then left alone).
bool parseNumber(const std::string& s, float& out);

// Runs ReadCPUTemp on a thread of its own, so that the caller's pass never waits for the helper.
// Destroying the reader stops a helper that is still running and joins the thread.
class CpuTempReader {
 public:
  explicit CpuTempReader(Works* works);
  ~CpuTempReader();
  CpuTempReader(const CpuTempReader&) = delete;
  CpuTempReader& operator=(const CpuTempReader&) = delete;
  // Asks for a reading and returns at once; while one is under way the request is dropped.
  void request();

 private:
  void run();
  Works* w_;
  std::mutex mut_;
  std::condition_variable cv_;
  bool stop_ = false, pending_ = false, busy_ = false;
  std::atomic<bool> cancel_{false};
  std::thread thread_;
};
// Refreshes the date text when the second has changed.
void ReadDataOra(Works* works);
// Copies the date text (always NUL-terminated).
void getDataOra(Works* works, char* out, size_t size);

float ConversionCelsius_to_Fahrenheit(float celsius);
