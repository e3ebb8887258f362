// Menu model and the six-key buttons.
#pragma once
struct Works;

void InitMenuMirt(Works* works);
void LoadButtons(Works* works);
