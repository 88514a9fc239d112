// Every fast path of the plane kernels against the scalar reference, byte for byte, on plane
// geometry, samples and noise drawn from the input: every grid from 3 to 11 in each direction,
// planes from a little below the grid size up, pitches longer than the row, top-down and
// bottom-up, source and destination with pitches of their own. Destinations start from the same
// random bytes for every path, so a sample written wrongly, written where it must not be, or
// left alone where it must be written all show; buffers begin at the first sample and end at
// the last, so that a read outside them is caught by AddressSanitizer.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "kernels/dispatch.h"
#include "kernels/dispatch16.h"
#include "kernels/plane.h"
#include "kernels/reference.h"
#include "kernels/reference16.h"

namespace {

using dunmorel::ConstPlaneView;
using dunmorel::PlaneView;
using dunmorel::fuzz::fail;

constexpr int kGrids[] = {3, 5, 7, 9, 11};

// A plane inside a buffer that holds exactly its rows, row 0 first in memory or, bottom-up,
// last.
struct Plane {
    int rows, cols, pitch;
    std::ptrdiff_t origin;
    std::vector<std::uint8_t> bytes;

    Plane(int rows_, int cols_, int padding, bool bottom_up)
        : rows(rows_), cols(cols_), pitch(cols_ + padding), origin(0) {
        bytes.resize(static_cast<std::size_t>(rows - 1) * pitch + static_cast<std::size_t>(cols));
        if (bottom_up) {
            origin = static_cast<std::ptrdiff_t>(rows - 1) * pitch;
            pitch = -pitch;
        }
    }
    PlaneView view() { return {bytes.data() + origin, pitch, 1, cols, rows}; }
    ConstPlaneView const_view() const { return {bytes.data() + origin, pitch, 1, cols, rows}; }
    std::uint8_t& at(int r, int c) {
        return bytes[static_cast<std::size_t>(origin + static_cast<std::ptrdiff_t>(r) * pitch + c)];
    }
};

void fill(FuzzedDataProvider& in, Plane& p) {
    const int kind = in.ConsumeIntegralInRange(0, 5);
    const int base = in.ConsumeIntegral<std::uint8_t>();
    const int amplitude = in.ConsumeIntegralInRange(0, 128);
    dunmorel::fuzz::Lcg lcg{in.ConsumeIntegral<std::uint32_t>()};
    std::vector<std::uint8_t> pattern = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(1, 48));
    if (pattern.empty()) pattern.push_back(static_cast<std::uint8_t>(base));
    // The bytes after each row get noise of their own: a path must neither read them as samples
    // nor write them.
    for (std::uint8_t& b : p.bytes) b = static_cast<std::uint8_t>(lcg.next());
    std::size_t i = 0;
    for (int r = 0; r < p.rows; ++r) {
        for (int c = 0; c < p.cols; ++c, ++i) {
            const int noise = static_cast<int>(lcg.next() % (2u * amplitude + 1)) - amplitude;
            int v = 0;
            switch (kind) {
                case 0:
                    v = static_cast<int>(lcg.next());
                    break;
                case 1:
                    v = base + noise;
                    break;
                case 2:
                    v = (lcg.next() & 1) * 255;
                    break;
                case 3:
                    v = pattern[i % pattern.size()];
                    break;
                case 4:
                    v = pattern[static_cast<std::size_t>(c) % pattern.size()] + noise;
                    break;
                default:
                    v = base;
                    break;
            }
            p.at(r, c) = static_cast<std::uint8_t>(v);
        }
    }
}

std::int32_t draw_noise(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 5)) {
        case 0:
            return in.ConsumeIntegralInRange(0, 64);
        case 1:
            return in.ConsumeIntegralInRange(0, 16257);
        case 2:
            return in.ConsumeIntegralInRange(0, 16257 * 500);
        case 3:
            return 16257 * 500;
        case 4:
            return in.ConsumeIntegralInRange<std::int32_t>(0, INT32_MAX);
        default:
            return 0;
    }
}

std::string describe(const char* kernel, const char* path, const Plane& p, int ygrid, int xgrid, std::int32_t noise) {
    return std::string(kernel) + ": " + path + " differs from the reference on a " + std::to_string(p.rows) + " x " +
           std::to_string(p.cols) + " plane, pitch " + std::to_string(p.pitch) + ", grid " + std::to_string(xgrid) +
           " x " + std::to_string(ygrid) + ", noise " + std::to_string(noise);
}

// The same plane at 9 to 16 bits: its samples shifted up over random low bits, or random words,
// many above the depth; every 16-bit path against the 16-bit reference on a range of rows.
void check16(FuzzedDataProvider& in, const Plane& src, int ygrid, int xgrid, int first, int end) {
    const std::int32_t bits = in.ConsumeIntegralInRange(9, 16);
    const bool raw = in.ConsumeBool();
    dunmorel::fuzz::Lcg lcg{in.ConsumeIntegral<std::uint32_t>()};
    int pitch = src.cols + in.ConsumeIntegralInRange(0, 9);
    const std::size_t words = static_cast<std::size_t>(src.rows - 1) * pitch + static_cast<std::size_t>(src.cols);
    // Bottom-up when the 8-bit plane is.
    const std::ptrdiff_t origin = src.pitch < 0 ? static_cast<std::ptrdiff_t>(src.rows - 1) * pitch : 0;
    if (src.pitch < 0) pitch = -pitch;
    std::vector<std::uint16_t> source(words), start(words);
    for (std::uint16_t& w : start) w = static_cast<std::uint16_t>(lcg.next());
    const ConstPlaneView eight = src.const_view();
    for (int r = 0; r < src.rows; ++r) {
        for (int c = 0; c < src.cols; ++c) {
            const std::uint32_t low = lcg.next();
            source[static_cast<std::size_t>(origin + static_cast<std::ptrdiff_t>(r) * pitch + c)] =
                static_cast<std::uint16_t>(raw ? low
                                               : (eight.at(r, c) << (bits - 8)) | (low & ((1u << (bits - 8)) - 1)));
        }
    }
    dunmorel::Smooth16Args a;
    a.src = {source.data() + origin, pitch, 1, src.cols, src.rows};
    a.noise = std::min(dunmorel::noise_at_bits(draw_noise(in) % (16257 * 500 + 1), bits), dunmorel::max_noise16);
    a.rows = src.rows;
    a.cols = src.cols;
    a.ygrid = ygrid;
    a.xgrid = xgrid;
    a.bits = bits;
    a.first_row = first;
    a.end_row = end;
    std::vector<std::uint16_t> expected = start;
    a.dst = {expected.data() + origin, pitch, 1, src.cols, src.rows};
    dunmorel::reference16::smooth_rows(a);
    for (const auto& impl : dunmorel::dispatch16::implementations()) {
        if (!impl.supported) continue;
        std::vector<std::uint16_t> actual = start;
        a.dst = {actual.data() + origin, pitch, 1, src.cols, src.rows};
        impl.smooth_rows(a);
        if (actual != expected)
            fail(std::string("smooth_rows16: ") + impl.name + " differs from the reference on a " +
                 std::to_string(src.rows) + " x " + std::to_string(src.cols) + " plane, grid " + std::to_string(xgrid) +
                 " x " + std::to_string(ygrid) + ", " + std::to_string(bits) + " bits, noise " +
                 std::to_string(a.noise));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const int xgrid = in.PickValueInArray(kGrids);
    const int ygrid = in.PickValueInArray(kGrids);
    // Mostly at least the grid; now and then a little below it, where every path must leave
    // the destination alone.
    const bool below = in.ConsumeIntegralInRange(0, 15) == 15;
    const int rows = below ? in.ConsumeIntegralInRange(1, ygrid) : ygrid + in.ConsumeIntegralInRange(0, 40);
    const int cols = below ? in.ConsumeIntegralInRange(1, xgrid) : xgrid + in.ConsumeIntegralInRange(0, 90);
    Plane src(rows, cols, in.ConsumeIntegralInRange(0, 40), in.ConsumeBool());
    Plane dst_start(rows, cols, in.ConsumeIntegralInRange(0, 40), in.ConsumeBool());
    const std::int32_t noise = draw_noise(in);
    fill(in, src);
    fill(in, dst_start);

    const ConstPlaneView source = src.const_view();
    const std::vector<std::uint8_t> source_bytes = src.bytes;
    auto args = [&](Plane& dst, int first, int end) {
        return dunmorel::SmoothArgs{dst.view(), source, noise, rows, cols, ygrid, xgrid, first, end};
    };
    Plane interior = dst_start;
    dunmorel::reference::smooth_interior(args(interior, 0, 0));
    // A whole pass is the interior, then the borders, into the same destination.
    Plane whole = interior;
    dunmorel::reference::smooth_borders(args(whole, 0, 0));

    // A range of the pass's rows, reaching past either edge now and then: those rows of the whole
    // pass, the rest as it was.
    const int range_first = in.ConsumeIntegralInRange(-2, rows - 1);
    const int range_end = in.ConsumeIntegralInRange(range_first + 1, rows + 2);
    Plane some_rows = dst_start;
    for (int r = std::max(range_first, 0); r < std::min(range_end, rows); ++r)
        for (int c = 0; c < cols; ++c) some_rows.at(r, c) = whole.at(r, c);

    for (const dunmorel::dispatch::Implementation& impl : dunmorel::dispatch::implementations()) {
        if (!impl.supported) continue;
        Plane fast = dst_start;
        impl.table.smooth_rows(args(fast, range_first, range_end));
        if (fast.bytes != some_rows.bytes)
            fail(describe("smooth_rows", impl.name, src, ygrid, xgrid, noise) + " (rows " +
                 std::to_string(range_first) + " to " + std::to_string(range_end) + ")");
        fast = dst_start;
        impl.table.smooth_rows(args(fast, 0, rows));
        if (fast.bytes != whole.bytes) fail(describe("a whole pass", impl.name, src, ygrid, xgrid, noise));
        if (std::string(impl.name) == "reference") continue;
        fast = dst_start;
        impl.table.smooth_interior(args(fast, 0, 0));
        if (fast.bytes != interior.bytes) fail(describe("smooth_interior", impl.name, src, ygrid, xgrid, noise));
    }
    if (src.bytes != source_bytes) fail("a kernel wrote into its source");
    check16(in, src, ygrid, xgrid, range_first, range_end);
    return 0;
}
