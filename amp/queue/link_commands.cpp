// The link's command table and the formatting of each command from the record.
#include "amp/queue/link_commands.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "amp/queue/queue.h"
#include "core/works.h"

namespace {

using S = LinkSend;

// The formats are named once, so the table and the formatting below cannot drift apart, and the
// compiler checks every argument against its format.
constexpr char kFormSA[] = "SA%d;";
constexpr char kFormFA[] = "FA%011" PRIu64 ";";
constexpr char kFormFS[] = "FS%01d%04d;";
constexpr char kFormAT[] = "AT%d%d;";
constexpr char kFormAN[] = "AN%d;";
constexpr char kFormTS[] = "TS%04d%04d%04d%04d;";
constexpr char kFormFN[] = "FN1%03d;";
constexpr char kFormPS[] = "PS%04d%04d%04d%04d;";
constexpr char kFormSF[] = "SF30000%02x;";
constexpr char kFormGM[] = "GM%04d%04d;";
constexpr char kFormGS[] = "GS%s;";
constexpr char kFormMT1[] = "MT1%08X;";

// Keep in state order: FindLinkCommand searches it by halves.
constexpr LinkCommand kCommands[] = {
    {LIN_VSM, "VSM;", "", nullptr, S::Text},
    {LIN_ST, "ST;", "", nullptr, S::Text},
    {LIN_SA, kFormSA, "antennaIdx + 1", nullptr, S::Format},
    {LIN_FM, "FM;", "", nullptr, S::Text},
    {LIN_FA, kFormFA, "freq", nullptr, S::Format},
    {LIN_MT, "MT;", "", nullptr, S::Text},
    {LIN_MT1, kFormMT1, "tuneWord as it is", nullptr, S::RelayWord},
    {LIN_FS, kFormFS, "FreqSensIn, FreqPeriodTime / 10", nullptr, S::Format},
    {LIN_CP, "CPFFFF;", "", nullptr, S::Text},
    {LIN_AT, kFormAT, "Attenuator (protection pad while protectionHeld)", ">> ", S::Attenuator},
    {LIN_AT_TUNE, kFormAT, "AttenuatorTune (protection pad while protectionHeld)", ">> ", S::Attenuator},
    {LIN_AT_PROT, kFormAT, "3: the 5 dB protection pad", ">> ", S::Attenuator},
    {LIN_MP0, "MP0;", "protectionHeld sends MP1;", nullptr, S::Format},
    {LIN_MP1, "MP1;", "", nullptr, S::Text},
    {LIN_AB0, "AB0;", "", ">> ", S::Text},
    {LIN_AB1, "AB1;", "", ">> ", S::Text},
    {LIN_AN, kFormAN, "anValue", ">> ", S::Format},
    {LIN_TS, kFormTS, "tsPwin, tsFwd, tsRefl, tsCorrente", nullptr, S::Format},
    {LIN_FN, kFormFN, "fanSent", nullptr, S::Format},
    {LIN_PS, kFormPS, "PSpar1, PSpar2, PSpar3, PSpar4", ">> ", S::Format},
    {LIN_MT1_MEM, kFormMT1, "tuneWord after loading the stored tune of antennaIdx", nullptr, S::RelayWord},
    {LIN_SF, kFormSF, "filterMask", ">> ", S::Format},
    {LIN_MR1, "MR1;", "", nullptr, S::Text},
    {LIN_MR0, "MR0;", "", nullptr, S::Text},
    {LIN_GM, kFormGM, "GMpar1, GMpar2", ">> ", S::Format},
    {LIN_GS_READ, "GS;", "", ">>r: ", S::Text},
    {LIN_GS_WRITE, kFormGS, "settingsText with bit 1 of its second character set when ModeWorkIdx is 0", nullptr,
     S::Format},
    {LIN_ER0, "ER0000;", "", nullptr, S::Text},
    {LIN_ER1, "ER0001;", "", nullptr, S::Text},
    {LIN_ER2, "ER0002;", "", nullptr, S::Text},
    {LIN_MT1_BYPASS, kFormMT1, "tuneWord with the bypass bit", nullptr, S::RelayWord},
    {LIN_MT1_NEUTRAL, kFormMT1, "tuneWord of the neutral tune (CL, C = L = 0)", nullptr, S::RelayWord},
};

constexpr bool inStateOrder() {
  for (size_t i = 1; i < std::size(kCommands); ++i)
    if (kCommands[i - 1].state >= kCommands[i].state) return false;
  return true;
}
static_assert(inStateOrder());

}  // namespace

std::span<const LinkCommand> LinkCommands() { return kCommands; }

const LinkCommand* FindLinkCommand(int state) {
  auto it = std::lower_bound(std::begin(kCommands), std::end(kCommands), state,
                             [](const LinkCommand& c, int s) { return c.state < s; });
  return it != std::end(kCommands) && it->state == state ? it : nullptr;
}

int LinkAttenuatorValue(Works* w, int state) {
  if (state == LIN_AT_PROT || w->protectionHeld) return 3;
  return std::clamp(static_cast<int>(state == LIN_AT_TUNE ? w->AttenuatorTune.load() : w->Attenuator.load()), 0, 3);
}

int FormatLinkCommand(Works* w, int state, char* out, size_t size) {
  const LinkCommand* c = FindLinkCommand(state);
  if (!c || size == 0) return -1;
  switch (c->send) {
    case S::Text: return snprintf(out, size, "%s", c->form);
    case S::RelayWord: return -1;
    case S::Attenuator: {
      const int v = LinkAttenuatorValue(w, state);
      return snprintf(out, size, kFormAT, (v >> 1) & 1, v & 1);
    }
    case S::Format: break;
  }
  switch (state) {
    case LIN_SA: return snprintf(out, size, kFormSA, w->antennaIdx.load() + 1);
    case LIN_FA: return snprintf(out, size, kFormFA, static_cast<uint64_t>(w->freq.load()));
    case LIN_FS:
      return snprintf(out, size, kFormFS, static_cast<int>(w->FreqSensIn.load()), w->FreqPeriodTime.load() / 10);
    case LIN_MP0: return snprintf(out, size, "%s", w->protectionHeld ? "MP1;" : "MP0;");
    case LIN_AN: return snprintf(out, size, kFormAN, w->anValue.load());
    case LIN_TS:
      return snprintf(out, size, kFormTS, w->tsPwin.load(), w->tsFwd.load(), w->tsRefl.load(), w->tsCorrente.load());
    case LIN_FN: return snprintf(out, size, kFormFN, w->fanSent.load());
    case LIN_PS:
      return snprintf(out, size, kFormPS, w->PSpar1.load(), w->PSpar2.load(), w->PSpar3.load(), w->PSpar4.load());
    case LIN_SF: return snprintf(out, size, kFormSF, static_cast<unsigned>(w->filterMask.load()));
    case LIN_GM: return snprintf(out, size, kFormGM, w->GMpar1.load(), w->GMpar2.load());
    case LIN_GS_WRITE: {
      char text[11];
      {
        std::lock_guard<std::mutex> lk(w->ampTextMut);
        memcpy(text, w->settingsText, sizeof text);
      }
      text[10] = 0;
      // Nothing to send back before the micro has told its settings.
      if (strlen(text) != 10) return -1;
      if (w->ModeWorkIdx == 0)
        text[1] = static_cast<char>(text[1] | 0x02);
      else
        text[1] = static_cast<char>(text[1] & ~0x02);
      return snprintf(out, size, kFormGS, text);
    }
    default: return -1;
  }
}
