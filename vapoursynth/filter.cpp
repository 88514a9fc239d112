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

std::int32_t chroma_size(std::int32_t luma) { return luma / 2; }

// The engine's planes of one frame. Plane p of the engine is what the AviSynth plug-in calls
// plane p: for RGB the byte at offset p of a packed pixel (B, G, R), with rows counted from the
// bottom as packed RGB is stored, so each plane is read from its last row with a negative pitch.
template <typename Sample>
BasicFramePlanes<Sample> planes_of(ClipKind kind, Sample* const base[3], const std::ptrdiff_t stride[3],
                                   std::int32_t width, std::int32_t height) {
    BasicFramePlanes<Sample> f;
    auto view = [](Sample* b, std::ptrdiff_t s, std::int32_t w, std::int32_t h) {
        return BasicPlaneView<Sample>{b, static_cast<std::int32_t>(s), 1, w, h};
    };
    switch (kind) {
        case ClipKind::rgb:
            for (int p = 0; p < 3; ++p) {
                const int source = 2 - p;
                f.plane[p] = view(base[source] + (height - 1) * stride[source], -stride[source], width, height);
            }
            break;
        case ClipKind::yuv422:
            f.plane[0] = view(base[0], stride[0], width, height);
            for (int p = 1; p < 3; ++p) f.plane[p] = view(base[p], stride[p], chroma_size(width), height);
            break;
        case ClipKind::yuv420:
        case ClipKind::gray:
            f.plane[0] = view(base[0], stride[0], width, height);
            for (int p = 1; p < 3; ++p) f.plane[p] = view(base[p], stride[p], chroma_size(width), chroma_size(height));
            break;
    }
    return f;
}

// The frames of one request.
class Request final : public FrameHost {
public:
    Request(ClipKind kind, const VSVideoInfo& vi, VSNode* node, const VSFrame* propagate, VSFrameContext* ctx,
            VSCore* core, const VSAPI* vsapi, const std::vector<std::uint8_t>& neutral_chroma)
        : kind_(kind),
          vi_(vi),
          node_(node),
          propagate_(propagate),
          ctx_(ctx),
          core_(core),
          vsapi_(vsapi),
          neutral_chroma_(neutral_chroma),
          reference_(nullptr, {vsapi}),
          work_{FrameRef(nullptr, {vsapi}), FrameRef(nullptr, {vsapi})} {}

    ConstFramePlanes input_planes(const VSFrame* frame) const {
        const std::uint8_t* neutral = neutral_chroma_.data();
        return planes_from<const std::uint8_t>(
            frame, [&](int p) { return vsapi_->getReadPtr(frame, p); }, neutral, neutral);
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
        std::uint8_t* chroma_u = nullptr;
        std::uint8_t* chroma_v = nullptr;
        if (kind_ == ClipKind::gray) {
            // The chroma of the grey picture is smoothed into buffers that nobody reads.
            std::vector<std::uint8_t>& scratch = chroma_scratch_[index];
            const std::size_t plane = static_cast<std::size_t>(chroma_size(vi_.width)) * chroma_size(vi_.height);
            scratch.resize(2 * plane);
            chroma_u = scratch.data();
            chroma_v = scratch.data() + plane;
        }
        return planes_from<std::uint8_t>(
            frame, [&](int p) { return vsapi_->getWritePtr(frame, p); }, chroma_u, chroma_v);
    }

    void copy_rows(std::uint8_t* dst, std::int32_t dst_pitch, const std::uint8_t* src, std::int32_t src_pitch,
                   std::int32_t row_bytes, std::int32_t rows) override {
        for (std::int32_t r = 0; r < rows; ++r)
            std::memcpy(dst + static_cast<std::ptrdiff_t>(r) * dst_pitch,
                        src + static_cast<std::ptrdiff_t>(r) * src_pitch, static_cast<std::size_t>(row_bytes));
    }

    const VSFrame* release_result() { return work_[1].release(); }

private:
    // The engine's planes of a host frame whose plane p starts at plane_base(p); a grey frame has
    // one plane of its own and takes its chroma from chroma_u and chroma_v.
    template <typename Sample, typename PlaneBase>
    BasicFramePlanes<Sample> planes_from(const VSFrame* frame, PlaneBase plane_base, Sample* chroma_u,
                                         Sample* chroma_v) const {
        Sample* base[3];
        std::ptrdiff_t stride[3];
        const int own = kind_ == ClipKind::gray ? 1 : 3;
        for (int p = 0; p < own; ++p) {
            base[p] = plane_base(p);
            stride[p] = vsapi_->getStride(frame, p);
        }
        if (kind_ == ClipKind::gray) {
            base[1] = chroma_u;
            base[2] = chroma_v;
            stride[1] = stride[2] = chroma_size(vi_.width);
        }
        return planes_of(kind_, base, stride, vi_.width, vi_.height);
    }

    ClipKind kind_;
    const VSVideoInfo& vi_;
    VSNode* node_;
    const VSFrame* propagate_;
    VSFrameContext* ctx_;
    VSCore* core_;
    const VSAPI* vsapi_;
    const std::vector<std::uint8_t>& neutral_chroma_;
    FrameRef reference_;
    FrameRef work_[2];
    std::vector<std::uint8_t> chroma_scratch_[2];
};

}  // namespace

Filter::Filter(VSNode* node, const VSVideoInfo& vi, ClipKind kind, const ClipFormat& clip, const FilterArguments& args,
               const VSAPI* vsapi)
    : node_(node), vi_(vi), kind_(kind), nf_(args.nf), vsapi_(vsapi), engine_(clip, args) {
    if (kind == ClipKind::gray)
        neutral_chroma_.assign(static_cast<std::size_t>(chroma_size(vi.width)) * chroma_size(vi.height), 128);
}

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
    Request request(kind_, vi_, node_, input.get(), ctx, core, vsapi, neutral_chroma_);
    if (engine_.process(n, request.input_planes(input.get()), vi_.height, request) == FilterEngine::Result::input)
        return input.release();
    return request.release_result();
}

}  // namespace dunmorel::vs
