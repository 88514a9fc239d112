#include "cli/job.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <new>
#include <thread>
#include <variant>

#include "cli/input.h"
#include "cli/output.h"
#include "cli/pipeline.h"
#include "cli/preview.h"
#include "cli/progress.h"
#include "cli/report.h"

namespace dunmorel::cli {

namespace {

std::string out_of_memory(const InputFormat& f) {
    const LayoutTraits& l = traits_of(f.layout.layout);
    return "dunmorel: out of memory for frames of " + std::to_string(f.size.width) + "x" +
           std::to_string(f.size.height) + " " + (l.filtered_as ? l.filtered_as : l.name);
}

// Frame n as the filter gets it. The input's errors are the filter's, in the words a source
// filter of its host raises them.
void read_for_filter(FrameSource& source, int n, int reference, std::uint8_t* out) {
    try {
        source.read(n, out);
    } catch (const EndOfInput& e) {
        if (n == reference) throw CliError(kNfBeyondClip);
        throw CliError(e.what());
    }
}

bool print_requested(const std::vector<ScriptArgument>& arguments) {
    bool print = false;
    for (const ScriptArgument& a : arguments)
        if (strcasecmp(a.name.c_str(), "print") == 0 && std::holds_alternative<bool>(a.value))
            print = std::get<bool>(a.value);
    return print;
}

// `known` is set as soon as the input's format is known, for the words of a failed allocation.
int filter_input(const Options& options, std::optional<InputFormat>& known) {
    const int first = options.range ? options.range->first : 0;
    std::int64_t last = options.range && options.range->last ? *options.range->last : INT_MAX - 1;
    if (options.frames) last = std::min<std::int64_t>(last, std::int64_t{first} + *options.frames - 1);
    const int threads = std::max(1, options.threads.value_or(static_cast<int>(std::thread::hardware_concurrency())));
    // Enough frames in flight to keep every worker busy while the writer waits for the oldest.
    const int in_flight_limit = 2 * threads;
    const int reference = int_argument(options.script_arguments, "nf").value_or(0);
    const bool print = print_requested(options.script_arguments);

    const std::unique_ptr<FrameSource> source =
        FrameSource::open({options.input, options.layout, options.size, options.fps},
                          {first, reference, in_flight_limit + 2, static_cast<int>(last)});
    const InputFormat& format = source->format();
    known = format;
    refuse_clashes(options, source->identity());
    if (format.frame_count) {
        if (*format.frame_count == 0) throw CliError("dunmorel: " + source->name() + ": the input holds no frames");
        if (first >= *format.frame_count)
            throw CliError("dunmorel: --range starts at frame " + std::to_string(first) + " but " + source->name() +
                           " has only " + std::to_string(*format.frame_count) + " frames");
        last = std::min<std::int64_t>(last, *format.frame_count - 1);
    }

    const int width = format.size.width;
    const int height = format.size.height;
    const ClipFormat clip{traits_of(format.layout.layout).format, width, height,
                          format.frame_count.value_or(kUnknownFrameCount), format.layout.bits};
    const BoundFilter filter = make_filter(options.script_arguments, clip);
    FilterEngine& engine = *filter.engine;
    const FilterArguments& arguments = filter.arguments.values;
    FramePipeline pipeline(engine, {format.layout, width, height,
                                    [&](int n, std::uint8_t* out) { read_for_filter(*source, n, arguments.nf, out); }});

    std::optional<std::string> input_error;
    bool input_done = false;
    auto ensure = [&](int n) {
        try {
            if (!input_done && source->ensure(n)) return true;
        } catch (const CliError& e) {
            input_error = e.what();
        }
        input_done = true;
        return false;
    };
    // The first frame goes alone, before any worker starts: it calibrates, and while print is set
    // every request calibrates again from the pass counts the one before left, so the report the
    // user sees must come from the first request.
    std::optional<FramePipeline::Result> first_result;
    bool first_tried = false;
    auto filter_first = [&] {
        if (first_tried) return;
        first_tried = true;
        if (ensure(first)) first_result = pipeline.filter(first);
    };
    auto report = [&]() -> std::optional<CalibrationReport> {
        const std::optional<Calibration> c = engine.last_calibration();
        if (!c) return std::nullopt;
        return report_of(*c, dunmorel::traits_of(clip.format).family, height);
    };
    // The picture of the calibration: the reference frame as the filter gets it and, unless
    // print is set (it delivers no frame), the same frame filtered.
    auto make_preview = [&](const CalibrationReport& r) {
        std::vector<PreviewPanel> panels;
        const std::string nf = "frame " + std::to_string(reference);
        std::vector<std::uint8_t> frame(format.frame_bytes);
        read_for_filter(*source, reference, arguments.nf, frame.data());
        panels.push_back({std::move(frame), nf + " as the filter gets it"});
        if (!print) {
            FramePipeline::Result filtered = pipeline.filter(reference);
            if (filtered.error) throw CliError(*filtered.error);
            panels.push_back({{filtered.frame.begin(), filtered.frame.end()}, nf + " filtered"});
        } else {
            panels.front().label += " (print=true: nothing is filtered)";
        }
        write_preview(*options.preview, {format.layout, width, height}, r, panels);
    };
    auto raise_first = [&] {
        if (first_result && first_result->error) throw CliError(*first_result->error);
        if (input_error) throw CliError(*input_error);
    };

    // With print set the report is the answer anyway; otherwise the calibration is done before
    // anything is written only when someone will see it. A calibration that fails here fails the
    // first frame, which is written after the output is opened.
    if (!print && (options.preview || !options.quiet)) {
        filter_first();
        if (const std::optional<CalibrationReport> r = report()) {
            if (options.preview) make_preview(*r);
            if (!options.quiet) {
                const std::string notice = unchanged_notice(*r, {arguments.ry, arguments.gu, arguments.bv},
                                                            format.layout.layout == Layout::grey ? 1 : 3);
                if (!notice.empty()) std::fprintf(stderr, "%s\n", notice.c_str());
            }
        }
    }
    if (options.output.empty()) {
        // A preview alone. With print set the filter's answer is its report, an error as ever.
        if (!print) {
            raise_first();
            return 0;
        }
        filter_first();
        if (const std::optional<CalibrationReport> r = report()) make_preview(*r);
        raise_first();
        throw CliError("dunmorel: the filter delivered a frame instead of its report");
    }

    std::unique_ptr<OutputSink> output = OutputSink::open(options.output);
    std::optional<int> total;
    if (format.frame_count) total = static_cast<int>(last - first + 1);
    Progress progress(!options.quiet && isatty(STDERR_FILENO) == 1, total);
    int written = 0;
    try {
        const bool header = format.y4m && (options.header == HeaderMode::always ||
                                           (options.header == HeaderMode::automatic && first == 0));
        if (header) {
            const std::string line = format.y4m_header + "\n";
            output->write(line.data(), line.size());
        }
        int next_dispatch = first;
        int next_write = first;
        auto write = [&](FramePipeline::Result r) {
            if (r.error) throw CliError(*r.error);
            // Per-frame parameters of the input are not carried over: every frame header is a
            // bare FRAME, which all readers accept.
            if (format.y4m) output->write("FRAME\n", 6);
            output->write(r.frame.data(), r.frame.size());
            pipeline.recycle(std::move(r.frame));
            source->release(++next_write);
            progress.update(++written);
        };
        filter_first();
        if (first_result) {
            ++next_dispatch;
            if (print && options.preview && first_result->error)
                if (const std::optional<CalibrationReport> r = report()) make_preview(*r);
            write(std::move(*first_result));
        }
        pipeline.start(threads);
        for (;;) {
            while (!input_done && next_dispatch - next_write < in_flight_limit && next_dispatch <= last &&
                   ensure(next_dispatch))
                pipeline.submit(next_dispatch++);
            if (next_write == next_dispatch) break;
            write(pipeline.take(next_write));
        }
        if (input_error) throw CliError(*input_error);
        if (written == 0)
            throw CliError(first == 0 ? "dunmorel: " + source->name() + ": the input holds no frames"
                                      : "dunmorel: --range starts at frame " + std::to_string(first) + " but " +
                                            source->name() + " ends before it");
        output->finish();
        progress.finish(written);
    } catch (...) {
        progress.abort();
        output->discard();
        throw;
    }
    return written;
}

}  // namespace

BoundFilter make_filter(const std::vector<ScriptArgument>& words, const ClipFormat& clip) {
    std::vector<NamedArgument> named;
    for (const ScriptArgument& a : words) {
        const bool boolean = std::holds_alternative<bool>(a.value);
        named.push_back({a.name, boolean, boolean ? std::int32_t{std::get<bool>(a.value)} : std::get<int>(a.value)});
    }
    std::variant<ArgumentValues, std::string> bound = bind_named(named);
    if (const std::string* error = std::get_if<std::string>(&bound)) throw CliError(*error);
    BoundFilter f;
    f.arguments = resolve_arguments(std::get<ArgumentValues>(bound), clip);
    if (const std::optional<ValidationFailure> failure = validate_arguments(f.arguments, clip))
        throw CliError(failure->text());
    try {
        f.engine = std::make_unique<FilterEngine>(clip, f.arguments.values);
    } catch (const std::bad_alloc&) {
        throw CliError(not_enough_memory("for the calibration buffers", clip.width, clip.height));
    }
    return f;
}

int run_job(const Options& options, std::optional<PictureSize>& picture) {
    std::optional<InputFormat> known;
    try {
        return filter_input(options, known);
    } catch (const std::bad_alloc&) {
        throw CliError(known ? out_of_memory(*known) : "dunmorel: out of memory");
    } catch (...) {
        if (known) picture = known->size;
        throw;
    }
}

int run_job(const Options& options) {
    std::optional<PictureSize> picture;
    return run_job(options, picture);
}

}  // namespace dunmorel::cli
