#include "engine/plane_pool.h"

#include <cstring>

namespace dunmorel {

namespace {

// Rows start on cache lines, so that the vector kernels' row loads split as few lines as they can.
constexpr std::size_t kRowAlign = 64;

std::size_t aligned_pitch(std::int32_t width) {
    return (static_cast<std::size_t>(width) + kRowAlign - 1) / kRowAlign * kRowAlign;
}

}  // namespace

std::unique_ptr<PlanePool::Sets> PlanePool::take() {
    {
        std::lock_guard lock(mutex_);
        if (!spare_.empty()) {
            std::unique_ptr<Sets> sets = std::move(spare_.back());
            spare_.pop_back();
            return sets;
        }
    }
    std::size_t offsets[2][3];
    std::size_t total = 0;
    for (auto& set : offsets) {
        for (int p = 0; p < 3; ++p) {
            set[p] = total;
            total += aligned_pitch(plane_width(clip_, p)) * static_cast<std::size_t>(plane_height(clip_, p));
        }
    }
    auto sets = std::make_unique<Sets>();
    sets->storage.reset(new std::uint8_t[total + kRowAlign]);
    const auto address = reinterpret_cast<std::uintptr_t>(sets->storage.get());
    std::uint8_t* base = sets->storage.get() + (kRowAlign - address % kRowAlign) % kRowAlign;
    for (int s = 0; s < 2; ++s) {
        for (int p = 0; p < 3; ++p) {
            const std::int32_t w = plane_width(clip_, p);
            sets->set[s].plane[p] = {base + offsets[s][p], static_cast<std::int32_t>(aligned_pitch(w)), 1, w,
                                     plane_height(clip_, p)};
        }
    }
    return sets;
}

void PlanePool::give_back(std::unique_ptr<Sets> sets) {
    if (!sets) return;
    std::lock_guard lock(mutex_);
    spare_.push_back(std::move(sets));
}

void copy_plane(const PlaneView& dst, const ConstPlaneView& src) {
    for (std::int32_t r = 0; r < src.height; ++r) {
        const std::uint8_t* in = &src.at(r, 0);
        std::uint8_t* out = &dst.at(r, 0);
        if (src.step == 1 && dst.step == 1) {
            std::memcpy(out, in, static_cast<std::size_t>(src.width));
            continue;
        }
        for (std::int32_t c = 0; c < src.width; ++c)
            out[static_cast<std::ptrdiff_t>(c) * dst.step] = in[static_cast<std::ptrdiff_t>(c) * src.step];
    }
}

}  // namespace dunmorel
