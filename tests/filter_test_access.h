// Lets a test put a filter object into a calibrated state of its choosing, to reach the pass
// loop with pass counts and noise figures that no calibration would give.
#pragma once

#include <array>
#include <cstdint>

#include "avisynth/filter.h"
#include "engine/filter_engine.h"

namespace dunmorel {

inline void adopt_plan(DunmorelFilter& f, std::array<std::int32_t, 3> passes, const VarianceTable& table) {
    f.engine().adopt(PassPlan{passes, table});
}

}  // namespace dunmorel
