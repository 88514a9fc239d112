// The filter as a VapourSynth node: the engine served with the host's frames, mapped so that a
// picture gives the same bytes as the same picture in the AviSynth plug-in.
#pragma once

#include <cstdint>

#include <VapourSynth4.h>

#include "engine/filter_engine.h"

namespace dunmorel::vs {

class Filter {
public:
    // Takes over the reference to `node`. Throws std::bad_alloc when the scratch block cannot be
    // had.
    Filter(VSNode* node, const VSVideoInfo& vi, const ClipFormat& clip, const FilterArguments& args,
           const VSAPI* vsapi);
    ~Filter();
    Filter(const Filter&) = delete;
    Filter& operator=(const Filter&) = delete;

    VSNode* node() const { return node_; }
    const VSVideoInfo& info() const { return vi_; }
    const FilterEngine& engine() const { return engine_; }

    const VSFrame* get_frame(int n, int activation_reason, VSFrameContext* ctx, VSCore* core, const VSAPI* vsapi);

private:
    const VSFrame* filter_frame(int n, VSFrameContext* ctx, VSCore* core, const VSAPI* vsapi);

    VSNode* node_;
    VSVideoInfo vi_;
    ClipFormat clip_;
    std::int32_t nf_;
    const VSAPI* vsapi_;
    FilterEngine engine_;
};

}  // namespace dunmorel::vs
