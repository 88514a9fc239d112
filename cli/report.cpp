#include "cli/report.h"

#include <cstdio>
#include <vector>

namespace dunmorel::cli {

std::optional<CalibrationReport> ParseReport(std::string_view text) {
    const std::string line(text);
    CalibrationReport r;
    auto& p = r.planes;
    int end = 0;
    // A blank in the format matches any run of blanks, none included: the RGB report has one
    // before "Variance" and the YUV report none.
    const int got = std::sscanf(line.c_str(),
                                "window lx = %d, rx = %d, ty = %d, by = %d, Variance %c iter %d in %d out %d "
                                "%c iter %d in %d out %d %c iter %d in %d out %d%n",
                                &r.lx, &r.rx, &r.ty, &r.by, &p[0].label, &p[0].passes, &p[0].variance_in,
                                &p[0].variance_out, &p[1].label, &p[1].passes, &p[1].variance_in, &p[1].variance_out,
                                &p[2].label, &p[2].passes, &p[2].variance_in, &p[2].variance_out, &end);
    if (got != 16 || line.find_first_not_of(' ', static_cast<std::size_t>(end)) != std::string::npos)
        return std::nullopt;
    r.text = line;
    return r;
}

std::string UnchangedNotice(const CalibrationReport& report, const std::array<int, 3>& strengths, std::size_t planes) {
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
