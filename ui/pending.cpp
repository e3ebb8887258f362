// Display entry points that later work fills in; until then they draw nothing.
#include "ui/errors.h"
#include "ui/menu.h"
#include "ui/png.h"
#include "ui/text.h"

void TTFLoad(const char* path, int pixelSize, int slotNumber) {}
void putString(int slotNumber, int x, int y, const char* text, int r, int g, int b, Screen* screen) {}
int getStringSpace(int slotNumber, const char* text) { return 0; }
int utf8_get_next_char(const unsigned char* text, int length, int* position, int* valid, unsigned int* codePoint) {
  return -1;
}
void getPng(Works* works, int toBackground) {}
void InitMenuMirt(Works* works) {}
void LoadButtons(Works* works) {}
void AddErrore(Works* works, int code) {}
void DeleteErrore(Works* works, int code) {}
int ExistError(Works* works, int code) { return 0; }
