#include "cli/demo.h"

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>

#include "cli/input.h"
#include "cli/job.h"
#include "cli/output.h"
#include "cli/pipeline.h"

namespace dunmorel::cli {

namespace {

constexpr int kDemoWidth = 352;
constexpr int kDemoHeight = 288;
constexpr int kDemoFrames = 30;

// splitmix64: a fixed, portable sequence, so the demo clip is the same everywhere.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // Sum of twelve uniform 16-bit values, centred: nearly Gaussian with a standard deviation
    // of 65536, scaled to `sigma` and rounded, in integers only so that no floating-point
    // library can change a sample.
    int gaussian(int sigma) {
        std::int64_t sum = 0;
        for (int i = 0; i < 12; ++i) sum += static_cast<std::int64_t>(next() >> 48);
        const std::int64_t scaled = (2 * sum - 12 * 65535) * sigma;  // twice the centred sum
        return static_cast<int>((scaled >= 0 ? scaled + 65536 : scaled - 65536) / 131072);
    }

private:
    std::uint64_t state_;
};

struct Yuv {
    int y, u, v;
};

// The clean picture at luma position (x, y) of frame t.
Yuv Scene(int x, int y, int t, int width, int height) {
    const int horizon = height * 4 / 9;
    // A chequered panel sliding left across the wall: texture the filter must keep.
    const int panel_x = std::max(8, width - 80 - 4 * t);
    if (x >= panel_x && x < panel_x + 64 && y >= 24 && y < 88)
        return {((x - panel_x) / 8 + (y - 24) / 8) % 2 ? 200 : 40, 128, 128};
    // A disc rolling to the right across the floor.
    const int cx = (48 + 8 * t) % width;
    const int cy = horizon + (height - horizon) / 2;
    const int r = std::min(36, (height - horizon) / 2 - 2);
    if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r) return {210, 90, 160};
    // A flat wall: where the automatic window finds the noise.
    if (y < horizon) return {100, 118, 136};
    // A floor graded in both directions.
    return {50 + x * 140 / (width - 1) + (y - horizon) / 4, 128 + (x - width / 2) / 16, 128 - (y - horizon) / 8};
}

std::uint8_t clamp(int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); }

std::string format_db(double db) {
    if (std::isinf(db)) return "inf";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", db);
    return text;
}

std::vector<std::uint8_t> read_all_frames(const std::string& path) {
    const std::unique_ptr<FrameSource> source = FrameSource::open({path}, {});
    const std::size_t bytes = source->format().frame_bytes;
    const int count = source->format().frame_count.value_or(0);
    std::vector<std::uint8_t> raw(bytes * static_cast<std::size_t>(count));
    for (int n = 0; n < count; ++n) source->read(n, raw.data() + bytes * static_cast<std::size_t>(n));
    return raw;
}

}  // namespace

DemoClip synthesize_demo_clip(int width, int height, int frames, const DemoNoise& noise) {
    if (width < 64 || height < 64 || width % 2 || height % 2 || frames < 1)
        throw CliError("dunmorel: the demo clip needs an even size of at least 64x64 and a frame");
    DemoClip clip;
    clip.width = width;
    clip.height = height;
    clip.frames = frames;
    const std::size_t luma = static_cast<std::size_t>(width) * height;
    const std::size_t chroma = luma / 4;
    clip.frame_bytes = luma + 2 * chroma;
    clip.clean.resize(clip.frame_bytes * frames);
    clip.noisy.resize(clip.frame_bytes * frames);
    Random random(noise.seed);
    for (int t = 0; t < frames; ++t) {
        const std::size_t base = clip.frame_bytes * t;
        std::uint8_t* clean = clip.clean.data() + base;
        std::uint8_t* noisy = clip.noisy.data() + base;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const std::size_t i = static_cast<std::size_t>(y) * width + x;
                clean[i] = clamp(Scene(x, y, t, width, height).y);
                noisy[i] = clamp(clean[i] + random.gaussian(noise.luma_sigma));
            }
        // Chroma samples take the colour at the top-left luma position they cover.
        for (int y = 0; y < height / 2; ++y)
            for (int x = 0; x < width / 2; ++x) {
                const std::size_t i = static_cast<std::size_t>(y) * (width / 2) + x;
                const Yuv c = Scene(2 * x, 2 * y, t, width, height);
                clean[luma + i] = clamp(c.u);
                clean[luma + chroma + i] = clamp(c.v);
                noisy[luma + i] = clamp(c.u + random.gaussian(noise.chroma_sigma));
                noisy[luma + chroma + i] = clamp(c.v + random.gaussian(noise.chroma_sigma));
            }
    }
    return clip;
}

double psnr(const std::uint8_t* a, const std::uint8_t* b, std::size_t size) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const int d = int{a[i]} - int{b[i]};
        sum += static_cast<std::uint64_t>(d * d);
    }
    if (sum == 0 || size == 0) return std::numeric_limits<double>::infinity();
    const double mse = static_cast<double>(sum) / static_cast<double>(size);
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

void write_y4m_file(const std::string& path, const std::string& header_line, const std::vector<std::uint8_t>& raw,
                    std::size_t frame_bytes) {
    const std::unique_ptr<OutputSink> out = OutputSink::open(path);
    try {
        const std::string header = header_line + "\n";
        out->write(header.data(), header.size());
        for (std::size_t at = 0; at + frame_bytes <= raw.size(); at += frame_bytes) {
            out->write("FRAME\n", 6);
            out->write(raw.data() + at, frame_bytes);
        }
        out->finish();
    } catch (...) {
        out->discard();
        throw;
    }
}

int run_demo(const Options& options, std::ostream& out) {
    const DemoNoise noise;
    const DemoClip clip = synthesize_demo_clip(kDemoWidth, kDemoHeight, kDemoFrames, noise);
    const std::string header =
        "YUV4MPEG2 W" + std::to_string(clip.width) + " H" + std::to_string(clip.height) + " F25:1 Ip A1:1 C420jpeg";

    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(options.demo_dir, ec);
    if (ec) throw CliError("dunmorel: cannot make the demo directory " + options.demo_dir + ": " + ec.message());
    const std::string clean_path = (fs::path(options.demo_dir) / "dunmorel-demo-clean.y4m").string();
    const std::string noisy_path = (fs::path(options.demo_dir) / "dunmorel-demo-noisy.y4m").string();
    const std::string denoised_path = (fs::path(options.demo_dir) / "dunmorel-demo-denoised.y4m").string();
    // Links in the directory could make two of the files one, and the job would then read what
    // it writes.
    const std::string paths[] = {clean_path, noisy_path, denoised_path};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < i; ++j)
            if (same_file(key_of(paths[i]), key_of(paths[j])))
                throw CliError("dunmorel: the demo files " + paths[j] + " and " + paths[i] +
                               " are the same file; use another --demo-dir");
    write_y4m_file(clean_path, header, clip.clean, clip.frame_bytes);
    write_y4m_file(noisy_path, header, clip.noisy, clip.frame_bytes);

    // The calibration report: the filter raises it in place of a frame while print is set.
    std::string report;
    {
        std::vector<ScriptArgument> with_print;
        for (const ScriptArgument& a : options.script_arguments)
            if (strcasecmp(a.name.c_str(), "print") != 0) with_print.push_back(a);
        with_print.push_back({"print", true});
        const BoundFilter probe = make_filter(with_print, {PixelFormat::yv12, clip.width, clip.height, clip.frames});
        FramePipeline pipeline(*probe.engine, {Layout::yv12, clip.width, clip.height, [&](int n, std::uint8_t* to) {
                                                   std::memcpy(to, clip.noisy.data() + clip.frame_bytes * n,
                                                               clip.frame_bytes);
                                               }});
        report = pipeline.filter(0).error.value_or("(the filter delivered a frame instead of its report)");
    }

    Options job = options;
    job.demo = false;
    job.input = noisy_path;
    job.output = denoised_path;
    job.header = HeaderMode::always;
    run_job(job);
    const std::vector<std::uint8_t> denoised = read_all_frames(denoised_path);
    if (denoised.size() != clip.clean.size()) throw CliError("dunmorel: the denoised clip has the wrong length");

    const std::size_t luma = static_cast<std::size_t>(clip.width) * clip.height;
    double luma_noisy = 0, luma_denoised = 0;
    {
        // Luma alone, frame by frame summed into one figure.
        std::vector<std::uint8_t> a, b, c;
        for (int t = 0; t < clip.frames; ++t) {
            const std::size_t at = clip.frame_bytes * t;
            a.insert(a.end(), clip.clean.begin() + at, clip.clean.begin() + at + luma);
            b.insert(b.end(), clip.noisy.begin() + at, clip.noisy.begin() + at + luma);
            c.insert(c.end(), denoised.begin() + at, denoised.begin() + at + luma);
        }
        luma_noisy = psnr(a.data(), b.data(), a.size());
        luma_denoised = psnr(a.data(), c.data(), a.size());
    }
    const double all_noisy = psnr(clip.clean.data(), clip.noisy.data(), clip.clean.size());
    const double all_denoised = psnr(clip.clean.data(), denoised.data(), clip.clean.size());

    out << "Dunmorel demo: " << clip.frames << " frames of " << clip.width << "x" << clip.height
        << " YV12, noise of standard deviation " << noise.luma_sigma << " (luma) and " << noise.chroma_sigma
        << " (chroma)\n";
    out << "Calibration: " << report << "\n";
    out << "PSNR against the clean clip, all planes: noisy " << format_db(all_noisy) << " dB, denoised "
        << format_db(all_denoised) << " dB\n";
    out << "PSNR against the clean clip, luma only:  noisy " << format_db(luma_noisy) << " dB, denoised "
        << format_db(luma_denoised) << " dB\n";
    out << "Files:\n  clean:    " << clean_path << "\n  noisy:    " << noisy_path << "\n  denoised: " << denoised_path
        << "\n";
    return 0;
}

}  // namespace dunmorel::cli
