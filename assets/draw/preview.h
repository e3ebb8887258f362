// Design aid: lays the program's live drawing (needles, labels, strips, keys) over the screens to judge the artwork.
#pragma once

#include <vector>

#include "screens.h"

namespace artwork {

// One "<name>-preview" image per screen, with sample readings drawn where the program draws them.
std::vector<NamedScreen> DrawPreviews(const std::vector<NamedScreen>& screens, const Fonts& fonts);

}  // namespace artwork
