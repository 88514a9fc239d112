// The built `dunmorel` executable, run as a user runs it: through ffmpeg pipelines, over files
// and pipes, split into ranges, and fed damaged input.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <png.h>

#include "cli/demo.h"
#include "cli/input.h"
#include "cli/options.h"
#include "cli/preview.h"
#include "cli_test_support.h"

extern char** environ;

namespace dunmorel::cli {
namespace {

namespace fs = std::filesystem;
using testing::Outcome;
using testing::Quote;
using testing::Shell;
using testing::Slurp;
using testing::Spit;
using testing::Workspace;

const std::string kTool = DUNMOREL_CLI_PATH;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

std::string Tool() { return Quote(kTool); }

bool HaveFfmpeg() { return std::system("command -v ffmpeg >/dev/null 2>&1") == 0; }

// A noisy clip written as Y4M: the demo's scene at a size the default automatic window accepts.
std::string MakeY4m(const Workspace& ws, const std::string& name, int width, int height, int frames) {
    const DemoClip clip = synthesize_demo_clip(width, height, frames);
    const std::string path = ws.File(name);
    write_y4m_file(path,
                   "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) + " F30000:1001 Ip C420jpeg",
                   clip.noisy, clip.frame_bytes);
    return path;
}

// Every frame of a file in the file's layout, with its format.
struct Clip {
    InputFormat format;
    std::string frames;
};

Clip Load(const std::string& path, const InputRequest& raw = {}) {
    InputRequest request = raw;
    request.path = path;
    const auto source = FrameSource::open(request, {});
    Clip c{source->format(), {}};
    const int count = c.format.frame_count.value_or(0);
    c.frames.resize(c.format.frame_bytes * static_cast<std::size_t>(count));
    for (int n = 0; n < count; ++n)
        source->read(
            n, reinterpret_cast<std::uint8_t*>(c.frames.data()) + c.format.frame_bytes * static_cast<std::size_t>(n));
    return c;
}

double PsnrOf(const std::string& a, const std::string& b, int bits = 8) {
    if (bits == 8)
        return psnr(reinterpret_cast<const std::uint8_t*>(a.data()), reinterpret_cast<const std::uint8_t*>(b.data()),
                    std::min(a.size(), b.size()));
    // Little-endian words against the depth's peak.
    const auto word = [](const std::string& s, std::size_t i) {
        return static_cast<unsigned char>(s[i]) | static_cast<unsigned char>(s[i + 1]) << 8;
    };
    double squares = 0;
    const std::size_t n = std::min(a.size(), b.size()) / 2;
    for (std::size_t i = 0; i < n; ++i) squares += std::pow(word(a, 2 * i) - word(b, 2 * i), 2);
    const double peak = (1 << bits) - 1;
    return 10 * std::log10(peak * peak * static_cast<double>(n) / squares);
}

// --- ffmpeg pipelines ---------------------------------------------------------------------

struct PipeFormat {
    const char* name;
    const char* ffmpeg_format;  // what ffmpeg writes: yuv4mpegpipe or rawvideo
    const char* pix_fmt;
    const char* tool_options;  // how the tool is told the raw layout
    int bytes_per_frame;  // 320x240
    int bits = 8;
};

class FfmpegPipeline : public ::testing::TestWithParam<PipeFormat> {};

TEST_P(FfmpegPipeline, RoundTripKeepsCountSizeAndRateAndLowersTheNoise) {
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not on PATH";
    const PipeFormat& f = GetParam();
    const Workspace ws;
    const std::string source = "ffmpeg -v error -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 6 ";
    // ffmpeg writes deep Y4M only when told that tags beyond the 8-bit ones will do.
    const std::string as_format = std::string(" -f ") + f.ffmpeg_format + " -pix_fmt " + f.pix_fmt + " -strict -1 ";
    const std::string noise = " -vf noise=alls=20:allf=t ";
    const bool y4m = std::string(f.ffmpeg_format) == "yuv4mpegpipe";
    // ffmpeg needs to be told what raw video it reads back.
    const std::string read_back =
        y4m ? "" : std::string(" -f rawvideo -pix_fmt ") + f.pix_fmt + " -video_size 320x240 -framerate 25 ";

    ASSERT_EQ(Shell(ws, source + as_format + ws.File("clean")).status, 0);
    const Outcome o =
        Shell(ws, source + noise + as_format + "- | tee " + ws.File("noisy") + " | " + Tool() + " -i - -o - " +
                      f.tool_options + " | tee " + ws.File("denoised") + " | ffmpeg -v error " + read_back +
                      "-i - -f yuv4mpegpipe -pix_fmt yuv420p " + ws.File("final.y4m"));
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");

    const Clip final = Load(ws.File("final.y4m"));
    EXPECT_EQ(final.format.frame_count, 6);
    EXPECT_EQ(final.format.size, (PictureSize{320, 240}));
    EXPECT_EQ(final.format.fps, (FrameRate{25, 1}));

    // The tool's own output: the input's layout and length exactly, nothing else on the stream.
    const std::string noisy = Slurp(ws.File("noisy"));
    const std::string denoised = Slurp(ws.File("denoised"));
    ASSERT_EQ(denoised.size(), noisy.size());
    std::string clean = Slurp(ws.File("clean"));
    std::string noisy_frames = noisy;
    std::string denoised_frames = denoised;
    if (y4m) {
        EXPECT_EQ(denoised.substr(0, denoised.find('\n')), noisy.substr(0, noisy.find('\n')));
        clean = Load(ws.File("clean")).frames;
        noisy_frames = Load(ws.File("noisy")).frames;
        denoised_frames = Load(ws.File("denoised")).frames;
    } else {
        EXPECT_EQ(denoised.size(), 6u * f.bytes_per_frame);
    }
    // A layout fault (planes swapped, RGB rows flipped) would push the result far from the
    // clean picture instead of closer to it.
    const double before = PsnrOf(clean, noisy_frames, f.bits);
    const double after = PsnrOf(clean, denoised_frames, f.bits);
    EXPECT_GT(after, before + 1.0) << "noisy " << before << " dB, denoised " << after << " dB";
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FfmpegPipeline,
    ::testing::Values(
        PipeFormat{"Y4M", "yuv4mpegpipe", "yuv420p", "", 0},
        PipeFormat{"RGB24", "rawvideo", "bgr24", "--format rgb24 --size 320x240", 320 * 240 * 3},
        PipeFormat{"RGB32", "rawvideo", "bgra", "--format rgb32 --size 320x240", 320 * 240 * 4},
        PipeFormat{"YUY2", "rawvideo", "yuyv422", "--format yuy2 --size 320x240", 320 * 240 * 2},
        PipeFormat{"Y4M422", "yuv4mpegpipe", "yuv422p", "", 0}, PipeFormat{"Y4Mmono", "yuv4mpegpipe", "gray", "", 0},
        PipeFormat{"Yuv422p", "rawvideo", "yuv422p", "--format yuv422p --size 320x240", 320 * 240 * 2},
        PipeFormat{"Gray", "rawvideo", "gray", "--format gray --size 320x240", 320 * 240},
        PipeFormat{"Y4M444", "yuv4mpegpipe", "yuv444p", "", 0}, PipeFormat{"Y4M411", "yuv4mpegpipe", "yuv411p", "", 0},
        PipeFormat{"Yuv444p", "rawvideo", "yuv444p", "--format yuv444p --size 320x240", 320 * 240 * 3},
        PipeFormat{"Yuv440p", "rawvideo", "yuv440p", "--format yuv440p --size 320x240", 320 * 240 * 2},
        PipeFormat{"Yuv411p", "rawvideo", "yuv411p", "--format yuv411p --size 320x240", 320 * 240 * 3 / 2},
        PipeFormat{"Yuv410p", "rawvideo", "yuv410p", "--format yuv410p --size 320x240", 320 * 240 * 9 / 8},
        PipeFormat{"Gbrp", "rawvideo", "gbrp", "--format gbrp --size 320x240", 320 * 240 * 3},
        PipeFormat{"Y4M420p10", "yuv4mpegpipe", "yuv420p10le", "", 0, 10},
        PipeFormat{"Y4M420p12", "yuv4mpegpipe", "yuv420p12le", "", 0, 12},
        PipeFormat{"Y4M420p16", "yuv4mpegpipe", "yuv420p16le", "", 0, 16},
        PipeFormat{"Y4M422p10", "yuv4mpegpipe", "yuv422p10le", "", 0, 10},
        PipeFormat{"Y4M444p16", "yuv4mpegpipe", "yuv444p16le", "", 0, 16},
        PipeFormat{"Y4Mmono10", "yuv4mpegpipe", "gray10le", "", 0, 10},
        PipeFormat{"Yuv420p10le", "rawvideo", "yuv420p10le", "--format yuv420p10le --size 320x240", 320 * 240 * 3, 10},
        PipeFormat{"Yuv440p12le", "rawvideo", "yuv440p12le", "--format yuv440p12le --size 320x240", 320 * 240 * 4, 12},
        PipeFormat{"Gray16le", "rawvideo", "gray16le", "--format gray16le --size 320x240", 320 * 240 * 2, 16},
        PipeFormat{"Gbrp9le", "rawvideo", "gbrp9le", "--format gbrp9le --size 320x240", 320 * 240 * 6, 9}),
    [](const auto& info) { return std::string(info.param.name); });

// Planar 4:2:2 is filtered as YUY2, planar RGB as packed RGB and grey as YV12 with neutral
// chroma: the layout must not change the filter's result. ffmpeg repacks 4:2:2 and RGB on its
// own; grey is padded here.
TEST(RepackedLayouts, GiveTheResultOfTheFormatTheFilterSees) {
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not on PATH";
    const Workspace ws;
    const std::string noisy =
        "ffmpeg -v error -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 3 -vf noise=alls=20:allf=t ";
    const std::string to_yuyv = " -f rawvideo -pix_fmt yuyv422 ";
    ASSERT_EQ(Shell(ws, noisy + "-f yuv4mpegpipe -pix_fmt yuv422p " + ws.File("in422.y4m")).status, 0);
    ASSERT_EQ(Shell(ws, "ffmpeg -v error -i " + ws.File("in422.y4m") + to_yuyv + ws.File("in.yuy2")).status, 0);
    const std::string run = Tool() + " -q --threads 2 ";
    ASSERT_EQ(Shell(ws, run + "-i " + ws.File("in422.y4m") + " -o " + ws.File("out422.y4m")).status, 0);
    ASSERT_EQ(
        Shell(ws, run + "-i " + ws.File("in.yuy2") + " --format yuy2 --size 320x240 -o " + ws.File("out.yuy2")).status,
        0);
    EXPECT_EQ(Slurp(ws.File("out422.y4m")).substr(0, 40), Slurp(ws.File("in422.y4m")).substr(0, 40));
    ASSERT_EQ(Shell(ws, "ffmpeg -v error -i " + ws.File("out422.y4m") + to_yuyv + ws.File("back.yuy2")).status, 0);
    const std::string yuy2 = Slurp(ws.File("out.yuy2"));
    EXPECT_EQ(yuy2.size(), 3u * 320 * 240 * 2);
    EXPECT_NE(yuy2, Slurp(ws.File("in.yuy2")));
    EXPECT_TRUE(Slurp(ws.File("back.yuy2")) == yuy2);

    // Planar RGB is filtered as the same picture in packed RGB: ffmpeg's lossless repacking of
    // one output gives the other.
    ASSERT_EQ(Shell(ws, noisy + "-f rawvideo -pix_fmt bgr24 " + ws.File("in.bgr")).status, 0);
    const std::string from_bgr = " -f rawvideo -pix_fmt bgr24 -video_size 320x240 -i ";
    ASSERT_EQ(
        Shell(ws, "ffmpeg -v error" + from_bgr + ws.File("in.bgr") + " -f rawvideo -pix_fmt gbrp " + ws.File("in.gbrp"))
            .status,
        0);
    // Strengths that differ per plane tell the planes apart.
    const Outcome bgr = Shell(ws, run + "-i " + ws.File("in.bgr") + " --format rgb24 --size 320x240 -o - ry=3 bv=0");
    ASSERT_EQ(Shell(ws, run + "-i " + ws.File("in.gbrp") + " --format gbrp --size 320x240 -o " + ws.File("out.gbrp") +
                            " ry=3 bv=0")
                  .status,
              0);
    const Outcome back = Shell(ws, "ffmpeg -v error -f rawvideo -pix_fmt gbrp -video_size 320x240 -i " +
                                       ws.File("out.gbrp") + " -f rawvideo -pix_fmt bgr24 -");
    ASSERT_EQ(bgr.status + back.status, 0) << bgr.err << back.err;
    EXPECT_NE(bgr.out, Slurp(ws.File("in.bgr")));
    EXPECT_TRUE(back.out == bgr.out);

    ASSERT_EQ(Shell(ws, noisy + "-f rawvideo -pix_fmt gray " + ws.File("in.gray")).status, 0);
    const std::string grey = Slurp(ws.File("in.gray"));
    const std::size_t luma = 320 * 240;
    std::string yv12;
    for (std::size_t at = 0; at < grey.size(); at += luma)
        yv12 += grey.substr(at, luma) + std::string(luma / 2, '\x80');
    Spit(ws.File("in.yv12"), yv12);
    const Outcome g = Shell(ws, run + "-i " + ws.File("in.gray") + " --format gray --size 320x240 -o -");
    const Outcome y = Shell(ws, run + "-i " + ws.File("in.yv12") + " --format yv12 --size 320x240 -o -");
    ASSERT_EQ(g.status + y.status, 0) << g.err << y.err;
    ASSERT_EQ(g.out.size(), grey.size());
    EXPECT_NE(g.out, grey);
    for (std::size_t k = 0; k < 3; ++k)
        EXPECT_TRUE(g.out.substr(k * luma, luma) == y.out.substr(k * luma * 3 / 2, luma)) << "frame " << k;
}

// --- ranges and threads -------------------------------------------------------------------

TEST(Ranges, PiecesConcatenateToTheWholeClipAndThreadsDoNotMatter) {
    const Workspace ws;
    const std::string in = MakeY4m(ws, "in.y4m", 256, 256, 8);
    // The reference frame lies inside the middle piece, so the outer pieces calibrate on a
    // frame they do not output.
    const std::string args = " -q nf=4 ";
    ASSERT_EQ(Shell(ws, Tool() + " -i " + in + " -o " + ws.File("whole") + args + "--threads 2").status, 0);
    const std::string whole = Slurp(ws.File("whole"));
    const std::string input = Slurp(in);
    ASSERT_EQ(whole.size(), input.size());
    EXPECT_NE(whole, input);

    const Outcome one = Shell(ws, Tool() + " -i " + in + " -o -" + args + "--threads 1");
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.out, whole);

    // From a file, from a pipe, and from standard input redirected from the file.
    const Outcome a = Shell(ws, Tool() + " -i " + in + " -o -" + args + "--range 0:2");
    const Outcome b =
        Shell(ws, "{ cat " + in + " || true; } | " + Tool() + " -i - -o -" + args + "--range 3:5 --threads 3");
    const Outcome c = Shell(ws, Tool() + " -i - -o -" + args + "--range 6:99 < " + in);
    ASSERT_EQ(a.status + b.status + c.status, 0) << a.err << b.err << c.err;
    EXPECT_EQ(a.out.rfind("YUV4MPEG2 ", 0), 0u);
    EXPECT_EQ(b.out.rfind("FRAME\n", 0), 0u);
    EXPECT_EQ(a.out + b.out + c.out, whole);

    // --frames counts from the range's start; --header gives a later piece a header of its own.
    const std::size_t header = whole.find('\n') + 1;
    const std::size_t frame = (whole.size() - header) / 8;
    const Outcome d = Shell(ws, Tool() + " -i " + in + " -o -" + args + "--range 3: --frames 2 --header");
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(d.out, whole.substr(0, header) + whole.substr(header + 3 * frame, 2 * frame));
    const Outcome e = Shell(ws, Tool() + " -i " + in + " -o -" + args + "--frames 1 --no-header");
    EXPECT_EQ(e.out, whole.substr(header, frame));
}

TEST(Ranges, RawPipeWithAFarReferenceFrame) {
    // The reference frame lies past the in-flight window, so the frames before it wait in the
    // temporary file; the result must not change.
    const Workspace ws;
    const DemoClip clip = synthesize_demo_clip(256, 256, 12);
    Spit(ws.File("in.yuv"), std::string(clip.noisy.begin(), clip.noisy.end()));
    const std::string raw = " --format i420 --size 256x256 -q nf=10 --threads 1 ";
    const Outcome file = Shell(ws, Tool() + " -i " + ws.File("in.yuv") + " -o -" + raw);
    const Outcome pipe = Shell(ws, "cat " + ws.File("in.yuv") + " | " + Tool() + " -i - -o -" + raw);
    ASSERT_EQ(file.status, 0) << file.err;
    ASSERT_EQ(pipe.status, 0) << pipe.err;
    EXPECT_EQ(file.out.size(), clip.noisy.size());
    EXPECT_EQ(pipe.out, file.out);
}

// With print set every request calibrates again from the pass counts the previous one left,
// so the report is that of the first request: it must be the first frame's whatever the
// workers do. 720x576 is where two workers raced for it.
class PrintedReport : public ::testing::TestWithParam<std::pair<const char*, int>> {};

TEST_P(PrintedReport, IsTheOneThreadReportAtAnyThreadCount) {
    const auto [format, bytes_per_pixel] = GetParam();
    const Workspace ws;
    const std::size_t frame = std::size_t{720} * 576 * bytes_per_pixel / 2;
    std::string clip(4 * frame, '\0');
    unsigned state = 7;
    for (char& c : clip) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(70 + static_cast<int>((state >> 16) % 60));
    }
    Spit(ws.File("in"), clip);
    const std::string base = Tool() + " -i " + ws.File("in") + " -o " + ws.File("out") + " --format " + format +
                             " --size 720x576 print=true --threads ";
    const Outcome one = Shell(ws, base + "1");
    ASSERT_EQ(one.status, 1);
    ASSERT_EQ(one.err.rfind("window lx = ", 0), 0u) << one.err;
    for (const char* threads : {"1", "2", "4"})
        for (int run = 0; run < 20; ++run) {
            const Outcome o = Shell(ws, base + threads);
            ASSERT_EQ(o.status, 1) << threads << " threads, run " << run;
            ASSERT_EQ(o.err, one.err) << threads << " threads, run " << run;
        }
}

INSTANTIATE_TEST_SUITE_P(Formats, PrintedReport,
                         ::testing::Values(std::pair{"yuy2", 4}, std::pair{"rgb24", 6}, std::pair{"yv12", 3}),
                         [](const auto& info) { return std::string(info.param.first); });

// A clip whose deep samples are 8-bit ones shifted up is calibrated as the 8-bit clip, whatever
// the layout: the report is the 8-bit run's.
struct DeepRun {
    const char* eight;  // the 8-bit --format
    const char* deep;  // the same layout deeper
    int bits;
    int bytes_per_pixel_times_2;  // at 8 bits
};

class DeepReport : public ::testing::TestWithParam<DeepRun> {};

TEST_P(DeepReport, IsTheEightBitReport) {
    const DeepRun& d = GetParam();
    const Workspace ws;
    std::string eight(std::size_t{320} * 240 * d.bytes_per_pixel_times_2 / 2, '\0');
    std::string deep;
    unsigned state = 11;
    for (char& c : eight) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(70 + static_cast<int>((state >> 16) % 90));
        const unsigned s = static_cast<unsigned>(static_cast<unsigned char>(c)) << (d.bits - 8);
        deep += {static_cast<char>(s & 0xff), static_cast<char>(s >> 8)};
    }
    Spit(ws.File("in8"), eight);
    Spit(ws.File("in16"), deep);
    const auto report = [&](const char* in, const char* format) {
        return Shell(ws, Tool() + " -i " + ws.File(in) + " -o " + ws.File("out") + " --format " + format +
                             " --size 320x240 print=true")
            .err;
    };
    const std::string expected = report("in8", d.eight);
    ASSERT_EQ(expected.rfind("window lx = ", 0), 0u) << expected;
    EXPECT_EQ(report("in16", d.deep), expected);
}

INSTANTIATE_TEST_SUITE_P(Layouts, DeepReport,
                         ::testing::Values(DeepRun{"yuv420p", "yuv420p10le", 10, 3},
                                           DeepRun{"yuv444p", "yuv444p16le", 16, 6}, DeepRun{"gray", "gray12le", 12, 2},
                                           DeepRun{"gbrp", "gbrp9le", 9, 6}),
                         [](const auto& info) { return std::string(info.param.deep); });

// --- what the user is shown of the calibration --------------------------------------------

TEST(Notice, NamesTheFlatPlanesAndLeavesTheOutputAlone) {
    const Workspace ws;
    // Flat luma and noisy chroma: the automatic window finds no noise in Y.
    const DemoClip clip = synthesize_demo_clip(256, 256, 2);
    std::string frames(clip.noisy.begin(), clip.noisy.end());
    for (std::size_t k = 0; k < 2; ++k) frames.replace(k * clip.frame_bytes, 256 * 256, 256 * 256, '\x50');
    Spit(ws.File("in.yuv"), frames);
    const std::string run = Tool() + " -i " + ws.File("in.yuv") + " --format i420 --size 256x256 -o - ";
    const Outcome o = Shell(ws, run);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err.rfind("dunmorel: notice: in the noise window lx=", 0), 0u) << o.err;
    EXPECT_NE(o.err.find(" Y measured variance 0, so that plane will be left unchanged"), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << o.err;
    const Outcome quiet = Shell(ws, run + "-q");
    EXPECT_EQ(quiet.err, "");
    EXPECT_EQ(quiet.out, o.out);
    EXPECT_EQ(o.out.substr(0, 256 * 256), frames.substr(0, 256 * 256));
    EXPECT_NE(o.out, frames);
    // No plane left to filter: the output is the input.
    const Outcome off = Shell(ws, run + "gu=0 bv=0");
    EXPECT_NE(off.err.find("Y measured variance 0, U has strength 0, V has strength 0, so those planes"),
              std::string::npos)
        << off.err;
    EXPECT_TRUE(off.out == frames);
}

struct Png {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;
    bool Marked(int x, int y) const {
        const std::uint8_t* p = rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3;
        return p[0] == kWindowColour[0] && p[1] == kWindowColour[1] && p[2] == kWindowColour[2];
    }
};

Png ReadPng(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    Png png;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return png;
    image.format = PNG_FORMAT_RGB;
    png.rgb.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, png.rgb.data(), 0, nullptr)) {
        png.width = static_cast<int>(image.width);
        png.height = static_cast<int>(image.height);
    }
    return png;
}

struct PreviewCase {
    const char* name;
    const char* options;  // after -i FILE
    int width, height, panels;
};

class Preview : public ::testing::TestWithParam<PreviewCase> {};

// The window a report line names, in rows from the top of the picture.
struct Window {
    int lx, rx, ty, by;
};
std::optional<Window> WindowOf(const std::string& report) {
    Window w{};
    if (std::sscanf(report.c_str(), "window lx = %d, rx = %d, ty = %d, by = %d,", &w.lx, &w.rx, &w.ty, &w.by) != 4)
        return std::nullopt;
    return w;
}

// The outline is exactly the window that the report names, on every panel: its corners and
// edges marked, the samples just inside and outside not.
TEST_P(Preview, OutlinesTheReportedWindowOnEveryPanel) {
    const PreviewCase& c = GetParam();
    const Workspace ws;
    const std::string in = MakeY4m(ws, "in.y4m", c.width, c.height, 2);
    std::string input = in;
    if (std::string(c.options).find("--format") != std::string::npos) {
        if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not on PATH";
        ASSERT_EQ(Shell(ws, "ffmpeg -v error -i " + in + " -f rawvideo -pix_fmt bgr24 " + ws.File("in.bgr")).status, 0);
        input = ws.File("in.bgr");
    }
    const std::string args = " -i " + input + " " + c.options + " nf=1";
    const bool print = std::string(c.options).find("print") != std::string::npos;
    const Outcome report = Shell(ws, Tool() + args + " -o " + ws.File("o") + (print ? "" : " print=true"));
    const std::optional<Window> r = WindowOf(report.err);
    ASSERT_TRUE(r) << report.err;
    const Outcome o = Shell(ws, Tool() + args + " --preview " + ws.File("p.png"));
    ASSERT_EQ(o.status, print ? 1 : 0) << o.err;
    const Png png = ReadPng(ws.File("p.png"));
    ASSERT_EQ(png.width, c.panels * c.width + (c.panels - 1) * 8);
    ASSERT_GT(png.height, c.height);
    for (int panel = 0; panel < c.panels; ++panel) {
        const int left = panel * (c.width + 8);
        for (int x = r->lx; x <= r->rx; ++x)
            for (int y = r->ty; y <= r->by; ++y) {
                const bool edge = x == r->lx || x == r->rx || y == r->ty || y == r->by;
                ASSERT_EQ(png.Marked(left + x, y), edge) << "panel " << panel << " at " << x << "," << y;
            }
        for (int x = r->lx - 1; x <= r->rx + 1; x += r->rx - r->lx + 2)
            EXPECT_FALSE(png.Marked(left + x, (r->ty + r->by) / 2)) << x;
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, Preview,
                         ::testing::Values(PreviewCase{"Yv12", "", 352, 288, 2},
                                           PreviewCase{"Bgr24", "--format bgr24 --size 256x256", 256, 256, 2},
                                           PreviewCase{"Print", "print=true", 256, 256, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- RGB orientation ----------------------------------------------------------------------

class RgbWindow : public ::testing::TestWithParam<std::pair<const char*, int>> {};

// ty and by count from the picture's top although RGB frames are stored bottom-up: a window
// on the flat top half measures no noise, one on the noisy bottom half does.
TEST_P(RgbWindow, RowsCountFromTheTopOfThePicture) {
    const auto [format, bpp] = GetParam();
    const Workspace ws;
    const int w = 200, h = 120;
    std::string frame(static_cast<std::size_t>(w * h * bpp), '\0');
    unsigned state = 1;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w * bpp; ++x) {
            state = state * 1103515245u + 12345u;
            frame[static_cast<std::size_t>(y * w * bpp + x)] =
                static_cast<char>(y < h / 2 ? 90 : 60 + static_cast<int>((state >> 16) % 80));
        }
    Spit(ws.File("in.rgb"), frame + frame);
    const std::string base = Tool() + " -i " + ws.File("in.rgb") + " -o " + ws.File("out") + " --format " + format +
                             " --size 200x120 print=true autow=false lx=10 rx=150 ";
    auto window_variances = [&](const std::string& rows) {
        const Outcome o = Shell(ws, base + rows);
        EXPECT_EQ(o.status, 1);
        // The "in" figure of each plane: the window's measured variance.
        std::vector<int> values;
        for (std::size_t at = o.err.find(" in "); at != std::string::npos; at = o.err.find(" in ", at + 1))
            values.push_back(std::atoi(o.err.c_str() + at + 4));
        EXPECT_EQ(values.size(), 3u) << o.err;
        return std::make_pair(o.err, values);
    };
    const auto [top_text, top] = window_variances("ty=5 by=50");
    EXPECT_EQ(top_text.rfind("window lx = 10, rx = 150, ty = 5, by = 50, Variance R  iter ", 0), 0u) << top_text;
    EXPECT_EQ(top, (std::vector<int>{0, 0, 0}));
    const auto [bottom_text, bottom] = window_variances("ty=65 by=110");
    for (int v : bottom) EXPECT_GT(v, 100) << bottom_text;
}

INSTANTIATE_TEST_SUITE_P(Formats, RgbWindow, ::testing::Values(std::pair{"rgb24", 3}, std::pair{"rgb32", 4}),
                         [](const auto& info) { return std::string(info.param.first); });

// --- failures -----------------------------------------------------------------------------

struct Hostile {
    const char* name;
    // Prepares the workspace; returns the arguments after the tool's name.
    std::string (*setup)(const Workspace&);
    // The whole message, or its start when it ends in '*'.
    const char* message;
    // Shell words before the tool's name, such as a resource limit.
    const char* prefix = "";
};

std::string Y4mFrames(int frames) {
    const DemoClip clip = synthesize_demo_clip(256, 256, frames);
    std::string s = "YUV4MPEG2 W256 H256 F25:1 C420\n";
    for (int k = 0; k < frames; ++k)
        s += "FRAME\n" +
             std::string(clip.noisy.begin() + clip.frame_bytes * k, clip.noisy.begin() + clip.frame_bytes * (k + 1));
    return s;
}

std::string In(const Workspace& ws, const std::string& bytes) {
    Spit(ws.File("in"), bytes);
    return ws.File("in");
}

std::string Out(const Workspace& ws) { return " -o " + ws.File("out"); }

const Hostile kHostile[] = {
    {"TruncatedY4mFile",
     [](const Workspace& ws) {
         const std::string s = Y4mFrames(3);
         return "-i " + In(ws, s.substr(0, s.size() - 7)) + Out(ws);
     },
     "dunmorel: *: frame 2 is truncated (98297 of 98304 bytes)"},
    {"TruncatedY4mPipe",
     [](const Workspace& ws) {
         const std::string s = Y4mFrames(3);
         return "-i - < <(cat " + In(ws, s.substr(0, s.size() - 7)) + ")" + Out(ws);
     },
     "dunmorel: standard input: frame 2 is truncated (98297 of 98304 bytes)"},
    {"TruncatedRawFile",
     [](const Workspace& ws) {
         return "-i " + In(ws, std::string(98304 * 2 + 5, 'a')) + " --format yv12 --size 256x256" + Out(ws);
     },
     "dunmorel: *: its size, 196613 bytes, is not a whole number of 98304-byte frames (5 bytes left over)"},
    {"TruncatedRawPipe",
     [](const Workspace& ws) {
         return "-q -i - --format yv12 --size 256x256 < <(cat " + In(ws, std::string(98304 * 2 + 5, 'a')) + ")" +
                Out(ws);
     },
     "dunmorel: standard input: frame 2 is truncated (5 of 98304 bytes)"},
    {"Y4mWithoutWidth",
     [](const Workspace& ws) {
         return "-i " + In(ws, "YUV4MPEG2 H256 F25:1 C420\nFRAME\n" + std::string(98304, 'a')) + Out(ws);
     },
     "dunmorel: *: Y4M header has no frame width (W)"},
    {"Y4mWithoutHeight",
     [](const Workspace& ws) { return "-i - < <(printf 'YUV4MPEG2 W256 F25:1\\nFRAME\\n')" + Out(ws); },
     "dunmorel: standard input: Y4M header has no frame height (H)"},
    {"Y4mSampleAboveTenBits",
     [](const Workspace& ws) {
         return "-i " + In(ws, "YUV4MPEG2 W256 H256 F25:1 C444p10\nFRAME\n" + std::string(6 * 65536, 'a')) + Out(ws);
     },
     "dunmorel: *: frame 0 holds a sample of 24929, more than 10 bits hold (at most 1023)"},
    {"Y4mLastSampleAboveTenBits",
     [](const Workspace& ws) {
         // 258 x 258 + 2 x 129 x 129 = 99846 words: the last one lies past the frame's whole
         // eight-byte groups.
         std::string frame(2 * 99846, '\0');
         frame[2 * 99845] = '\x01';
         frame[2 * 99845 + 1] = '\x04';
         return "-i " + In(ws, "YUV4MPEG2 W258 H258 F25:1 C420p10\nFRAME\n" + frame) + Out(ws);
     },
     "dunmorel: *: frame 0 holds a sample of 1025, more than 10 bits hold (at most 1023)"},
    {"Y4mPipeSampleAboveTwelveBitsLater",
     [](const Workspace& ws) {
         // Frames 0 and 1 are good and already written when frame 2 turns out bad.
         std::string s = "YUV4MPEG2 W256 H256 F25:1 C420p12\n";
         for (int k = 0; k < 3; ++k) s += "FRAME\n" + std::string(256 * 256 * 3, k == 2 ? '\x10' : '\x0f');
         return "-q -i - < <(cat " + In(ws, s) + ")" + Out(ws);
     },
     "dunmorel: standard input: frame 2 holds a sample of 4112, more than 12 bits hold (at most 4095)"},
    {"Y4mDeepTagOutOfRange",
     [](const Workspace& ws) {
         return "-i " + In(ws, "YUV4MPEG2 W256 H256 F25:1 C444p17\nFRAME\n" + std::string(6 * 65536, 'a')) + Out(ws);
     },
     "dunmorel: *: Y4M colour space C444p17 is not supported (*); ffmpeg converts with -pix_fmt yuv444p"},
    {"BadFrameHeader",
     [](const Workspace& ws) {
         return "-i " + In(ws, "YUV4MPEG2 W256 H256\nFRAMEX\n" + std::string(98304, 'a')) + Out(ws);
     },
     "dunmorel: *: frame 0: bad Y4M frame header (expected FRAME)"},
    {"ZeroSizeFile", [](const Workspace& ws) { return "-i " + In(ws, "") + Out(ws); }, "dunmorel: *: input is empty"},
    {"ZeroSizePipe", [](const Workspace& ws) { return "-i - < <(true)" + Out(ws); },
     "dunmorel: standard input: input is empty"},
    {"HeaderOnly", [](const Workspace& ws) { return "-i " + In(ws, "YUV4MPEG2 W256 H256\n") + Out(ws); },
     "dunmorel: *: the input holds no frames"},
    {"MissingFile", [](const Workspace& ws) { return "-i " + ws.File("nothing") + Out(ws); },
     "dunmorel: cannot open input *"},
    {"RawWithoutFormat", [](const Workspace& ws) { return "-i " + In(ws, std::string(1000, 'x')) + Out(ws); },
     "dunmorel: *: raw input needs --format and --size (it does not start with a YUV4MPEG2 header)"},
    {"OddYv12",
     [](const Workspace& ws) {
         return "-i " + In(ws, std::string(1000, 'x')) + " --format yv12 --size 255x256" + Out(ws);
     },
     "dunmorel: *: YV12 needs an even width*"},
    {"Raw444BigEndian",
     [](const Workspace& ws) {
         return "-i " + In(ws, std::string(1000, 'x')) + " --format yuv444p10be --size 16x16" + Out(ws);
     },
     "dunmorel: unknown --format 'yuv444p10be' (use *; ffmpeg converts with -pix_fmt yuv444p)"},
    {"RawSixteenBitOddSize",
     [](const Workspace& ws) {
         return "-i " + In(ws, std::string(2 * 1536 + 1, 'x')) + " --format yuv444p16le --size 16x16" + Out(ws);
     },
     "dunmorel: *: its size, 3073 bytes, is odd, but every sample of 16-bit video takes two bytes"},
    {"OddGrey", [](const Workspace& ws) { return "-i " + In(ws, "YUV4MPEG2 W255 H256 Cmono\n") + Out(ws); },
     "dunmorel: *: grey is filtered as YV12: YV12 needs an even width, got 255"},
    {"UnknownName", [](const Workspace& ws) { return "-i " + In(ws, Y4mFrames(1)) + Out(ws) + " foo=1"; },
     "Dunmorel: unknown argument name \"foo\""},
    {"NotANumber", [](const Workspace& ws) { return "-i " + In(ws, Y4mFrames(1)) + Out(ws) + " xgrid=abc"; },
     "dunmorel: 'xgrid=abc': the value of xgrid must be an integer or true/false"},
    {"WrongType", [](const Workspace& ws) { return "-i " + In(ws, Y4mFrames(1)) + Out(ws) + " print=1"; },
     "Dunmorel: *print*"},
    {"FilterRejectsGrid", [](const Workspace& ws) { return "-i " + In(ws, Y4mFrames(1)) + Out(ws) + " xgrid=4"; },
     "Dunmorel:xgrid should be odd positive number from 3 to 11"},
    {"FilterRejectsSmallFrame",
     [](const Workspace& ws) {
         // Quiet: the hint beside the message is in the table below.
         return "-q -i " + In(ws, std::string(320 * 200 * 2, 'x')) + " --format yuy2 --size 320x200" + Out(ws);
     },
     "Dunmorel:A very small frame dimension. Unsuitable for this process"},
    {"WindowOutside411Chroma",
     [](const Workspace& ws) {
         return "-i " + In(ws, std::string(64 * 64 * 3 / 2, 'x')) + " --format yuv411p --size 64x64" + Out(ws) +
                " autow=false lx=5 rx=45 ty=5 by=58";
     },
     "Dunmorel: plane 1 of a 4:1:1 clip cannot hold the noise window and its margins: it needs columns -1 to 13 of 0 "
     "to 15"},
    {"Odd411Width",
     [](const Workspace& ws) {
         return "-i " + In(ws, std::string(1000, 'x')) + " --format yuv411p --size 66x64" + Out(ws);
     },
     "dunmorel: *: 4:1:1 needs a width divisible by 4, got 66"},
    {"Report", [](const Workspace& ws) { return "-i " + In(ws, Y4mFrames(2)) + Out(ws) + " print=true"; },
     "window lx = *"},
    {"NfBeyondFile", [](const Workspace& ws) { return "-i " + In(ws, Y4mFrames(2)) + Out(ws) + " nf=2"; },
     "Dunmorel:invalid nf being either -ve or beyond clip"},
    {"NfBeyondPipe",
     [](const Workspace& ws) { return "-i - < <(cat " + In(ws, Y4mFrames(2)) + ")" + Out(ws) + " nf=2"; },
     "Dunmorel:invalid nf being either -ve or beyond clip"},
    {"RangeBeyondFile", [](const Workspace& ws) { return "-i " + In(ws, Y4mFrames(2)) + Out(ws) + " --range 2:5"; },
     "dunmorel: --range starts at frame 2 but * has only 2 frames"},
    {"RangeBeyondPipe",
     [](const Workspace& ws) { return "-i - < <(cat " + In(ws, Y4mFrames(2)) + ")" + Out(ws) + " --range 2:5"; },
     "dunmorel: --range starts at frame 2 but standard input ends before it"},
    {"OutputIsInput", [](const Workspace& ws) { return "-i " + In(ws, Y4mFrames(1)) + " -o " + ws.File("in"); },
     "dunmorel: the output * is the input file; write to another file"},
    // The command carries the filter: there is no plug-in to name.
    {"PluginOptionIsGone",
     [](const Workspace& ws) { return "-i " + In(ws, Y4mFrames(1)) + Out(ws) + " --plugin " + ws.File("x.so"); },
     "dunmorel: unknown option '--plugin' (see --help)"},
    {"UnknownOption", [](const Workspace& ws) { return "-i " + In(ws, Y4mFrames(1)) + Out(ws) + " --speed 3"; },
     "dunmorel: unknown option '--speed' (see --help)"},
    // Paths that name the input or each other, directly, through a link or by redirection.
    {"PreviewIsInput", [](const Workspace& ws) { return "-i " + In(ws, Y4mFrames(1)) + " --preview " + ws.File("in"); },
     "dunmorel: the preview * is the input file; write to another file"},
    {"OutputLinksToInput",
     [](const Workspace& ws) {
         fs::create_symlink("in", ws.File("link"));
         return "-i " + In(ws, Y4mFrames(1)) + " -o " + ws.File("link");
     },
     "dunmorel: the output * is the input file; write to another file"},
    {"StandardOutputAppendsToInput",
     [](const Workspace& ws) { return "-i " + In(ws, Y4mFrames(1)) + " -o - >>" + ws.File("in"); },
     "dunmorel: the output standard output is the input file; write to another file"},
    {"OutputIsPreview",
     [](const Workspace& ws) {
         fs::create_directory(ws.File("sub"));
         return "-i " + In(ws, Y4mFrames(1)) + " -o " + ws.File("pic.png") + " --preview " + ws.File("sub/../pic.png");
     },
     "dunmorel: the output * and the preview * are the same file; write them to different files"},
    // Ranges named as the check has them; header bytes shown, not printed raw.
    {"ThreadsNegative", [](const Workspace& ws) { return "-i " + In(ws, Y4mFrames(1)) + Out(ws) + " --threads -1"; },
     "dunmorel: --threads must be a whole number from 1 to 256, got '-1'"},
    {"CrlfHeader", [](const Workspace& ws) { return "-i " + In(ws, "YUV4MPEG2 W256\r H256\r\nFRAME\r\n") + Out(ws); },
     "dunmorel: *: Y4M header has a bad width 'W256\\r'"},
    {"NulInHeader",
     [](const Workspace& ws) {
         return "-i " +
                In(ws, std::string("YUV4MPEG2 W25\0"
                                   "6 H256\n",
                                   22)) +
                Out(ws);
     },
     "dunmorel: *: Y4M header has a bad width 'W25\\x006'"},
    {"HelpToAFullDisk", [](const Workspace&) -> std::string { return "--help >/dev/full"; },
     "dunmorel: cannot write to standard output: No space left on device"},
    {"DemoToAFullDisk", [](const Workspace& ws) { return "--demo -q --demo-dir " + ws.File("demo") + " >/dev/full"; },
     "dunmorel: cannot write to standard output: No space left on device"},
    {"OutOfMemory",
     [](const Workspace& ws) {
         return "-i - < <(printf 'YUV4MPEG2 W16000 H16000 C420jpeg\\nFRAME\\n'; head -c 1000000 /dev/zero)" + Out(ws);
     },
     "dunmorel: out of memory for frames of 16000x16000 YV12", "ulimit -v 300000; "},
};

class HostileInput : public ::testing::TestWithParam<Hostile> {};

// '*' in the pattern stands for any run of characters.
bool Matches(std::string_view text, std::string_view pattern) {
    const std::size_t star = pattern.find('*');
    if (star == std::string_view::npos) return text == pattern;
    if (text.substr(0, star) != pattern.substr(0, star)) return false;
    for (std::size_t skip = star; skip <= text.size(); ++skip)
        if (Matches(text.substr(skip), pattern.substr(star + 1))) return true;
    return false;
}

TEST_P(HostileInput, ExitsWithStatusOneAndOneLine) {
    // AddressSanitizer reserves far more address space than any limit a test could set.
    if (*GetParam().prefix && kAddressSanitizer) GTEST_SKIP() << "no address-space limit under AddressSanitizer";
    const Workspace ws;
    const std::string args = GetParam().setup(ws);
    const std::string in_bytes = fs::exists(ws.File("in")) ? Slurp(ws.File("in")) : "";
    const Outcome o = Shell(ws, GetParam().prefix + Tool() + " " + args);
    EXPECT_EQ(o.status, 1) << o.err;
    ASSERT_FALSE(o.err.empty());
    EXPECT_EQ(o.err.back(), '\n');
    const std::string line = o.err.substr(0, o.err.size() - 1);
    EXPECT_EQ(line.find('\n'), std::string::npos) << o.err;
    EXPECT_TRUE(Matches(line, GetParam().message)) << "got:      " << line << "\nexpected: " << GetParam().message;
    EXPECT_EQ(o.out, "");
    // No half-written output is left, and the input is untouched.
    EXPECT_FALSE(fs::exists(ws.File("out")));
    if (fs::exists(ws.File("in"))) {
        EXPECT_EQ(Slurp(ws.File("in")), in_bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileInput, ::testing::ValuesIn(kHostile),
                         [](const auto& info) { return std::string(info.param.name); });

// --- where users stumble ------------------------------------------------------------------

// Noisy 4:2:0 frames of any size (the demo's scene needs 64x64 at least).
std::string NoisyY4m(int width, int height, int frames, const std::string& tags = "") {
    std::string s = "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) + " F25:1 C420" + tags + "\n";
    std::uint32_t x = 1;
    const std::size_t bytes = static_cast<std::size_t>(width) * height * 3 / 2;
    for (int k = 0; k < frames; ++k) {
        s += "FRAME\n";
        for (std::size_t i = 0; i < bytes; ++i) {
            x = x * 1664525u + 1013904223u;
            s += static_cast<char>(100 + (x >> 16) % 50);
        }
    }
    return s;
}

struct Stumble {
    const char* name;
    std::string (*setup)(const Workspace&);
    int status;
    // Standard error, line by line; '*' as in the table above.
    std::vector<const char*> lines;
    // Frames the output must hold; none when no output may be left.
    int frames = -1;
    // Arguments of a run whose output this one's must equal.
    std::string (*same_as)(const Workspace&) = nullptr;
    // Texts that standard output must hold.
    std::vector<const char*> out_holds = {};
};

const char* const kSmallFrame = "Dunmorel:A very small frame dimension. Unsuitable for this process";
const char* const kNoSearchBlock =
    "Dunmorel: frame too small for the automatic window search; give lx, rx, ty and by with autow=false";
const char* const kTruncatedFrame5 = "dunmorel: *: frame 5 is truncated (98297 of 98304 bytes)";

// Six frames, the last one cut short.
std::string TruncatedSix(const Workspace& ws) {
    const std::string s = Y4mFrames(6);
    return In(ws, s.substr(0, s.size() - 7));
}

const Stumble kStumbles[] = {
    {"SmallPicture",
     [](const Workspace& ws) { return "-i " + In(ws, NoisyY4m(176, 144, 1)) + Out(ws); },
     1,
     {kSmallFrame,
      "dunmorel: hint: this picture is 176x144, 25344 pixels; the automatic window search needs 65536 with the "
      "default minw and 16384 with minw given, and takes minw=1024 to 1584 here; or give the noise window "
      "yourself: autow=false lx=65 rx=109 ty=51 by=91"}},
    {"MinwBelowTheLeastOne",
     [](const Workspace& ws) { return "-i " + In(ws, NoisyY4m(352, 288, 1)) + Out(ws) + " minw=792"; },
     1,
     {kSmallFrame,
      "dunmorel: hint: this picture is 352x288, 101376 pixels; * and takes minw=1024 to 6336 here; or give the noise "
      "window yourself: autow=false lx=* rx=* ty=* by=*"}},
    {"MinwOutOfRange",
     [](const Workspace& ws) { return "-i " + In(ws, NoisyY4m(352, 288, 1)) + Out(ws) + " minw=100 xgrid=3"; },
     1,
     {"Dunmorel:window size for auto select must be minimum 792 and maximum 6336",
      "dunmorel: hint: this picture is 352x288, 101376 pixels; * takes minw=1024 to 6336 here; *"}},
    {"NoMinwFits",
     [](const Workspace& ws) {
         return "-i " + In(ws, std::string(120 * 100 * 2, 'x')) + " --format yuy2 --size 120x100" + Out(ws);
     },
     1,
     {kSmallFrame,
      "dunmorel: hint: this picture is 120x100, 12000 pixels; *, so no minw is accepted here; or give the "
      "noise window yourself: autow=false lx=* rx=* ty=* by=*"}},
    {"NoWindowFits",
     [](const Workspace& ws) { return "-i " + In(ws, NoisyY4m(40, 60, 1)) + Out(ws); },
     1,
     {kSmallFrame,
      "dunmorel: hint: this picture is 40x60, 2400 pixels; *; a window given with autow=false needs at "
      "least 51x51 pixels with xgrid=5 and ygrid=5"}},
    {"SearchBlockDoesNotFit",
     [](const Workspace& ws) {
         return "-i " + In(ws, std::string(8000 * 10, 'x')) + " --format gray --size 8000x10" + Out(ws);
     },
     1,
     {kNoSearchBlock,
      "dunmorel: hint: this picture is 8000x10, 80000 pixels; the automatic window search has no room for its "
      "block inside margins of xgrid and ygrid; a window given with autow=false needs at least 51x51 pixels with "
      "xgrid=5 and ygrid=5"}},
    {"QuietHasNoHint",
     [](const Workspace& ws) { return "-q -i " + In(ws, NoisyY4m(176, 144, 1)) + Out(ws); },
     1,
     {kSmallFrame}},
    {"WindowWithoutAutowFalse",
     [](const Workspace& ws) { return "-i " + In(ws, Y4mFrames(2)) + Out(ws) + " lx=5 rx=200 by=200"; },
     0,
     {"dunmorel: hint: the window arguments (lx, rx, by) take effect only with autow=false; without it the window "
      "is found automatically"},
     2,
     [](const Workspace& ws) { return "-i " + ws.File("in") + " -o " + ws.File("ref"); }},
    {"WindowWithAutowTrueAndAFailure",
     [](const Workspace& ws) { return "-i " + In(ws, Y4mFrames(1)) + Out(ws) + " autow=true ty=9 xgrid=4"; },
     1,
     {"Dunmorel:xgrid should be odd positive number from 3 to 11",
      "dunmorel: hint: the window arguments (ty) take effect only with autow=false; *"}},
    {"LongCommentFile",
     [](const Workspace& ws) {
         const std::string frames = Y4mFrames(2);
         const std::size_t lf = frames.find('\n');
         return "-i " + In(ws, frames.substr(0, lf) + " X" + std::string(70000, 'c') + frames.substr(lf)) + Out(ws);
     },
     0,
     {},
     2},
    {"LongCommentPipe",
     [](const Workspace& ws) {
         const std::string frames = Y4mFrames(2);
         const std::size_t lf = frames.find('\n');
         return "-i - < <(cat " + In(ws, frames.substr(0, lf) + " X" + std::string(70000, 'c') + frames.substr(lf)) +
                ")" + Out(ws);
     },
     0,
     {},
     2},
    {"HeaderPastTheBound",
     [](const Workspace& ws) {
         return "-i - < <(cat " + In(ws, "YUV4MPEG2 W256 H256 X" + std::string(1 << 20, 'c') + "\nFRAME\n") + ")" +
                Out(ws);
     },
     1,
     {"dunmorel: standard input: the Y4M stream header is longer than 1048576 bytes"}},
    {"ClosedStandardOutput",
     [](const Workspace& ws) { return "-i " + In(ws, Y4mFrames(1)) + " -o - >&-"; },
     1,
     {"dunmorel: cannot write to standard output: Bad file descriptor"}},
    {"ClosedStandardOutputPipe",
     [](const Workspace& ws) { return "-i - < <(cat " + In(ws, Y4mFrames(1)) + ") -o - >&-"; },
     1,
     {"dunmorel: cannot write to standard output: Bad file descriptor"}},
    {"ClosedStandardOutputFileOutput",
     [](const Workspace& ws) { return "-i " + In(ws, Y4mFrames(1)) + Out(ws) + " >&-"; },
     0,
     {},
     1},
    {"ClosedStandardInput",
     [](const Workspace& ws) { return "-i - <&-" + Out(ws); },
     1,
     {"dunmorel: cannot examine input standard input: Bad file descriptor"}},
    {"RangeBeforeATruncatedFrame",
     [](const Workspace& ws) { return "-i " + TruncatedSix(ws) + Out(ws) + " --range 0:4"; },
     0,
     {},
     5,
     [](const Workspace& ws) {
         // The same file without its truncated frame.
         const std::string in = Slurp(ws.File("in"));
         Spit(ws.File("five"), in.substr(0, in.find('\n') + 1 + 5 * (6 + 98304)));
         return "-i " + ws.File("five") + " -o " + ws.File("ref");
     }},
    {"RangeReachingATruncatedFrame",
     [](const Workspace& ws) { return "-i " + TruncatedSix(ws) + Out(ws) + " --range 3:5"; },
     1,
     {kTruncatedFrame5}},
    {"OpenRangeReachingATruncatedFrame",
     [](const Workspace& ws) { return "-i " + TruncatedSix(ws) + Out(ws) + " --range 2:"; },
     1,
     {kTruncatedFrame5}},
    {"ReferenceInATruncatedFrame",
     [](const Workspace& ws) { return "-i " + TruncatedSix(ws) + Out(ws) + " --range 0:4 nf=5"; },
     1,
     {kTruncatedFrame5}},
    {"RawRangeBeforeTheLeftOver",
     [](const Workspace& ws) {
         return "-q -i " + In(ws, std::string(98304 * 2 + 5, 'a')) + " --format yv12 --size 256x256 --range 0:1" +
                Out(ws);
     },
     0,
     {},
     2},
    {"HelpNamesTheBytesOfRgb",
     [](const Workspace&) -> std::string { return "--help"; },
     0,
     {},
     -1,
     nullptr,
     {"ry: plane 0: Y, or for RGB the first byte of each pixel, blue (the report calls it R)",
      "gu: plane 1: U, or for RGB the second byte of each pixel, green (the report calls it G)",
      "bv: plane 2: V, or for RGB the third byte of each pixel, red (the report calls it B)"}},
};

void PrintTo(const Stumble& s, std::ostream* os) { *os << s.name; }

class Stumbles : public ::testing::TestWithParam<Stumble> {};

TEST_P(Stumbles, GiveTheStatusTheLinesAndTheOutput) {
    const Stumble& c = GetParam();
    const Workspace ws;
    const Outcome o = Shell(ws, Tool() + " " + c.setup(ws));
    EXPECT_EQ(o.status, c.status) << o.err;
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < o.err.size();) {
        const std::size_t lf = o.err.find('\n', at);
        ASSERT_NE(lf, std::string::npos) << o.err;
        lines.push_back(o.err.substr(at, lf - at));
        at = lf + 1;
    }
    ASSERT_EQ(lines.size(), c.lines.size()) << o.err;
    for (std::size_t i = 0; i < lines.size(); ++i)
        EXPECT_TRUE(Matches(lines[i], c.lines[i])) << "got:      " << lines[i] << "\nexpected: " << c.lines[i];
    for (const char* text : c.out_holds) EXPECT_NE(o.out.find(text), std::string::npos) << text;
    if (c.frames < 0) {
        EXPECT_FALSE(fs::exists(ws.File("out")));
        return;
    }
    ASSERT_TRUE(fs::exists(ws.File("out")));
    const std::string in = Slurp(ws.File("in"));
    InputRequest raw;
    if (in.rfind("YUV4MPEG2 ", 0) != 0) raw = {"", Layout::yv12, PictureSize{256, 256}};
    EXPECT_EQ(Load(ws.File("out"), raw).format.frame_count, c.frames);
    if (c.same_as) {
        ASSERT_EQ(Shell(ws, Tool() + " -q " + c.same_as(ws)).status, 0);
        EXPECT_TRUE(Slurp(ws.File("out")) == Slurp(ws.File("ref")));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Stumbles, ::testing::ValuesIn(kStumbles),
                         [](const auto& info) { return std::string(info.param.name); });

// The window that a hint suggests is one that the filter takes, for every layout and for
// pictures near the smallest that hold one.
TEST(Hints, TheSuggestedWindowIsAccepted) {
    const Workspace ws;
    struct Case {
        const char* format;
        int width, height, bytes;
    };
    for (const Case& c :
         {Case{"yv12", 176, 144, 176 * 144 * 3 / 2}, Case{"yv12", 52, 52, 52 * 52 * 3 / 2},
          Case{"yuy2", 320, 200, 320 * 200 * 2}, Case{"yuy2", 54, 51, 54 * 51 * 2}, Case{"rgb24", 51, 60, 51 * 60 * 3},
          Case{"rgb32", 250, 250, 250 * 250 * 4}, Case{"gray", 100, 100, 100 * 100}}) {
        std::string noisy(static_cast<std::size_t>(c.bytes), '\0');
        std::uint32_t x = 7;
        for (char& b : noisy) b = static_cast<char>(100 + ((x = x * 1664525u + 1013904223u) >> 16) % 50);
        Spit(ws.File("in"), noisy);
        const std::string run = Tool() + " -i " + ws.File("in") + " --format " + c.format + " --size " +
                                std::to_string(c.width) + "x" + std::to_string(c.height) + Out(ws);
        const Outcome refused = Shell(ws, run);
        const std::size_t at = refused.err.find("autow=false");
        ASSERT_NE(at, std::string::npos) << c.format << " " << c.width << "x" << c.height << ": " << refused.err;
        const std::string window = refused.err.substr(at, refused.err.find('\n', at) - at);
        const Outcome taken = Shell(ws, run + " " + window);
        EXPECT_EQ(taken.status, 0) << c.format << " " << c.width << "x" << c.height << " " << window << ": "
                                   << taken.err;
    }
}

// --- the user's files ---------------------------------------------------------------------

struct Interruption {
    const char* name;
    int signal_number;
    // "out" holds an earlier result; "link" points at a file that does not exist yet.
    const char* output;
};

class Interrupted : public ::testing::TestWithParam<Interruption> {};

TEST_P(Interrupted, LeavesWhatTheOutputHeldBefore) {
    const Interruption& c = GetParam();
    const Workspace ws;
    const std::string clip = Y4mFrames(6);
    Spit(ws.File("out"), "earlier result");
    fs::create_symlink("target", ws.File("link"));
    const fs::path dir = fs::path(ws.File("out")).parent_path();

    int in[2];
    ASSERT_EQ(pipe(in), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, ws.File("stderr").c_str(), O_WRONLY | O_CREAT, 0600);
    std::vector<std::string> words = {kTool, "-q", "--threads", "1", "-i", "-", "-o", ws.File(c.output)};
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, kTool.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    ASSERT_EQ(spawned, 0);

    // Half the clip, then the input stalls with the output under way.
    const std::size_t half = clip.size() / 2;
    for (std::size_t at = 0; at < half;) {
        const ssize_t put = write(in[1], clip.data() + at, half - at);
        if (put <= 0) break;
        at += static_cast<std::size_t>(put);
    }
    bool under_way = false;
    for (int wait = 0; wait < 500 && !under_way; ++wait) {
        for (const auto& entry : fs::directory_iterator(dir))
            under_way = under_way || (entry.path().filename().string().find(".part-") != std::string::npos &&
                                      fs::file_size(entry.path()) > 0);
        if (!under_way) usleep(10000);
    }
    EXPECT_TRUE(under_way) << "no output was being written";
    kill(pid, c.signal_number);
    int status = 0;
    waitpid(pid, &status, 0);
    close(in[1]);

    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal_number) << "status " << status;
    EXPECT_EQ(Slurp(ws.File("out")), "earlier result");
    EXPECT_TRUE(fs::is_symlink(ws.File("link")));
    EXPECT_FALSE(fs::exists(ws.File("target")));
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_EQ(entry.path().filename().string().find(".part-"), std::string::npos) << entry.path();
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupted,
                         ::testing::Values(Interruption{"Interrupt", SIGINT, "out"},
                                           Interruption{"Terminate", SIGTERM, "out"},
                                           Interruption{"HangUp", SIGHUP, "link"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UserFiles, LinksAndPermissionsStayAndAFailedPreviewRemovesNothing) {
    const Workspace ws;
    const std::string run = Tool() + " -q -i " + In(ws, Y4mFrames(2));
    const Outcome direct = Shell(ws, run + " -o -");
    ASSERT_EQ(direct.status, 0) << direct.err;

    // Through a link the result lands where the link points, and the link stays a link.
    fs::create_symlink("target", ws.File("link"));
    ASSERT_EQ(Shell(ws, run + " -o " + ws.File("link")).status, 0);
    EXPECT_TRUE(fs::is_symlink(ws.File("link")));
    EXPECT_TRUE(Slurp(ws.File("target")) == direct.out);

    // A replaced file keeps its permissions.
    Spit(ws.File("kept"), "earlier result");
    fs::permissions(ws.File("kept"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_EQ(Shell(ws, run + " -o " + ws.File("kept")).status, 0);
    EXPECT_TRUE(Slurp(ws.File("kept")) == direct.out);
    EXPECT_EQ(fs::status(ws.File("kept")).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    // A preview that cannot be written leaves the path it was given as it was.
    fs::create_symlink("/dev/full", ws.File("full.png"));
    const Outcome full = Shell(ws, run + " --preview " + ws.File("full.png"));
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "dunmorel: cannot write to " + ws.File("full.png") + ": No space left on device\n");
    EXPECT_TRUE(fs::is_symlink(ws.File("full.png")));
}

// --- demo and help ------------------------------------------------------------------------

TEST(Demo, DenoisesItsClipAndWritesPlayableFiles) {
    const Workspace ws;
    const Outcome o = Shell(ws, Tool() + " --demo -q --demo-dir " + ws.File("demo"));
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_NE(o.out.find("\nCalibration: window lx = "), std::string::npos) << o.out;
    const std::size_t line = o.out.find("all planes: noisy ");
    ASSERT_NE(line, std::string::npos) << o.out;
    const std::size_t second = o.out.find("dB, denoised ", line);
    ASSERT_NE(second, std::string::npos) << o.out;
    const double noisy = std::atof(o.out.c_str() + line + 18);
    const double denoised = std::atof(o.out.c_str() + second + 13);
    EXPECT_GT(denoised, noisy + 3.0) << o.out;
    for (const char* name : {"clean", "noisy", "denoised"}) {
        const std::string path = ws.File("demo") + "/dunmorel-demo-" + name + ".y4m";
        EXPECT_NE(o.out.find(path), std::string::npos) << path;
        const Clip c = Load(path);
        EXPECT_EQ(c.format.frame_count, 30);
        EXPECT_EQ(c.format.size, (PictureSize{352, 288}));
    }
    // The figure printed is the one the files give.
    const Clip clean = Load(ws.File("demo") + "/dunmorel-demo-clean.y4m");
    const Clip out = Load(ws.File("demo") + "/dunmorel-demo-denoised.y4m");
    EXPECT_NEAR(PsnrOf(clean.frames, out.frames), denoised, 0.01);
}

TEST(Help, NamesEveryArgumentAndOption) {
    const Workspace ws;
    const Outcome o = Shell(ws, Tool() + " --help");
    ASSERT_EQ(o.status, 0);
    for (const char* name :
         {"xgrid=", "ygrid=", "print=",  "limit=", "nf=",        "autow=",   "minw=",       "lx=",       "rx=",
          "ty=",    "by=",    "ry=",     "gu=",    "bv=",        "--range",  "--frames",    "--threads", "--format",
          "--size", "--fps",  "--quiet", "--demo", "--demo-dir", "--header", "--no-header", "--preview"})
        EXPECT_NE(o.out.find(name), std::string::npos) << name;
}

}  // namespace
}  // namespace dunmorel::cli
