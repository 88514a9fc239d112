#include "cli/report.h"

#include <vector>

namespace dunmorel::cli {

CalibrationReport report_of(const Calibration& calibration, ColorFamily family, int height) {
    CalibrationReport r;
    const WindowRect& w = calibration.window;
    const bool rgb = family == ColorFamily::rgb;
    // An RGB window is held in memory rows, counted from the bottom.
    r.lx = w.first_col;
    r.rx = w.last_col;
    r.ty = rgb ? height - w.last_row - 1 : w.first_row;
    r.by = rgb ? height - w.first_row - 1 : w.last_row;
    for (int p = 0; p < 3; ++p) {
        const std::int32_t passes = calibration.passes[static_cast<std::size_t>(p)];
        r.planes[static_cast<std::size_t>(p)] = {(rgb ? "RGB" : "YUV")[p], passes, calibration.variances[0][p],
                                                 calibration.variances[passes > 0 ? passes - 1 : 0][p]};
    }
    r.text = format_report(calibration, family, height);
    return r;
}

std::string unchanged_notice(const CalibrationReport& report, const std::array<int, 3>& strengths, std::size_t planes) {
    std::vector<std::string> reasons;
    bool flat = false;
    for (std::size_t i = 0; i < planes; ++i) {
        const CalibrationReport::Plane& p = report.planes[i];
        const std::string name = std::string(1, p.label);
        if (p.variance_in == 0) {
            flat = true;
            reasons.push_back(name + " measured variance 0");
        } else if (p.passes == 0) {
            reasons.push_back(name + " got 0 passes (its first trial pass did not lower the variance)");
        } else if (strengths[i] == 0) {
            reasons.push_back(name + " has strength 0");
        }
    }
    if (!flat && reasons.size() < planes) return std::string();
    std::string text = "dunmorel: notice: in the noise window lx=" + std::to_string(report.lx) +
                       " rx=" + std::to_string(report.rx) + " ty=" + std::to_string(report.ty) +
                       " by=" + std::to_string(report.by) + " ";
    for (std::size_t i = 0; i < reasons.size(); ++i) text += (i == 0 ? "" : ", ") + reasons[i];
    text += reasons.size() == 1 ? ", so that plane" : ", so those planes";
    text += " will be left unchanged";
    if (flat) text += " (no noise at all: the window lies on a flat area such as a border or a black bar)";
    text +=
        "; look at the window with print=true or --preview FILE.png, and choose one with "
        "autow=false lx=... rx=... ty=... by=...";
    return text;
}

}  // namespace dunmorel::cli
