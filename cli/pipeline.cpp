#include "cli/pipeline.h"

#include <cstring>
#include <new>

#include "cli/options.h"

namespace dunmorel::cli {

namespace {

// The frames of one request: the reference frame and the work frames, buffers of the pipeline's
// own that go back to it on every way out.
class Request final : public FrameHost {
public:
    Request(const FrameFeed& feed, FrameBuffers& buffers) : feed_(feed), buffers_(buffers) {}
    ~Request() override {
        release_reference();
        for (FrameBytes& w : work_)
            if (!w.empty()) buffers_.give(std::move(w));
    }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    ConstFramePlanes reference_frame(std::int32_t nf) override {
        reference_ = buffers_.take();
        feed_.read(nf, reference_.data());
        return frame_planes(feed_.layout, feed_.width, feed_.height, reference_.data());
    }
    void release_reference() override {
        if (!reference_.empty()) buffers_.give(std::move(reference_));
        reference_.clear();
    }
    FramePlanes work_frame(int index) override {
        FrameBytes& w = work_[index];
        if (w.empty()) w = buffers_.take();
        return frame_planes(feed_.layout, feed_.width, feed_.height, w.data());
    }
    void copy_rows(std::uint8_t* dst, std::int32_t dst_pitch, const std::uint8_t* src, std::int32_t src_pitch,
                   std::int32_t row_bytes, std::int32_t rows) override {
        for (std::int32_t r = 0; r < rows; ++r)
            std::memcpy(dst + static_cast<std::ptrdiff_t>(r) * dst_pitch,
                        src + static_cast<std::ptrdiff_t>(r) * src_pitch, static_cast<std::size_t>(row_bytes));
    }

    FrameBytes take_result() { return std::move(work_[1]); }

private:
    const FrameFeed& feed_;
    FrameBuffers& buffers_;
    FrameBytes reference_;
    FrameBytes work_[2];
};

}  // namespace

FrameBytes FrameBuffers::take() {
    FrameBytes b;
    {
        std::lock_guard lock(mutex_);
        if (!spare_.empty()) {
            b = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    b.resize(bytes_);
    return b;
}

void FrameBuffers::give(FrameBytes buffer) {
    std::lock_guard lock(mutex_);
    spare_.push_back(std::move(buffer));
}

FramePipeline::FramePipeline(FilterEngine& engine, FrameFeed feed)
    : engine_(engine), feed_(std::move(feed)), buffers_(frame_bytes(feed_.layout, feed_.width, feed_.height)) {}

FramePipeline::~FramePipeline() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& t : workers_) t.join();
}

FramePipeline::Result FramePipeline::filter(int n) {
    Result r;
    try {
        FrameBytes input = buffers_.take();
        feed_.read(n, input.data());
        Request request(feed_, buffers_);
        const ConstFramePlanes planes = frame_planes(feed_.layout, feed_.width, feed_.height, input.data());
        if (engine_.process(n, planes, feed_.height, request) == FilterEngine::Result::input) {
            r.frame = std::move(input);
        } else {
            r.frame = request.take_result();
            buffers_.give(std::move(input));
        }
    } catch (const std::bad_alloc&) {
        r.error = not_enough_memory("to filter a frame", feed_.width, feed_.height);
    } catch (const std::exception& e) {
        r.error = e.what();
    } catch (...) {
        r.error = "dunmorel: frame " + std::to_string(n) + " failed with an unknown error";
    }
    return r;
}

void FramePipeline::start(int threads) {
    for (int i = 0; i < threads; ++i) workers_.emplace_back([this] { work(); });
}

void FramePipeline::submit(int n) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(n);
    }
    work_ready_.notify_one();
}

FramePipeline::Result FramePipeline::take(int n) {
    std::unique_lock lock(mutex_);
    result_ready_.wait(lock, [&] { return results_.count(n) != 0; });
    Result r = std::move(results_[n]);
    results_.erase(n);
    return r;
}

void FramePipeline::work() {
    for (;;) {
        int n = 0;
        {
            std::unique_lock lock(mutex_);
            work_ready_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            n = queue_.front();
            queue_.pop_front();
        }
        Result r = filter(n);
        {
            std::lock_guard lock(mutex_);
            results_[n] = std::move(r);
        }
        result_ready_.notify_all();
    }
}

}  // namespace dunmorel::cli
