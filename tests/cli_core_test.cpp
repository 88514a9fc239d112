// The dunmorel tool's pure parts: command line, NAME=VALUE words, Y4M headers, the frame
// input over files and pipes, the demo clip and PSNR.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cli/demo.h"
#include "cli/input.h"
#include "cli/job.h"
#include "cli/options.h"
#include "cli/platform.h"
#include "cli/y4m.h"
#include "cli_test_support.h"

namespace dunmorel::cli {
namespace {

std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const CliError& e) {
        return e.what();
    }
    return "(no error)";
}

// --- NAME=VALUE words ---------------------------------------------------------------------

struct WordCase {
    const char* word;
    const char* name;
    std::variant<int, bool> value;
};

class ScriptWordAccepted : public ::testing::TestWithParam<WordCase> {};

TEST_P(ScriptWordAccepted, TypesTheValueLikeAScriptLiteral) {
    const ScriptArgument a = parse_script_word(GetParam().word);
    EXPECT_EQ(a.name, GetParam().name);
    EXPECT_EQ(a.value, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Words, ScriptWordAccepted,
                         ::testing::Values(WordCase{"xgrid=7", "xgrid", 7}, WordCase{"print=true", "print", true},
                                           WordCase{"autow=False", "autow", false}, WordCase{"nf=-1", "nf", -1},
                                           WordCase{"ry=+3", "ry", 3}, WordCase{"minw=2147483647", "minw", 2147483647},
                                           WordCase{"lx=-2147483648", "lx", -2147483647 - 1},
                                           // Unknown names pass here; the filter's binding rejects them.
                                           WordCase{"zzz=1", "zzz", 1}));

class ScriptWordRejected : public ::testing::TestWithParam<const char*> {};

TEST_P(ScriptWordRejected, WithOneLineNamingTheWord) {
    try {
        parse_script_word(GetParam());
        FAIL() << "accepted " << GetParam();
    } catch (const CliError& e) {
        const std::string text = e.what();
        EXPECT_EQ(text.find('\n'), std::string::npos);
        EXPECT_NE(text.find(GetParam()), std::string::npos) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(Words, ScriptWordRejected,
                         ::testing::Values("xgrid", "=5", "xgrid=abc", "xgrid=", "xgrid=1.5", "xgrid=0x10",
                                           "xgrid=2147483648", "lx=-2147483649", "1x=3", "x-grid=3", "print=yes",
                                           "xgrid=5=5", "xgrid=++5"));

// --- options ------------------------------------------------------------------------------

Options Parse(std::vector<std::string> words) { return parse_options(words); }

TEST(CliOptions, ReadsEveryOptionInBothSpellings) {
    const Options o =
        Parse({"-i", "-", "--output=out.yuv", "--format", "RGB24", "--size=320x240", "--fps", "30000/1001", "--range",
               "10:19", "--frames=5", "--threads", "3", "-q", "--no-header", "xgrid=7", "print=false"});
    EXPECT_EQ(o.input, "-");
    EXPECT_EQ(o.output, "out.yuv");
    EXPECT_EQ(o.layout, Layout::rgb24);
    EXPECT_EQ(o.size, (PictureSize{320, 240}));
    EXPECT_EQ(o.fps, (FrameRate{30000, 1001}));
    EXPECT_EQ(o.range, (FrameRange{10, 19}));
    EXPECT_EQ(o.frames, 5);
    EXPECT_EQ(o.threads, 3);
    EXPECT_TRUE(o.quiet);
    EXPECT_EQ(o.header, HeaderMode::never);
    ASSERT_EQ(o.script_arguments.size(), 2u);
    EXPECT_EQ(o.script_arguments[0], (ScriptArgument{"xgrid", 7}));
    EXPECT_EQ(o.script_arguments[1], (ScriptArgument{"print", false}));
}

TEST(CliOptions, DefaultsLeaveEverythingUnset) {
    const Options o = Parse({"-i", "a.y4m", "-o", "-"});
    EXPECT_FALSE(o.layout || o.size || o.fps || o.range || o.frames || o.threads);
    EXPECT_EQ(o.header, HeaderMode::automatic);
    EXPECT_FALSE(o.quiet);
    EXPECT_TRUE(o.script_arguments.empty());
}

TEST(CliOptions, OpenRangeAndBareFrameRate) {
    const Options o = Parse({"-i", "a", "-o", "b", "--range", "7:", "--fps", "50"});
    EXPECT_EQ(o.range, (FrameRange{7, std::nullopt}));
    EXPECT_EQ(o.fps, (FrameRate{50, 1}));
}

TEST(CliOptions, HelpAndDemoNeedNoFiles) {
    EXPECT_TRUE(Parse({"--help"}).help);
    const Options demo = Parse({"--demo", "--demo-dir", "/tmp/d", "xgrid=3"});
    EXPECT_TRUE(demo.demo);
    EXPECT_EQ(demo.demo_dir, "/tmp/d");
    EXPECT_EQ(demo.script_arguments.size(), 1u);
}

TEST(CliOptions, RawFormatsTakeTheCommandsAndFfmpegsNames) {
    const std::pair<const char*, SampleLayout> cases[] = {{"YV12", Layout::yv12},
                                                          {"i420", Layout::i420},
                                                          {"yuv420p", Layout::i420},
                                                          {"yuyv422", Layout::yuy2},
                                                          {"bgr24", Layout::rgb24},
                                                          {"bgra", Layout::rgb32},
                                                          {"yuv422p", Layout::yuv422p},
                                                          {"gray", Layout::grey},
                                                          {"yuv444p", Layout::yuv444p},
                                                          {"yuv440p", Layout::yuv440p},
                                                          {"yuv411p", Layout::yuv411p},
                                                          {"yuv410p", Layout::yuv410p},
                                                          {"GBRP", Layout::gbrp},
                                                          {"yuv420p9le", {Layout::i420, 9}},
                                                          {"YUV444P16LE", {Layout::yuv444p, 16}},
                                                          {"gray10le", {Layout::grey, 10}},
                                                          {"gbrp12le", {Layout::gbrp, 12}},
                                                          {"yuv410p14le", {Layout::yuv410p, 14}}};
    for (const auto& [name, format] : cases) EXPECT_EQ(parse_raw_format(name), format) << name;
    // Big-endian words, depths outside 9 to 16 and packed layouts are not read as deep ones.
    const std::pair<const char*, const char*> refused[] = {
        {"yuv444p10be", "-pix_fmt yuv444p"},  {"yuv422p8le", "-pix_fmt yuv422p"}, {"gray17le", "-pix_fmt gray"},
        {"yuv420p010le", "-pix_fmt yuv420p"}, {"rgb48le", "-pix_fmt bgr24"},      {"nv12", "-pix_fmt yuv420p"}};
    for (const auto& [name, hint] : refused)
        EXPECT_NE(ErrorOf([&] { parse_raw_format(name); }).find(hint), std::string::npos) << name;
}

class OptionsRejected : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(OptionsRejected, WithOneLine) {
    try {
        Parse(GetParam());
        FAIL() << "accepted";
    } catch (const CliError& e) {
        EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos) << e.what();
        EXPECT_EQ(std::string(e.what()).rfind("dunmorel: ", 0), 0u) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(CommandLines, OptionsRejected,
                         ::testing::Values(std::vector<std::string>{"-o", "x"}, std::vector<std::string>{"-i", "x"},
                                           std::vector<std::string>{"-i", "x", "-o"},
                                           std::vector<std::string>{"-i", "x", "-o", "y", "--bogus"},
                                           std::vector<std::string>{"-i", "x", "-o", "y", "--range", "9:5"},
                                           std::vector<std::string>{"-i", "x", "-o", "y", "--range", "5"},
                                           std::vector<std::string>{"-i", "x", "-o", "y", "--range", "-1:5"},
                                           std::vector<std::string>{"-i", "x", "-o", "y", "--size", "0x240"},
                                           std::vector<std::string>{"-i", "x", "-o", "y", "--size", "320"},
                                           std::vector<std::string>{"-i", "x", "-o", "y", "--format", "nv12", "--size",
                                                                    "2x2"},
                                           std::vector<std::string>{"-i", "x", "-o", "y", "--format", "yv12"},
                                           std::vector<std::string>{"-i", "x", "-o", "y", "--fps", "0/1"},
                                           std::vector<std::string>{"-i", "x", "-o", "y", "--threads", "0"},
                                           std::vector<std::string>{"-i", "x", "-o", "y", "--frames", "0"},
                                           std::vector<std::string>{"-i", "x", "-o", "y", "--quiet=yes"},
                                           std::vector<std::string>{"-i", "x", "-o", "y", "stray"},
                                           std::vector<std::string>{"--demo", "-i", "x"}));

TEST(CliOptions, TheLastIntegerOfANameInAnyCaseIsFound) {
    const std::vector<ScriptArgument> args{{"xgrid", 7}, {"print", true}, {"NF", 4}, {"nf", true}};
    EXPECT_EQ(int_argument(args, "nf"), 4);
    EXPECT_EQ(int_argument(args, "print"), std::nullopt);
    EXPECT_EQ(int_argument({}, "nf"), std::nullopt);
}

// --- Y4M headers --------------------------------------------------------------------------

// Frame memory: every size writable to its last byte, a frame of 2 MiB or more on whole huge
// pages, and a size that cannot be rounded up to them refused rather than wrapped to a small one.
TEST(FrameMemory, BuffersAreWholeAlignedOrRefused) {
    constexpr std::size_t huge = std::size_t{1} << 21;
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, huge - 1, huge, std::size_t{1920 * 1080 * 3}}) {
        auto* p = static_cast<unsigned char*>(platform::allocate_frame(size));
        ASSERT_NE(p, nullptr) << size;
        if (size > 0) p[0] = p[size - 1] = 1;
#ifdef __linux__
        if (size >= huge) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % huge, 0u) << size;
        }
#endif
        platform::free_frame(p);
    }
    EXPECT_EQ(platform::allocate_frame(SIZE_MAX - 10), nullptr);
}

TEST(Y4m, ReadsWhatFfmpegWrites) {
    const std::string line = "YUV4MPEG2 W320 H240 F30000:1001 Ip A1:1 C420jpeg XYSCSS=420JPEG";
    const Y4mHeader h = parse_y4m_header(line);
    EXPECT_EQ(h.width, 320);
    EXPECT_EQ(h.height, 240);
    EXPECT_EQ(h.fps_numerator, 30000u);
    EXPECT_EQ(h.fps_denominator, 1001u);
    EXPECT_EQ(h.colour, "420jpeg");
    EXPECT_EQ(h.line, line);
    EXPECT_EQ(y4m_layout(h), Layout::yv12);
}

TEST(Y4m, LayoutsMapToAFilterFormat) {
    const std::pair<const char*, SampleLayout> cases[] = {{"", Layout::yv12},
                                                          {" C420", Layout::yv12},
                                                          {" C420jpeg", Layout::yv12},
                                                          {" C420mpeg2", Layout::yv12},
                                                          {" C420paldv", Layout::yv12},
                                                          {" C422", Layout::yuv422p},
                                                          {" Cmono", Layout::grey},
                                                          {" C444", Layout::yuv444p},
                                                          {" C440", Layout::yuv440p},
                                                          {" C411", Layout::yuv411p},
                                                          {" C420p10", {Layout::yv12, 10}},
                                                          {" C422p9", {Layout::yuv422p, 9}},
                                                          {" C444p16", {Layout::yuv444p, 16}},
                                                          {" Cmono12", {Layout::grey, 12}}};
    for (const auto& [tag, layout] : cases)
        EXPECT_EQ(y4m_layout(parse_y4m_header(std::string("YUV4MPEG2 W64 H64 F25:1") + tag)), layout) << tag;
}

TEST(Y4m, OtherColourSpacesAreRefusedWithTheFfmpegConversion) {
    const std::pair<const char*, const char*> cases[] = {
        {"444p17", "yuv444p"}, {"410", "yuv410p"},      {"420p8", "yuv420p"}, {"422p10le", "yuv422p"},
        {"monop16", "gray"},   {"444alpha", "yuv444p"}, {"410p10", "yuv410p"}};
    for (const auto& [c, pix_fmt] : cases) {
        try {
            y4m_layout(parse_y4m_header(std::string("YUV4MPEG2 W64 H64 F25:1 C") + c));
            FAIL() << c;
        } catch (const CliError& e) {
            const std::string text = e.what();
            EXPECT_NE(text.find(std::string("C") + c + " is not supported"), std::string::npos) << text;
            EXPECT_NE(text.find(std::string("-pix_fmt ") + pix_fmt), std::string::npos) << text;
        }
    }
}

class Y4mHeaderRejected : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(Y4mHeaderRejected, SaysWhatIsWrong) {
    try {
        parse_y4m_header(GetParam().first);
        FAIL() << GetParam().first;
    } catch (const CliError& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().second), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Headers, Y4mHeaderRejected,
                         ::testing::Values(std::pair{"YUV4MPEG2 H240 F25:1", "no frame width (W)"},
                                           std::pair{"YUV4MPEG2 W320 F25:1", "no frame height (H)"},
                                           std::pair{"YUV4MPEG2 W0 H240", "bad width"},
                                           std::pair{"YUV4MPEG2 W32a H240", "bad width"},
                                           std::pair{"YUV4MPEG2 W320 H-2", "bad height"},
                                           std::pair{"YUV4MPEG2 W320 H240 F25", "bad frame rate"},
                                           std::pair{"YUV4MPEG2 W320 H240 Fx:1", "bad frame rate"},
                                           std::pair{"YUV4MPEG W320 H240", "not a Y4M"}));

TEST(Y4m, MissingOrUnknownRateIsLeftZero) {
    EXPECT_EQ(parse_y4m_header("YUV4MPEG2 W8 H8").fps_numerator, 0u);
    EXPECT_EQ(parse_y4m_header("YUV4MPEG2 W8 H8 F0:0").fps_denominator, 0u);
}

TEST(Y4m, FrameHeaders) {
    EXPECT_NO_THROW(check_y4m_frame_header("FRAME"));
    EXPECT_NO_THROW(check_y4m_frame_header("FRAME Ip XFOO=1"));
    for (const char* bad : {"FRAMES", "FRAM", "", "frame", "XFRAME"})
        EXPECT_THROW(check_y4m_frame_header(bad), CliError) << bad;
}

// --- frame input --------------------------------------------------------------------------

// Frame k of a clip, every byte distinct enough to catch a frame read from the wrong place.
std::string FrameBytes(std::size_t size, int k) {
    std::string f(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        f[i] = static_cast<char>((i * 7 + static_cast<std::size_t>(k) * 31 + 1) & 0xff);
    return f;
}

// 16x16 YV12: 384 bytes a frame.
constexpr std::size_t kSmall = 16 * 16 * 3 / 2;
const char* kSmallHeader = "YUV4MPEG2 W16 H16 F24:1 C420mpeg2";

std::string SmallY4m(int frames, const std::string& frame_header = "FRAME") {
    std::string s = std::string(kSmallHeader) + "\n";
    for (int k = 0; k < frames; ++k) s += frame_header + "\n" + FrameBytes(kSmall, k);
    return s;
}

std::string ReadFrame(FrameSource& source, int n) {
    std::string out(source.format().frame_bytes, '\0');
    source.read(n, reinterpret_cast<std::uint8_t*>(out.data()));
    return out;
}

TEST(FrameInput, Y4mFileIsIndexedWithFrameParameters) {
    const testing::Workspace dir;
    testing::Spit(dir.File("a.y4m"), SmallY4m(3, "FRAME Ip XA=1"));
    const auto source = FrameSource::open({dir.File("a.y4m")}, {});
    const InputFormat& f = source->format();
    EXPECT_TRUE(f.y4m);
    EXPECT_EQ(f.y4m_header, kSmallHeader);
    EXPECT_EQ(f.frame_count, 3);
    EXPECT_EQ(f.layout, Layout::yv12);
    EXPECT_EQ(f.fps.numerator, 24u);
    EXPECT_EQ(f.frame_bytes, kSmall);
    for (int k : {2, 0, 1}) EXPECT_EQ(ReadFrame(*source, k), FrameBytes(kSmall, k)) << k;
    EXPECT_FALSE(source->ensure(3));
    EXPECT_THROW(ReadFrame(*source, 3), EndOfInput);
}

TEST(FrameInput, RawFileNeedsWholeFrames) {
    const testing::Workspace dir;
    const std::size_t rgb = 8 * 4 * 3;
    testing::Spit(dir.File("a.rgb"), FrameBytes(rgb, 0) + FrameBytes(rgb, 1));
    const auto source = FrameSource::open({dir.File("a.rgb"), Layout::rgb24, PictureSize{8, 4}, FrameRate{30, 1}}, {});
    EXPECT_EQ(source->format().frame_count, 2);
    EXPECT_EQ(ReadFrame(*source, 1), FrameBytes(rgb, 1));

    testing::Spit(dir.File("b.rgb"), FrameBytes(rgb, 0) + FrameBytes(rgb - 1, 1));
    EXPECT_NE(ErrorOf([&] {
                  FrameSource::open({dir.File("b.rgb"), Layout::rgb24, PictureSize{8, 4}, {}}, {});
              }).find("not a whole number of 96-byte frames (95 bytes left over)"),
              std::string::npos);
}

TEST(FrameInput, DamagedFilesAreRefusedWhenOpened) {
    const testing::Workspace dir;
    const std::string whole = SmallY4m(3);
    struct Case {
        std::string bytes;
        std::optional<Layout> layout;  // none: no raw options
        PictureSize size;
        const char* expected;
    };
    const Case cases[] = {
        {whole.substr(0, whole.size() - 1), {}, {}, "frame 2 is truncated (383 of 384 bytes)"},
        {whole.substr(0, whole.size() - kSmall - 3), {}, {}, "frame 2 is truncated (its FRAME header is incomplete)"},
        {std::string(kSmallHeader) + "\nFRAMX\n" + FrameBytes(kSmall, 0), {}, {}, "frame 0: bad Y4M frame header"},
        {"", {}, {}, "input is empty"},
        {"YUV4MPEG2 W16 H16 C420", {}, {}, "header has no end of line"},
        {"YUV4MPEG2 W15 H16\n", {}, {}, "YV12 needs an even width"},
        {"YUV4MPEG2 W16 H16 C444p17\n", {}, {}, "C444p17 is not supported"},
        {"raw bytes", {}, {}, "raw input needs --format and --size"},
        {whole, Layout::yv12, {16, 16}, "--format, --size and --fps are for raw input only"},
        {std::string(12, 'x'), Layout::yuy2, {3, 2}, "YUY2 needs an even width"},
    };
    for (const Case& c : cases) {
        testing::Spit(dir.File("bad"), c.bytes);
        InputRequest request{dir.File("bad")};
        if (c.layout) {
            request.layout = c.layout;
            request.size = c.size;
        }
        const std::string error = ErrorOf([&] { FrameSource::open(request, {}); });
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        EXPECT_EQ(error.rfind("dunmorel: " + dir.File("bad"), 0), 0u) << error;
    }
    EXPECT_NE(ErrorOf([&] { FrameSource::open({dir.File("missing")}, {}); }).find("cannot open input"),
              std::string::npos);
}

// A named pipe fed by a thread, so that the input is read as a stream.
class FedPipe {
public:
    FedPipe(const testing::Workspace& dir, std::string bytes) : path_(dir.File("fifo")) {
        if (mkfifo(path_.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
        writer_ = std::thread([this, bytes = std::move(bytes)] {
            const int fd = open(path_.c_str(), O_WRONLY);
            if (fd < 0) return;
            std::size_t done = 0;
            while (done < bytes.size()) {
                const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
                if (put <= 0) break;  // the reader went away
                done += static_cast<std::size_t>(put);
            }
            close(fd);
        });
    }
    ~FedPipe() { writer_.join(); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::thread writer_;
};

TEST(FrameInput, PipeKeepsOnlyWantedFramesAndSpillsFarReadAhead) {
    const testing::Workspace dir;
    FedPipe pipe(dir, SmallY4m(9));
    // Frames from 2 on are wanted, frame 6 is the reference; one frame fits in memory.
    auto source = FrameSource::open({pipe.path()}, {2, 6, 1});
    EXPECT_FALSE(source->format().frame_count.has_value());
    // The reference first, as the calibration asks for it: frames 2..5 are read on the way.
    EXPECT_EQ(ReadFrame(*source, 6), FrameBytes(kSmall, 6));
    for (int k = 2; k <= 8; ++k) {
        ASSERT_TRUE(source->ensure(k));
        EXPECT_EQ(ReadFrame(*source, k), FrameBytes(kSmall, k)) << k;
        source->release(k + 1);
    }
    EXPECT_FALSE(source->ensure(9));
    EXPECT_THROW(ReadFrame(*source, 9), EndOfInput);
    // Dropped while read (below the first wanted frame) and released ones are gone.
    EXPECT_NE(ErrorOf([&] { ReadFrame(*source, 1); }).find("dropped"), std::string::npos);
    EXPECT_NE(ErrorOf([&] { ReadFrame(*source, 5); }).find("dropped"), std::string::npos);
}

TEST(FrameInput, PipeReferenceBeforeTheFirstWantedFrameIsKept) {
    const testing::Workspace dir;
    FedPipe pipe(dir, SmallY4m(6));
    auto source = FrameSource::open({pipe.path()}, {4, 1, 2});
    ASSERT_TRUE(source->ensure(4));
    EXPECT_EQ(ReadFrame(*source, 4), FrameBytes(kSmall, 4));
    EXPECT_EQ(ReadFrame(*source, 1), FrameBytes(kSmall, 1));
}

TEST(FrameInput, PipeTruncatedFrameFailsAfterTheWholeOnes) {
    const testing::Workspace dir;
    const std::string whole = SmallY4m(3);
    FedPipe pipe(dir, whole.substr(0, whole.size() - 10));
    auto source = FrameSource::open({pipe.path()}, {});
    ASSERT_TRUE(source->ensure(1));
    EXPECT_EQ(ReadFrame(*source, 1), FrameBytes(kSmall, 1));
    EXPECT_NE(ErrorOf([&] { source->ensure(2); }).find("frame 2 is truncated (374 of 384 bytes)"), std::string::npos);
}

TEST(FrameInput, RawPipe) {
    const testing::Workspace dir;
    const std::size_t yuy2 = 4 * 2 * 2;
    FedPipe pipe(dir, FrameBytes(yuy2, 0) + FrameBytes(yuy2, 1) + FrameBytes(yuy2, 2).substr(0, 5));
    auto source = FrameSource::open({pipe.path(), Layout::yuy2, PictureSize{4, 2}, {}}, {});
    EXPECT_FALSE(source->format().y4m);
    EXPECT_EQ(source->format().fps.numerator, 25u);
    ASSERT_TRUE(source->ensure(1));
    EXPECT_EQ(ReadFrame(*source, 0), FrameBytes(yuy2, 0));
    EXPECT_NE(ErrorOf([&] { source->ensure(2); }).find("frame 2 is truncated (5 of 16 bytes)"), std::string::npos);
}

// --- demo clip and PSNR -------------------------------------------------------------------

TEST(Demo, ClipIsDeterministicAndHasTheNoiseItClaims) {
    const DemoNoise noise;
    const DemoClip a = synthesize_demo_clip(128, 96, 3, noise);
    const DemoClip b = synthesize_demo_clip(128, 96, 3, noise);
    EXPECT_EQ(a.frame_bytes, 128u * 96 * 3 / 2);
    EXPECT_EQ(a.clean.size(), 3 * a.frame_bytes);
    EXPECT_EQ(a.noisy, b.noisy);
    EXPECT_EQ(a.clean, b.clean);
    DemoNoise other = noise;
    other.seed += 1;
    EXPECT_NE(synthesize_demo_clip(128, 96, 3, other).noisy, a.noisy);

    // The measured noise power matches the standard deviations (the scene keeps clear of 0
    // and 255, so clamping does not bias it).
    const std::size_t luma = 128 * 96;
    double y = 0, c = 0;
    std::size_t ny = 0, nc = 0;
    for (std::size_t i = 0; i < a.clean.size(); ++i) {
        const double d = double(a.noisy[i]) - double(a.clean[i]);
        if (i % a.frame_bytes < luma) {
            y += d * d;
            ++ny;
        } else {
            c += d * d;
            ++nc;
        }
    }
    EXPECT_NEAR(std::sqrt(y / ny), noise.luma_sigma, 0.3);
    EXPECT_NEAR(std::sqrt(c / nc), noise.chroma_sigma, 0.3);
}

TEST(Demo, Psnr) {
    const std::vector<std::uint8_t> zero(100, 0), one(100, 1), mixed = [] {
        std::vector<std::uint8_t> v(100, 0);
        v[0] = 10;  // squared error 100 over 100 samples: MSE 1
        return v;
    }();
    EXPECT_TRUE(std::isinf(psnr(zero.data(), zero.data(), zero.size())));
    EXPECT_NEAR(psnr(zero.data(), one.data(), 100), 48.1308, 1e-4);
    EXPECT_NEAR(psnr(zero.data(), mixed.data(), 100), 48.1308, 1e-4);
    EXPECT_NEAR(psnr(zero.data(), std::vector<std::uint8_t>(100, 255).data(), 100), 0.0, 1e-9);
}

}  // namespace
}  // namespace dunmorel::cli
