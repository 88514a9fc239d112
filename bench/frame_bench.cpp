// One 1080p YV12 frame through the filter's GetFrame (default arguments, calibrated beforehand),
// with the work of the frame split over 1 and over every core of the shared pool, in one run;
// wall-clock times, and the ratio of the two at the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "avisynth/filter.h"
#include "engine/work_pool.h"
#include "server/environment.h"
#include "server/sources.h"

namespace {

using namespace dunmorel;

std::map<int, double> seconds_per_frame;

// A picture-like 1080p YV12 frame pair: gradients and blocks with Gaussian grain of sigma 5.
PClip grainy_clip(server::Environment& env) {
    const VideoInfo vi = server::MakeVideoInfo(VideoInfo::CS_YV12, 1920, 1080, 2);
    std::vector<std::uint8_t> raw(server::RawFrameSize(vi) * 2);
    std::mt19937 rng(99);
    std::normal_distribution<double> grain(0.0, 5.0);
    const std::size_t luma = 1920 * 1080;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const std::size_t k = i % (raw.size() / 2);
        const std::size_t width = k < luma ? 1920 : 960;
        const std::size_t at = k < luma ? k : (k - luma) % (960 * 540);
        const double c = static_cast<double>(at % width), r = static_cast<double>(at / width);
        const double v = 70.0 + 0.03 * c + 0.05 * r + ((at % width / 200 + at / width / 150) % 2) * 60.0 + grain(rng);
        raw[i] = static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
    return PClip(new server::MemoryClip(env, vi, std::move(raw)));
}

void BM_GetFrame(benchmark::State& state) {
    const int cores = static_cast<int>(state.range(0));
    server::Environment env;
    PClip source = grainy_clip(env);
    const ClipFormat clip = clip_format(source->GetVideoInfo());
    PClip filter(new DunmorelFilter(source, resolve_arguments(ArgumentValues{}, clip).values));
    filter->GetFrame(0, &env);  // calibrates
    WorkPool::shared().limit_cores(cores);
    for (auto _ : state) {
        PVideoFrame f = filter->GetFrame(1, &env);
        benchmark::DoNotOptimize(f->GetReadPtr());
    }
    WorkPool::shared().limit_cores(static_cast<int>(std::thread::hardware_concurrency()));
    const auto& passes = static_cast<DunmorelFilter&>(*filter.get()).engine().plan().passes;
    state.counters["passes_y"] = passes[0];
    state.counters["passes_u"] = passes[1];
    state.counters["passes_v"] = passes[2];
}

class Recorder : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && r.iterations > 0) {
                const std::string& args = r.run_name.args;  // "cores:N"
                const int cores = std::stoi(args.substr(args.rfind(':') + 1));
                const double s = r.GetAdjustedRealTime() / 1e3;  // reported in milliseconds
                auto it = seconds_per_frame.find(cores);
                if (it == seconds_per_frame.end() || s < it->second) seconds_per_frame[cores] = s;
            }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

BENCHMARK(BM_GetFrame)->ArgName("cores")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Recorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    benchmark::Shutdown();
    if (seconds_per_frame.count(1) && seconds_per_frame.count(2))
        std::printf(
            "single 1080p YV12 frame: %.2f ms on 1 core, %.2f ms on 2 cores, ratio %.2f (best of repetitions)\n",
            1e3 * seconds_per_frame[1], 1e3 * seconds_per_frame[2], seconds_per_frame[2] / seconds_per_frame[1]);
}
