// What the fuzz targets share: a failure that stops the run with a readable reason, and small
// helpers for drawing values from the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "avisynth/interface.h"

namespace dunmorel::fuzz {

// The five pixel formats the filter and the command take.
inline constexpr int kFormats[] = {VideoInfo::CS_BGR24, VideoInfo::CS_BGR32, VideoInfo::CS_YUY2, VideoInfo::CS_YV12,
                                   VideoInfo::CS_I420};

// Anything the target does not accept as an outcome: printed, then an abort, which libFuzzer
// reports as a crash with the input that caused it.
[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "\n*** fuzz check failed: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

// With DUNMOREL_FUZZ_TALLY set, how often each outcome was reached is printed at exit, to see
// what a corpus exercises.
struct Tally {
    std::map<std::string, long> counts;
    ~Tally() {
        if (!std::getenv("DUNMOREL_FUZZ_TALLY")) return;
        for (const auto& [what, n] : counts) std::fprintf(stderr, "tally %-40s %ld\n", what.c_str(), n);
    }
};
inline Tally tally;
inline void count(const std::string& what) { ++tally.counts[what]; }

inline bool starts_with(const char* text, const char* prefix) {
    return text != nullptr && std::string(text).rfind(prefix, 0) == 0;
}

// A 32-bit linear congruential generator: cheap, and the same samples for the same seed on
// every run, so a reproducer stays a reproducer.
struct Lcg {
    unsigned state;
    unsigned next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
};

}  // namespace dunmorel::fuzz
