// Display entry points that later work fills in: the menu model, and of the button bar so far only
// the error tiles.
#include "ui/errors.h"
#include "ui/menu.h"

#include "core/works.h"

void InitMenuMirt(Works* works) {}

// The bar itself, the parameter area, the information page and the TX lamp come with the key and
// menu work; the error tiles are already live.
void LoadButtons(Works* works) {
  if (works->statusPage == 0) DrawError(works);
}
