#include "cli/layout.h"

#include <climits>
#include <cstdio>

namespace dunmorel::cli {

namespace {

// In the order of Layout.
constexpr LayoutTraits kLayouts[] = {
    {"YV12", PixelFormat::yv12, nullptr},    {"I420", PixelFormat::i420, nullptr},
    {"YUY2", PixelFormat::yuy2, nullptr},    {"RGB24", PixelFormat::rgb24, nullptr},
    {"RGB32", PixelFormat::rgb32, nullptr},  {"planar 4:2:2", PixelFormat::yuv422, "YUY2"},
    {"grey", PixelFormat::grey, "YV12"},     {"4:4:4", PixelFormat::yuv444, nullptr},
    {"4:4:0", PixelFormat::yuv440, nullptr}, {"4:1:1", PixelFormat::yuv411, nullptr},
    {"4:1:0", PixelFormat::yuv410, nullptr}, {"gbrp", PixelFormat::planar_rgb, nullptr},
};
static_assert(sizeof kLayouts / sizeof kLayouts[0] == static_cast<int>(Layout::gbrp) + 1);

// Bytes of a frame in 64 bits, as the layout the filter has always seen for it holds it: a grey
// frame was held with its chroma.
std::int64_t held_bytes(Layout layout, int width, int height) {
    const std::int64_t area = std::int64_t{width} * height;
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
    return area + 2 * (std::int64_t{width >> t.sub_w} * (height >> t.sub_h));
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

std::string frame_size_problem(Layout layout, int width, int height) {
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
    } else if (held_bytes(layout, width, height) > INT_MAX) {
        std::snprintf(text, sizeof text, "a %dx%d %s frame is too large", width, height, name);
        problem = text;
    }
    if (!problem.empty() && l.filtered_as) return std::string(l.name) + " is filtered as " + name + ": " + problem;
    return problem;
}

std::size_t frame_bytes(Layout layout, int width, int height) {
    if (layout == Layout::grey) return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    return static_cast<std::size_t>(held_bytes(layout, width, height));
}

FramePlanes frame_planes(Layout layout, int width, int height, std::uint8_t* frame) {
    const PixelFormat format = traits_of(layout).format;
    const ClipFormat clip{format, width, height, 0};
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
    std::uint8_t* at = frame;
    for (int p = 0; p < planes; ++p) {
        const std::int32_t w = plane_width(clip, p);
        const std::int32_t h = plane_height(clip, p);
        // gbrp holds G, B, R; the engine's planes are B, G, R with rows from the bottom.
        const int engine_plane = t.family == ColorFamily::rgb ? (p == 0 ? 1 : p == 1 ? 0 : 2) : p;
        if (t.family == ColorFamily::rgb)
            f.plane[engine_plane] = {at + static_cast<std::ptrdiff_t>(h - 1) * w, -w, 1, w, h};
        else
            f.plane[engine_plane] = {at, w, 1, w, h};
        at += static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
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
