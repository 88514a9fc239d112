// Planar clips of 8 to 16 bits in memory, served to the engine directly: the harness of the
// high bit depth tests and of the agreement table.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "engine/filter_engine.h"
#include "engine/format.h"

namespace dunmorel::test {

// One frame: its planes in bytes, each row padded, samples of one or two bytes.
class WideFrame {
public:
    WideFrame() = default;
    explicit WideFrame(const ClipFormat& clip) : clip_(clip) {
        const int own = traits_of(clip.format).family == ColorFamily::grey ? 1 : 3;
        for (int p = 0; p < own; ++p) {
            pitch_[p] = plane_width(clip, p) * bytes() + 32;
            data_[p].assign(static_cast<std::size_t>(pitch_[p]) * plane_height(clip, p), 0);
        }
    }
    int bytes() const { return is_wide(clip_) ? 2 : 1; }
    int planes() const { return traits_of(clip_.format).family == ColorFamily::grey ? 1 : 3; }
    std::uint32_t get(int p, int r, int c) const {
        const std::uint8_t* at =
            &data_[p][static_cast<std::size_t>(r) * pitch_[p] + static_cast<std::size_t>(c) * bytes()];
        if (bytes() == 1) return *at;
        std::uint16_t w;
        std::memcpy(&w, at, 2);
        return w;
    }
    void set(int p, int r, int c, std::uint32_t v) {
        std::uint8_t* at = &data_[p][static_cast<std::size_t>(r) * pitch_[p] + static_cast<std::size_t>(c) * bytes()];
        if (bytes() == 1) {
            *at = static_cast<std::uint8_t>(v);
        } else {
            const auto w = static_cast<std::uint16_t>(v);
            std::memcpy(at, &w, 2);
        }
    }
    FramePlanes planes_view() {
        FramePlanes f;
        for (int p = 0; p < planes(); ++p)
            f.plane[p] = {data_[p].data(), pitch_[p], bytes(), plane_width(clip_, p), plane_height(clip_, p)};
        return f;
    }
    ConstFramePlanes planes_view() const { return const_cast<WideFrame*>(this)->planes_view(); }
    const ClipFormat& clip() const { return clip_; }

private:
    ClipFormat clip_;
    std::vector<std::uint8_t> data_[3];
    std::int32_t pitch_[3] = {};
};

class WideHost final : public FrameHost {
public:
    explicit WideHost(const std::vector<WideFrame>& frames) : frames_(frames) {}
    ConstFramePlanes reference_frame(std::int32_t nf) override { return frames_[nf].planes_view(); }
    void release_reference() override {}
    FramePlanes work_frame(int index) override {
        work_[index] = WideFrame(frames_[0].clip());
        return work_[index].planes_view();
    }
    void copy_rows(std::uint8_t* dst, std::int32_t dst_pitch, const std::uint8_t* src, std::int32_t src_pitch,
                   std::int32_t row_bytes, std::int32_t rows) override {
        for (std::int32_t r = 0; r < rows; ++r)
            std::memcpy(dst + static_cast<std::ptrdiff_t>(r) * dst_pitch,
                        src + static_cast<std::ptrdiff_t>(r) * src_pitch, static_cast<std::size_t>(row_bytes));
    }
    const WideFrame& result() const { return work_[1]; }

private:
    const std::vector<WideFrame>& frames_;
    WideFrame work_[2];
};

// Frame n of every clip filtered by one engine.
inline std::vector<WideFrame> filter_all(FilterEngine& engine, const std::vector<WideFrame>& clip) {
    std::vector<WideFrame> out;
    for (std::int32_t n = 0; n < static_cast<std::int32_t>(clip.size()); ++n) {
        WideHost host(clip);
        const auto r = engine.process(n, clip[n].planes_view(), clip[n].clip().height, host);
        out.push_back(r == FilterEngine::Result::input ? clip[n] : host.result());
    }
    return out;
}

// A clean 8-bit picture (gradients, discs and bars, different in each plane) and the same with
// uniform noise of +-amplitude; frames move slowly.
struct TestClips {
    std::vector<WideFrame> clean, noisy;
};
inline TestClips make_clips(ClipFormat clip, int frames, int amplitude, std::uint32_t seed) {
    clip.bits = 8;
    clip.num_frames = frames;
    TestClips t;
    std::mt19937 rng(seed);
    for (int n = 0; n < frames; ++n) {
        WideFrame clean(clip), noisy(clip);
        for (int p = 0; p < clean.planes(); ++p) {
            const int w = plane_width(clip, p);
            const int h = plane_height(clip, p);
            for (int r = 0; r < h; ++r) {
                for (int c = 0; c < w; ++c) {
                    const double x = static_cast<double>(c) / w;
                    const double y = static_cast<double>(r) / h;
                    double v = 70 + 60 * x + 40 * y * (p + 1) + 2 * n;
                    if ((x - 0.6) * (x - 0.6) + (y - 0.4) * (y - 0.4) < 0.04) v += 50 - 20 * p;
                    if (static_cast<int>(x * 12) % 4 == 1 && y > 0.7) v -= 45;
                    const int s = static_cast<int>(std::lround(std::fmin(235, std::fmax(16, v))));
                    clean.set(p, r, c, static_cast<std::uint32_t>(s));
                    const int noise = static_cast<int>(rng() % (2 * amplitude + 1)) - amplitude;
                    noisy.set(p, r, c, static_cast<std::uint32_t>(std::min(255, std::max(0, s + noise))));
                }
            }
        }
        t.clean.push_back(clean);
        t.noisy.push_back(noisy);
    }
    return t;
}

// The clip at `bits` bits: every sample shifted left by bits - 8, with `low` (or, when random,
// random) low bits.
inline std::vector<WideFrame> widened(const std::vector<WideFrame>& eight, int bits, bool random_low,
                                      std::uint32_t seed = 1) {
    std::mt19937 rng(seed);
    std::vector<WideFrame> out;
    for (const WideFrame& f : eight) {
        ClipFormat clip = f.clip();
        clip.bits = bits;
        WideFrame w(clip);
        for (int p = 0; p < f.planes(); ++p)
            for (int r = 0; r < plane_height(clip, p); ++r)
                for (int c = 0; c < plane_width(clip, p); ++c) {
                    const std::uint32_t low = random_low ? rng() & ((1u << (bits - 8)) - 1) : 0;
                    w.set(p, r, c, (f.get(p, r, c) << (bits - 8)) | low);
                }
        out.push_back(w);
    }
    return out;
}

// Mean squared error on the 8-bit scale of `out` (any depth, divided by 2^(bits - 8)) against an
// 8-bit clip, over every plane of every frame.
inline double psnr8(const std::vector<WideFrame>& out, const std::vector<WideFrame>& clean) {
    double sum = 0;
    double count = 0;
    for (std::size_t n = 0; n < out.size(); ++n) {
        const ClipFormat& clip = out[n].clip();
        const double scale = std::ldexp(1.0, -(clip.bits - 8));
        for (int p = 0; p < out[n].planes(); ++p)
            for (int r = 0; r < plane_height(clip, p); ++r)
                for (int c = 0; c < plane_width(clip, p); ++c) {
                    const double d = out[n].get(p, r, c) * scale - clean[n].get(p, r, c);
                    sum += d * d;
                    count += 1;
                }
    }
    return 10 * std::log10(255.0 * 255.0 / (sum / count));
}

}  // namespace dunmorel::test
