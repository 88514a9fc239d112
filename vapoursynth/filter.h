// The filter as a VapourSynth node: the engine served with the host's frames, mapped so that a
// picture gives the same bytes as the same picture in the AviSynth plug-in.
#pragma once

#include <cstdint>
#include <vector>

#include <VapourSynth4.h>

#include "engine/filter_engine.h"

namespace dunmorel::vs {

// The host's frame formats that map exactly onto the engine's: 4:2:0 is the YV12 layout, 4:2:2
// the YUY2 layout, planar RGB the packed RGB24 layout, and grey the YV12 layout with neutral
// chroma.
enum class ClipKind { yuv420, yuv422, rgb, gray };

class Filter {
public:
    // Takes over the reference to `node`. Throws std::bad_alloc when the scratch block cannot be
    // had.
    Filter(VSNode* node, const VSVideoInfo& vi, ClipKind kind, const ClipFormat& clip, const FilterArguments& args,
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
    ClipKind kind_;
    std::int32_t nf_;
    const VSAPI* vsapi_;
    FilterEngine engine_;
    // The chroma that a grey clip's frames lack: neutral, read-only, shared by every request.
    std::vector<std::uint8_t> neutral_chroma_;
};

}  // namespace dunmorel::vs
