// Text on the screen: font slots, drawing and measuring UTF-8 strings.
#pragma once
struct Screen;

void TTFLoad(const char* path, int pixelSize, int slotNumber);
void putString(int slotNumber, int x, int y, const char* text, int r, int g, int b, Screen* screen);
int getStringSpace(int slotNumber, const char* text);
int utf8_get_next_char(const unsigned char* text, int length, int* position, int* valid, unsigned int* codePoint);
