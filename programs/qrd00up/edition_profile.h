#pragma once
#include "model/edition_profile.h"

namespace towagi {
// The estimation edition (積算『とわぎ』).
const EditionProfile& EstimationEdition();
} // namespace towagi
