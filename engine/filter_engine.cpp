#include "engine/filter_engine.h"

#include "engine/plane_pool.h"

namespace dunmorel {

namespace {

std::int64_t area_of(std::int32_t width, std::int32_t height) { return static_cast<std::int64_t>(width) * height; }

}  // namespace

FilterEngine::FilterEngine(const ClipFormat& clip, const FilterArguments& args)
    : clip_(clip), traits_(traits_of(clip.format)), args_(args), planes_(std::make_unique<PlanePool>(clip)) {
    if (!args.autow) {
        // RGB frames are stored bottom-up, so the script's rows (counted from the picture's top)
        // become memory rows here.
        if (traits_.family == ColorFamily::rgb) {
            initial_window_ = {args.lx, clip.height - args.by - 1, args.rx, clip.height - args.ty - 1};
        } else {
            initial_window_ = {args.lx, args.ty, args.rx, args.by};
        }
        win_width_ = initial_window_.width();
        win_height_ = initial_window_.height();
    } else {
        // The search block grows from 1/64 of the frame in both directions until it covers minw
        // pixels or can grow no further. The window is written by the search before anything
        // reads it; until then it keeps the script's values (or 0).
        initial_window_ = {args.lx, args.ty, args.rx, args.by};
        std::int32_t width_step = (clip.width / 64) & ~1;
        std::int32_t height_step = (clip.height / 64) & ~1;
        win_width_ = width_step < 8 ? 8 : width_step;
        win_height_ = height_step < 8 ? 8 : height_step;
        while (area_of(win_width_, win_height_) < args.minw) {
            win_width_ += width_step;
            win_height_ += height_step;
            if (win_width_ > clip.width - 2 * args.xgrid) {
                win_width_ -= width_step;
                width_step = 0;
            }
            if (win_height_ > clip.height - 2 * args.ygrid) {
                win_height_ -= height_step;
                height_step = 0;
            }
            if (width_step < 8 && height_step < 8) break;
        }
    }
    state_.window = initial_window_;

    const std::size_t half =
        static_cast<std::size_t>(win_width_ + 2 * args.xgrid) * static_cast<std::size_t>(win_height_ + 2 * args.ygrid);
    scratch_size_ = 2 * half;
    scratch_ = std::make_unique<std::uint8_t[]>(scratch_size_);
    if (traits_.family == ColorFamily::grey)
        neutral_.assign(static_cast<std::size_t>(plane_width(clip, 1)) * plane_height(clip, 1), 128);
}

FilterEngine::~FilterEngine() = default;

std::pair<std::int32_t, std::int32_t> FilterEngine::search_margins() const {
    // The blocks keep xgrid columns and ygrid rows from the edges. Where a chroma sample spans
    // four luma columns or rows (4:1:1, 4:1:0) that leaves no room for the chroma copy's margins,
    // so there they keep sx * (xgrid / 2 + 1) columns and sy * (ygrid / 2 + 1) rows, which always
    // hold them.
    const std::int32_t xgrid = args_.xgrid;
    const std::int32_t ygrid = args_.ygrid;
    return {traits_.sub_w == 2 ? (1 << traits_.sub_w) * (xgrid / 2 + 1) : xgrid,
            traits_.sub_h == 2 ? (1 << traits_.sub_h) * (ygrid / 2 + 1) : ygrid};
}

bool FilterEngine::search_block_fits() const {
    // The search's scan bounds: a block starts at a margin and must end before the other one.
    const auto [mx, my] = search_margins();
    return !args_.autow ||
           (std::int64_t{clip_.height} - win_height_ - my > my && std::int64_t{clip_.width} - win_width_ - mx > mx);
}

void FilterEngine::ensure_calibrated(std::int32_t n, const ConstFramePlanes& input, std::int32_t height,
                                     FrameHost& host) {
    if (calibrated_.load(std::memory_order_acquire)) return;
    // Calibration writes the window, the table and the pass counts; requests that arrive
    // meanwhile wait here and then only read them.
    std::lock_guard<std::mutex> lock(calibration_mutex_);
    if (calibrated_.load(std::memory_order_relaxed)) return;
    const std::int32_t nf = args_.nf;
    {
        const ConstFramePlanes reference = n != nf ? host.reference_frame(nf) : input;
        // Each calibration starts from the pass counts and table the one before left: while print
        // is set the filter stays uncalibrated and every request measures again. A clip of more
        // than 8 bits is measured on the 8-bit scale, so that its window, pass counts and report
        // are those of the same picture at 8 bits: bit depth changes precision, not strength.
        std::vector<std::uint8_t> rounded[3];
        state_ = measure(is_wide(clip_) ? rounded_reference(reference, rounded) : reference, state_);
        measured_ = true;
    }
    if (n != nf) host.release_reference();
    if (args_.print) throw FilterError(FilterError::Kind::report, format_report(state_, traits_.family, height));
    plan_ = plan_of(state_);
    calibrated_.store(true, std::memory_order_release);
}

FilterEngine::Result FilterEngine::process(std::int32_t n, const ConstFramePlanes& input, std::int32_t height,
                                           FrameHost& host) {
    ensure_calibrated(n, input, height, host);
    if (plan_.passes_nothing()) return Result::input;
    run_passes(input, plan_, host);
    return Result::work_frame_1;
}

void FilterEngine::adopt(const PassPlan& plan) {
    std::lock_guard<std::mutex> lock(calibration_mutex_);
    plan_ = plan;
    calibrated_.store(true, std::memory_order_release);
}

std::optional<Calibration> FilterEngine::last_calibration() const {
    std::lock_guard<std::mutex> lock(calibration_mutex_);
    if (!measured_) return std::nullopt;
    return state_;
}

}  // namespace dunmorel
