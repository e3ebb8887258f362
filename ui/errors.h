// Error and warning list: codes raised by every subsystem, shown as tiles above the button bar.
#pragma once
struct Works;

// Restores the table's texts and flags (codes 4 and 15 have their second line rewritten at run time).
void InitErrorTable(Works* works);
// Replaces line 1 or 2 of a code's text (cut to fit).
void SetErrorText(Works* works, int code, int line, const char* text);

void AddErrore(Works* works, int code);
void DeleteErrore(Works* works, int code);
int ExistError(Works* works, int code);
// First listed code, -1 when the list is empty.
int ExistAnError(Works* works);
// Newest listed code, -1 when the list is empty.
int LastError(Works* works);
// Copies the list (at most max codes) and returns how many were copied.
int ErrorListSnapshot(Works* works, int* out, int max);
// Key 1 shows "RESET" / " Error ": the list is not empty and is not just the high-temperature alarm.
int ErrorResetLabelShown(Works* works);

void VerifyWarningTemporanei(Works* works);
void VerifyWarningTemporaneiDopoResetBias(Works* works);
void ClearDisplayError(Works* works);

// Tiles: DrawError draws the newest six codes; DrawTastoErrore one tile for list position `position`.
void DrawError(Works* works);
void DrawTastoErrore(Works* works, int x0, int x1, int position);
