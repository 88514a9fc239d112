// The calibration as the command shows it, and what the command tells its user about it before
// filtering.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "engine/filter_engine.h"

namespace dunmorel::cli {

struct CalibrationReport {
    // The noise window, inclusive, in rows counted from the top of the picture.
    int lx = 0, rx = 0, ty = 0, by = 0;
    struct Plane {
        char label = '?';  // Y, U, V or R, G, B
        int passes = 0;
        int variance_in = 0;  // measured in the window
        int variance_out = 0;  // the noise variance of the last pass
    };
    std::array<Plane, 3> planes{};
    std::string text;  // the one-line report, as print=true gives it
};

// The report of a calibration of a clip of this family whose frames have `height` rows.
CalibrationReport report_of(const Calibration& calibration, ColorFamily family, int height);

// One line naming the planes that the filter will leave unchanged and why, with how to choose
// another window; empty unless a plane measured no noise at all or no plane will be filtered.
// `strengths` are ry, gu and bv; only the first `planes` planes are the user's (a grey input's
// chroma is the command's own, flat by design).
std::string unchanged_notice(const CalibrationReport& report, const std::array<int, 3>& strengths,
                             std::size_t planes = 3);

}  // namespace dunmorel::cli
