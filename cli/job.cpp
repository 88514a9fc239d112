#include "cli/job.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/input.h"
#include "cli/layout.h"
#include "cli/output.h"
#include "cli/preview.h"
#include "cli/progress.h"
#include "cli/report.h"
#include "server/environment.h"
#include "server/sources.h"

namespace dunmorel::cli {

namespace {

constexpr const char* kPluginFile = "libdunmorel.so";

// The filter's own words for a reference frame outside the clip. A pipe's length is unknown
// when the filter checks nf, so the end of the input is found only when frame nf is read; the
// same text keeps the outcome independent of whether the input was a file or a pipe.
constexpr const char* kNfBeyondClip = "Dunmorel:invalid nf being either -ve or beyond clip";

// Where a raw frame's bytes lie in a frame of the server, when they do as a few contiguous runs:
// one a plane, rows merged, where the frame's rows follow each other as the raw layout's do.
// Padded rows and bottom-up RGB give none; such frames go through one buffer and one copy.
struct RawRun {
    std::size_t raw_offset;
    int plane;
    std::size_t size;
};
struct DirectRuns {
    std::array<RawRun, 3> run;
    int count = 0;
};

std::optional<DirectRuns> DirectRunsOf(const VideoFrame& f, const VideoInfo& vi) {
    DirectRuns runs;
    std::size_t raw = 0;
    bool contiguous = true;
    auto add_plane = [&](int plane, int row_bytes, int rows, int pitch) {
        const std::size_t size = static_cast<std::size_t>(row_bytes) * static_cast<std::size_t>(rows);
        contiguous = contiguous && (pitch == row_bytes || rows == 1);
        runs.run[static_cast<std::size_t>(runs.count++)] = {raw, plane, size};
        raw += size;
    };
    if (vi.IsPlanar()) {
        add_plane(PLANAR_Y, vi.width, vi.height, f.GetPitch(PLANAR_Y));
        add_plane(PLANAR_U, vi.width / 2, vi.height / 2, f.GetPitch(PLANAR_U));
        add_plane(PLANAR_V, vi.width / 2, vi.height / 2, f.GetPitch(PLANAR_V));
    } else {
        if (vi.IsRGB() && vi.height > 1) return std::nullopt;
        add_plane(PLANAR_Y, vi.width * server::BytesPerPixel(vi.pixel_type), vi.height, f.GetPitch());
    }
    if (!contiguous) return std::nullopt;
    return runs;
}

// The input as the filter's child clip: each request reads the frame from the input into a
// fresh frame from the environment.
class SourceClip final : public IClip {
public:
    SourceClip(FrameSource& source, int reference) : source_(source), vi_(source.format().vi), reference_(reference) {}

    PVideoFrame DUNMOREL_STDCALL GetFrame(int n, IScriptEnvironment* env) override {
        const InputFormat& format = source_.format();
        PVideoFrame frame = env->NewVideoFrame(vi_);
        if (format.repack == Repack::none) {
            if (const std::optional<DirectRuns> runs = DirectRunsOf(*frame, vi_)) {
                Guarded(env, n, [&] {
                    for (int i = 0; i < runs->count; ++i) {
                        const RawRun& r = runs->run[static_cast<std::size_t>(i)];
                        source_.ReadBytes(n, r.raw_offset, r.size, frame->GetWritePtr(r.plane));
                    }
                });
                return frame;
            }
        }
        // A fresh zero-filled vector per frame cost more than the filter's own passes (page faults
        // and clearing on every request); each thread keeps its buffers instead.
        thread_local std::vector<std::uint8_t> raw;
        thread_local std::vector<std::uint8_t> repacked;
        raw.resize(format.frame_bytes);
        Guarded(env, n, [&] { source_.Read(n, raw.data()); });
        const std::uint8_t* frame_raw = raw.data();
        if (format.repack != Repack::none) {
            repacked.resize(server::RawFrameSize(vi_));
            FileToRaw(format.repack, vi_, raw.data(), repacked.data());
            frame_raw = repacked.data();
        }
        server::CopyRawToFrame(frame_raw, vi_, *frame);
        return frame;
    }
    bool DUNMOREL_STDCALL GetParity(int) override { return false; }
    void DUNMOREL_STDCALL GetAudio(void*, std::int64_t, std::int64_t, IScriptEnvironment*) override {}
    int DUNMOREL_STDCALL SetCacheHints(int, int) override { return 0; }
    const VideoInfo& DUNMOREL_STDCALL GetVideoInfo() override { return vi_; }

private:
    // The input's errors become the host's, as a source filter raises them.
    template <typename ReadFn>
    void Guarded(IScriptEnvironment* env, int n, ReadFn&& read) {
        try {
            read();
        } catch (const EndOfInput& e) {
            if (n == reference_) env->ThrowError("%s", kNfBeyondClip);
            env->ThrowError("%s", e.what());
        } catch (const CliError& e) {
            env->ThrowError("%s", e.what());
        }
    }

    FrameSource& source_;
    VideoInfo vi_;
    int reference_;
};

std::string OutOfMemory(const VideoInfo& vi) {
    return "dunmorel: out of memory for frames of " + std::to_string(vi.width) + "x" + std::to_string(vi.height) + " " +
           server::PixelTypeName(vi.pixel_type);
}

// Before anything is written: an output or a preview that is the input, or both the same file,
// would destroy the input or lose one of the two.
void RefuseClashes(const Options& options, const FrameSource& source) {
    struct Named {
        std::string role;
        std::string name;
        FileKey key;
    };
    std::vector<Named> outputs;
    if (!options.output.empty())
        outputs.push_back(
            {"output", options.output == "-" ? "standard output" : options.output, KeyOf(options.output)});
    if (options.preview) outputs.push_back({"preview", *options.preview, KeyOf(*options.preview)});
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        if (outputs[i].key.id && outputs[i].key.id == source.identity())
            throw CliError("dunmorel: the " + outputs[i].role + " " + outputs[i].name +
                           " is the input file; write to another file");
        for (std::size_t j = 0; j < i; ++j)
            if (SameFile(outputs[i].key, outputs[j].key))
                throw CliError("dunmorel: the " + outputs[j].role + " " + outputs[j].name + " and the " +
                               outputs[i].role + " " + outputs[i].name +
                               " are the same file; write them to different files");
    }
}

// Frames filtered by a fixed set of worker threads and collected by frame number, so that the
// writer can take them in order whatever order they finish in. Results are in the file layout.
class FramePipeline {
public:
    struct Result {
        std::vector<std::uint8_t> raw;
        // Instead of `raw`: the filtered frame itself, written out run by run.
        PVideoFrame frame;
        std::optional<std::string> error;
    };

    FramePipeline(const PClip& filter, IScriptEnvironment& env, const VideoInfo& vi, Repack repack)
        : filter_(filter), env_(env), vi_(vi), repack_(repack) {}

    // Workers finish the frame they are on; frames still queued are dropped.
    ~FramePipeline() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        work_ready_.notify_all();
        for (std::thread& t : workers_) t.join();
    }

    FramePipeline(const FramePipeline&) = delete;
    FramePipeline& operator=(const FramePipeline&) = delete;

    // Frame n, filtered on the calling thread.
    Result Filter(int n) {
        Result r;
        try {
            const PVideoFrame frame = filter_->GetFrame(n, &env_);
            if (repack_ == Repack::none && DirectRunsOf(*frame, vi_)) {
                r.frame = frame;
                return r;
            }
            r.raw = TakeBuffer();
            r.raw.resize(FileFrameBytes(repack_, vi_));
            if (repack_ == Repack::none) {
                server::CopyFrameToRaw(*frame, vi_, r.raw.data());
            } else {
                thread_local std::vector<std::uint8_t> raw;
                raw.resize(server::RawFrameSize(vi_));
                server::CopyFrameToRaw(*frame, vi_, raw.data());
                RawToFile(repack_, vi_, raw.data(), r.raw.data());
            }
        } catch (const AvisynthError& e) {
            r.error = e.msg ? e.msg : "";
        } catch (const std::bad_alloc&) {
            r.error = OutOfMemory(vi_);
        } catch (const std::exception& e) {
            r.error = e.what();
        } catch (...) {
            r.error = "dunmorel: frame " + std::to_string(n) + " failed with an unknown error";
        }
        return r;
    }

    void Start(int threads) {
        for (int i = 0; i < threads; ++i) workers_.emplace_back([this] { Work(); });
    }

    void Submit(int n) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(n);
        }
        work_ready_.notify_one();
    }

    // A written frame's buffer, for a later frame: the frames in flight reuse a few buffers
    // instead of clearing fresh memory for every frame.
    void Recycle(std::vector<std::uint8_t> buffer) {
        std::lock_guard lock(mutex_);
        spare_.push_back(std::move(buffer));
    }

    Result Take(int n) {
        std::unique_lock lock(mutex_);
        result_ready_.wait(lock, [&] { return results_.count(n) != 0; });
        Result r = std::move(results_[n]);
        results_.erase(n);
        return r;
    }

private:
    std::vector<std::uint8_t> TakeBuffer() {
        std::lock_guard lock(mutex_);
        if (spare_.empty()) return {};
        std::vector<std::uint8_t> b = std::move(spare_.back());
        spare_.pop_back();
        return b;
    }

    void Work() {
        for (;;) {
            int n = 0;
            {
                std::unique_lock lock(mutex_);
                work_ready_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
                if (stopping_) return;
                n = queue_.front();
                queue_.pop_front();
            }
            Result r = Filter(n);
            {
                std::lock_guard lock(mutex_);
                results_[n] = std::move(r);
            }
            result_ready_.notify_all();
        }
    }

    PClip filter_;
    IScriptEnvironment& env_;
    VideoInfo vi_;
    Repack repack_;
    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable result_ready_;
    std::deque<int> queue_;
    std::map<int, Result> results_;
    std::vector<std::vector<std::uint8_t>> spare_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

// Frame n of a clip in the server's raw layout; a failure becomes a CliError with its text.
std::vector<std::uint8_t> RawFrame(const PClip& clip, int n, IScriptEnvironment& env) {
    const VideoInfo& vi = clip->GetVideoInfo();
    std::vector<std::uint8_t> raw(server::RawFrameSize(vi));
    try {
        const PVideoFrame frame = clip->GetFrame(n, &env);
        server::CopyFrameToRaw(*frame, vi, raw.data());
    } catch (const AvisynthError& e) {
        throw CliError(e.msg ? e.msg : "");
    }
    return raw;
}

// The picture of the calibration: the reference frame as the filter gets it and, unless print
// is set (`filter` is then null: it delivers no frame), the same frame filtered.
void MakePreview(const std::string& path, const std::string& report_text, const PClip& input, const PClip& filter,
                 int reference, IScriptEnvironment& env) {
    const std::optional<CalibrationReport> report = ParseReport(report_text);
    if (!report) throw CliError("dunmorel: cannot draw the preview: the filter reported \"" + report_text + "\"");
    std::vector<PreviewPanel> panels;
    const std::string nf = "frame " + std::to_string(reference);
    panels.push_back({RawFrame(input, reference, env), nf + " as the filter gets it"});
    if (filter) {
        panels.push_back({RawFrame(filter, reference, env), nf + " filtered"});
    } else {
        panels.front().label += " (print=true: nothing is filtered)";
    }
    WritePreview(path, input->GetVideoInfo(), *report, panels);
}

bool IsFile(const std::filesystem::path& p) {
    std::error_code ec;
    return std::filesystem::is_regular_file(p, ec);
}

std::filesystem::path ProgramDirectory() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : self.parent_path();
}

}  // namespace

std::string FindPlugin(const Options& options) {
    if (options.plugin) {
        if (!IsFile(*options.plugin)) throw CliError("dunmorel: plug-in " + *options.plugin + " does not exist");
        return *options.plugin;
    }
    // Installed, the 2.5 plug-in lies in a folder of its own beside the host's autoload folder; in
    // the build tree, in lib/ beside bin/; a copy next to the program is taken last.
    const std::filesystem::path dir = ProgramDirectory();
    const std::filesystem::path places[] = {
        (dir / DUNMOREL_INSTALLED_PLUGIN_DIR).lexically_normal(),
        (dir / ".." / "lib").lexically_normal(),
        dir,
    };
    std::string tried;
    for (const auto& place : places) {
        if (IsFile(place / kPluginFile)) return (place / kPluginFile).string();
        tried += (tried.empty() ? "" : ", ") + place.string();
    }
    throw CliError("dunmorel: cannot find " + std::string(kPluginFile) + " in " + tried + "; use --plugin PATH");
}

std::vector<std::pair<std::string, AVSValue>> NamedArguments(const std::vector<ScriptArgument>& arguments) {
    std::vector<std::pair<std::string, AVSValue>> named;
    for (const ScriptArgument& a : arguments)
        named.emplace_back(a.name, std::holds_alternative<bool>(a.value) ? AVSValue(std::get<bool>(a.value))
                                                                         : AVSValue(std::get<int>(a.value)));
    return named;
}

// Names are matched without regard to case, as the server binds them; the last one counts.
int IntArgument(const std::vector<ScriptArgument>& arguments, const std::string& name, int fallback) {
    for (const ScriptArgument& a : arguments)
        if (strcasecmp(a.name.c_str(), name.c_str()) == 0 && std::holds_alternative<int>(a.value))
            fallback = std::get<int>(a.value);
    return fallback;
}

int ReferenceFrame(const std::vector<ScriptArgument>& arguments) { return IntArgument(arguments, "nf", 0); }

bool PrintRequested(const std::vector<ScriptArgument>& arguments) {
    bool print = false;
    for (const ScriptArgument& a : arguments)
        if (strcasecmp(a.name.c_str(), "print") == 0 && std::holds_alternative<bool>(a.value))
            print = std::get<bool>(a.value);
    return print;
}

PClip CallDunmorel(server::Environment& env, const PClip& child, const std::vector<ScriptArgument>& arguments) {
    try {
        const AVSValue result = env.Call("Dunmorel", {AVSValue(child)}, NamedArguments(arguments));
        if (!result.IsClip()) throw CliError("dunmorel: Dunmorel returned no clip");
        return result.AsClip();
    } catch (const AvisynthError& e) {
        throw CliError(e.msg ? e.msg : "");
    } catch (const server::ServerError& e) {
        throw CliError(e.what());
    }
}

std::optional<std::string> CalibrationText(server::Environment& env, const PClip& child,
                                           const std::vector<ScriptArgument>& arguments, int n) {
    std::vector<ScriptArgument> with_print;
    for (const ScriptArgument& a : arguments)
        if (strcasecmp(a.name.c_str(), "print") != 0) with_print.push_back(a);
    with_print.push_back({"print", true});
    // A filter of its own: it calibrates from fresh pass counts, so that the caller's filter
    // (which may not have been asked for a frame yet) is left as it was.
    const PClip probe = CallDunmorel(env, child, with_print);
    try {
        probe->GetFrame(n, &env);
    } catch (const AvisynthError& e) {
        return std::string(e.msg ? e.msg : "");
    }
    return std::nullopt;
}

namespace {

// `frames` is set as soon as the input's format is known, for the words of a failed allocation.
int FilterInput(const Options& options, const std::string& plugin_path, std::optional<VideoInfo>& frames) {
    const int first = options.range ? options.range->first : 0;
    std::int64_t last = options.range && options.range->last ? *options.range->last : INT_MAX - 1;
    if (options.frames) last = std::min<std::int64_t>(last, std::int64_t{first} + *options.frames - 1);
    const int threads = std::max(1, options.threads.value_or(static_cast<int>(std::thread::hardware_concurrency())));
    // Enough frames in flight to keep every worker busy while the writer waits for the oldest.
    const int in_flight_limit = 2 * threads;
    const int reference = ReferenceFrame(options.script_arguments);
    const bool print = PrintRequested(options.script_arguments);

    // Declared first so that it goes last: every handle below refers to it.
    server::Environment env;
    const std::unique_ptr<FrameSource> source =
        FrameSource::Open({options.input, options.pixel_type, options.size, options.fps, options.repack},
                          {first, reference, in_flight_limit + 2, static_cast<int>(last)});
    const InputFormat& format = source->format();
    frames = format.vi;
    RefuseClashes(options, *source);
    if (format.frame_count) {
        if (*format.frame_count == 0) throw CliError("dunmorel: " + source->name() + ": the input holds no frames");
        if (first >= *format.frame_count)
            throw CliError("dunmorel: --range starts at frame " + std::to_string(first) + " but " + source->name() +
                           " has only " + std::to_string(*format.frame_count) + " frames");
        last = std::min<std::int64_t>(last, *format.frame_count - 1);
    }

    try {
        env.LoadPlugin(plugin_path);
    } catch (const server::ServerError& e) {
        throw CliError(std::string("dunmorel: ") + e.what());
    }

    const PClip input(new SourceClip(*source, reference));
    const PClip filter = CallDunmorel(env, input, options.script_arguments);
    const VideoInfo vi = filter->GetVideoInfo();
    if (vi.pixel_type != format.vi.pixel_type || vi.width != format.vi.width || vi.height != format.vi.height)
        throw CliError("dunmorel: the filter changed the clip's format");

    // With print set the report is the answer anyway; otherwise it is asked for only when
    // someone will see it. A calibration that fails here fails again, with the same words, on
    // the first frame below, so its text is kept only when it is a report.
    if (!print && (options.preview || !options.quiet)) {
        const std::optional<std::string> text = CalibrationText(env, input, options.script_arguments, first);
        const std::optional<CalibrationReport> report = text ? ParseReport(*text) : std::nullopt;
        if (report && options.preview) MakePreview(*options.preview, *text, input, filter, reference, env);
        if (report && !options.quiet) {
            const std::string notice = UnchangedNotice(
                *report,
                {IntArgument(options.script_arguments, "ry", 1), IntArgument(options.script_arguments, "gu", 1),
                 IntArgument(options.script_arguments, "bv", 1)},
                format.repack == Repack::grey ? 1 : 3);
            if (!notice.empty()) std::fprintf(stderr, "%s\n", notice.c_str());
        }
    }
    if (options.output.empty()) {
        // A preview alone. With print set the filter's answer is its report, an error as ever.
        if (!print) return 0;
        const std::optional<std::string> text = CalibrationText(env, input, options.script_arguments, first);
        if (text && ParseReport(*text)) MakePreview(*options.preview, *text, input, nullptr, reference, env);
        throw CliError(text.value_or("dunmorel: the filter delivered a frame instead of its report"));
    }

    std::unique_ptr<OutputSink> output = OutputSink::Open(options.output);
    std::optional<int> total;
    if (format.frame_count) total = static_cast<int>(last - first + 1);
    Progress progress(!options.quiet && isatty(STDERR_FILENO) == 1, total);
    int written = 0;
    try {
        const bool header = format.y4m && (options.header == HeaderMode::always ||
                                           (options.header == HeaderMode::automatic && first == 0));
        if (header) {
            const std::string line = format.y4m_header + "\n";
            output->Write(line.data(), line.size());
        }
        std::optional<std::string> input_error;
        {
            FramePipeline pipeline(filter, env, vi, format.repack);
            int next_dispatch = first;
            int next_write = first;
            bool input_done = false;
            auto ensure = [&](int n) {
                try {
                    if (source->Ensure(n)) return true;
                } catch (const CliError& e) {
                    input_error = e.what();
                }
                input_done = true;
                return false;
            };
            auto write = [&](FramePipeline::Result r) {
                if (r.error) throw CliError(*r.error);
                // Per-frame parameters of the input are not carried over: every frame
                // header is a bare FRAME, which all readers accept.
                if (format.y4m) output->Write("FRAME\n", 6);
                if (r.frame) {
                    const DirectRuns runs = *DirectRunsOf(*r.frame, vi);
                    for (int i = 0; i < runs.count; ++i) {
                        const RawRun& run = runs.run[static_cast<std::size_t>(i)];
                        output->Write(r.frame->GetReadPtr(run.plane), run.size);
                    }
                } else {
                    output->Write(r.raw.data(), r.raw.size());
                    pipeline.Recycle(std::move(r.raw));
                }
                source->Release(++next_write);
                progress.Update(++written);
            };
            // The first frame goes alone, before any worker starts: while print is set, every
            // request calibrates again from the pass counts the one before left, so the report
            // the user sees must come from the first request, and without print the first
            // request is the one that calibrates.
            if (ensure(first)) {
                FramePipeline::Result r = pipeline.Filter(next_dispatch++);
                if (print && options.preview && r.error && ParseReport(*r.error))
                    MakePreview(*options.preview, *r.error, input, nullptr, reference, env);
                write(std::move(r));
            }
            pipeline.Start(threads);
            for (;;) {
                while (!input_done && next_dispatch - next_write < in_flight_limit && next_dispatch <= last &&
                       ensure(next_dispatch))
                    pipeline.Submit(next_dispatch++);
                if (next_write == next_dispatch) break;
                write(pipeline.Take(next_write));
            }
        }
        if (input_error) throw CliError(*input_error);
        if (written == 0)
            throw CliError(first == 0 ? "dunmorel: " + source->name() + ": the input holds no frames"
                                      : "dunmorel: --range starts at frame " + std::to_string(first) + " but " +
                                            source->name() + " ends before it");
        output->Finish();
        progress.Finish(written);
    } catch (...) {
        progress.Abort();
        output->Discard();
        throw;
    }
    return written;
}

}  // namespace

int RunJob(const Options& options, const std::string& plugin_path, std::optional<PictureSize>& picture) {
    std::optional<VideoInfo> frames;
    try {
        return FilterInput(options, plugin_path, frames);
    } catch (const std::bad_alloc&) {
        throw CliError(frames ? OutOfMemory(*frames) : "dunmorel: out of memory");
    } catch (...) {
        if (frames) picture = PictureSize{frames->width, frames->height};
        throw;
    }
}

int RunJob(const Options& options, const std::string& plugin_path) {
    std::optional<PictureSize> picture;
    return RunJob(options, plugin_path, picture);
}

}  // namespace dunmorel::cli
