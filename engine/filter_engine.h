// The filter without a host: window geometry, the scratch block, the one-time noise calibration,
// the report and the pass loop over frame views. A host binding owns one engine per filter
// instance and serves it frames through FrameHost.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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
    // Work frame 0 or 1 of the clip's format and size; the pass loop returns frame 1. A clip of
    // a packed layout is asked for frame 1 only: its passes run in the engine's own planes.
    virtual FramePlanes work_frame(int index) = 0;
    // Copies `rows` rows of `row_bytes` contiguous bytes (planes with step 1).
    virtual void copy_rows(std::uint8_t* dst, std::int32_t dst_pitch, const std::uint8_t* src, std::int32_t src_pitch,
                           std::int32_t row_bytes, std::int32_t rows) = 0;
};

// What the calibration found on the reference frame: the window (in memory rows, as the planes
// are stored), each plane's pass count as the trial passes left it, and the variance table
// (row 0 measured in the window, row k after trial pass k). Nothing here is scaled by the
// strengths yet: this is what the report shows.
struct Calibration {
    WindowRect window;
    std::array<std::int32_t, 3> passes{1, 1, 1};
    VarianceTable variances{};
};

// What every frame gets: the passes per plane and the noise variance of pass k of plane p in
// noise[k][p].
struct PassPlan {
    std::array<std::int32_t, 3> passes{};
    VarianceTable noise{};

    bool passes_nothing() const { return passes[0] == 0 && passes[1] == 0 && passes[2] == 0; }
};

// The one-line report of a calibration; rows are counted from the top of the picture, so an RGB
// window's memory rows are turned back with the frame's height.
std::string format_report(const Calibration& calibration, ColorFamily family, std::int32_t frame_height);

// The refusal of a request when the automatic search finds no block that fits the frame.
inline constexpr const char* kNoSearchBlock =
    "Dunmorel: frame too small for the automatic window search; give lx, rx, ty and by with autow=false";

// Refuses a plane of 16-bit words that the kernels cannot take: one whose address or pitch is
// odd (no host gives such planes) or that is wider than max_columns16.
void check_wide_plane(const ConstPlaneView& bytes);

class PlanePool;

class FilterEngine {
public:
    // Fixes the window geometry and allocates the scratch block (std::bad_alloc if it cannot).
    FilterEngine(const ClipFormat& clip, const FilterArguments& args);
    ~FilterEngine();
    FilterEngine(const FilterEngine&) = delete;
    FilterEngine& operator=(const FilterEngine&) = delete;

    enum class Result { input, work_frame_1 };

    // One frame request for frame n, whose planes are `input` and whose height is `height`:
    // calibrates on the first request, then runs the passes. Returns which frame holds the
    // answer. Throws FilterError for the report and for frames it cannot filter.
    Result process(std::int32_t n, const ConstFramePlanes& input, std::int32_t height, FrameHost& host);

    // The passes that `plan` describes on `input`; `host` supplies the work frames.
    void run_passes(const ConstFramePlanes& input, const PassPlan& plan, FrameHost& host) const;

    // Makes every later request use `plan` instead of calibrating.
    void adopt(const PassPlan& plan);
    // The pass plan that a calibration gives with this filter's strengths.
    PassPlan plan_of(const Calibration& calibration) const;
    // The most recent calibration, if any request has calibrated (with print set, the one that
    // the last report came from).
    std::optional<Calibration> last_calibration() const;

    const ClipFormat& clip() const { return clip_; }
    // The window a calibration starts from: the script's in memory rows while autow is off.
    const WindowRect& initial_window() const { return initial_window_; }
    std::int32_t window_width() const { return win_width_; }
    std::int32_t window_height() const { return win_height_; }
    std::size_t scratch_bytes() const { return scratch_size_; }
    bool is_calibrated() const { return calibrated_.load(std::memory_order_acquire); }
    // False when the automatic search can place no block of its size inside the frame's margins
    // (every request is then refused with kNoSearchBlock); true without autow. The answer
    // depends on the clip's size alone, so a host can refuse the clip when it is created.
    bool search_block_fits() const;
    // The plan in force once is_calibrated() is true.
    const PassPlan& plan() const { return plan_; }

private:
    void ensure_calibrated(std::int32_t n, const ConstFramePlanes& input, std::int32_t height, FrameHost& host);
    Calibration measure(const ConstFramePlanes& reference, const Calibration& previous);
    // How far from the left and top edges (and, less one, from the others) search blocks keep.
    std::pair<std::int32_t, std::int32_t> search_margins() const;
    // The reference frame of a clip of more than 8 bits rounded to 8 bits, in `storage`.
    ConstFramePlanes rounded_reference(const ConstFramePlanes& reference,
                                       std::vector<std::uint8_t> (&storage)[3]) const;

    ClipFormat clip_;
    FormatTraits traits_;
    FilterArguments args_;
    // The window before any search: the script's, in memory rows, while autow is off.
    WindowRect initial_window_;
    std::int32_t win_width_ = 0;
    std::int32_t win_height_ = 0;
    std::unique_ptr<std::uint8_t[]> scratch_;
    std::size_t scratch_size_ = 0;
    // Neutral chroma for grey clips, which have none of their own: the calibration measures it
    // as a 4:2:0 clip's, so planes 1 and 2 report a flat window and get no pass.
    std::vector<std::uint8_t> neutral_;
    std::unique_ptr<PlanePool> planes_;

    // Guards the calibration state below while a request calibrates; requests that arrive
    // meanwhile wait and then only read the plan, published through calibrated_.
    mutable std::mutex calibration_mutex_;
    // The state a calibration starts from: pass counts and table left by the previous one.
    Calibration state_;
    bool measured_ = false;
    PassPlan plan_;
    std::atomic<bool> calibrated_{false};
};

}  // namespace dunmorel
