// libFuzzer target: the bytes of the line as the link thread takes them, a tune run in progress or not.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "amp/link.h"
#include "amp/replies.h"
#include "core/setup.h"
#include "core/works.h"
#include "fuzz/fuzz_record.h"
#include "platform/log.h"
#include "platform/root.h"
#include "tuner/tuner.h"

namespace {

Works* record() {
  static Works* w = [] {
    // Stored tunes land in a scratch root, never in the machine's /opt/set.
    static char dir[] = "/tmp/korvane-fuzz-link-XXXXXX";
    if (!mkdtemp(dir)) abort();
    setRootPrefix(dir);
    std::atexit([] { std::filesystem::remove_all(dir); });
    Works* p = FuzzRecord();
    InitGlobalVar(p);
    setLogCapture([](int, const std::string&) {});
    return p;
  }();
  return w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Works* w = record();
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  w->EnableLOGTemp = 0;
  w->cpPending = mode & 1;
  w->EnablePwrPeak = (mode >> 1) & 1;
  w->SWRescAutoTune = (mode & 4) ? 1.5f : 0.0f;
  w->AutoTuneMaxCicli = 0;
  w->atuBypass = 0;
  w->tuneState = 0;
  if (mode & 8) {
    StartAutotune(w);
    w->cmdBurst = 0;
    w->txActive = 1;
  }
  static const char kLetters[][2] = {{'S', 'T'}, {'F', 'M'}, {'E', 'R'}, {'G', 'S'}};
  LastCmdSent(w, kLetters[(mode >> 4) & 3][0], kLetters[(mode >> 4) & 3][1], LIN_ST);

  ReplyAssembler rx;
  for (size_t i = 1; i < size; ++i) {
    if (!rx.feed(static_cast<char>(data[i]))) continue;
    if (rx.fill > ReplyAssembler::kCapacity) __builtin_trap();
    if (!ReplyAnswersOtherCommand(rx.text, rx.fill, w->lastCmd)) DecodeCatCmd(w, rx.text, rx.fill);
    rx.reset();
    if (w->tuneState == 2 || w->tuneState == 3) w->tuneState = 1;
    // The link sends the next command with the same letters, so the next reply is taken as its answer.
    LastCmdSent(w, w->lastCmd[0], w->lastCmd[1], LIN_ST);
  }
  char status[kStatusBufferLen + 1];
  CreaBufferDiStato(w, status);
  EscAutoTune(w, 0);
  while (PopCMDLinear(w) >= 0) {
  }
  return 0;
}
