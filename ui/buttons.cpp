// The button bar above the keys. Of the bar, so far only the error tiles are drawn; the key captions,
// the parameter area, the information page and the TX lamp come with the keys and menus.
#include "ui/errors.h"
#include "ui/menu.h"

#include "core/works.h"

void LoadButtons(Works* works) {
  if (works->statusPage == 0) DrawError(works);
}
