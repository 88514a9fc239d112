// The built plug-ins inside a real AviSynth+ core, driven by scripts as a user drives them: the
// 2.5 plug-in (LoadPlugin) and the C-interface plug-in (LoadCPlugin, or autoloaded from the
// installed tree). Every script's frames and errors are compared with what the built `dunmorel`
// command (the stand-in server with the 2.5 plug-in) gives for the very same input frames, which
// this program dumps from the host, and the C plug-in's with the 2.5 plug-in's. The core is
// opened at run time and driven through its C interface only, as a Windows core built by
// another compiler must be; the program links nothing of ours that declares the interface.
//
// Built for Windows, the same program runs the C plug-in's DLL in a Windows core under Wine,
// where neither the 2.5 plug-in nor the command runs: there each script's result is compared
// with the one the Linux build of the same commit recorded (DUNMOREL_RECORD_DIR on Linux,
// DUNMOREL_REFERENCE_DIR on Windows), which the Linux run has compared with both.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include <gtest/gtest.h>

// The host's header in its form for programs that look the functions up themselves.
#define AVSC_NO_DECLSPEC
#include "avisynth_c.h"
#include "engine/arguments.h"
#include "tests/cli_test_support.h"
#include "tests/wide_clip.h"

namespace {

namespace fs = std::filesystem;
using dunmorel::cli::testing::Slurp;
using dunmorel::cli::testing::Spit;
using dunmorel::cli::testing::Workspace;
using Frames = std::vector<std::string>;

// A path as the host's file functions take it: under Wine, / is the root of drive Z:.
std::string native_path(const std::string& path) {
#if defined(_WIN32)
    if (!path.empty() && path[0] == '/') return "Z:" + path;
#endif
    return path;
}

const std::string kCore = native_path(DUNMOREL_AVISYNTH_CORE);
const std::string kPlugin = DUNMOREL_PLUGIN_PATH;
const std::string kCPlugin = native_path(DUNMOREL_C_PLUGIN_PATH);
const std::string kCommand = DUNMOREL_CLI_PATH;
constexpr int kClipFrames = 4;

int g_scripts_compared = 0;
int g_frames_compared = 0;

// ---- The platform: loading the core, the environment of the core, running the command. ----

#if defined(_WIN32)
void* open_library(const std::string& path) { return reinterpret_cast<void*>(LoadLibraryA(path.c_str())); }
void* library_symbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
void close_library(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }
std::string library_error() { return "error " + std::to_string(GetLastError()); }
void set_environment(const char* name, const std::string& value) { _putenv_s(name, value.c_str()); }
int process_id() { return static_cast<int>(GetCurrentProcessId()); }

// Runs argv[0] with the arguments, standard error into `err`; returns its exit status.
int run_process(const std::vector<std::string>& argv, const std::string& err) {
    std::string line;
    for (const std::string& a : argv) line += (line.empty() ? "\"" : " \"") + a + "\"";
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE error = CreateFileA(err.c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdError = error;
    PROCESS_INFORMATION pi{};
    const BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(error);
    if (!started) throw std::runtime_error("cannot run " + argv[0]);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(pi.hProcess, &status);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return static_cast<int>(status);
}
#else
// Opened with its symbols kept to itself, as ffmpeg opens it: the plug-ins must find the core's
// functions without the global scope.
void* open_library(const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }
void* library_symbol(void* library, const char* name) { return dlsym(library, name); }
void close_library(void* library) { dlclose(library); }
std::string library_error() { return dlerror(); }
void set_environment(const char* name, const std::string& value) {
    if (value.empty())
        unsetenv(name);
    else
        setenv(name, value.c_str(), 1);
}
int process_id() { return static_cast<int>(getpid()); }

int run_process(const std::vector<std::string>& argv, const std::string& err) {
    std::vector<std::string> args = argv;
    std::vector<char*> cargv;
    for (std::string& a : args) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot run " + argv[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

// ---- The core's C interface. ----

// A script or a frame request that failed, with the host's message.
class ScriptError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// clang-format off
#define DUNMOREL_HOST_FUNCTIONS(X)                                                                             \
    X(create_script_environment) X(delete_script_environment) X(add_function) X(invoke) X(set_var)            \
    X(release_value) X(take_clip) X(release_clip) X(set_to_clip) X(clip_get_error) X(get_video_info)          \
    X(get_frame) X(release_video_frame) X(new_c_filter) X(new_video_frame_a) X(get_read_ptr_p)                \
    X(get_write_ptr_p) X(get_pitch_p) X(get_row_size_p) X(get_height_p) X(get_error)
// clang-format on

// The core library, opened once for the whole run; every function is looked up by name.
class Core {
public:
    static Core& Get() {
        static Core core;
        return core;
    }
    ~Core() { close_library(handle_); }
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

#define DUNMOREL_HOST_MEMBER(name) avs_##name##_func name = nullptr;
    DUNMOREL_HOST_FUNCTIONS(DUNMOREL_HOST_MEMBER)
#undef DUNMOREL_HOST_MEMBER

private:
    Core() : handle_(open_library(kCore)) {
        if (!handle_) throw std::runtime_error("cannot open the AviSynth+ core: " + library_error());
#define DUNMOREL_HOST_LOOKUP(name)                                                     \
    name = reinterpret_cast<avs_##name##_func>(library_symbol(handle_, "avs_" #name)); \
    if (!name) throw std::runtime_error("the AviSynth+ core exports no avs_" #name);
        DUNMOREL_HOST_FUNCTIONS(DUNMOREL_HOST_LOOKUP)
#undef DUNMOREL_HOST_LOOKUP
    }

    void* handle_;
};

Core& core() { return Core::Get(); }

// A script value that owns what it holds (a clip's reference).
class ValueRef {
public:
    explicit ValueRef(AVS_Value v) : v_(v) {}
    ~ValueRef() { core().release_value(v_); }
    ValueRef(const ValueRef&) = delete;
    ValueRef& operator=(const ValueRef&) = delete;
    const AVS_Value& get() const { return v_; }

private:
    AVS_Value v_;
};

class ClipRef {
public:
    ClipRef(const AVS_Value& v, AVS_ScriptEnvironment* env) : clip_(core().take_clip(v, env)) {}
    ~ClipRef() { core().release_clip(clip_); }
    ClipRef(const ClipRef&) = delete;
    ClipRef& operator=(const ClipRef&) = delete;
    AVS_Clip* get() const { return clip_; }

private:
    AVS_Clip* clip_;
};

// A textured clip served from this program, in I420, which no script filter of the host makes:
// frame n is a gradient with position- and frame-dependent noise in every plane.
AVS_VideoFrame* AVSC_CC TextureFrame(AVS_FilterInfo* fi, int n) {
    Core& c = core();
    AVS_VideoFrame* frame = c.new_video_frame_a(fi->env, &fi->vi, 64);
    const int planes[] = {AVS_PLANAR_Y, AVS_PLANAR_U, AVS_PLANAR_V};
    for (int p : planes) {
        BYTE* row = c.get_write_ptr_p(frame, p);
        for (int y = 0; y < c.get_height_p(frame, p); ++y, row += c.get_pitch_p(frame, p))
            for (int x = 0; x < c.get_row_size_p(frame, p); ++x) {
                std::uint32_t h = (x * 73856093u) ^ (y * 19349663u) ^ ((n + 7u * p) * 83492791u);
                h = (h ^ (h >> 13)) * 0x5bd1e995u;
                const int noise = static_cast<int>((h >> 24) % 31) - 15;
                row[x] =
                    static_cast<BYTE>(p == AVS_PLANAR_Y ? 60 + x / 3 + y / 4 + noise : 128 + (x - y) / 8 + noise / 3);
            }
    }
    return frame;
}
int AVSC_CC TextureParity(AVS_FilterInfo*, int) { return 0; }
int AVSC_CC TextureAudio(AVS_FilterInfo*, void*, int64_t, int64_t) { return 0; }
int AVSC_CC TextureHints(AVS_FilterInfo*, int, int) { return 0; }
void AVSC_CC TextureFree(AVS_FilterInfo*) {}

// TextureSource(width, height, frames)
AVS_Value AVSC_CC TextureCreate(AVS_ScriptEnvironment* env, AVS_Value args, void*) {
    AVS_FilterInfo* fi = nullptr;
    AVS_Clip* clip = core().new_c_filter(env, &fi, avs_void, 0);
    const AVS_Value* a = avs_as_array(args);
    fi->vi = AVS_VideoInfo{};
    fi->vi.width = avs_as_int(a[0]);
    fi->vi.height = avs_as_int(a[1]);
    fi->vi.fps_numerator = 25;
    fi->vi.fps_denominator = 1;
    fi->vi.num_frames = avs_as_int(a[2]);
    fi->vi.pixel_type = AVS_CS_I420;
    fi->get_frame = TextureFrame;
    fi->get_parity = TextureParity;
    fi->get_audio = TextureAudio;
    fi->set_cache_hints = TextureHints;
    fi->free_filter = TextureFree;
    AVS_Value v;
    core().set_to_clip(&v, clip);
    core().release_clip(clip);
    return v;
}

// One script environment of the core. HOME names a directory that does not exist, so that no
// plug-in of the user's own is autoloaded; `library_path`, when given, becomes LD_LIBRARY_PATH,
// whose entries the core searches for an avisynth/ folder of plug-ins to autoload.
class Host {
public:
    explicit Host(const std::string& library_path = "") {
        const fs::path home = fs::temp_directory_path() / ("dunmorel-no-home-" + std::to_string(process_id()));
        set_environment("HOME", home.string());
        set_environment("LD_LIBRARY_PATH", library_path);
        env_ = core().create_script_environment(AVISYNTH_INTERFACE_VERSION);
        if (!env_) throw std::runtime_error("the AviSynth+ core made no script environment");
        if (const char* error = core().get_error(env_)) {
            core().delete_script_environment(env_);
            throw std::runtime_error(std::string("the AviSynth+ core made no script environment: ") + error);
        }
        if (core().add_function(env_, "TextureSource", "iii", TextureCreate, nullptr) != 0)
            throw std::runtime_error("the AviSynth+ core refused TextureSource");
    }
    ~Host() { core().delete_script_environment(env_); }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // The script's value; a failing script throws its message.
    std::unique_ptr<ValueRef> Eval(const std::string& script) {
        const AVS_Value v = core().invoke(env_, "Eval", avs_new_value_string(script.c_str()), nullptr);
        if (avs_is_error(v)) throw ScriptError(avs_as_error(v));
        return std::make_unique<ValueRef>(v);
    }
    std::unique_ptr<ClipRef> EvalClip(const std::string& script) {
        const auto v = Eval(script);
        if (!avs_is_clip(v->get())) throw ScriptError("the script gave no clip");
        return std::make_unique<ClipRef>(v->get(), env_);
    }
    void SetVar(const char* name, const std::string& script) {
        const auto v = Eval(script);
        core().set_var(env_, name, v->get());
    }

    // Every frame of the clip in the command's raw layout: each plane's rows, top row first.
    Frames Dump(const ClipRef& clip) {
        Core& c = core();
        const AVS_VideoInfo* vi = c.get_video_info(clip.get());
        // Planar RGB in the engine's order, B, G, R.
        const std::vector<int> planes = !avs_is_planar(vi) ? std::vector<int>{AVS_DEFAULT_PLANE}
                                        : avs_is_rgb(vi)   ? std::vector<int>{AVS_PLANAR_B, AVS_PLANAR_G, AVS_PLANAR_R}
                                                           : std::vector<int>{AVS_PLANAR_Y, AVS_PLANAR_U, AVS_PLANAR_V};
        Frames frames;
        for (int n = 0; n < vi->num_frames; ++n) {
            AVS_VideoFrame* f = c.get_frame(clip.get(), n);
            if (!f) {
                const char* error = c.clip_get_error(clip.get());
                throw ScriptError(error ? error : "no frame");
            }
            std::string raw;
            for (int p : planes) {
                const int height = c.get_height_p(f, p);
                for (int y = 0; y < height; ++y) {
                    // Packed RGB is stored bottom-up.
                    const int row = avs_is_rgb(vi) ? height - 1 - y : y;
                    raw.append(reinterpret_cast<const char*>(c.get_read_ptr_p(f, p)) + row * c.get_pitch_p(f, p),
                               static_cast<std::size_t>(c.get_row_size_p(f, p)));
                }
            }
            c.release_video_frame(f);
            frames.push_back(std::move(raw));
        }
        return frames;
    }

private:
    AVS_ScriptEnvironment* env_ = nullptr;
};

// ---- The command, and the table of scripts. ----

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
    // Where the command has no such format: the engine's layout, compared with the engine itself.
    dunmorel::PixelFormat layout = dunmorel::PixelFormat::other;
    int bits = 8;
};

using dunmorel::PixelFormat;

const Source kSources[] = {
    {"yv12", "yv12", 334, 270, "ConvertToYV12()"},
    {"i420", "i420", 270, 246, nullptr},
    {"yuy2", "yuy2", 302, 229, "ConvertToYUY2()"},
    {"rgb24", "rgb24", 301, 227, "ConvertToRGB24()"},
    {"rgb32", "rgb32", 333, 221, "ConvertToRGB32()"},
    {"small", "yv12", 200, 160, "ConvertToYV12()"},
    {"yv16", "yuv422p", 334, 270, "ConvertToYV16()"},
    {"y8", "gray", 302, 230, "ConvertToY8()"},
    {"yuv420p10", "", 334, 270, "ConvertToYV12().ConvertBits(10)", PixelFormat::yv12, 10},
    {"yuv422p12", "", 302, 230, "ConvertToYV16().ConvertBits(12)", PixelFormat::yuv422, 12},
    {"yuv444p16", "", 301, 227, "ConvertBits(16)", PixelFormat::yuv444, 16},
    {"y14", "", 302, 230, "ConvertToY8().ConvertBits(14)", PixelFormat::grey, 14},
    {"rgbp10", "", 333, 221, "ConvertToPlanarRGB().ConvertBits(10)", PixelFormat::planar_rgb, 10},
    {"yuv420ps", "", 334, 270, "ConvertToYV12().ConvertBits(32)"},
    {"yv411", "", 640, 240, "ConvertToYV411()"},
};

const Source& FindSource(const std::string& name) {
    for (const Source& s : kSources)
        if (name == s.name) return s;
    throw std::logic_error("no source " + name);
}

std::string SourceScript(const Source& s, int frames) {
    const std::string size = std::to_string(s.width) + ", " + std::to_string(s.height);
    if (!s.convert) return "TextureSource(" + size + ", " + std::to_string(frames) + ")";
    // Bars with noise that depends on the position and the frame, in every plane.
    return "ColorBars(" + size + ", pixel_type=\"YV24\").Trim(0, " + std::to_string(frames - 1) +
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

    CommandRun run;
    run.status = run_process(argv, err);
    run.error = Slurp(err);
    while (!run.error.empty() && (run.error.back() == '\n' || run.error.back() == '\r')) run.error.pop_back();
    const std::string bytes = Slurp(out);
    const std::size_t frame_bytes = input.empty() ? 0 : input[0].size();
    for (std::size_t at = 0; frame_bytes && at + frame_bytes <= bytes.size(); at += frame_bytes)
        run.frames.push_back(bytes.substr(at, frame_bytes));
    return run;
}

// The engine itself over the raw frames of a source it carries, as the host hands them over:
// each plane's rows, samples of one or two bytes (little-endian words on x86).
struct EngineRun {
    Frames frames;
    std::string error;
};

EngineRun RunEngine(const Source& s, const Frames& input, const std::string& args) {
    using namespace dunmorel;
    const ClipFormat clip{s.layout, s.width, s.height, static_cast<std::int32_t>(input.size()), s.bits};
    ArgumentValues given;
    for (const std::string& w : Words(args)) {
        const std::string name = w.substr(0, w.find('='));
        const std::string value = w.substr(w.find('=') + 1);
        for (int i = kClip + 1; i < kArgumentCount; ++i)
            if (name == kArguments[i].name) given[i] = value == "true" ? 1 : value == "false" ? 0 : std::stoi(value);
    }
    std::vector<test::WideFrame> frames;
    for (const std::string& raw : input) {
        test::WideFrame f(clip);
        std::size_t at = 0;
        for (int p = 0; p < f.planes(); ++p)
            for (int r = 0; r < plane_height(clip, p); ++r)
                for (int c = 0; c < plane_width(clip, p); ++c, at += f.bytes())
                    f.set(p, r, c,
                          f.bytes() == 1
                              ? static_cast<std::uint8_t>(raw[at])
                              : static_cast<std::uint8_t>(raw[at]) | static_cast<std::uint8_t>(raw[at + 1]) << 8);
        frames.push_back(std::move(f));
    }
    EngineRun run;
    try {
        FilterEngine engine(clip, resolve_arguments(given, clip).values);
        for (const test::WideFrame& f : test::filter_all(engine, frames)) {
            std::string raw;
            for (int p = 0; p < f.planes(); ++p)
                for (int r = 0; r < plane_height(clip, p); ++r)
                    for (int c = 0; c < plane_width(clip, p); ++c) {
                        raw += static_cast<char>(f.get(p, r, c) & 0xff);
                        if (f.bytes() == 2) raw += static_cast<char>(f.get(p, r, c) >> 8);
                    }
            run.frames.push_back(std::move(raw));
        }
    } catch (const FilterError& e) {
        run.error = e.what();
    }
    return run;
}

// The two plug-ins, each loaded by the script that uses it.
enum class Plugin { v25, c };

std::string LoadLine(Plugin p) {
    return p == Plugin::v25 ? "LoadPlugin(\"" + kPlugin + "\")\n" : "LoadCPlugin(\"" + kCPlugin + "\")\n";
}

// How a script uses the filter, and how the command's runs make the expected frames.
enum class Use {
    once,  // src.Dunmorel(A)
    prefetch,  // src.Dunmorel(A).Prefetch(4) over 8 frames, also against serial requests of the same script
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
    const char* c_fails_with = nullptr;  // the C plug-in's whole message where it differs
    // The C plug-in's script reads src with c_in appended and gives its clip with c_out appended:
    // the same picture in a layout of its own, turned back for comparison.
    const char* c_in = "";
    const char* c_out = "";
    bool c_only = false;  // a layout the 2.5 plug-in refuses: the C plug-in against the command
};

constexpr const char* kManual = "autow=false lx=21 rx=131 ty=17 by=97 xgrid=5 ygrid=7";
constexpr const char* kLater = "nf=2 xgrid=7 ygrid=3 limit=5 ry=3 gu=0 bv=2";
constexpr const char* kCFormats =
    "Dunmorel: only 8-bit YV24, YV16, YV12, I420, YV411, Y8, YUY2, RGB24, RGB32 and planar RGB clips and 10- to "
    "16-bit YUV444, YUV422, YUV420, Y and planar RGB clips are accepted";
constexpr const char* kV25Formats = "Dunmorel:Only RGB32, RGB24 YUY2 and YV12 color formats are supported";
constexpr const char* kPlanarRgb = ".ConvertToPlanarRGB()";
constexpr const char* kPackedRgb = ".ConvertToRGB24()";

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
    // The layouts only the C plug-in takes: 4:2:2 planar and grey against the command, planar RGB
    // against the 2.5 plug-in on the same picture in RGB24.
    {"yv16_defaults", "yv16", "", "", Use::once, "", nullptr, "", "", true},
    {"yv16_manual", "yv16", kManual, "", Use::once, "", nullptr, "", "", true},
    {"yv16_later_nf", "yv16", kLater, "", Use::once, "", nullptr, "", "", true},
    {"y8_defaults", "y8", "", "", Use::once, "", nullptr, "", "", true},
    {"y8_manual", "y8", kManual, "", Use::once, "", nullptr, "", "", true},
    {"y8_later_nf", "y8", kLater, "", Use::once, "", nullptr, "", "", true},
    {"planar_rgb_defaults", "rgb24", "", "", Use::once, "", nullptr, kPlanarRgb, kPackedRgb},
    {"planar_rgb_manual", "rgb24", kManual, "", Use::once, "", nullptr, kPlanarRgb, kPackedRgb},
    {"planar_rgb_later_nf", "rgb24", kLater, "", Use::once, "", nullptr, kPlanarRgb, kPackedRgb},
    {"report_planar_rgb", "rgb24", "print=true", "window lx = ", Use::once, "", nullptr, kPlanarRgb, kPackedRgb},
    {"report_y8", "y8", "print=true", "window lx = ", Use::once, "", nullptr, "", "", true},
    {"error_format", "yuv420ps", "", kV25Formats, Use::once, "", kCFormats},
    // Chroma four times narrower than luma needs room for the window's margins there too.
    {"error_window_outside_chroma_yv411", "yv411", "autow=false lx=5 rx=100 ty=10 by=100",
     "Dunmorel: plane 1 of a 4:1:1 clip cannot hold the noise window and its margins: it needs columns -1 to 27 of 0 "
     "to 159",
     Use::once, "", nullptr, "", "", true},
    // A refused format still comes after the grid checks.
    {"error_format_after_xgrid", "yuv420ps", "xgrid=4", "Dunmorel:xgrid should be odd positive number from 3 to 11"},
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
    // 10 to 16 bits, which only the C plug-in takes: against the engine on the same words.
    {"yuv420p10_defaults", "yuv420p10", "", "", Use::once, "", nullptr, "", "", true},
    {"yuv420p10_later_nf", "yuv420p10", kLater, "", Use::once, "", nullptr, "", "", true},
    {"yuv422p12_manual", "yuv422p12", kManual, "", Use::once, "", nullptr, "", "", true},
    {"yuv444p16_defaults", "yuv444p16", "", "", Use::once, "", nullptr, "", "", true},
    {"y14_later_nf", "y14", kLater, "", Use::once, "", nullptr, "", "", true},
    {"rgbp10_defaults", "rgbp10", "", "", Use::once, "", nullptr, "", "", true},
    {"report_yuv444p16", "yuv444p16", "print=true", "window lx = ", Use::once, "", nullptr, "", "", true},
    {"prefetch_yuv420p10", "yuv420p10", kManual, "", Use::prefetch, "", nullptr, "", "", true},
    // The host's threads and scripts with more than one filter.
    {"prefetch_yv12", "yv12", "", "", Use::prefetch},
    {"prefetch_rgb24_later_nf", "rgb24", kLater, "", Use::prefetch},
    {"prefetch_yv16", "yv16", kManual, "", Use::prefetch, "", nullptr, "", "", true},
    {"prefetch_planar_rgb", "rgb24", "", "", Use::prefetch, "", nullptr, kPlanarRgb, kPackedRgb},
    {"chained_yuy2", "yuy2", "", "", Use::chained, "xgrid=3 ygrid=3"},
    {"branches_i420", "i420", kManual, "", Use::branches, "ry=0 gu=2"},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// What one plug-in made of a case's script, in an environment of its own (two plug-ins that
// register one name in one environment would make the calls ambiguous).
struct ScriptRun {
    Frames input;
    Frames frames;
    Frames serial;  // for Use::prefetch: the same filter without Prefetch
    std::string error;
};

ScriptRun RunScript(Plugin plugin, const Case& c, const Source& s, int frames) {
    const std::string a = ScriptArguments(c.args);
    const std::string b = ScriptArguments(c.second_args);
    const std::string in = plugin == Plugin::c ? std::string("src") + c.c_in : "src";
    const std::string out = plugin == Plugin::c ? c.c_out : "";
    std::string script = LoadLine(plugin);
    switch (c.use) {
        case Use::once:
            script += in + ".Dunmorel(" + a + ")" + out;
            break;
        case Use::prefetch:
            script += in + ".Dunmorel(" + a + ").Prefetch(4)" + out;
            break;
        case Use::chained:
            script += in + ".Dunmorel(" + a + ").Dunmorel(" + b + ")" + out;
            break;
        case Use::branches:
            script += "Interleave(" + in + ".Dunmorel(" + a + "), " + in + ".Dunmorel(" + b + "))" + out;
            break;
    }
    ScriptRun run;
    Host host;
    host.SetVar("src", SourceScript(s, frames));
    run.input = host.Dump(*host.EvalClip("src"));
    try {
        run.frames = host.Dump(*host.EvalClip(script));
        if (c.use == Use::prefetch) run.serial = host.Dump(*host.EvalClip(in + ".Dunmorel(" + a + ")" + out));
    } catch (const ScriptError& e) {
        run.error = e.what();
    }
    return run;
}

// One line per case for the summary: what was compared with what, and whether it was equal.
std::vector<std::string> g_table;

// A recorded result on file: each text's length and bytes, each list's count first.
void put_text(std::ofstream& out, const std::string& t) {
    const std::uint64_t n = t.size();
    out.write(reinterpret_cast<const char*>(&n), sizeof n);
    out.write(t.data(), static_cast<std::streamsize>(n));
}
std::string get_text(std::ifstream& in) {
    std::uint64_t n = 0;
    in.read(reinterpret_cast<char*>(&n), sizeof n);
    std::string t(in ? n : 0, '\0');
    in.read(t.data(), static_cast<std::streamsize>(t.size()));
    return t;
}

void record(const std::string& key, const std::vector<Frames>& lists, const std::string& error) {
    const char* dir = std::getenv("DUNMOREL_RECORD_DIR");
    if (!dir || !*dir) return;
    std::ofstream out(fs::path(dir) / key, std::ios::binary);
    put_text(out, error);
    for (const Frames& list : lists) {
        put_text(out, std::to_string(list.size()));
        for (const std::string& f : list) put_text(out, f);
    }
    if (!out.flush()) ADD_FAILURE() << "cannot record " << key << " in " << dir;
}

// The lists and error the Linux build recorded under `key`; false without a reference folder.
bool recorded(const std::string& key, std::vector<Frames>& lists, std::string& error) {
    const char* dir = std::getenv("DUNMOREL_REFERENCE_DIR");
    if (!dir || !*dir) return false;
    std::ifstream in(fs::path(native_path(dir)) / key, std::ios::binary);
    error = get_text(in);
    for (Frames& list : lists) {
        const std::string count = get_text(in);
        list.resize(count.empty() ? 0 : std::stoul(count));
        for (std::string& f : list) f = get_text(in);
    }
    if (!in) ADD_FAILURE() << "no recorded result " << key << " in " << dir;
    return true;
}

bool reference_run() {
    const char* dir = std::getenv("DUNMOREL_REFERENCE_DIR");
    return dir && *dir;
}

// The C plug-in's run of a case against the Linux build's (every case of the table, under Wine).
void CompareWithRecorded(const Case& c, const Source& s, int length) {
    const ScriptRun cur = RunScript(Plugin::c, c, s, length);
    std::vector<Frames> lists(3);
    std::string error;
    recorded(c.name, lists, error);
    EXPECT_TRUE(cur.input == lists[0]) << "the sources differ from the Linux build's";
    EXPECT_EQ(cur.error, error);
    EXPECT_TRUE(cur.frames == lists[1]) << "the frames differ from the Linux build's";
    EXPECT_TRUE(cur.serial == lists[2]) << "the serial frames differ from the Linux build's";
    if (c.use == Use::prefetch) {
        EXPECT_TRUE(cur.serial == cur.frames) << "Prefetch(4) changed the frames";
    }
    const bool same = cur.input == lists[0] && cur.error == error && cur.frames == lists[1] && cur.serial == lists[2];
    g_frames_compared += static_cast<int>(cur.frames.size());
    ++g_scripts_compared;
    g_table.push_back(c.name + std::string(": Windows C plug-in ") + (same ? "=" : "!=") + " Linux C plug-in (" +
                      (cur.error.empty() ? std::to_string(cur.frames.size()) + " frames byte for byte" : "message") +
                      ")");
}

class HostVsCommand : public ::testing::TestWithParam<Case> {};

TEST_P(HostVsCommand, SameFramesOrSameError) {
    const Case& c = GetParam();
    const Source& s = FindSource(c.source);
    const int length = c.use == Use::prefetch ? 8 : kClipFrames;
    if (reference_run()) return CompareWithRecorded(c, s, length);

    const ScriptRun old = RunScript(Plugin::v25, c, s, length);
    const ScriptRun cur = RunScript(Plugin::c, c, s, length);
    record(c.name, {cur.input, cur.frames, cur.serial}, cur.error);
    ASSERT_EQ(static_cast<int>(old.input.size()), length);
    ASSERT_TRUE(old.input == cur.input) << "the two environments made different sources";
    ++g_scripts_compared;

    std::string line = c.name + std::string(": ");
    if (c.c_only) {
        // A layout the 2.5 interface does not know: that plug-in refuses it, and the C plug-in's
        // own frames are compared with the command's below.
        EXPECT_EQ(old.error, kV25Formats);
        line += "2.5 plug-in refuses, C plug-in";
    } else {
        // The C plug-in against the 2.5 plug-in: the same frames, the same message.
        const std::string c_error = c.c_fails_with ? c.c_fails_with : old.error;
        EXPECT_EQ(cur.error, c_error);
        EXPECT_TRUE(cur.frames == old.frames) << "the C plug-in's frames differ from the 2.5 plug-in's";
        line += std::string("C plug-in ") + (cur.frames == old.frames && cur.error == c_error ? "=" : "!=") +
                (c.c_fails_with ? " its own format message" : " 2.5 plug-in") + ", 2.5 plug-in";
    }
    if (c.use == Use::prefetch) {
        EXPECT_TRUE(old.serial == old.frames) << "Prefetch(4) changed the 2.5 plug-in's frames";
        EXPECT_TRUE(cur.serial == cur.frames) << "Prefetch(4) changed the C plug-in's frames";
    }
    const ScriptRun& judged = c.c_only ? cur : old;

    if (!*s.raw && s.layout != PixelFormat::other) {
        // A format the command cannot read but the engine carries: the engine on the same words.
        const EngineRun engine = RunEngine(s, judged.input, c.args);
        EXPECT_EQ(judged.error.rfind(c.fails_with, 0), 0u) << judged.error;
        EXPECT_EQ(judged.error, engine.error);
        EXPECT_TRUE(judged.frames == engine.frames) << "the frames differ from the engine's";
        if (!*c.fails_with) {
            EXPECT_EQ(judged.frames.size(), judged.input.size());
            EXPECT_TRUE(Join(judged.frames) != Join(judged.input)) << "the filter left every frame unchanged";
        }
        g_frames_compared += static_cast<int>(judged.frames.size());
        g_table.push_back(
            line + " " + (judged.frames == engine.frames && judged.error == engine.error ? "=" : "!=") + " engine (" +
            (*c.fails_with ? std::string("message") : std::to_string(judged.frames.size()) + " frames byte for byte") +
            ")");
        return;
    }
    if (!*s.raw) {
        // A format the command cannot read: the host's text is compared with the whole message.
        EXPECT_EQ(judged.error, c.fails_with);
        g_table.push_back(line + " (" + std::to_string(cur.frames.size()) + " frames; command cannot read it)");
        return;
    }
    Workspace ws;
    CommandRun first = RunCommand(kCommand, s, judged.input, c.args, ws);
    if (*c.fails_with) {
        EXPECT_EQ(first.status, 1);
        EXPECT_EQ(first.error.rfind(c.fails_with, 0), 0u) << first.error;
        EXPECT_EQ(judged.error, first.error);
        EXPECT_TRUE(judged.frames.empty());
        g_table.push_back(line + " " + (judged.error == first.error ? "=" : "!=") + " command (message)");
        return;
    }
    ASSERT_EQ(first.status, 0) << first.error;
    ASSERT_EQ(judged.error, "");
    Frames expected = first.frames;
    if (c.use == Use::chained) {
        const CommandRun second = RunCommand(kCommand, s, first.frames, c.second_args, ws);
        ASSERT_EQ(second.status, 0) << second.error;
        expected = second.frames;
    } else if (c.use == Use::branches) {
        const CommandRun second = RunCommand(kCommand, s, judged.input, c.second_args, ws);
        ASSERT_EQ(second.status, 0) << second.error;
        expected.clear();
        for (std::size_t n = 0; n < first.frames.size() && n < second.frames.size(); ++n) {
            expected.push_back(first.frames[n]);
            expected.push_back(second.frames[n]);
        }
    }
    ASSERT_EQ(judged.frames.size(), expected.size());
    bool command_same = true;
    for (std::size_t n = 0; n < judged.frames.size(); ++n) {
        // Not EXPECT_EQ: a mismatch would print two whole frames.
        EXPECT_TRUE(judged.frames[n] == expected[n]) << "frame " << n << " differs";
        command_same = command_same && judged.frames[n] == expected[n];
        g_frames_compared += c.c_only ? 1 : 2;
    }
    EXPECT_TRUE(Join(judged.frames) != Join(judged.input)) << "the filter left every frame unchanged";
    g_table.push_back(line + " " + (command_same ? "=" : "!=") + " command (" + std::to_string(judged.frames.size()) +
                      " frames byte for byte)");
}

INSTANTIATE_TEST_SUITE_P(Scripts, HostVsCommand, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// YV24 and YV411, which neither the 2.5 plug-in nor the command carries: a plane subsampled by
// (sx, sy) is filtered as a grey clip of its size with the luma window's columns divided by sx and
// rows by sy, so each plane of the C plug-in's output is compared with the command's grey run on
// that plane alone. With the automatic window too, both layouts filter without refusing.
struct Subsampled {
    const char* name;
    const char* convert;
    int sx, sy;
};

class SubsampledPlanes : public ::testing::TestWithParam<Subsampled> {};

TEST_P(SubsampledPlanes, EachPlaneIsTheCommandsGreyClipWithTheWindowScaled) {
    const Subsampled& sub = GetParam();
    const Source luma{"", "gray", 1024, 512, sub.convert};
    const int lx = 64, rx = 64 + 4 * 48 - 1, ty = 48, by = 48 + 4 * 48 - 1;
    const std::string window = "autow=false lx=" + std::to_string(lx) + " rx=" + std::to_string(rx) +
                               " ty=" + std::to_string(ty) + " by=" + std::to_string(by);
    Workspace ws;
    Host host;
    host.SetVar("src", SourceScript(luma, kClipFrames));
    host.SetVar("filtered", LoadLine(Plugin::c) + "src.Dunmorel(" + ScriptArguments(window) + ")");
    const char* extract[] = {"ExtractY", "ExtractU", "ExtractV"};
    for (int p = 0; p < 3; ++p) {
        const int sx = p ? sub.sx : 1, sy = p ? sub.sy : 1;
        const Source plane{"", "gray", luma.width / sx, luma.height / sy, nullptr};
        const int w = (rx - lx + 1) / sx, h = (by - ty + 1) / sy;
        const std::string scaled = "autow=false lx=" + std::to_string(lx / sx) +
                                   " rx=" + std::to_string(lx / sx + w - 1) + " ty=" + std::to_string(ty / sy) +
                                   " by=" + std::to_string(ty / sy + h - 1);
        const Frames input = host.Dump(*host.EvalClip(std::string(extract[p]) + "(src)"));
        const Frames frames = host.Dump(*host.EvalClip(std::string(extract[p]) + "(filtered)"));
        const std::string key = std::string(sub.name) + "_plane" + std::to_string(p);
        std::vector<Frames> linux_lists(2);
        std::string unused;
        if (recorded(key, linux_lists, unused)) {
            EXPECT_TRUE(input == linux_lists[0] && frames == linux_lists[1])
                << key << " differs from the Linux build's";
            g_frames_compared += static_cast<int>(frames.size());
            g_table.push_back(key + ": Windows C plug-in " + (frames == linux_lists[1] ? "=" : "!=") +
                              " Linux C plug-in (" + std::to_string(frames.size()) + " frames byte for byte)");
            continue;
        }
        record(key, {input, frames}, "");
        const CommandRun run = RunCommand(kCommand, plane, input, scaled, ws);
        ASSERT_EQ(run.status, 0) << run.error;
        EXPECT_TRUE(frames == run.frames) << "plane " << p << " of " << sub.name << " differs";
        EXPECT_TRUE(Join(frames) != Join(input)) << "plane " << p << " of " << sub.name << " left unchanged";
        g_frames_compared += static_cast<int>(frames.size());
        g_table.push_back(std::string(sub.name) + " plane " + std::to_string(p) + ": C plug-in " +
                          (frames == run.frames ? "=" : "!=") + " command on it as a grey clip (" +
                          std::to_string(frames.size()) + " frames byte for byte)");
    }
    ++g_scripts_compared;
    EXPECT_EQ(host.Dump(*host.EvalClip("src.Dunmorel()")).size(), static_cast<std::size_t>(kClipFrames));
}

INSTANTIATE_TEST_SUITE_P(Layouts, SubsampledPlanes,
                         ::testing::Values(Subsampled{"yv24", "ConvertToYV24()", 1, 1},
                                           Subsampled{"yv411", "ConvertToYV411()", 4, 1}),
                         [](const ::testing::TestParamInfo<Subsampled>& info) { return std::string(info.param.name); });

// An 8-bit clip and the same words shifted left to a wider depth: the same calibration and
// report, and the wide output rounded back to 8 bits close to the 8-bit output (the two differ
// only where the 8-bit passes round away bits the wide ones keep).
struct Shifted {
    const char* name;
    const char* source;  // the 8-bit source
    const char* in;  // appended to it for the C plug-in's 8-bit layout
    int bits;
    const char* widen;  // the host's filter that makes the wide clip of it
};

void PrintTo(const Shifted& sh, std::ostream* os) { *os << sh.name; }

class ShiftedDepths : public ::testing::TestWithParam<Shifted> {};

TEST_P(ShiftedDepths, GiveTheEightBitReportAndCloseFrames) {
    const Shifted& sh = GetParam();
    const int shift = sh.bits - 8;
    Host host;
    host.SetVar("eight", SourceScript(FindSource(sh.source), kClipFrames) + sh.in);
    host.SetVar("wide", std::string("eight.") + sh.widen);
    const Frames eight = host.Dump(*host.EvalClip("eight"));
    const Frames wide = host.Dump(*host.EvalClip("wide"));
    ASSERT_EQ(eight.size(), wide.size());
    for (std::size_t n = 0; n < eight.size(); ++n) {
        ASSERT_EQ(wide[n].size(), 2 * eight[n].size());
        for (std::size_t i = 0; i < eight[n].size(); ++i)
            ASSERT_EQ(static_cast<std::uint8_t>(wide[n][2 * i]) | static_cast<std::uint8_t>(wide[n][2 * i + 1]) << 8,
                      static_cast<std::uint8_t>(eight[n][i]) << shift)
                << "the host did not shift sample " << i << " of frame " << n;
    }
    const std::string load = LoadLine(Plugin::c);
    auto report = [&](const char* clip, const char* args) {
        try {
            host.Dump(*host.EvalClip(load + clip + ".Dunmorel(print=true" + args + ")"));
        } catch (const ScriptError& e) {
            return std::string(e.what());
        }
        return std::string("no report");
    };
    for (const char* args : {"", ", nf=2, limit=5, xgrid=7"}) {
        const std::string expected = report("eight", args);
        EXPECT_EQ(expected.rfind("window lx = ", 0), 0u) << expected;
        EXPECT_EQ(report("wide", args), expected);
    }
    const Frames out8 = host.Dump(*host.EvalClip(load + "eight.Dunmorel()"));
    const Frames out_wide = host.Dump(*host.EvalClip(load + "wide.Dunmorel()"));
    ASSERT_EQ(out8.size(), out_wide.size());
    double sum = 0;
    std::size_t count = 0;
    for (std::size_t n = 0; n < out8.size(); ++n)
        for (std::size_t i = 0; i < out8[n].size(); ++i, ++count) {
            const int w =
                static_cast<std::uint8_t>(out_wide[n][2 * i]) | static_cast<std::uint8_t>(out_wide[n][2 * i + 1]) << 8;
            const int rounded = std::min(255, (w + (1 << (shift - 1))) >> shift);
            sum += std::abs(rounded - static_cast<std::uint8_t>(out8[n][i]));
        }
    const double mean = sum / static_cast<double>(count);
    EXPECT_LT(mean, 1.5) << "the wide passes are not the 8-bit ones";
    EXPECT_TRUE(out_wide != wide) << "the filter left every frame unchanged";
    g_frames_compared += static_cast<int>(out_wide.size());
    g_table.push_back(std::string(sh.name) + ": C plug-in report = its 8-bit report; frames rounded to 8 bits " +
                      std::to_string(mean).substr(0, 5) + " from the 8-bit frames on average");
}

INSTANTIATE_TEST_SUITE_P(
    Depths, ShiftedDepths,
    ::testing::Values(Shifted{"yv12_as_yuv420p10", "yv12", "", 10, "ConvertBits(10)"},
                      Shifted{"yv16_as_yuv422p16", "yv16", "", 16, "Expr(\"x 256 *\", format=\"YUV422P16\")"},
                      Shifted{"planar_rgb_as_rgbp12", "rgb24", kPlanarRgb, 12, "Expr(\"x 16 *\", format=\"RGBP12\")"}),
    [](const ::testing::TestParamInfo<Shifted>& info) { return std::string(info.param.name); });

#if defined(_WIN32)
const Plugin kPlugins[] = {Plugin::c};
#else
const Plugin kPlugins[] = {Plugin::v25, Plugin::c};
#endif

// Clips the command cannot read but a host can describe: sizes whose area passes 32 bits are
// refused with their size; no frame is ever asked for.
TEST(HostOnly, FramesPast32BitsAreRefusedWithTheirSize) {
    for (Plugin p : kPlugins) {
        Host host;
        for (const auto& [w, h] : {std::pair{"50000", "50000"}, std::pair{"92682", "46342"}}) {
            std::string error;
            try {
                // A resizer allocates nothing until a frame is asked for, unlike a source.
                host.EvalClip(LoadLine(p) + "BlankClip(width=64, height=64, pixel_type=\"YV12\")" + ".PointResize(" +
                              w + ", " + h + ").Dunmorel()");
            } catch (const ScriptError& e) {
                error = e.what();
            }
            EXPECT_EQ(error, std::string("Dunmorel: a ") + w + "x" + h +
                                 " frame is too large: its area and its row of bytes must stay below 2^31");
        }
    }
}

// Under Prefetch the host asks each filter for its threading mode and logs the ones that give
// none; the 2.5 interface cannot give one, the C plug-in does.
TEST(HostOnly, OnlyThe25PluginHasNoThreadingModeUnderPrefetch) {
    Workspace ws;
    const std::string warning = "Dunmorel() has no MT-mode set";
    for (Plugin p : kPlugins) {
        const std::string log = ws.File(p == Plugin::v25 ? "v25.log" : "c.log");
        Host host;
        host.SetVar("src", SourceScript(FindSource("yv12"), 8));
        const Frames frames = host.Dump(
            *host.EvalClip("SetLogParams(\"" + log + "\", LOG_INFO)\n" + LoadLine(p) + "src.Dunmorel().Prefetch(4)"));
        EXPECT_EQ(frames.size(), 8u);
        const std::string text = Slurp(log);
        if (p == Plugin::v25)
            EXPECT_NE(text.find(warning), std::string::npos) << text;
        else
            EXPECT_EQ(text.find("Dunmorel()"), std::string::npos) << text;
        std::printf("log of the %s plug-in under Prefetch(4): %s\n", p == Plugin::v25 ? "2.5" : "C",
                    text.find(warning) == std::string::npos ? "no MT-mode warning" : "\"has no MT-mode set\"");
    }
}

// A frame property set before the filter, read after it: the C plug-in makes its frames with
// the input frame as their property source; the 2.5 interface has no properties.
TEST(HostOnly, FramePropertiesReachTheOutputOfTheCPlugin) {
    {
        Host host;
        host.SetVar("src", SourceScript(FindSource("yv12"), kClipFrames));
        try {
            const auto v = host.Eval(LoadLine(Plugin::c) +
                                     "propGetInt(src.propSet(\"dunmorel_probe\", 42).Dunmorel(), \"dunmorel_probe\")");
            EXPECT_TRUE(avs_is_int(v->get()));
            EXPECT_EQ(avs_as_int(v->get()), 42);
        } catch (const ScriptError& e) {
            ADD_FAILURE() << e.what();
        }
    }
#if !defined(_WIN32)
    Host host;
    host.SetVar("src", SourceScript(FindSource("yv12"), kClipFrames));
    std::string error;
    try {
        host.Eval(LoadLine(Plugin::v25) +
                  "propGetInt(src.propSet(\"dunmorel_probe\", 42).Dunmorel(), \"dunmorel_probe\")");
    } catch (const ScriptError& e) {
        error = e.what();
    }
    EXPECT_NE(error.find("property is not set"), std::string::npos) << error;
#endif
}

// The installed tree: the host autoloads the C plug-in with no LoadPlugin, the 2.5 plug-in lies
// outside every autoload folder, and the installed command finds it by itself; both must give
// the same frames.
TEST(InstalledTree, AutoloadedPluginAndInstalledCommandAgree) {
#if defined(_WIN32)
    GTEST_SKIP() << "the installed tree is the Linux one";
#else
    const char* prefix = std::getenv("DUNMOREL_INSTALL_PREFIX");
    if (!prefix || !*prefix) GTEST_SKIP() << "DUNMOREL_INSTALL_PREFIX names no install tree (CI sets it)";
    const fs::path libdir = fs::path(prefix) / DUNMOREL_INSTALL_LIBDIR;
    const fs::path installed = libdir / "avisynth" / fs::path(kCPlugin).filename();
    ASSERT_TRUE(fs::is_regular_file(installed)) << installed;
    ASSERT_TRUE(fs::is_regular_file(libdir / "dunmorel" / fs::path(kPlugin).filename()));
    // One plug-in registering Dunmorel in the autoload folder, not two.
    std::vector<std::string> autoloaded;
    for (const auto& entry : fs::directory_iterator(libdir / "avisynth"))
        autoloaded.push_back(entry.path().filename().string());
    EXPECT_EQ(autoloaded, std::vector<std::string>{installed.filename().string()});
    const Source& s = FindSource("yv12");

    Workspace ws;
    Host host(libdir.string());
    host.SetVar("src", SourceScript(s, kClipFrames));
    const Frames input = host.Dump(*host.EvalClip("src"));
    const Frames frames = host.Dump(*host.EvalClip("src.Dunmorel(" + ScriptArguments(kLater) + ")"));
    // The host loaded the installed file. (The build tree's copy may still be mapped from an
    // earlier test: once a plug-in has filtered a frame on a thread, the engine's thread_local
    // piece list keeps the library loaded until that thread ends.)
    EXPECT_NE(Slurp("/proc/self/maps").find(fs::canonical(installed).string()), std::string::npos);

    const CommandRun run =
        RunCommand((fs::path(prefix) / DUNMOREL_INSTALL_BINDIR / "dunmorel").string(), s, input, kLater, ws);
    ASSERT_EQ(run.status, 0) << run.error;
    ASSERT_EQ(frames.size(), run.frames.size());
    for (std::size_t n = 0; n < frames.size(); ++n) EXPECT_TRUE(frames[n] == run.frames[n]) << "frame " << n;
    ++g_scripts_compared;
    g_frames_compared += static_cast<int>(frames.size());
#endif
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    for (const std::string& line : g_table) std::printf("  %s\n", line.c_str());
    if (g_scripts_compared > 0)
        std::printf("host tests: %d scripts compared with %s, %d filtered frames byte for byte\n", g_scripts_compared,
                    reference_run() ? "the Linux build's" : "the command", g_frames_compared);
#if defined(_WIN32)
    // Under Wine the process's exit waits forever on threads that the MinGW runtime's per-thread
    // cleanup holds up (the core's Prefetch threads, the plug-in's pool): end it without them.
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
#endif
    return status;
}
