#include "cli/layout.h"

#include <bit>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>

namespace dunmorel::cli {

// The engine takes 16-bit samples in host order and the files hold them little-endian.
static_assert(std::endian::native == std::endian::little);

namespace {

// In the order of Layout.
// Y4M's 4:2:0 is YV12 as at 8 bits, ffmpeg's I420; 4:1:0 and planar RGB have no Y4M tag.
constexpr LayoutTraits kLayouts[] = {
    {"YV12", PixelFormat::yv12, nullptr, nullptr, "420p"},
    {"I420", PixelFormat::i420, nullptr, "yuv420p", nullptr},
    {"YUY2", PixelFormat::yuy2, nullptr, nullptr, nullptr},
    {"RGB24", PixelFormat::rgb24, nullptr, nullptr, nullptr},
    {"RGB32", PixelFormat::rgb32, nullptr, nullptr, nullptr},
    {"planar 4:2:2", PixelFormat::yuv422, "YUY2", "yuv422p", "422p"},
    {"grey", PixelFormat::grey, "YV12", "gray", "mono"},
    {"4:4:4", PixelFormat::yuv444, nullptr, "yuv444p", "444p"},
    {"4:4:0", PixelFormat::yuv440, nullptr, "yuv440p", "440p"},
    {"4:1:1", PixelFormat::yuv411, nullptr, "yuv411p", "411p"},
    {"4:1:0", PixelFormat::yuv410, nullptr, "yuv410p", nullptr},
    {"gbrp", PixelFormat::planar_rgb, nullptr, "gbrp", nullptr},
};
static_assert(sizeof kLayouts / sizeof kLayouts[0] == static_cast<int>(Layout::gbrp) + 1);

// Bytes of a frame in 64 bits, as the layout the filter has always seen for it holds it: a grey
// frame was held with its chroma.
std::int64_t held_bytes(SampleLayout sample_layout, int width, int height) {
    const Layout layout = sample_layout.layout;
    const std::int64_t area = std::int64_t{width} * height * (sample_layout.bits > 8 ? 2 : 1);
    switch (layout) {
        case Layout::rgb24:
        case Layout::gbrp:
            return 3 * area;
        case Layout::rgb32:
            return 4 * area;
        case Layout::yuy2:
        case Layout::yuv422p:
            return 2 * area;
        case Layout::grey:
            return area + 2 * (area / 4);
        default:
            break;
    }
    const FormatTraits& t = dunmorel::traits_of(traits_of(layout).format);
    return area + 2 * (area >> (t.sub_w + t.sub_h));
}

std::string axis_problem(const char* name, const char* what, int size, int sub) {
    const int step = 1 << sub;
    if (size % step == 0) return std::string();
    char text[160];
    if (step == 2)
        std::snprintf(text, sizeof text, "%s needs an even %s, got %d", name, what, size);
    else
        std::snprintf(text, sizeof text, "%s needs a %s divisible by %d, got %d", name, what, step, size);
    return text;
}

}  // namespace

const LayoutTraits& traits_of(Layout layout) { return kLayouts[static_cast<int>(layout)]; }

std::optional<SampleLayout> deep_layout(std::string_view name, bool y4m) {
    for (int i = 0; i <= static_cast<int>(Layout::gbrp); ++i) {
        const char* stem = y4m ? kLayouts[i].deep_y4m : kLayouts[i].deep_raw;
        if (!stem || name.substr(0, std::strlen(stem)) != stem) continue;
        std::string_view depth = name.substr(std::strlen(stem));
        if (!y4m) {
            if (depth.size() < 2 || depth.substr(depth.size() - 2) != "le") continue;
            depth.remove_suffix(2);
        }
        int bits = 0;
        const auto [end, ec] = std::from_chars(depth.data(), depth.data() + depth.size(), bits);
        if (ec == std::errc() && end == depth.data() + depth.size() && depth[0] != '0' && bits > 8 && bits <= kMaxBits)
            return SampleLayout{static_cast<Layout>(i), bits};
    }
    return std::nullopt;
}

std::string deep_raw_stems() {
    std::string stems;
    for (const LayoutTraits& l : kLayouts)
        if (l.deep_raw) stems += (stems.empty() ? "" : ", ") + std::string(l.deep_raw);
    return stems;
}

std::string frame_size_problem(SampleLayout sample_layout, int width, int height) {
    const Layout layout = sample_layout.layout;
    const LayoutTraits& l = traits_of(layout);
    // The layouts that reach the filter as another one are checked, and named, as that one.
    const char* name = l.filtered_as ? l.filtered_as : l.name;
    const FormatTraits& t = dunmorel::traits_of(l.format);
    std::string problem;
    char text[160];
    if (width <= 0 || height <= 0) {
        std::snprintf(text, sizeof text, "width and height must be positive, got %dx%d", width, height);
        problem = text;
    } else if (std::string w = axis_problem(name, "width", width, t.sub_w); !w.empty()) {
        problem = w;
    } else if (std::string h = axis_problem(name, "height", height, t.sub_h); !h.empty()) {
        problem = h;
    } else if (held_bytes(sample_layout, width, height) > INT_MAX) {
        std::snprintf(text, sizeof text, "a %dx%d %s frame is too large", width, height, name);
        problem = text;
    }
    if (!problem.empty() && l.filtered_as) return std::string(l.name) + " is filtered as " + name + ": " + problem;
    return problem;
}

std::size_t frame_bytes(SampleLayout layout, int width, int height) {
    const std::size_t sample = layout.bits > 8 ? 2 : 1;
    if (layout.layout == Layout::grey)
        return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * sample;
    return static_cast<std::size_t>(held_bytes(layout, width, height));
}

FramePlanes frame_planes(SampleLayout layout, int width, int height, std::uint8_t* frame) {
    const PixelFormat format = traits_of(layout.layout).format;
    const ClipFormat clip{format, width, height, 0, layout.bits};
    const FormatTraits& t = dunmorel::traits_of(format);
    FramePlanes f;
    if (t.pixel_step != 1) {
        // Packed RGB is stored bottom-up in the engine's view, as the original hosts store it:
        // the file's last row comes first.
        const std::int32_t row = width * t.pixel_step;
        if (t.family == ColorFamily::rgb)
            return planes_of<std::uint8_t>({frame + static_cast<std::ptrdiff_t>(height - 1) * row, -row}, clip, height);
        return planes_of<std::uint8_t>({frame, row}, clip, height);
    }
    const int planes = t.family == ColorFamily::grey ? 1 : 3;
    const std::int32_t step = is_wide(clip) ? 2 : 1;
    std::uint8_t* at = frame;
    for (int p = 0; p < planes; ++p) {
        const std::int32_t w = plane_width(clip, p);
        const std::int32_t h = plane_height(clip, p);
        const std::int32_t row = w * step;
        // gbrp holds G, B, R; the engine's planes are B, G, R with rows from the bottom.
        const int engine_plane = t.family == ColorFamily::rgb ? (p == 0 ? 1 : p == 1 ? 0 : 2) : p;
        if (t.family == ColorFamily::rgb)
            f.plane[engine_plane] = {at + static_cast<std::ptrdiff_t>(h - 1) * row, -row, step, w, h};
        else
            f.plane[engine_plane] = {at, row, step, w, h};
        at += static_cast<std::size_t>(row) * static_cast<std::size_t>(h);
    }
    return f;
}

std::string conversion_hint(std::string_view name) {
    const auto has = [&](std::string_view part) { return name.find(part) != std::string_view::npos; };
    // Deeper samples or other subsamplings go to the nearest 8-bit layout that keeps the most.
    if (has("gray") || has("grey") || has("mono") || name == "y8") return "-pix_fmt gray";
    for (const char* sub : {"444", "440", "422", "411", "410"})
        if (has(sub)) return std::string("-pix_fmt yuv") + sub + "p";
    if (has("gbr")) return "-pix_fmt gbrp";
    if (has("rgb") || has("bgr")) return "-pix_fmt bgr24";
    return "-pix_fmt yuv420p";
}

}  // namespace dunmorel::cli
