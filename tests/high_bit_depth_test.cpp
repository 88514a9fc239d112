// Bit depth changes precision, not strength. Every planar layout at 9 to 16 bits against the same
// picture at 8 bits, through the engine: a clip shifted left by bits - 8 gets the 8-bit run's
// window, pass counts, variances and report; rounded back to 8 bits its output stays close to
// the 8-bit output, and against the clean picture it is never more than 0.1 dB worse. A clip
// with random low bits is calibrated exactly as its rounding to 8 bits.
//
// AgreementTable prints one row per layout and depth (repeat it with
// `high_bit_depth_tests --gtest_filter=*AgreementTable*`).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "engine/filter_engine.h"
#include "tests/wide_clip.h"

namespace dunmorel {
namespace {

using test::WideFrame;

constexpr PixelFormat kLayouts[] = {PixelFormat::yuv444, PixelFormat::yuv440,    PixelFormat::yuv422,
                                    PixelFormat::yv12,   PixelFormat::yuv411,    PixelFormat::yuv410,
                                    PixelFormat::grey,   PixelFormat::planar_rgb};

ClipFormat clip_of(PixelFormat format, int bits) { return {format, 320, 240, 3, bits}; }

FilterArguments arguments_for(const ClipFormat& clip) { return resolve_arguments(ArgumentValues{}, clip).values; }

std::string report_of(FilterEngine& engine, const std::vector<WideFrame>& clip) {
    test::WideHost host(clip);
    try {
        engine.process(0, clip[0].planes_view(), clip[0].clip().height, host);
    } catch (const FilterError& e) {
        return e.what();
    }
    return "no report";
}

void expect_same_calibration(const Calibration& a, const Calibration& b) {
    EXPECT_EQ(a.window, b.window);
    EXPECT_EQ(a.passes, b.passes);
    EXPECT_EQ(a.variances, b.variances);
}

TEST(HighBitDepth, AgreementTable) {
    std::printf("%-10s %4s  %-15s %-8s %-9s %-8s %-8s %-8s\n", "layout", "bits", "window", "passes", "mean diff",
                "max diff", "PSNR 8", "PSNR b");
    for (const PixelFormat format : kLayouts) {
        const ClipFormat clip8 = clip_of(format, 8);
        const test::TestClips clips = test::make_clips(clip8, 3, 12, 0x5eed + static_cast<int>(format));
        FilterEngine eight(clip8, arguments_for(clip8));
        const std::vector<WideFrame> out8 = test::filter_all(eight, clips.noisy);
        const Calibration cal8 = *eight.last_calibration();
        const double psnr8 = test::psnr8(out8, clips.clean);
        for (const int bits : {9, 10, 12, 16}) {
            SCOPED_TRACE(std::string(traits_of(format).name) + " at " + std::to_string(bits) + " bits");
            const ClipFormat clip = clip_of(format, bits);
            const std::vector<WideFrame> noisy = test::widened(clips.noisy, bits, false);
            FilterEngine wide(clip, arguments_for(clip));
            const std::vector<WideFrame> out = test::filter_all(wide, noisy);
            const Calibration cal = *wide.last_calibration();
            expect_same_calibration(cal, cal8);
            EXPECT_EQ(wide.plan().passes, eight.plan().passes);

            double sum = 0, count = 0;
            int most = 0;
            for (std::size_t n = 0; n < out.size(); ++n)
                for (int p = 0; p < out[n].planes(); ++p)
                    for (int r = 0; r < plane_height(clip, p); ++r)
                        for (int c = 0; c < plane_width(clip, p); ++c) {
                            const std::uint32_t w = out[n].get(p, r, c);
                            ASSERT_LE(w, static_cast<std::uint32_t>(max_sample16(bits)));
                            const int d =
                                std::abs(static_cast<int>(to_8_bits(w, bits)) - static_cast<int>(out8[n].get(p, r, c)));
                            sum += d;
                            count += 1;
                            most = std::max(most, d);
                        }
            const double psnr = test::psnr8(out, clips.clean);
            EXPECT_LT(sum / count, 1.5);
            EXPECT_GE(psnr, psnr8 - 0.1);
            if (bits == 10 || bits == 16) {
                char window[32];
                std::snprintf(window, sizeof window, "%d,%d-%d,%d", cal.window.first_col, cal.window.first_row,
                              cal.window.last_col, cal.window.last_row);
                std::printf("%-10s %4d  %-15s %d,%d,%d   %-9.3f %-8d %-8.2f %-8.2f\n", traits_of(format).name, bits,
                            window, wide.plan().passes[0], wide.plan().passes[1], wide.plan().passes[2], sum / count,
                            most, psnr8, psnr);
            }
        }
    }
}

// The report of a shifted clip is the 8-bit report, character for character; a clip with random
// low bits is calibrated as its rounding to 8 bits (s + 2^(bits - 9)) >> (bits - 8), at most 255.
TEST(HighBitDepth, CalibrationOnTheEightBitScale) {
    for (const PixelFormat format : {PixelFormat::yv12, PixelFormat::yuv444, PixelFormat::planar_rgb}) {
        for (const int bits : {10, 16}) {
            SCOPED_TRACE(std::string(traits_of(format).name) + " at " + std::to_string(bits) + " bits");
            const ClipFormat clip8 = clip_of(format, 8);
            const ClipFormat clip = clip_of(format, bits);
            const test::TestClips clips = test::make_clips(clip8, 1, 20, 77);
            FilterArguments print8 = arguments_for(clip8);
            print8.print = true;
            FilterEngine eight(clip8, print8);
            FilterEngine wide(clip, print8);
            const std::string expected = report_of(eight, clips.noisy);
            EXPECT_EQ(report_of(wide, test::widened(clips.noisy, bits, false)), expected);

            const std::vector<WideFrame> fine = test::widened(clips.noisy, bits, true, 5);
            std::vector<WideFrame> rounded;
            for (const WideFrame& f : fine) {
                WideFrame r(clip8);
                for (int p = 0; p < f.planes(); ++p)
                    for (int y = 0; y < plane_height(clip, p); ++y)
                        for (int x = 0; x < plane_width(clip, p); ++x) r.set(p, y, x, to_8_bits(f.get(p, y, x), bits));
                rounded.push_back(r);
            }
            FilterEngine from_fine(clip, arguments_for(clip));
            FilterEngine from_rounded(clip8, arguments_for(clip8));
            test::filter_all(from_fine, fine);
            test::filter_all(from_rounded, rounded);
            expect_same_calibration(*from_fine.last_calibration(), *from_rounded.last_calibration());
        }
    }
}

// Depths outside 8..16 and packed layouts of more than 8 bits are refused as unknown formats; a
// row of two-byte samples counts twice the bytes of its width.
TEST(HighBitDepth, DepthsAndRowBytesAreChecked) {
    auto check = [](ClipFormat clip) {
        const auto failure = validate_arguments(resolve_arguments(ArgumentValues{}, clip), clip);
        return failure ? failure->number : 0;
    };
    EXPECT_EQ(check({PixelFormat::rgb24, 640, 480, 3, 10}), 3);
    EXPECT_EQ(check({PixelFormat::yuy2, 640, 480, 3, 16}), 3);
    EXPECT_EQ(check({PixelFormat::yv12, 640, 480, 3, 17}), 3);
    EXPECT_EQ(check({PixelFormat::yv12, 640, 480, 3, 7}), 3);
    EXPECT_EQ(check({PixelFormat::yv12, 640, 480, 3, 16}), 0);
    EXPECT_EQ(check({PixelFormat::grey, 1 << 30, 1, 3, 8}), 0);
    EXPECT_EQ(check({PixelFormat::grey, 1 << 30, 1, 3, 10}), 19);  // 2^31 bytes in a row
}

}  // namespace
}  // namespace dunmorel
