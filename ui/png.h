// Full-screen PNG backgrounds.
#pragma once
struct Works;

// Loads "<pngName>.png" from the working directory into backBuf (1) or workBuf and the screen (0).
void getPng(Works* works, int toBackground);
