// The filter object that the host drives through its clip interface.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "frame/frame_view.h"
#include "avisynth/interface.h"
#include "kernels/plane.h"

namespace dunmorel {

// The script's arguments after defaults have been applied, in signature order.
struct FilterArguments {
    std::int32_t xgrid = 5;
    std::int32_t ygrid = 5;
    bool print = false;
    std::int32_t limit = 1;
    std::int32_t nf = 0;
    bool autow = true;
    std::int32_t minw = 0;
    std::int32_t lx = 0;
    std::int32_t rx = 0;
    std::int32_t ty = 0;
    std::int32_t by = 0;
    std::int32_t ry = 1;
    std::int32_t gu = 1;
    std::int32_t bv = 1;
};

struct DunmorelFilterTestAccess;

class DunmorelFilter final : public GenericVideoFilter {
    // Lets tests put the object into a calibrated state of their choosing.
    friend struct DunmorelFilterTestAccess;

public:
    DunmorelFilter(const PClip& source, const FilterArguments& args);
    ~DunmorelFilter() override = default;

    int DUNMOREL_STDCALL GetVersion() override { return 2; }
    PVideoFrame DUNMOREL_STDCALL GetFrame(int n, IScriptEnvironment* env) override;
    int DUNMOREL_STDCALL SetCacheHints(int, int) override { return 0; }

    // Read-only access for tests and tools.
    std::int32_t window_width() const { return win_width; }
    std::int32_t window_height() const { return win_height; }
    WindowRect window() const { return {lx, win_top, rx, win_bottom}; }
    std::size_t scratch_bytes() const { return scratch_size; }
    const std::int32_t* passes() const { return pass_count; }
    const VarianceTable& variances() const { return variance_table; }
    bool is_calibrated() const { return calibrated.load(); }

private:
    void calibrate_noise(int n, const PVideoFrame& input, IScriptEnvironment* env);
    void report_calibration(std::int32_t frame_height, IScriptEnvironment* env) const;
    void copy_plane(const PlaneView& dst, const ConstPlaneView& src, std::int32_t copy_width,
                    IScriptEnvironment* env) const;

    std::int32_t xgrid;
    std::int32_t ygrid;
    bool print;
    std::int32_t limit;
    std::int32_t nf;
    bool autow;
    std::int32_t minw;
    std::int32_t lx;
    std::int32_t rx;
    std::int32_t ty;
    std::int32_t by;
    std::int32_t ry;
    std::int32_t gu;
    std::int32_t bv;
    std::int32_t win_top = 0;
    std::int32_t win_bottom = 0;
    // Atomic because a host may request frames from several threads; the first calibration
    // is guarded by calibration_mutex and published through this flag.
    std::atomic<bool> calibrated{false};
    std::int32_t win_width = 0;
    std::int32_t win_height = 0;
    VarianceTable variance_table{};
    std::int32_t pass_count[3] = {1, 1, 1};
    std::unique_ptr<std::uint8_t[]> scratch;
    std::size_t scratch_size = 0;
    std::uint8_t* scratch_a = nullptr;
    std::uint8_t* scratch_b = nullptr;
    std::mutex calibration_mutex;
};

}  // namespace dunmorel
