// Thread handles and starters: one thread per enabled device or link.
#pragma once
#include <atomic>
#include <mutex>
#include <thread>

struct Works;

// A started thread and whether its body is still running, so a restart never doubles a thread
// and shutdown joins every thread that was ever started.
struct ThreadHandle {
  std::thread thread;
  std::atomic<bool> alive{false};
  std::mutex mut;
  const char* name = "";
};

extern ThreadHandle thrGPIO, thrLin, thInit, thAggFw, thrKey, thrWsock, thrSer, thrScrivi, thrLeggi, thrCat, thrFFT,
    thrCatSer, thrTime;

// Starts fn(works) on the handle unless the previous thread of that handle is still running.
bool startThread(ThreadHandle& h, void (*fn)(Works*), Works* works, const char* name);
// Joins the handle's thread if one was started; true when it joined one.
bool joinThread(ThreadHandle& h);

void StartThreadLinear(Works* works);
void StartThreadSoket(Works* works);
void StartThreadBIX(Works* works);
void StartThreadAudioWrite(Works* works);
void StartThreadAudioRead(Works* works);
void StartThreadCAT(Works* works);
void StartBixReadFFT(Works* works);
void StartThreadCATserial(Works* works);
// After a port error's Retry: starts the transceiver links of the current work mode again (a thread
// that ended on its port error opens the port afresh; a running one is left alone).
void RestartRadioLinks(Works* works);
void StartThreadCommRemote(Works* works);
// At start-up with remote operation saved as on: the threads whose flags were saved as '1' start
// too, not only those StartThreadCommRemote switches on.
void ResumeRemote(Works* works);
void ExitThreadRemote(Works* works);
void LoadThread(Works* works);

// Remote audio compression: the Opus encoder and decoder when AudioCompress > 0.
void OpusSetUp(Works* works);
void OpusTearDown(Works* works);

// The entry point: start-up, wait for running = 0, shutdown. Returns the process status.
int korvaneMain(int argc, char** argv);
