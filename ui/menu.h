// Menu model, parameter screens, the button bar and the dispatch of the six keys.
#pragma once
#include <cstddef>

struct Works;
struct MenuKeysText;
class DeferredWrites;

// ---- Menu model and parameter screens ----------------------------------------------------------
// Fills the parameter list, the key label table and the error table; creates the service worker.
void InitMenuMirt(Works* works);
// Value text of parameter `index` (sub is always 0) into out.
void LoadParameterMenu(Works* works, char* out, size_t size, int index, int sub);
// Parameter actions on the current entry.
enum ParamAction : int { kParamEnter = 0, kParamMinus = 1, kParamPlus = 2, kParamLeft = 3, kParamRight = 4 };
// Applies an action to the current parameter; 1 asks the scanner to repeat the held key.
int ModifyParameter(Works* works, int action);
// Changes the band-table cell under the cursor; minus is 0 for the plus key, 1 for the minus key.
void ModifytabAntenna(Works* works, int minus);
// Sets the settings to their defaults, stores and re-reads the setup file, reloads the bank; the
// live state of the link is kept.
void FactoryReset(Works* works);
// Content area, information page.
void DrawParameters(Works* works);
void ViewStatusInfo(Works* works);
// The band box of the status strip: "Band:<name>", "Band:---" or "NOPA".
void GetBandText(Works* works, char* out, size_t size);
// The worker of the menus' long commands, made on first use; FlushServiceJobs waits until what was
// handed over has run (tests, shutdown).
DeferredWrites* ServiceJobs(Works* works);
void FlushServiceJobs(Works* works);

// ---- Buttons and key dispatch ------------------------------------------------------------------
void LoadButtons(Works* works);
int DecodeTasto(Works* works, int key, int heldMask);
int EscFromStatus(Works* works);
// The step of key 2 on the main page through 0, 2, 3, 5 dB and stand-by.
void StepAttenuator(Works* works);

// Label table access: one label written whole, one page copied whole.
void SetKeyLabel(Works* works, int page, int key, bool bottom, const char* text);
void CopyPageLabels(Works* works, int page, MenuKeysText* out);
// The labels a page shows now: the table's, with the bottom labels that follow the state.
void PageLabelsNow(Works* works, int page, MenuKeysText* out);
// Label setters: each writes only while its page is current.
void SetAttenuatorLabel(Works* works);
void SetModeWorkLabel(Works* works);
void LabelByPassATU(Works* works);
void LabelByPassMirt(Works* works, const char* text);
void ImpostaLblManuale(Works* works);
void LabelSAVEATU(Works* works);
void LblCOPY(Works* works);
void LblRESET(Works* works);
void LblMenuAntenna(Works* works);
// Interface name: 0 "Generic", 1 "HVZBIX", 2 " FT-817"; anything else "Generic".
void GetLblInterface(int type, char* out, size_t size);
