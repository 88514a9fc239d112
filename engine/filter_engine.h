// The filter without a host: window geometry, the scratch block, the one-time noise calibration,
// the report and the pass loop over frame views. A host binding owns one engine per filter
// instance and serves it frames through FrameHost.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "engine/arguments.h"
#include "engine/error.h"
#include "engine/format.h"
#include "kernels/plane.h"

namespace dunmorel {

// What one frame request needs from its host. The frames it hands out stay valid until the
// request object is destroyed (or, for the reference frame, until release_reference), and the
// host releases them on every way out of the request, errors included.
class FrameHost {
public:
    virtual ~FrameHost() = default;
    // Frame nf of the clip, fetched for the calibration when the request is for another frame.
    virtual ConstFramePlanes reference_frame(std::int32_t nf) = 0;
    virtual void release_reference() = 0;
    // Work frame 0 or 1 of the clip's format and size; the pass loop returns frame 1.
    virtual FramePlanes work_frame(int index) = 0;
    // Copies `rows` rows of `row_bytes` contiguous bytes (planes with step 1).
    virtual void copy_rows(std::uint8_t* dst, std::int32_t dst_pitch, const std::uint8_t* src, std::int32_t src_pitch,
                           std::int32_t row_bytes, std::int32_t rows) = 0;
};

// The refusal of a request when the automatic search finds no block that fits the frame.
inline constexpr const char* kNoSearchBlock =
    "Dunmorel: frame too small for the automatic window search; give lx, rx, ty and by with autow=false";

struct FilterEngineTestAccess;

class FilterEngine {
    friend struct FilterEngineTestAccess;

public:
    // Fixes the window geometry and allocates the scratch block (std::bad_alloc if it cannot).
    FilterEngine(const ClipFormat& clip, const FilterArguments& args);

    enum class Result { input, work_frame_1 };

    // One frame request for frame n, whose planes are `input` and whose height is `height`:
    // calibrates on the first request, then runs the passes. Returns which frame holds the
    // answer. Throws FilterError for the report and for frames it cannot filter.
    Result process(std::int32_t n, const ConstFramePlanes& input, std::int32_t height, FrameHost& host);

    // Calibrates if no request has yet; with print set, throws the report every time.
    void ensure_calibrated(std::int32_t n, const ConstFramePlanes& input, std::int32_t height, FrameHost& host);
    bool passes_nothing() const { return pass_count[0] == 0 && pass_count[1] == 0 && pass_count[2] == 0; }
    // The passes over a calibrated filter; `host` supplies the two work frames.
    void run_passes(const ConstFramePlanes& input, FrameHost& host) const;

    const ClipFormat& clip() const { return clip_; }
    std::int32_t window_width() const { return win_width; }
    std::int32_t window_height() const { return win_height; }
    WindowRect window() const { return {lx, win_top, rx, win_bottom}; }
    std::size_t scratch_bytes() const { return scratch_size; }
    const std::int32_t* passes() const { return pass_count; }
    const VarianceTable& variances() const { return variance_table; }
    bool is_calibrated() const { return calibrated.load(); }
    // False when the automatic search can place no block of its size inside the frame's margins
    // (every request is then refused with kNoSearchBlock); true without autow. The answer
    // depends on the clip's size alone, so a host can refuse the clip when it is created.
    bool search_block_fits() const;

private:
    void calibrate_noise(std::int32_t n, const ConstFramePlanes& input, std::int32_t height, FrameHost& host);
    [[noreturn]] void report_calibration(std::int32_t frame_height) const;

    ClipFormat clip_;
    PlaneLayout layout_;
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
