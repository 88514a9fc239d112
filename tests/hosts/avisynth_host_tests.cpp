// The built plug-in inside a real AviSynth+ core, driven by scripts as a user drives it. Every
// script's frames and errors are compared with what the built `dunmorel` command (the stand-in
// server with the same plug-in) gives for the very same input frames, which this program dumps
// from the host. The program is compiled against the host's own headers, so it must not link
// anything of ours that declares the interface; the command runs as a child process instead.
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "avisynth.h"
#include "tests/cli_test_support.h"

extern char** environ;

// The header's inline helpers call the core through this table; it is set from each
// environment, as the core is opened at run time rather than linked.
const AVS_Linkage* AVS_linkage = nullptr;

namespace {

namespace fs = std::filesystem;
using dunmorel::cli::testing::Slurp;
using dunmorel::cli::testing::Spit;
using dunmorel::cli::testing::Workspace;
using Frames = std::vector<std::string>;

const std::string kCore = DUNMOREL_AVISYNTH_CORE;
const std::string kPlugin = DUNMOREL_PLUGIN_PATH;
const std::string kCommand = DUNMOREL_CLI_PATH;
constexpr int kClipFrames = 4;

int g_scripts_compared = 0;
int g_frames_compared = 0;

// The core library, opened once for the whole run with its symbols kept to itself: linked, or
// opened globally, its symbols and the header's inline copies in this program would interpose
// on each other.
class Core {
public:
    using Create = IScriptEnvironment*(AVSC_CC*)(int);

    static Core& Get() {
        static Core core;
        return core;
    }
    ~Core() { dlclose(handle_); }
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    Create create() const { return create_; }

private:
    Core() : handle_(dlopen(kCore.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        if (!handle_) throw std::runtime_error(std::string("cannot open the AviSynth+ core: ") + dlerror());
        create_ = reinterpret_cast<Create>(dlsym(handle_, "CreateScriptEnvironment"));
        if (!create_) throw std::runtime_error("the AviSynth+ core exports no CreateScriptEnvironment");
    }

    void* handle_;
    Create create_ = nullptr;
};

// I420, which no script filter of the host makes: a textured clip served from this program.
// Frame n is a gradient with position- and frame-dependent noise in every plane.
class TextureSource final : public IClip {
public:
    TextureSource(int width, int height) {
        vi_.width = width;
        vi_.height = height;
        vi_.fps_numerator = 25;
        vi_.fps_denominator = 1;
        vi_.num_frames = kClipFrames;
        vi_.pixel_type = VideoInfo::CS_I420;
    }

    static AVSValue AVSC_CC Create(AVSValue args, void*, IScriptEnvironment*) {
        return new TextureSource(args[0].AsInt(), args[1].AsInt());
    }

    PVideoFrame __stdcall GetFrame(int n, IScriptEnvironment* env) override {
        PVideoFrame frame = env->NewVideoFrame(vi_);
        const int planes[] = {PLANAR_Y, PLANAR_U, PLANAR_V};
        for (int p : planes) {
            BYTE* row = frame->GetWritePtr(p);
            for (int y = 0; y < frame->GetHeight(p); ++y, row += frame->GetPitch(p))
                for (int x = 0; x < frame->GetRowSize(p); ++x) {
                    std::uint32_t h = (x * 73856093u) ^ (y * 19349663u) ^ ((n + 7u * p) * 83492791u);
                    h = (h ^ (h >> 13)) * 0x5bd1e995u;
                    const int noise = static_cast<int>((h >> 24) % 31) - 15;
                    row[x] =
                        static_cast<BYTE>(p == PLANAR_Y ? 60 + x / 3 + y / 4 + noise : 128 + (x - y) / 8 + noise / 3);
                }
        }
        return frame;
    }
    bool __stdcall GetParity(int) override { return false; }
    void __stdcall GetAudio(void*, int64_t, int64_t, IScriptEnvironment*) override {}
    int __stdcall SetCacheHints(int, int) override { return 0; }
    const VideoInfo& __stdcall GetVideoInfo() override { return vi_; }

private:
    VideoInfo vi_{};
};

// One script environment of the core. HOME names a directory that does not exist, so that no
// plug-in of the user's own is autoloaded; `library_path`, when given, becomes LD_LIBRARY_PATH,
// whose entries the core searches for an avisynth/ folder of plug-ins to autoload.
class Host {
public:
    explicit Host(const std::string& library_path = "") {
        const fs::path home = fs::temp_directory_path() / ("dunmorel-no-home-" + std::to_string(getpid()));
        setenv("HOME", home.c_str(), 1);
        if (library_path.empty())
            unsetenv("LD_LIBRARY_PATH");
        else
            setenv("LD_LIBRARY_PATH", library_path.c_str(), 1);
        env_ = Core::Get().create()(AVISYNTH_INTERFACE_VERSION);
        if (!env_) throw std::runtime_error("the AviSynth+ core made no script environment");
        AVS_linkage = env_->GetAVSLinkage();
        env_->AddFunction("TextureSource", "ii", TextureSource::Create, nullptr);
    }
    ~Host() { env_->DeleteScriptEnvironment(); }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    IScriptEnvironment* env() { return env_; }

    PClip Eval(const std::string& script) { return env_->Invoke("Eval", AVSValue(script.c_str())).AsClip(); }

    // Every frame of the clip in the command's raw layout: each plane's rows, top row first.
    Frames Dump(const PClip& clip) {
        const VideoInfo& vi = clip->GetVideoInfo();
        const std::vector<int> planes =
            vi.IsPlanar() ? std::vector<int>{PLANAR_Y, PLANAR_U, PLANAR_V} : std::vector<int>{DEFAULT_PLANE};
        Frames frames;
        for (int n = 0; n < vi.num_frames; ++n) {
            const PVideoFrame f = clip->GetFrame(n, env_);
            std::string raw;
            for (int p : planes) {
                const int height = f->GetHeight(p);
                for (int y = 0; y < height; ++y) {
                    // Packed RGB is stored bottom-up.
                    const int row = vi.IsRGB() ? height - 1 - y : y;
                    raw.append(reinterpret_cast<const char*>(f->GetReadPtr(p)) + row * f->GetPitch(p),
                               static_cast<std::size_t>(f->GetRowSize(p)));
                }
            }
            frames.push_back(std::move(raw));
        }
        return frames;
    }

private:
    IScriptEnvironment* env_ = nullptr;
};

// What the dunmorel command did.
struct CommandRun {
    int status = -1;
    Frames frames;
    std::string error;  // its one line on standard error, without the newline
};

// The source clips: each textured, each at a size that is not a multiple of 16. `raw` is the
// command's --format, empty where the command has no such format.
struct Source {
    const char* name;
    const char* raw;
    int width;
    int height;
    const char* convert;  // the host's conversion of the textured planar clip
};

const Source kSources[] = {
    {"yv12", "yv12", 334, 270, "ConvertToYV12()"},    {"i420", "i420", 270, 246, nullptr},
    {"yuy2", "yuy2", 302, 229, "ConvertToYUY2()"},    {"rgb24", "rgb24", 301, 227, "ConvertToRGB24()"},
    {"rgb32", "rgb32", 333, 221, "ConvertToRGB32()"}, {"yv24", "", 334, 270, "ConvertToYV24()"},
    {"small", "yv12", 200, 160, "ConvertToYV12()"},
};

const Source& FindSource(const std::string& name) {
    for (const Source& s : kSources)
        if (name == s.name) return s;
    throw std::logic_error("no source " + name);
}

std::string SourceScript(const Source& s) {
    if (!s.convert) return "TextureSource(" + std::to_string(s.width) + ", " + std::to_string(s.height) + ")";
    // Bars with noise that depends on the position and the frame, in every plane.
    return "ColorBars(" + std::to_string(s.width) + ", " + std::to_string(s.height) +
           ", pixel_type=\"YV24\").Trim(0, " + std::to_string(kClipFrames - 1) +
           ").Expr(\"x sx 12.9898 * sy 78.233 * + frameno 3.7 * + sin 43758.5453 * dup floor - 30 "
           "* 15 - +\")." +
           s.convert;
}

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// "a=1 b=2" as script arguments: "a=1, b=2".
std::string ScriptArguments(const std::string& words) {
    std::string out;
    for (const std::string& w : Words(words)) out += (out.empty() ? "" : ", ") + w;
    return out;
}

std::string Join(const Frames& frames) {
    std::string all;
    for (const std::string& f : frames) all += f;
    return all;
}

// The built command over raw frames, as a child process: dunmorel --format F --size WxH -i IN
// -o OUT ARGS...
CommandRun RunCommand(const std::string& command, const Source& s, const Frames& input, const std::string& args,
                      const Workspace& ws) {
    const std::string in = ws.File("in.raw");
    const std::string out = ws.File("out.raw");
    const std::string err = ws.File("err.txt");
    Spit(in, Join(input));
    // One worker, so that frame 0 is the first request, as in the host. With print=true every
    // request calibrates again from the state that the one before left, so the report depends
    // on the order of requests; frames never do.
    std::vector<std::string> argv = {
        command,    "-q",  "--threads", "1",
        "--format", s.raw, "--size",    std::to_string(s.width) + "x" + std::to_string(s.height),
        "-i",       in,    "-o",        out};
    for (const std::string& w : Words(args)) argv.push_back(w);
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, command.c_str(), &actions, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot run " + command);
    int status = 0;
    waitpid(pid, &status, 0);

    CommandRun run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.error = Slurp(err);
    if (!run.error.empty() && run.error.back() == '\n') run.error.pop_back();
    const std::string bytes = Slurp(out);
    const std::size_t frame_bytes = input.empty() ? 0 : input[0].size();
    for (std::size_t at = 0; frame_bytes && at + frame_bytes <= bytes.size(); at += frame_bytes)
        run.frames.push_back(bytes.substr(at, frame_bytes));
    return run;
}

// How a script uses the filter, and how the command's runs make the expected frames.
enum class Use {
    once,  // src.Dunmorel(A)
    prefetch,  // src.Dunmorel(A).Prefetch(4), also against serial requests of the same script
    chained,  // src.Dunmorel(A).Dunmorel(B): the command run on its own output
    branches,  // Interleave(src.Dunmorel(A), src.Dunmorel(B)): the two runs' frames alternately
};

struct Case {
    const char* name;
    const char* source;
    const char* args;  // A, as NAME=VALUE words
    const char* fails_with = "";  // the start of the error every side must raise; "" for frames
    Use use = Use::once;
    const char* second_args = "";  // B
};

constexpr const char* kManual = "autow=false lx=21 rx=131 ty=17 by=97 xgrid=5 ygrid=7";
constexpr const char* kLater = "nf=2 xgrid=7 ygrid=3 limit=5 ry=3 gu=0 bv=2";

const Case kCases[] = {
    // Frames, three argument sets on every format.
    {"yv12_defaults", "yv12", ""},
    {"yv12_manual", "yv12", kManual},
    {"yv12_later_nf", "yv12", kLater},
    {"i420_defaults", "i420", ""},
    {"i420_manual", "i420", kManual},
    {"i420_later_nf", "i420", kLater},
    {"yuy2_defaults", "yuy2", ""},
    {"yuy2_manual", "yuy2", kManual},
    {"yuy2_later_nf", "yuy2", kLater},
    {"rgb24_defaults", "rgb24", ""},
    {"rgb24_manual", "rgb24", kManual},
    {"rgb24_later_nf", "rgb24", kLater},
    {"rgb32_defaults", "rgb32", ""},
    {"rgb32_manual", "rgb32", kManual},
    {"rgb32_later_nf", "rgb32", kLater},
    // The calibration report, raised at the first frame request.
    {"report_yv12", "yv12", "print=true", "window lx = "},
    {"report_i420", "i420", "print=true nf=3", "window lx = "},
    {"report_yuy2", "yuy2", "print=true xgrid=3", "window lx = "},
    {"report_rgb24", "rgb24", "print=true", "window lx = "},
    {"report_rgb32_manual", "rgb32", "print=true autow=false lx=21 rx=131 ty=17 by=97", "window lx = "},
    // Every argument check, raised when the script calls the filter.
    {"error_xgrid_even", "yv12", "xgrid=4", "Dunmorel:xgrid"},
    {"error_xgrid_large", "rgb24", "xgrid=13", "Dunmorel:xgrid"},
    {"error_ygrid", "yv12", "ygrid=1", "Dunmorel:ygrid"},
    {"error_format", "yv24", "", "Dunmorel:Only RGB32, RGB24 YUY2 and YV12 color formats are supported"},
    {"error_limit", "yuy2", "limit=21", "Dunmorel: limit"},
    {"error_nf_negative", "yv12", "nf=-1", "Dunmorel:invalid nf"},
    {"error_nf_beyond", "i420", "nf=4", "Dunmorel:invalid nf"},
    {"error_window_missing", "yv12", "autow=false lx=21 rx=131 ty=17", "Dunmorel: lx, rx, ty, by"},
    {"error_lx", "yv12", "autow=false lx=4 rx=131 ty=17 by=97", "Dunmorel: lx"},
    {"error_rx_near_lx", "rgb32", "autow=false lx=21 rx=60 ty=17 by=97", "Dunmorel:rx must be more"},
    {"error_rx_edge", "yv12", "autow=false lx=21 rx=329 ty=17 by=97", "Dunmorel:rx must not"},
    {"error_ty", "yv12", "autow=false lx=21 rx=131 ty=4 by=97", "Dunmorel: ty"},
    {"error_by_near_ty", "yv12", "autow=false lx=21 rx=131 ty=17 by=56", "Dunmorel:by minus ty"},
    {"error_by_edge", "rgb24", "autow=false lx=21 rx=131 ty=17 by=222", "Dunmorel:by must not"},
    {"error_minw_range", "yv12", "minw=100", "Dunmorel:window size for auto select"},
    {"error_small_frame", "small", "", "Dunmorel:A very small frame"},
    {"error_ry", "yv12", "ry=501", "Dunmorel: ry"},
    {"error_gu", "yv12", "gu=-1", "Dunmorel: gu"},
    {"error_bv", "yv12", "bv=501", "Dunmorel: bv"},
    {"error_all_strengths_zero", "yv12", "ry=0 gu=0 bv=0", "Dunmorel: ry, gu and bv"},
    // The host's threads and scripts with more than one filter.
    {"prefetch_yv12", "yv12", "", "", Use::prefetch},
    {"prefetch_rgb24_later_nf", "rgb24", kLater, "", Use::prefetch},
    {"chained_yuy2", "yuy2", "", "", Use::chained, "xgrid=3 ygrid=3"},
    {"branches_i420", "i420", kManual, "", Use::branches, "ry=0 gu=2"},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class HostVsCommand : public ::testing::TestWithParam<Case> {};

TEST_P(HostVsCommand, SameFramesOrSameError) {
    const Case& c = GetParam();
    const Source& s = FindSource(c.source);
    const std::string a = ScriptArguments(c.args);
    const std::string b = ScriptArguments(c.second_args);
    std::string script = "LoadPlugin(\"" + kPlugin + "\")\n";
    switch (c.use) {
        case Use::once:
            script += "src.Dunmorel(" + a + ")";
            break;
        case Use::prefetch:
            script += "src.Dunmorel(" + a + ").Prefetch(4)";
            break;
        case Use::chained:
            script += "src.Dunmorel(" + a + ").Dunmorel(" + b + ")";
            break;
        case Use::branches:
            script += "Interleave(src.Dunmorel(" + a + "), src.Dunmorel(" + b + "))";
            break;
    }

    Workspace ws;
    Host host;
    const PClip src = host.Eval(SourceScript(s));
    host.env()->SetVar("src", AVSValue(src));
    const Frames input = host.Dump(src);
    ASSERT_EQ(static_cast<int>(input.size()), kClipFrames);

    Frames frames;
    std::string error;
    try {
        frames = host.Dump(host.Eval(script));
    } catch (const AvisynthError& e) {
        error = e.msg;
    }
    ++g_scripts_compared;

    if (!*s.raw) {
        // A format the command cannot read: the host's text is compared with the whole message.
        EXPECT_EQ(error, c.fails_with);
        return;
    }
    CommandRun first = RunCommand(kCommand, s, input, c.args, ws);
    if (*c.fails_with) {
        EXPECT_EQ(first.status, 1);
        EXPECT_EQ(first.error.rfind(c.fails_with, 0), 0u) << first.error;
        EXPECT_EQ(error, first.error);
        EXPECT_TRUE(frames.empty());
        return;
    }
    ASSERT_EQ(first.status, 0) << first.error;
    ASSERT_EQ(error, "");
    Frames expected = first.frames;
    if (c.use == Use::chained) {
        const CommandRun second = RunCommand(kCommand, s, first.frames, c.second_args, ws);
        ASSERT_EQ(second.status, 0) << second.error;
        expected = second.frames;
    } else if (c.use == Use::branches) {
        const CommandRun second = RunCommand(kCommand, s, input, c.second_args, ws);
        ASSERT_EQ(second.status, 0) << second.error;
        expected.clear();
        for (std::size_t n = 0; n < first.frames.size() && n < second.frames.size(); ++n) {
            expected.push_back(first.frames[n]);
            expected.push_back(second.frames[n]);
        }
    } else if (c.use == Use::prefetch) {
        const Frames serial = host.Dump(host.Eval("src.Dunmorel(" + a + ")"));
        EXPECT_TRUE(serial == frames) << "Prefetch(4) changed the frames";
    }
    ASSERT_EQ(frames.size(), expected.size());
    for (std::size_t n = 0; n < frames.size(); ++n) {
        // Not EXPECT_EQ: a mismatch would print two whole frames.
        EXPECT_TRUE(frames[n] == expected[n]) << "frame " << n << " differs";
        ++g_frames_compared;
    }
    EXPECT_TRUE(Join(frames) != Join(input)) << "the filter left every frame unchanged";
}

INSTANTIATE_TEST_SUITE_P(Scripts, HostVsCommand, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// Clips the command cannot read but a host can describe: sizes whose area passes 32 bits are
// refused with their size; no frame is ever asked for.
TEST(HostOnly, FramesPast32BitsAreRefusedWithTheirSize) {
    Host host;
    for (const auto& [w, h] : {std::pair{"50000", "50000"}, std::pair{"92682", "46342"}}) {
        std::string error;
        try {
            // A resizer allocates nothing until a frame is asked for, unlike a source.
            host.Eval("LoadPlugin(\"" + kPlugin + "\")\nBlankClip(width=64, height=64, pixel_type=\"YV12\")" +
                      ".PointResize(" + w + ", " + h + ").Dunmorel()");
        } catch (const AvisynthError& e) {
            error = e.msg;
        }
        EXPECT_EQ(error, std::string("Dunmorel: a ") + w + "x" + h +
                             " frame is too large: its area and its row of bytes must stay below 2^31");
    }
}

// The installed tree: the host autoloads the plug-in with no LoadPlugin, and the installed
// command finds the installed plug-in by itself; both must give the same frames.
TEST(InstalledTree, AutoloadedPluginAndInstalledCommandAgree) {
    const char* prefix = std::getenv("DUNMOREL_INSTALL_PREFIX");
    if (!prefix || !*prefix) GTEST_SKIP() << "DUNMOREL_INSTALL_PREFIX names no install tree (CI sets it)";
    const fs::path libdir = fs::path(prefix) / DUNMOREL_INSTALL_LIBDIR;
    const fs::path installed = libdir / "avisynth" / "libdunmorel.so";
    ASSERT_TRUE(fs::is_regular_file(installed)) << installed;
    const Source& s = FindSource("yv12");

    Workspace ws;
    Host host(libdir.string());
    const PClip src = host.Eval(SourceScript(s));
    host.env()->SetVar("src", AVSValue(src));
    const Frames input = host.Dump(src);
    const Frames frames = host.Dump(host.Eval("src.Dunmorel(" + ScriptArguments(kLater) + ")"));
    // The module the host loaded is the installed file, not the build tree's.
    const std::string maps = Slurp("/proc/self/maps");
    EXPECT_NE(maps.find(fs::canonical(installed).string()), std::string::npos);
    EXPECT_EQ(maps.find(fs::canonical(kPlugin).string()), std::string::npos);

    const CommandRun run =
        RunCommand((fs::path(prefix) / DUNMOREL_INSTALL_BINDIR / "dunmorel").string(), s, input, kLater, ws);
    ASSERT_EQ(run.status, 0) << run.error;
    ASSERT_EQ(frames.size(), run.frames.size());
    for (std::size_t n = 0; n < frames.size(); ++n) EXPECT_TRUE(frames[n] == run.frames[n]) << "frame " << n;
    ++g_scripts_compared;
    g_frames_compared += static_cast<int>(frames.size());
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    if (g_scripts_compared > 0)
        std::printf("host tests: %d scripts compared with the command, %d filtered frames byte for byte\n",
                    g_scripts_compared, g_frames_compared);
    return status;
}
