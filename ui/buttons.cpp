// The button bar above the keys. Of the bar, so far only the error tiles and the TX lamp are drawn; the key
// captions, the parameter area and the information page come with the keys and menus.
#include "ui/errors.h"
#include "ui/menu.h"
#include "ui/meters.h"

#include "core/works.h"

void LoadButtons(Works* works) {
  if (works->statusPage == 0) DrawError(works);
  ViewStatusTX(works);
}
