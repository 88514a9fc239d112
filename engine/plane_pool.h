// Planes of the engine's own for clips whose host frames interleave their planes: a packed frame
// is gathered into these once on the way in, its passes run in them, and the result is scattered
// once on the way out. Sets are reused by later requests instead of being allocated per frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/format.h"

namespace dunmorel {

class PlanePool {
public:
    // Two sets of planes of the clip's geometry, each plane with adjacent samples.
    struct Sets {
        FramePlanes set[2];
        std::unique_ptr<std::uint8_t[]> storage;
    };

    // A borrowed pair of sets, given back when it goes.
    class Lease {
    public:
        // Throws std::bad_alloc when the planes cannot be had.
        explicit Lease(PlanePool& pool) : pool_(pool), sets_(pool.take()) {}
        ~Lease() { pool_.give_back(std::move(sets_)); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        const FramePlanes& operator[](int i) const { return sets_->set[i]; }

    private:
        PlanePool& pool_;
        std::unique_ptr<Sets> sets_;
    };

    explicit PlanePool(const ClipFormat& clip) : clip_(clip) {}

private:
    std::unique_ptr<Sets> take();
    void give_back(std::unique_ptr<Sets> sets);

    ClipFormat clip_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Sets>> spare_;
};

// Copies the samples of `src` into `dst`, whatever their steps: a packed plane is gathered into
// adjacent samples this way, and scattered back.
void copy_plane(const PlaneView& dst, const ConstPlaneView& src);

}  // namespace dunmorel
