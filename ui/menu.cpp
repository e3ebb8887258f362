// The menu model and its parameter screens. The model is still to come: it builds nothing yet.
#include "ui/menu.h"

#include "core/works.h"

void InitMenuMirt(Works* works) {}
