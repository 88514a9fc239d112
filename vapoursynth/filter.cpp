#include "vapoursynth/filter.h"

#include <cstring>
#include <exception>
#include <memory>
#include <new>

namespace dunmorel::vs {

namespace {

// A frame reference that goes back to the host on every way out.
struct FrameDeleter {
    const VSAPI* vsapi;
    void operator()(const VSFrame* f) const { vsapi->freeFrame(f); }
};
using FrameRef = std::unique_ptr<const VSFrame, FrameDeleter>;

// The engine's planes of one host frame whose plane p starts at plane_base(p). Plane p of the
// engine is what the original plug-in calls plane p: for RGB the byte at offset p of a packed
// pixel (B, G, R), with rows counted from the bottom as packed RGB is stored, so each plane is
// read from its last row with a negative pitch. A grey frame has its luma only. Samples of more
// than 8 bits are two bytes each, which the views' step says (format.h).
template <typename Sample, typename PlaneBase>
BasicFramePlanes<Sample> planes_of(const ClipFormat& clip, const VSFrame* frame, PlaneBase plane_base,
                                   const VSAPI* vsapi) {
    BasicFramePlanes<Sample> f;
    const bool rgb = traits_of(clip.format).family == ColorFamily::rgb;
    const int own = traits_of(clip.format).family == ColorFamily::grey ? 1 : 3;
    for (int p = 0; p < own; ++p) {
        const int source = rgb ? 2 - p : p;
        Sample* base = plane_base(source);
        auto stride = static_cast<std::int32_t>(vsapi->getStride(frame, source));
        const std::int32_t height = plane_height(clip, p);
        if (rgb) {
            base += static_cast<std::ptrdiff_t>(height - 1) * stride;
            stride = -stride;
        }
        f.plane[p] = {base, stride, is_wide(clip) ? 2 : 1, plane_width(clip, p), height};
    }
    return f;
}

// The frames of one request.
class Request final : public FrameHost {
public:
    Request(const ClipFormat& clip, const VSVideoInfo& vi, VSNode* node, const VSFrame* propagate, VSFrameContext* ctx,
            VSCore* core, const VSAPI* vsapi)
        : clip_(clip),
          vi_(vi),
          node_(node),
          propagate_(propagate),
          ctx_(ctx),
          core_(core),
          vsapi_(vsapi),
          reference_(nullptr, {vsapi}),
          work_{FrameRef(nullptr, {vsapi}), FrameRef(nullptr, {vsapi})} {}

    ConstFramePlanes input_planes(const VSFrame* frame) const {
        return planes_of<const std::uint8_t>(
            clip_, frame, [&](int p) { return vsapi_->getReadPtr(frame, p); }, vsapi_);
    }

    ConstFramePlanes reference_frame(std::int32_t nf) override {
        reference_.reset(vsapi_->getFrameFilter(nf, node_, ctx_));
        if (!reference_)
            throw FilterError(FilterError::Kind::failure, "Dunmorel: the reference frame could not be fetched");
        return input_planes(reference_.get());
    }
    void release_reference() override { reference_.reset(); }

    FramePlanes work_frame(int index) override {
        VSFrame* frame = vsapi_->newVideoFrame(&vi_.format, vi_.width, vi_.height, propagate_, core_);
        work_[index].reset(frame);
        if (!frame) throw std::bad_alloc();
        return planes_of<std::uint8_t>(
            clip_, frame, [&](int p) { return vsapi_->getWritePtr(frame, p); }, vsapi_);
    }

    void copy_rows(std::uint8_t* dst, std::int32_t dst_pitch, const std::uint8_t* src, std::int32_t src_pitch,
                   std::int32_t row_bytes, std::int32_t rows) override {
        for (std::int32_t r = 0; r < rows; ++r)
            std::memcpy(dst + static_cast<std::ptrdiff_t>(r) * dst_pitch,
                        src + static_cast<std::ptrdiff_t>(r) * src_pitch, static_cast<std::size_t>(row_bytes));
    }

    const VSFrame* release_result() { return work_[1].release(); }

private:
    const ClipFormat& clip_;
    const VSVideoInfo& vi_;
    VSNode* node_;
    const VSFrame* propagate_;
    VSFrameContext* ctx_;
    VSCore* core_;
    const VSAPI* vsapi_;
    FrameRef reference_;
    FrameRef work_[2];
};

}  // namespace

Filter::Filter(VSNode* node, const VSVideoInfo& vi, const ClipFormat& clip, const FilterArguments& args,
               const VSAPI* vsapi)
    : node_(node), vi_(vi), clip_(clip), nf_(args.nf), vsapi_(vsapi), engine_(clip, args) {}
Filter::~Filter() { vsapi_->freeNode(node_); }

const VSFrame* Filter::get_frame(int n, int activation_reason, VSFrameContext* ctx, VSCore* core, const VSAPI* vsapi) {
    if (activation_reason == arInitial) {
        vsapi->requestFrameFilter(n, node_, ctx);
        // The first request calibrates on frame nf, which must be asked for now; a request that
        // finds the filter calibrated later simply does not use it.
        if (n != nf_ && !engine_.is_calibrated()) vsapi->requestFrameFilter(nf_, node_, ctx);
        return nullptr;
    }
    if (activation_reason != arAllFramesReady) return nullptr;
    // Nothing may unwind into the host: every failure becomes the frame's error.
    try {
        return filter_frame(n, ctx, core, vsapi);
    } catch (const std::bad_alloc&) {
        vsapi->setFilterError(not_enough_memory("to filter a frame", vi_.width, vi_.height).c_str(), ctx);
    } catch (const std::exception& e) {
        vsapi->setFilterError(e.what(), ctx);
    }
    return nullptr;
}

const VSFrame* Filter::filter_frame(int n, VSFrameContext* ctx, VSCore* core, const VSAPI* vsapi) {
    FrameRef input(vsapi->getFrameFilter(n, node_, ctx), {vsapi});
    if (!input) throw FilterError(FilterError::Kind::failure, "Dunmorel: the input frame could not be fetched");
    Request request(clip_, vi_, node_, input.get(), ctx, core, vsapi);
    if (engine_.process(n, request.input_planes(input.get()), vi_.height, request) == FilterEngine::Result::input)
        return input.release();
    return request.release_result();
}

}  // namespace dunmorel::vs
