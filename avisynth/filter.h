// The filter object that the host drives through its clip interface: a thin shell that serves
// the engine the host's frames.
#pragma once

#include <cstdint>

#include "avisynth/frame_view.h"
#include "avisynth/interface.h"
#include "engine/filter_engine.h"

namespace dunmorel {

struct DunmorelFilterTestAccess;

class DunmorelFilter final : public GenericVideoFilter {
    friend struct DunmorelFilterTestAccess;

public:
    // Throws std::bad_alloc when the scratch block cannot be had.
    DunmorelFilter(const PClip& source, const FilterArguments& args);
    ~DunmorelFilter() override = default;

    int DUNMOREL_STDCALL GetVersion() override { return 2; }
    PVideoFrame DUNMOREL_STDCALL GetFrame(int n, IScriptEnvironment* env) override;
    int DUNMOREL_STDCALL SetCacheHints(int, int) override { return 0; }

    const FilterEngine& engine() const { return engine_; }
    // Read-only access for tests and tools.
    std::int32_t window_width() const { return engine_.window_width(); }
    std::int32_t window_height() const { return engine_.window_height(); }
    WindowRect window() const { return engine_.window(); }
    std::size_t scratch_bytes() const { return engine_.scratch_bytes(); }
    const std::int32_t* passes() const { return engine_.passes(); }
    const VarianceTable& variances() const { return engine_.variances(); }
    bool is_calibrated() const { return engine_.is_calibrated(); }

private:
    FilterEngine engine_;
};

}  // namespace dunmorel
