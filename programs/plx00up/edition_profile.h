#pragma once
#include "model/edition_profile.h"

namespace towagi {
// The cost edition (原価『とわぎ』q-uil).
const EditionProfile& CostEdition();
} // namespace towagi
