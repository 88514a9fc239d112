// The preview picture of `--preview FILE.png`: frames side by side with the noise window drawn
// on each, and a caption with the calibration report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/layout.h"
#include "cli/report.h"

namespace dunmorel::cli {

struct PreviewPanel {
    std::vector<std::uint8_t> frame;  // one frame in the file's layout
    std::string label;
};

// The window's outline colour, drawn on the window's outermost samples.
inline constexpr std::uint8_t kWindowColour[3] = {255, 0, 255};

// An RGB picture, 3 bytes a pixel, rows top to bottom.
struct RgbPicture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;
};

// The size and layout of the frames a preview shows.
struct PreviewFrames {
    SampleLayout layout;
    int width;
    int height;
};

// One frame for viewing: YUV through the BT.601 limited-range matrix (chroma repeated over the
// samples it covers, neutral for grey), RGB as it is; deeper samples rounded to 8 bits as the
// calibration rounds them.
RgbPicture to_rgb(const PreviewFrames& frames, const std::uint8_t* frame);

// Lays the panels out left to right with the window on each and the caption below. Throws
// CliError when the file cannot be written.
void write_preview(const std::string& path, const PreviewFrames& frames, const CalibrationReport& report,
                   const std::vector<PreviewPanel>& panels);

}  // namespace dunmorel::cli
