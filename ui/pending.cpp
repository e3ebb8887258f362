// Display entry points that later work fills in; until then they draw nothing.
#include "ui/errors.h"
#include "ui/menu.h"

void InitMenuMirt(Works* works) {}
void LoadButtons(Works* works) {}
