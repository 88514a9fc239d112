#include "engine/filter_engine.h"

namespace dunmorel {

namespace {

std::int64_t area_of(std::int32_t width, std::int32_t height) { return static_cast<std::int64_t>(width) * height; }

}  // namespace

FilterEngine::FilterEngine(const ClipFormat& clip, const FilterArguments& args)
    : clip_(clip),
      layout_(plane_layout(clip.format)),
      xgrid(args.xgrid),
      ygrid(args.ygrid),
      print(args.print),
      limit(args.limit),
      nf(args.nf),
      autow(args.autow),
      minw(args.minw),
      lx(args.lx),
      rx(args.rx),
      ty(args.ty),
      by(args.by),
      ry(args.ry),
      gu(args.gu),
      bv(args.bv) {
    if (!autow) {
        // RGB frames are stored bottom-up, so the script's rows (counted from the picture's
        // top) become memory rows here.
        if (layout_ == PlaneLayout::rgb) {
            win_top = clip.height - by - 1;
            win_bottom = clip.height - ty - 1;
        } else {
            win_top = ty;
            win_bottom = by;
        }
        win_width = rx - lx + 1;
        win_height = win_bottom - win_top + 1;
    } else {
        // The search block grows from 1/64 of the frame in both directions until it covers
        // minw pixels or can grow no further. lx, rx, win_top and win_bottom are written by the
        // search before anything reads them; until then they keep the script's values (or 0).
        std::int32_t width_step = (clip.width / 64) & ~1;
        std::int32_t height_step = (clip.height / 64) & ~1;
        win_width = width_step < 8 ? 8 : width_step;
        win_height = height_step < 8 ? 8 : height_step;
        while (area_of(win_width, win_height) < minw) {
            win_width += width_step;
            win_height += height_step;
            if (win_width > clip.width - 2 * xgrid) {
                win_width -= width_step;
                width_step = 0;
            }
            if (win_height > clip.height - 2 * ygrid) {
                win_height -= height_step;
                height_step = 0;
            }
            if (width_step < 8 && height_step < 8) break;
        }
    }

    const std::size_t half =
        static_cast<std::size_t>(win_width + 2 * xgrid) * static_cast<std::size_t>(win_height + 2 * ygrid);
    scratch_size = 2 * half;
    scratch = std::make_unique<std::uint8_t[]>(scratch_size);
    scratch_a = scratch.get();
    scratch_b = scratch_a + half;
}

void FilterEngine::ensure_calibrated(std::int32_t n, const ConstFramePlanes& input, std::int32_t height,
                                     FrameHost& host) {
    if (calibrated.load(std::memory_order_acquire)) return;
    // Calibration writes the window, the table and the pass counts; requests that arrive
    // meanwhile wait here and then only read them.
    std::lock_guard<std::mutex> lock(calibration_mutex);
    if (!calibrated.load(std::memory_order_relaxed)) calibrate_noise(n, input, height, host);
}

bool FilterEngine::search_block_fits() const {
    // The search's scan bounds: a block starts at a margin and must end before the other one.
    return !autow || (std::int64_t{clip_.height} - win_height - ygrid > ygrid &&
                      std::int64_t{clip_.width} - win_width - xgrid > xgrid);
}

FilterEngine::Result FilterEngine::process(std::int32_t n, const ConstFramePlanes& input, std::int32_t height,
                                           FrameHost& host) {
    ensure_calibrated(n, input, height, host);
    if (passes_nothing()) return Result::input;
    run_passes(input, host);
    return Result::work_frame_1;
}

}  // namespace dunmorel
