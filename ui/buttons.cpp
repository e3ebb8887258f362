// The button bar above the six keys: boxes, frame, long-press marks and the two labels of each key.
#include <cstdio>
#include <cstring>

#include "core/works.h"
#include "tuner/tuner.h"
#include "ui/errors.h"
#include "ui/fb.h"
#include "ui/menu.h"
#include "ui/meters.h"
#include "ui/text.h"

namespace {

constexpr const char* kInterfaceNames[3] = {"Generic", "HVZBIX", " FT-817"};

// Fills rows y0..y1 from x0 to x1, both ends included.
void fillBox(Screen* s, int x0, int y0, int x1, int y1, int r, int g, int b) {
  for (int y = y0; y <= y1; ++y) DrawHorizontalLine(x0, y, x1 + 1, r, g, b, s);
}

void copyLabel(const KeyLabel& l, char* out) {
  for (int i = 0; i < kLabelLen; ++i) out[i] = l.c[i].load(std::memory_order_acquire);
  out[kLabelLen - 1] = '\0';
}

// Bottom labels that follow the state on every tick.
void dynamicLabels(Works* w, int page, MenuKeysText& t) {
  char wide[32];
  // Printed wide, then cut to the label's width.
#define set(key, ...) (snprintf(wide, sizeof wide, __VA_ARGS__), snprintf(t.bottom[(key)-1], kLabelLen, "%.11s", wide))
  switch (page) {
    case kPageMain:
      set(3, "     %d", w->antennaIdx + 1);
      if (w->bypass)
        set(2, "%s", "  StBy");
      else
        set(2, "  %sdB", AttVectStr[w->Attenuator & 3]);
      set(1, "BANK%i", w->NumBanco.load());
      set(6, "    %d", w->meterPage.load());
      break;
    case kPageTune:
      if (static_cast<uint8_t>(w->TUNEenabled) & 0x80)
        set(4, "%s", "NotInst");
      else
        set(4, "%s", w->tuneState != 0 ? "    On" : "   Off");
      set(5, "%s", w->atuBypass ? "   Bpy" : "   On");
      break;
    case kPageManualTune:
      set(3, "     %u", static_cast<unsigned>(w->tuneL));
      set(5, "     %u", static_cast<unsigned>(w->tuneC));
      set(1, "%s", w->tuneMode == 1 ? "CL" : (w->tuneMode == 2 ? "LC" : "ByP"));
      break;
    case kPageInterface: GetLblInterface(w->ModeWorkIdx, t.bottom[1], kLabelLen); break;
    case kPageSaveTune:
      set(2, "   %i", w->saveBank.load());
      set(3, "     %i", w->saveAnt + 1);
      break;
    case kPageCopyBank:
      set(2, "    %i", w->copyFrom.load());
      set(3, "    %i", w->copyTo.load());
      break;
    case kPageResetBank:
      if (w->resetBank == w->MAXbank)
        set(2, "%s", "  ALL");
      else
        set(2, "    %i", w->resetBank.load());
      break;
    default: break;
  }
#undef set
}

// Whether the parameter being edited is one of the network addresses.
bool editingAddress(Works* w) {
  const int i = w->paramIndex;
  return i >= 0 && i < kParamCount && w->menuPar[i].sub[0].address == 1;
}

}  // namespace

void SetKeyLabel(Works* w, int page, int key, bool bottom, const char* text) {
  if (page < 0 || page >= kMenuPages || key < 1 || key > kMenuKeys || !text) return;
  MenuKeysEntry& e = w->Mirtmenu[page];
  KeyLabel& l = bottom ? e.bottom[key - 1] : e.top[key - 1];
  std::lock_guard<std::mutex> lk(w->labelWriteMut);
  e.seq.fetch_add(1, std::memory_order_acq_rel);
  size_t n = strnlen(text, kLabelLen - 1);
  for (size_t i = 0; i < kLabelLen; ++i) l.c[i].store(i < n ? text[i] : '\0', std::memory_order_release);
  e.seq.fetch_add(1, std::memory_order_release);
}

void CopyPageLabels(Works* w, int page, MenuKeysText* out) {
  *out = MenuKeysText{};
  if (page < 0 || page >= kMenuPages) return;
  const MenuKeysEntry& e = w->Mirtmenu[page];
  // A copy that a writer overlapped is taken again; a writer holds an entry for a few stores only.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const unsigned before = e.seq.load(std::memory_order_acquire);
    if (before & 1u) continue;
    for (int k = 0; k < kMenuKeys; ++k) {
      copyLabel(e.top[k], out->top[k]);
      copyLabel(e.bottom[k], out->bottom[k]);
    }
    out->flags = e.flags;
    // The characters were loaded with acquire: the second look at the count comes after them.
    if (e.seq.load(std::memory_order_relaxed) == before) return;
  }
}

void PageLabelsNow(Works* w, int page, MenuKeysText* out) {
  CopyPageLabels(w, page, out);
  // Worked out for this frame: the table keeps what the setters wrote.
  dynamicLabels(w, page, *out);
}

void GetLblInterface(int type, char* out, size_t size) {
  snprintf(out, size, "%s", kInterfaceNames[type >= 0 && type <= 2 ? type : 0]);
}

void SetAttenuatorLabel(Works* w) {
  if (w->menuPage != kPageMain) return;
  char t[32];
  if (w->bypass)
    snprintf(t, sizeof t, "%s", "  StBy");
  else
    snprintf(t, sizeof t, "  %sdB", AttVectStr[w->Attenuator & 3]);
  SetKeyLabel(w, kPageMain, 2, true, t);
}

void SetModeWorkLabel(Works* w) {
  if (w->menuPage != kPageMain) return;
  char t[32];
  snprintf(t, sizeof t, "    %d", w->meterPage.load());
  SetKeyLabel(w, kPageMain, 6, true, t);
}

void LabelByPassATU(Works* w) {
  if (w->menuPage != kPageTune) return;
  SetKeyLabel(w, kPageTune, 5, true, w->atuBypass ? "   Bpy" : "   On");
}

void LabelByPassMirt(Works* w, const char* text) {
  if (w->menuPage != kPageTune) return;
  SetKeyLabel(w, kPageTune, 5, true, text);
}

void ImpostaLblManuale(Works* w) {
  if (w->menuPage != kPageManualTune) return;
  char t[32];
  snprintf(t, sizeof t, "     %u", static_cast<unsigned>(w->tuneL));
  SetKeyLabel(w, kPageManualTune, 3, true, t);
  snprintf(t, sizeof t, "     %u", static_cast<unsigned>(w->tuneC));
  SetKeyLabel(w, kPageManualTune, 5, true, t);
  const int m = w->tuneMode;
  SetKeyLabel(w, kPageManualTune, 1, true, m == 1 ? "CL" : (m == 2 ? "LC" : "ByP"));
}

void LabelSAVEATU(Works* w) {
  if (w->menuPage != kPageSaveTune) return;
  char t[32];
  snprintf(t, sizeof t, "   %i", w->saveBank.load());
  SetKeyLabel(w, kPageSaveTune, 2, true, t);
  snprintf(t, sizeof t, "     %i", w->saveAnt + 1);
  SetKeyLabel(w, kPageSaveTune, 3, true, t);
}

void LblCOPY(Works* w) {
  if (w->menuPage != kPageCopyBank) return;
  char t[32];
  snprintf(t, sizeof t, "    %i", w->copyFrom.load());
  SetKeyLabel(w, kPageCopyBank, 2, true, t);
  snprintf(t, sizeof t, "    %i", w->copyTo.load());
  SetKeyLabel(w, kPageCopyBank, 3, true, t);
}

void LblRESET(Works* w) {
  if (w->menuPage != kPageResetBank) return;
  char t[32];
  if (w->resetBank == w->MAXbank)
    snprintf(t, sizeof t, "%s", "  ALL");
  else
    snprintf(t, sizeof t, "    %i", w->resetBank.load());
  SetKeyLabel(w, kPageResetBank, 2, true, t);
}

void LblMenuAntenna(Works* w) {
  if (w->menuPage != kPageInterface) return;
  char t[32];
  GetLblInterface(w->ModeWorkIdx, t, sizeof t);
  SetKeyLabel(w, kPageInterface, 2, true, t);
}

void LoadButtons(Works* w) {
  Screen* s = w->fb;
  if (!s) return;
  int page = w->menuPage;
  if (page < 0 || page >= kMenuPagesUsed) page = kPageMain;
  MenuKeysText t;
  PageLabelsNow(w, page, &t);

  for (int j = 0; j < 5; ++j) fillBox(s, 133 * j, 420, 133 * j + 129, 479, 40, 40, 40);
  fillBox(s, 665, 420, 798, 479, 40, 40, 40);
  if (t.flags & kLongPressKey1) fillBox(s, 2, 478, 127, 479, 250, 150, 0);
  if (t.flags & kLongPressKey6) fillBox(s, 667, 478, 796, 479, 250, 150, 0);
  constexpr int kTopEdges[6][2] = {{1, 129}, {134, 262}, {267, 395}, {400, 529}, {533, 662}, {666, 798}};
  for (const auto& e : kTopEdges) DrawHorizontalLine(e[0], 420, e[1] + 1, 120, 120, 120, s);
  for (int x : {130, 263, 396, 529, 662, 799}) DrawLine(x, 420, x, 479, 120, 120, 120, s);

  constexpr int kTopX[6] = {20, 143, 276, 409, 542, 675};
  constexpr int kBottomX[6] = {30, 153, 286, 419, 552, 695};
  const bool errorKey = ErrorResetLabelShown(w) != 0;
  const bool hideArrows = page == kPageParamEdit && !editingAddress(w);
  for (int k = 0; k < kMenuKeys; ++k) {
    const char* top = t.top[k];
    const char* bottom = t.bottom[k];
    if (k == 0 && errorKey) {
      top = "RESET";
      bottom = " Error ";
    }
    if (hideArrows && (k == 1 || k == 2)) continue;
    putString(0, kTopX[k], 445, top, 250, 150, 0, s);
    putString(1, kBottomX[k], 472, bottom, 250, 150, 0, s);
  }

  DrawParameters(w);
  if (w->statusPage == 0) DrawError(w);
  ViewStatusInfo(w);
  ViewStatusTX(w);
}
