// The filter object that the host drives through its clip interface: a thin shell that serves
// the engine the host's frames.
#pragma once

#include <cstdint>

#include "avisynth/frame_view.h"
#include "avisynth/interface.h"
#include "engine/filter_engine.h"

namespace dunmorel {

class DunmorelFilter final : public GenericVideoFilter {
public:
    // Throws std::bad_alloc when the scratch block cannot be had.
    DunmorelFilter(const PClip& source, const FilterArguments& args);
    ~DunmorelFilter() override = default;

    int DUNMOREL_STDCALL GetVersion() override { return 2; }
    PVideoFrame DUNMOREL_STDCALL GetFrame(int n, IScriptEnvironment* env) override;
    int DUNMOREL_STDCALL SetCacheHints(int, int) override { return 0; }

    FilterEngine& engine() { return engine_; }
    const FilterEngine& engine() const { return engine_; }

private:
    FilterEngine engine_;
};

}  // namespace dunmorel
