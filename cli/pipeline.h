// The command's frames through the engine: buffers in the file's layout that the command owns,
// read straight from the input, handed to the engine as planes, and filtered by a fixed set of
// worker threads whose results the writer takes in frame order.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/layout.h"
#include "cli/platform.h"
#include "engine/filter_engine.h"

namespace dunmorel::cli {

// Memory of platform::allocate_frame for the bytes of frames.
template <class T>
struct FrameAllocator {
    using value_type = T;
    FrameAllocator() = default;
    template <class U>
    explicit FrameAllocator(const FrameAllocator<U>&) {}
    T* allocate(std::size_t n) {
        void* p = platform::allocate_frame(n * sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t) { platform::free_frame(p); }
    friend bool operator==(const FrameAllocator&, const FrameAllocator&) { return true; }
};
using FrameBytes = std::vector<std::uint8_t, FrameAllocator<std::uint8_t>>;

// The filter's own words for a reference frame outside the clip. A pipe's length is unknown
// when the filter checks nf, so the end of the input is found only when frame nf is read; the
// same text keeps the outcome independent of whether the input was a file or a pipe.
inline constexpr const char* kNfBeyondClip = "Dunmorel:invalid nf being either -ve or beyond clip";

// Frame buffers of one size, reused instead of clearing fresh memory for every frame.
class FrameBuffers {
public:
    explicit FrameBuffers(std::size_t bytes) : bytes_(bytes) {}
    // Throws std::bad_alloc when no buffer can be had.
    FrameBytes take();
    void give(FrameBytes buffer);

private:
    std::size_t bytes_;
    std::mutex mutex_;
    std::vector<FrameBytes> spare_;
};

// What the engine filters: its frames' layout and size, and where frame n comes from (written
// into a buffer of the frame's size; throws CliError with the user's words when it cannot).
struct FrameFeed {
    SampleLayout layout;
    int width;
    int height;
    std::function<void(int n, std::uint8_t* out)> read;
};

class FramePipeline {
public:
    struct Result {
        FrameBytes frame;  // the filtered frame in the file's layout
        std::optional<std::string> error;
    };

    FramePipeline(FilterEngine& engine, FrameFeed feed);
    // Workers finish the frame they are on; frames still queued are dropped.
    ~FramePipeline();
    FramePipeline(const FramePipeline&) = delete;
    FramePipeline& operator=(const FramePipeline&) = delete;

    // Frame n, filtered on the calling thread; every failure is the result's error, in the words
    // that the filter's hosts use.
    Result filter(int n);

    void start(int threads);
    void submit(int n);
    Result take(int n);
    // A written frame's buffer, for a later frame.
    void recycle(FrameBytes buffer) { buffers_.give(std::move(buffer)); }

private:
    void work();

    FilterEngine& engine_;
    FrameFeed feed_;
    FrameBuffers buffers_;
    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable result_ready_;
    std::deque<int> queue_;
    std::map<int, Result> results_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace dunmorel::cli
