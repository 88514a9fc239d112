// `dunmorel --demo`: a built-in clip, denoised through the main job.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "cli/options.h"

namespace dunmorel::cli {

// A synthetic YV12 clip in the YV12 file layout (Y, U, V planes per frame): a flat wall with a
// moving chequered panel, a graded floor and a moving disc, plus the same clip with
// deterministic, roughly Gaussian noise (independent per sample and frame) added.
struct DemoClip {
    int width = 0;
    int height = 0;
    int frames = 0;
    std::size_t frame_bytes = 0;
    std::vector<std::uint8_t> clean;
    std::vector<std::uint8_t> noisy;
};

struct DemoNoise {
    int luma_sigma = 12;
    int chroma_sigma = 6;
    std::uint64_t seed = 0x5eed'd00d'2024ULL;
};

// Width and height must be even and at least 64.
DemoClip synthesize_demo_clip(int width, int height, int frames, const DemoNoise& noise = {});

// Peak signal-to-noise ratio in dB of `b` against `a` (8-bit samples, peak 255), over all
// `size` samples; +infinity when they are equal.
double psnr(const std::uint8_t* a, const std::uint8_t* b, std::size_t size);

// Writes the clip as a Y4M file; throws CliError.
void write_y4m_file(const std::string& path, const std::string& header_line, const std::vector<std::uint8_t>& raw,
                    std::size_t frame_bytes);

// Runs the demo: writes dunmorel-demo-clean.y4m, -noisy.y4m and -denoised.y4m into
// options.demo_dir, prints the calibration report and the PSNR figures to `out`, and returns
// the exit status. Throws CliError on failure.
int run_demo(const Options& options, std::ostream& out);

}  // namespace dunmorel::cli
