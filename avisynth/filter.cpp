#include "avisynth/filter.h"

#include <new>
#include <string>

namespace dunmorel {

namespace {

// The frames of one request. Each is a counted handle held here, so the host gets every one back
// on every way out of GetFrame, its own errors included.
class Request final : public FrameHost {
public:
    Request(const PClip& child, const VideoInfo& vi, IScriptEnvironment* env) : child_(child), vi_(vi), env_(env) {}

    ConstFramePlanes reference_frame(std::int32_t nf) override {
        reference_ = child_->GetFrame(nf, env_);
        return read_planes(*reference_, vi_);
    }
    void release_reference() override { reference_ = nullptr; }

    FramePlanes work_frame(int index) override {
        PVideoFrame& frame = work_[index];
        frame = env_->NewVideoFrame(vi_, 16);
        const FramePlanes planes = write_planes(*frame, vi_);
        if (!planes.plane[0].base)
            throw FilterError(FilterError::Kind::failure,
                              "Dunmorel: the host returned a work frame that cannot be written");
        return planes;
    }

    void copy_rows(std::uint8_t* dst, std::int32_t dst_pitch, const std::uint8_t* src, std::int32_t src_pitch,
                   std::int32_t row_bytes, std::int32_t rows) override {
        env_->BitBlt(dst, dst_pitch, src, src_pitch, row_bytes, rows);
    }

    PVideoFrame result() const { return work_[1]; }

private:
    const PClip& child_;
    const VideoInfo& vi_;
    IScriptEnvironment* env_;
    PVideoFrame reference_;
    PVideoFrame work_[2];
};

}  // namespace

DunmorelFilter::DunmorelFilter(const PClip& source, const FilterArguments& args)
    : GenericVideoFilter(source), engine_(clip_format(vi), args) {}

PVideoFrame DUNMOREL_STDCALL DunmorelFilter::GetFrame(int n, IScriptEnvironment* env) {
    std::string error;
    try {
        PVideoFrame input = child->GetFrame(n, env);
        Request request(child, vi, env);
        try {
            if (engine_.process(n, read_planes(*input, vi), input->GetHeight(), request) == FilterEngine::Result::input)
                return input;
            return request.result();
        } catch (const FilterError& e) {
            error = e.what();
        }
    } catch (const std::bad_alloc&) {
        // A host reports an escaping std::bad_alloc by its bare name, or not at all.
        error = not_enough_memory("to filter a frame", vi.width, vi.height);
    }
    // Raised only after the request has given every frame back.
    env->ThrowError("%s", error.c_str());
    return nullptr;
}

}  // namespace dunmorel
