// Lets a test put a filter object into a calibrated state of its choosing, to reach the pass
// loop with pass counts and noise figures that no calibration would give.
#pragma once

#include <array>
#include <cstdint>

#include "avisynth/filter.h"
#include "engine/filter_engine.h"

namespace dunmorel {

struct FilterEngineTestAccess {
    static void calibrate(FilterEngine& f, std::array<std::int32_t, 3> passes, const VarianceTable& table) {
        for (int p = 0; p < 3; ++p) f.pass_count[p] = passes[p];
        f.variance_table = table;
        f.calibrated = true;
    }
};

struct DunmorelFilterTestAccess {
    static void calibrate(DunmorelFilter& f, std::array<std::int32_t, 3> passes, const VarianceTable& table) {
        FilterEngineTestAccess::calibrate(f.engine_, passes, table);
    }
};

}  // namespace dunmorel
