#include "cli/job.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "cli/input.h"
#include "cli/output.h"
#include "cli/progress.h"
#include "server/environment.h"
#include "server/sources.h"

namespace dunmorel::cli {

namespace {

constexpr const char* kPluginFile = "libdunmorel.so";

// The filter's own words for a reference frame outside the clip. A pipe's length is unknown
// when the filter checks nf, so the end of the input is found only when frame nf is read; the
// same text keeps the outcome independent of whether the input was a file or a pipe.
constexpr const char* kNfBeyondClip = "Dunmorel:invalid nf being either -ve or beyond clip";

// The input as the filter's child clip: each request reads the frame from the input into a
// fresh frame from the environment.
class SourceClip final : public IClip {
public:
    SourceClip(FrameSource& source, int reference) : source_(source), vi_(source.format().vi), reference_(reference) {}

    PVideoFrame DUNMOREL_STDCALL GetFrame(int n, IScriptEnvironment* env) override {
        std::vector<std::uint8_t> raw(source_.format().frame_bytes);
        try {
            source_.Read(n, raw.data());
        } catch (const EndOfInput& e) {
            if (n == reference_) env->ThrowError("%s", kNfBeyondClip);
            env->ThrowError("%s", e.what());
        } catch (const CliError& e) {
            env->ThrowError("%s", e.what());
        }
        PVideoFrame frame = env->NewVideoFrame(vi_);
        server::CopyRawToFrame(raw.data(), vi_, *frame);
        return frame;
    }
    bool DUNMOREL_STDCALL GetParity(int) override { return false; }
    void DUNMOREL_STDCALL GetAudio(void*, std::int64_t, std::int64_t, IScriptEnvironment*) override {}
    int DUNMOREL_STDCALL SetCacheHints(int, int) override { return 0; }
    const VideoInfo& DUNMOREL_STDCALL GetVideoInfo() override { return vi_; }

private:
    FrameSource& source_;
    VideoInfo vi_;
    int reference_;
};

// Frames filtered by a fixed set of worker threads and collected by frame number, so that the
// writer can take them in order whatever order they finish in.
class FramePipeline {
public:
    struct Result {
        std::vector<std::uint8_t> raw;
        std::optional<std::string> error;
    };

    FramePipeline(const PClip& filter, IScriptEnvironment& env, const VideoInfo& vi, std::size_t frame_bytes,
                  int threads)
        : filter_(filter), env_(env), vi_(vi), frame_bytes_(frame_bytes) {
        for (int i = 0; i < threads; ++i) workers_.emplace_back([this] { Work(); });
    }

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

    void Submit(int n) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(n);
        }
        work_ready_.notify_one();
    }

    Result Take(int n) {
        std::unique_lock lock(mutex_);
        result_ready_.wait(lock, [&] { return results_.count(n) != 0; });
        Result r = std::move(results_[n]);
        results_.erase(n);
        return r;
    }

private:
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
            Result r;
            try {
                const PVideoFrame frame = filter_->GetFrame(n, &env_);
                r.raw.resize(frame_bytes_);
                server::CopyFrameToRaw(*frame, vi_, r.raw.data());
            } catch (const AvisynthError& e) {
                r.error = e.msg ? e.msg : "";
            } catch (const std::exception& e) {
                r.error = e.what();
            } catch (...) {
                r.error = "dunmorel: frame " + std::to_string(n) + " failed with an unknown error";
            }
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
    std::size_t frame_bytes_;
    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable result_ready_;
    std::deque<int> queue_;
    std::map<int, Result> results_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

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
    // Installed, the plug-in lies where the host autoloads it; in the build tree, in lib/ beside
    // bin/; a copy next to the program is taken last.
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
    throw CliError("dunmorel: cannot find " + std::string(kPluginFile) + " in " + tried +
                   "; use --plugin PATH");
}

std::vector<std::pair<std::string, AVSValue>> NamedArguments(const std::vector<ScriptArgument>& arguments) {
    std::vector<std::pair<std::string, AVSValue>> named;
    for (const ScriptArgument& a : arguments)
        named.emplace_back(a.name, std::holds_alternative<bool>(a.value) ? AVSValue(std::get<bool>(a.value))
                                                                         : AVSValue(std::get<int>(a.value)));
    return named;
}

int ReferenceFrame(const std::vector<ScriptArgument>& arguments) {
    int nf = 0;
    for (const ScriptArgument& a : arguments) {
        std::string lower = a.name;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        if (lower == "nf" && std::holds_alternative<int>(a.value)) nf = std::get<int>(a.value);
    }
    return nf;
}

int RunJob(const Options& options, const std::string& plugin_path) {
    const int first = options.range ? options.range->first : 0;
    std::int64_t last = options.range && options.range->last ? *options.range->last : INT_MAX - 1;
    if (options.frames) last = std::min<std::int64_t>(last, std::int64_t{first} + *options.frames - 1);
    const int threads = std::max(1, options.threads.value_or(static_cast<int>(std::thread::hardware_concurrency())));
    // Enough frames in flight to keep every worker busy while the writer waits for the oldest.
    const int in_flight_limit = 2 * threads;
    const int reference = ReferenceFrame(options.script_arguments);

    // Declared first so that it goes last: every handle below refers to it.
    server::Environment env;
    const std::unique_ptr<FrameSource> source =
        FrameSource::Open({options.input, options.pixel_type, options.size, options.fps},
                          {first, reference, in_flight_limit + 2});
    const InputFormat& format = source->format();
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

    PClip filter;
    try {
        const AVSValue result = env.Call("Dunmorel", {AVSValue(new SourceClip(*source, reference))},
                                         NamedArguments(options.script_arguments));
        if (!result.IsClip()) throw CliError("dunmorel: Dunmorel returned no clip");
        filter = result.AsClip();
    } catch (const AvisynthError& e) {
        throw CliError(e.msg ? e.msg : "");
    } catch (const server::ServerError& e) {
        throw CliError(e.what());
    }
    const VideoInfo vi = filter->GetVideoInfo();
    if (vi.pixel_type != format.vi.pixel_type || vi.width != format.vi.width || vi.height != format.vi.height)
        throw CliError("dunmorel: the filter changed the clip's format");

    std::unique_ptr<OutputSink> output = OutputSink::Open(options.output, source->identity());
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
            FramePipeline pipeline(filter, env, vi, format.frame_bytes, threads);
            int next_dispatch = first;
            int next_write = first;
            bool input_done = false;
            for (;;) {
                while (!input_done && next_dispatch - next_write < in_flight_limit && next_dispatch <= last) {
                    try {
                        if (!source->Ensure(next_dispatch)) {
                            input_done = true;
                            break;
                        }
                    } catch (const CliError& e) {
                        input_error = e.what();
                        input_done = true;
                        break;
                    }
                    pipeline.Submit(next_dispatch++);
                }
                if (next_write == next_dispatch) break;
                FramePipeline::Result r = pipeline.Take(next_write);
                if (r.error) throw CliError(*r.error);
                // Per-frame parameters of the input are not carried over: every frame
                // header is a bare FRAME, which all readers accept.
                if (format.y4m) output->Write("FRAME\n", 6);
                output->Write(r.raw.data(), r.raw.size());
                source->Release(++next_write);
                progress.Update(++written);
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

}  // namespace dunmorel::cli
