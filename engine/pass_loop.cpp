// Every frame request after the calibration: each plane gets its passes, alternating between two
// sets of planes so that its last pass lands in the frame returned.
#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "engine/filter_engine.h"
#include "engine/plane_pool.h"
#include "engine/work_pool.h"

namespace dunmorel {

namespace {

bool fits_grid(const ConstPlaneView& plane, std::int32_t xgrid, std::int32_t ygrid) {
    return plane.width >= xgrid && plane.height >= ygrid;
}

void copy_samples(const PlaneView& dst, const ConstPlaneView& src, std::int32_t width, FrameHost& host, bool wide) {
    // Contiguous rows go through the host's own copy; so do the rows of 16-bit words.
    if (wide || (src.step == 1 && dst.step == 1)) {
        host.copy_rows(dst.base, dst.pitch, src.base, src.pitch, wide ? 2 * width : width, src.height);
        return;
    }
    for (std::int32_t r = 0; r < src.height; ++r)
        for (std::int32_t c = 0; c < width; ++c) dst.at(r, c) = src.at(r, c);
}

// One piece of a pass: a range of its rows, all of them for an unsplit pass. Every piece reads
// only the pass's source and writes only its own rows, so the pieces of a pass may run at once
// and give the bytes of the whole.
// A clip of more than 8 bits (`bits` 9..16) has planes of 16-bit words given in bytes (format.h);
// its passes run at full precision, with the 8-bit noise times 4^(bits - 8).
struct PassPiece {
    PlaneView dst;
    ConstPlaneView src;
    std::int32_t noise;
    std::int32_t first_row;
    std::int32_t end_row;
    std::int32_t bits;
};

void run_piece(const PassPiece& p, std::int32_t ygrid, std::int32_t xgrid) {
    if (p.bits > 8) {
        smooth_rows16({.dst = wide_view(p.dst),
                       .src = wide_view(p.src),
                       .noise = noise_at_bits(p.noise, p.bits),
                       .rows = p.src.height,
                       .cols = p.src.width,
                       .ygrid = ygrid,
                       .xgrid = xgrid,
                       .bits = p.bits,
                       .first_row = p.first_row,
                       .end_row = p.end_row});
        return;
    }
    smooth_rows({.dst = p.dst,
                 .src = p.src,
                 .noise = p.noise,
                 .rows = p.src.height,
                 .cols = p.src.width,
                 .ygrid = ygrid,
                 .xgrid = xgrid,
                 .first_row = p.first_row,
                 .end_row = p.end_row});
}

// Splits one pass of a plane for `cores` threads: a few bands per core keep them evenly loaded,
// and each band restarts its running sums only once, so bands stay tall.
// The pieces of one pass. Most fit in place, so a frame allocates nothing here; a machine with
// many cores spills into the heap. Not kept per thread: a thread_local with a destructor would
// pin a plug-in in its host's memory until every host thread that ran a frame has ended.
class PieceList {
public:
    void clear() {
        size_ = 0;
        spill_.clear();
    }
    void push_back(const PassPiece& p) {
        if (size_ < inline_.size()) {
            inline_[size_++] = p;
        } else {
            spill_.push_back(p);
        }
    }
    std::size_t size() const { return size_ + spill_.size(); }
    const PassPiece& operator[](std::size_t i) const { return i < size_ ? inline_[i] : spill_[i - size_]; }

private:
    std::array<PassPiece, 96> inline_{};
    std::size_t size_ = 0;
    std::vector<PassPiece> spill_;
};

void split_pass(PieceList& pieces, const PassPiece& whole, int cores) {
    const std::int32_t rows = whole.src.height;
    constexpr std::int32_t kMinBand = 32;
    if (cores < 2 || rows < 2 * kMinBand) {
        pieces.push_back(whole);
        return;
    }
    const std::int32_t bands = std::min<std::int32_t>(4 * cores, rows / kMinBand);
    for (std::int32_t b = 0; b < bands; ++b) {
        PassPiece band = whole;
        band.first_row = static_cast<std::int32_t>(static_cast<std::int64_t>(rows) * b / bands);
        band.end_row = static_cast<std::int32_t>(static_cast<std::int64_t>(rows) * (b + 1) / bands);
        pieces.push_back(band);
    }
}

// A plane of the engine's own with the geometry of `like`; the pool's planes are sized for the
// clip, and a frame larger than its clip is refused rather than written past them.
PlaneView owned_like(const PlaneView& owned, const ConstPlaneView& like) {
    if (like.width > owned.width || like.height > owned.height)
        throw FilterError(FilterError::Kind::failure, "Dunmorel: a frame is larger than its clip");
    return {owned.base, owned.pitch, 1, like.width, like.height};
}

}  // namespace

void check_wide_plane(const ConstPlaneView& bytes) {
    const bool odd = (reinterpret_cast<std::uintptr_t>(bytes.base) | static_cast<std::uint32_t>(bytes.pitch)) & 1;
    if (odd)
        throw FilterError(FilterError::Kind::failure, "Dunmorel: a plane of 16-bit samples lies at an odd address");
    if (bytes.width > max_columns16)
        throw FilterError(FilterError::Kind::failure, "Dunmorel: planes wider than " + std::to_string(max_columns16) +
                                                          " samples are not filtered at more than 8 bits");
}

void FilterEngine::run_passes(const ConstFramePlanes& input, const PassPlan& plan, FrameHost& host) const {
    const std::int32_t xgrid = args_.xgrid;
    const std::int32_t ygrid = args_.ygrid;
    // A plane smaller than the neighbourhood cannot be smoothed without reading outside it; it
    // is carried over unchanged. Validation and the block search keep every plane of a real
    // clip at least that large, so this only guards against clips that slip past them. A grey
    // clip's missing chroma is never filtered.
    std::int32_t passes[3];
    std::int32_t most = 0;
    for (int p = 0; p < 3; ++p) {
        const bool present = input.plane[p].base != nullptr;
        passes[p] = present && fits_grid(input.plane[p], xgrid, ygrid) ? plan.passes[p] : 0;
        most = std::max(most, passes[p]);
        if (passes[p] > 0 && is_wide(clip_)) check_wide_plane(input.plane[p]);
    }

    // Interleaved planes are gathered once into planes of the engine's own, where every pass
    // runs; the result is scattered once into the frame returned.
    const bool packed = is_packed(clip_.format);
    std::optional<PlanePool::Lease> lease;
    FramePlanes work[2];
    ConstFramePlanes source = input;
    if (packed) {
        lease.emplace(*planes_);
        for (int p = 0; p < 3; ++p) {
            if (passes[p] == 0) continue;
            work[0].plane[p] = owned_like((*lease)[0].plane[p], input.plane[p]);
            work[1].plane[p] = owned_like((*lease)[1].plane[p], input.plane[p]);
            copy_plane(work[0].plane[p], input.plane[p]);
            source.plane[p] = work[0].plane[p];
        }
    } else {
        work[0] = host.work_frame(0);
        work[1] = host.work_frame(1);
        for (int p = 0; p < 3; ++p) {
            if (passes[p] == 0 || !is_wide(clip_)) continue;
            check_wide_plane(work[0].plane[p]);
            check_wide_plane(work[1].plane[p]);
        }
    }
    const FramePlanes result = packed ? host.work_frame(1) : work[1];

    for (int p = 0; p < 3; ++p) {
        if (passes[p] > 0 || result.plane[p].base == nullptr) continue;
        const std::int32_t copy_width =
            traits_of(clip_.format).pixel_step == 2 && p > 0 ? (clip_.width + 1) / 2 : input.plane[p].width;
        copy_samples(result.plane[p], input.plane[p], copy_width, host, is_wide(clip_));
    }
    if (result.extra.base) copy_samples(result.extra, input.extra, result.extra.width, host, false);

    // Which set pass k of plane p writes. In host frames, pass k of a plane with P passes writes
    // work frame 1 when P - 1 - k is even, so the last one writes the frame returned and nothing
    // is copied between passes. In the engine's planes the gathered input sits in set 0, so
    // passes alternate from set 1 on and the last is scattered from wherever it landed.
    auto target = [&](int p, std::int32_t k) -> int {
        if (packed) return k % 2 == 0 ? 1 : 0;
        return (passes[p] - 1 - k) % 2 == 0 ? 1 : 0;
    };

    WorkPool& pool = WorkPool::shared();
    // The pool's threads reach the caller's list through the task's reference.
    PieceList pieces;
    for (std::int32_t k = 0; k < most; ++k) {
        // Split only when a pool thread is free to help; otherwise the whole-pass kernel, which
        // shares work between the interior and the strips, is the faster one.
        const int cores = pool.has_spare_core() ? pool.cores() : 1;
        pieces.clear();
        for (int p = 0; p < 3; ++p) {
            if (k >= passes[p]) continue;
            const ConstPlaneView src = k == 0 ? source.plane[p] : ConstPlaneView(work[target(p, k - 1)].plane[p]);
            split_pass(pieces, {work[target(p, k)].plane[p], src, plan.noise[k][p], 0, src.height, clip_.bits}, cores);
        }
        pool.run(pieces.size(), [&](std::size_t i) { run_piece(pieces[i], ygrid, xgrid); });
    }

    if (packed) {
        for (int p = 0; p < 3; ++p)
            if (passes[p] > 0) copy_plane(result.plane[p], work[target(p, passes[p] - 1)].plane[p]);
    }
}

}  // namespace dunmorel
