// Housekeeping: the marker clean-up after start, the temperature log, board temperatures and the date text.
#include "core/housekeeping.h"

#include <sys/stat.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "amp/pa_voltage.h"
#include "core/works.h"
#include "platform/deferred_writes.h"
#include "platform/log.h"
#include "platform/optset.h"
#include "platform/root.h"
#include "platform/shell.h"
#include "platform/timed_command.h"
#include "platform/timing.h"

namespace {

const char* kLogTempPath = "/opt/set/LOGtemp.txt";
const char* kLogTempHeader = ";TX,Temp1,Temp2,FDD,SWR\n";

// The link thread (status replies, over-temperature) and the supervisor both write the log:
// the existence check and the write must be one step.
std::mutex g_logTempMut;

// While "my_temp" fails it is tried again only this often, so a missing helper costs one shell
// per interval instead of one per supervisor pass.
constexpr auto kMyTempRetry = std::chrono::seconds(5);
// The helper answers in a few milliseconds; one still running after this is hung and is stopped.
constexpr auto kMyTempLimit = std::chrono::milliseconds(2000);
std::mutex g_myTempMut;
std::chrono::steady_clock::time_point g_myTempNextTry{};

}  // namespace

bool parseNumber(const std::string& s, float& out) {
  const char* p = s.c_str();
  char* end = nullptr;
  float v = std::strtof(p, &end);
  // "nan" and "inf" are numbers to strtof, not temperatures.
  if (end == p || !std::isfinite(v)) return false;
  out = v;
  return true;
}

float ConversionCelsius_to_Fahrenheit(float celsius) { return celsius * 9.0f / 5.0f + 32.0f; }

void ReadDataOra(Works* w) {
  const time_t now = wallClockNow();
  std::lock_guard<std::mutex> lk(w->dateMut);
  if (now == w->dateLastSec) return;
  w->dateLastSec = now;
  struct tm tmv;
  localtime_r(&now, &tmv);
  strftime(w->dateText, sizeof w->dateText, "%Y-%m-%d %H:%M:%S", &tmv);
}

void getDataOra(Works* w, char* out, size_t size) {
  if (size == 0) return;
  std::lock_guard<std::mutex> lk(w->dateMut);
  snprintf(out, size, "%s", w->dateText);
}

void ReadCPUTemp(Works* w, const std::atomic<bool>* cancel) {
  {
    std::lock_guard<std::mutex> lk(g_myTempMut);
    if (w->cpuTempFault && std::chrono::steady_clock::now() < g_myTempNextTry) return;
  }
  // Two lines are all that is read: a helper that keeps printing is stopped after them, one that
  // never ends is stopped at the limit.
  auto twoLines = [](const std::string& out) {
    const size_t nl = out.find('\n');
    return nl != std::string::npos && out.find('\n', nl + 1) != std::string::npos;
  };
  const TimedCommand run = runCommandTimed("my_temp", kMyTempLimit, 4096, twoLines, cancel);
  if (run.outcome == TimedCommand::kCancelled) return;  // shutting down: nothing to report
  const std::string& out = run.out;
  const int rc = run.status;
  float cpu = 0, gpu = 0;
  // A helper stopped at its limit may have been cut off mid-number: its output is not trusted.
  bool ok = run.outcome == TimedCommand::kCut || (run.outcome == TimedCommand::kExited && rc != 126 && rc != 127);
  std::string first, second;
  if (ok) {
    size_t nl = out.find('\n');
    first = out.substr(0, std::min<size_t>(nl, 31));
    if (nl != std::string::npos) {
      size_t nl2 = out.find('\n', nl + 1);
      second = out.substr(nl + 1, nl2 == std::string::npos ? std::string::npos : nl2 - nl - 1).substr(0, 31);
    }
    ok = parseNumber(first, cpu);
  }
  // The GPU line is optional: a board or helper without it still has a CPU temperature.
  const bool gpuOk = ok && second.size() > 5 && parseNumber(second.substr(5, 4), gpu);
  if (!ok) {
    // A missing, broken or hung helper must not stop the amplifier: keep the last temperatures.
    {
      std::lock_guard<std::mutex> lk(g_myTempMut);
      g_myTempNextTry = std::chrono::steady_clock::now() + kMyTempRetry;
    }
    if (!w->cpuTempFault.exchange(1)) {
      if (run.outcome == TimedCommand::kTimedOut)
        klog(LOG_ERR,
             "my_temp gave no temperature within %lld ms and was stopped: board temperatures keep their last values",
             static_cast<long long>(kMyTempLimit.count()));
      else
        klog(LOG_ERR, "my_temp failed (status %d): board temperatures keep their last values", rc);
    }
    return;
  }
  if (w->cpuTempFault.exchange(0)) klog(LOG_INFO, "my_temp answers again");
  w->cpuTemp = cpu;
  if (gpuOk) {
    if (w->gpuTempMissing.exchange(0)) klog(LOG_INFO, "my_temp gives the GPU temperature again");
    w->gpuTemp = gpu;
  } else if (!w->gpuTempMissing.exchange(1)) {
    klog(LOG_ERR, "my_temp gave no GPU temperature: it keeps its last value %.1f",
         static_cast<double>(w->gpuTemp.load()));
  }
}

CpuTempReader::CpuTempReader(Works* w) : w_(w) {}

CpuTempReader::~CpuTempReader() {
  {
    std::lock_guard<std::mutex> lk(mut_);
    stop_ = true;
  }
  cancel_ = true;
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void CpuTempReader::request() {
  std::lock_guard<std::mutex> lk(mut_);
  if (stop_) return;
  if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
  if (busy_) return;  // the reading under way answers this request too
  pending_ = true;
  cv_.notify_one();
}

void CpuTempReader::run() {
  std::unique_lock<std::mutex> lk(mut_);
  for (;;) {
    cv_.wait(lk, [this] { return stop_ || pending_; });
    if (stop_) return;
    pending_ = false;
    busy_ = true;
    lk.unlock();
    ReadCPUTemp(w_, &cancel_);
    lk.lock();
    busy_ = false;
  }
}

namespace {

// An entry every 5 s of transmission is about a megabyte a day on a small partition: past this size
// the oldest entries go, and the newest half of the log is kept.
std::atomic<size_t> g_logTempMaxBytes{256 * 1024};
bool g_logTempCapped = false;  // the cut was logged for this log (under g_logTempMut)

// The header and the newest whole entries of `text` that fit in `budget` bytes.
std::string newestEntries(const std::string& text, size_t budget) {
  size_t from = text.size() > budget ? text.size() - budget : 0;
  if (from > 0) {
    const size_t nl = text.find('\n', from - 1);
    from = nl == std::string::npos ? text.size() : nl + 1;
  }
  if (from == 0 && text.compare(0, strlen(kLogTempHeader), kLogTempHeader) == 0) from = strlen(kLogTempHeader);
  return kLogTempHeader + text.substr(from);
}

int writeLogTemp(int mode, const std::string& entry) {
  std::lock_guard<std::mutex> lk(g_logTempMut);
  if (mode == -1) {
    g_logTempCapped = false;
    return optSetRemove(kLogTempPath) == 0 ? 0 : -1;
  }
  struct stat st;
  const bool exists = stat(rootPath(kLogTempPath).c_str(), &st) == 0;
  const size_t cap = g_logTempMaxBytes;
  int rc;
  std::string old;
  if (exists && static_cast<size_t>(st.st_size) + entry.size() > cap &&
      readWholeFile(rootPath(kLogTempPath), old, cap * 2)) {
    if (!g_logTempCapped) {
      klog(LOG_WARNING, "Temperature log reached %zu bytes: its oldest entries are dropped from now on", cap);
      g_logTempCapped = true;
    }
    rc = optSetWriteFile(kLogTempPath, newestEntries(old, cap / 2) + entry);
  } else {
    rc = exists ? optSetAppendFile(kLogTempPath, entry) : optSetWriteFile(kLogTempPath, kLogTempHeader + entry);
  }
  if (rc != 0) {
    ktrace("can't write %s\n", kLogTempPath);
    return -1;
  }
  return 0;
}
}  // namespace

void setLogTempLimit(size_t bytes) { g_logTempMaxBytes = bytes; }

int LogTempFunction(Works* w, int mode) {
  std::string entry;
  if (mode != -1) {
    // The entry holds the values of now, whenever the writer gets to it.
    ReadDataOra(w);
    char date[80];
    getDataOra(w, date, sizeof date);
    const float current = w->rawCurrent / 4096.0f * 14.05f;
    char values[160];
    snprintf(values, sizeof values, "%04.01f,%04.01f,%02.01fW,%03.02f,%04.01fV,%04.01fA", w->temp1.load(),
             w->temp2.load(), w->pwrFwd.load(), w->swr.load(), PaVoltageFromReading(w->gpioReading[3], w->microCfgB),
             current);
    entry = date;
    entry += (w->stStatus1 & kStatus1Tx) ? " , 1," : " , 0,";
    entry += values;
    entry += mode == 1 ? " -> protezione attiva\n" : "\n";
  }
  if (!w->fileWriter) return writeLogTemp(mode, entry);
  w->fileWriter->post([mode, entry = std::move(entry)] { writeLogTemp(mode, entry); });
  return 0;
}

void AggFWThread(Works* w) {
  for (int i = 0; i < 30; ++i) {
    ktrace("AGG FW %i..\n", i);
    startupSleepMs(1000);
    if (!w->running) return;
  }
  // The remount pair and the removal go through the /opt/set writers' lock, so this never
  // remounts read-only under another writer.
  const int rc = optSetRemove("/opt/good");
  if (rc == -1) {
    ktrace("can't mount rw /opt/set/ error %d", errno);
    return;
  }
  if (rc != 0) {
    klog(LOG_ERR, "can't :rm -f /opt/good >/dev/null 2>&1  ->error %d", errno);
    ktrace("can't :rm -f /opt/good >/dev/null 2>&1  ->error %d", errno);
    return;
  }
  ktrace("--------- END THREAD AGG FW!!!\n");
}
