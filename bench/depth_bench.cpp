// One 1080p 4:2:0 frame through the engine at 8, 10 and 16 bits: the same grainy picture, shifted
// up for the deeper clips, so all three get the same passes; wall-clock time per frame on every
// core of the shared pool, and each depth's rate against the 8-bit one at the end (best of the
// repetitions).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "engine/filter_engine.h"
#include "tests/wide_clip.h"

namespace {

using namespace dunmorel;

std::map<int, double> seconds_per_frame;

void BM_Depth(benchmark::State& state) {
    const int bits = static_cast<int>(state.range(0));
    const ClipFormat clip8{PixelFormat::yv12, 1920, 1080, 2, 8};
    const test::TestClips clips = test::make_clips(clip8, 2, 10, 99);
    const std::vector<test::WideFrame> frames = bits == 8 ? clips.noisy : test::widened(clips.noisy, bits, false);
    ClipFormat clip = clip8;
    clip.bits = bits;
    FilterEngine engine(clip, resolve_arguments(ArgumentValues{}, clip).values);
    test::WideHost host(frames);
    engine.process(0, frames[0].planes_view(), 1080, host);  // calibrates
    for (auto _ : state) {
        test::WideHost request(frames);
        engine.process(1, frames[1].planes_view(), 1080, request);
        benchmark::DoNotOptimize(&request);
    }
    state.counters["passes_y"] = engine.plan().passes[0];
    state.counters["passes_u"] = engine.plan().passes[1];
    state.counters["passes_v"] = engine.plan().passes[2];
}

class Recorder : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && r.iterations > 0) {
                const std::string& args = r.run_name.args;  // "bits:N"
                const int bits = std::stoi(args.substr(args.rfind(':') + 1));
                const double s = r.GetAdjustedRealTime() / 1e3;
                auto it = seconds_per_frame.find(bits);
                if (it == seconds_per_frame.end() || s < it->second) seconds_per_frame[bits] = s;
            }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

BENCHMARK(BM_Depth)
    ->ArgName("bits")
    ->Arg(8)
    ->Arg(10)
    ->Arg(16)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Recorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    benchmark::Shutdown();
    if (seconds_per_frame.count(8) == 0) return 0;
    const double eight = seconds_per_frame[8];
    for (const auto& [bits, s] : seconds_per_frame)
        std::printf("1080p 4:2:0 frame at %2d bits: %.2f ms, %.2fx the 8-bit rate\n", bits, 1e3 * s, eight / s);
}
