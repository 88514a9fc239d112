#include "cli/preview.h"

#include <stb_image_write.h>

#include <algorithm>
#include <cstring>

#include "cli/font.h"
#include "cli/options.h"
#include "cli/output.h"

namespace dunmorel::cli {

namespace {

constexpr int kGap = 8;
constexpr int kMargin = 4;
constexpr std::uint8_t kCaptionBackground = 24;
constexpr std::uint8_t kCaptionInk = 240;

std::uint8_t clamp(int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); }

// BT.601, limited range, in 8-bit fixed point.
void yuv_to_rgb(int y, int u, int v, std::uint8_t* rgb) {
    const int c = 298 * (y - 16) + 128;
    const int d = u - 128;
    const int e = v - 128;
    rgb[0] = clamp((c + 409 * e) >> 8);
    rgb[1] = clamp((c - 100 * d - 208 * e) >> 8);
    rgb[2] = clamp((c + 516 * d) >> 8);
}

void fill(RgbPicture& p, int x, int y, const std::uint8_t* colour) {
    if (x < 0 || y < 0 || x >= p.width || y >= p.height) return;
    std::memcpy(p.pixels.data() + (static_cast<std::size_t>(y) * p.width + x) * 3, colour, 3);
}

void draw_text(RgbPicture& p, int x, int y, const std::string& text) {
    const std::uint8_t ink[3] = {kCaptionInk, kCaptionInk, kCaptionInk};
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::uint8_t* glyph = kFont6x11[(c >= 32 && c < 127 ? c : '?') - 32];
        for (int row = 0; row < kGlyphHeight; ++row)
            for (int col = 0; col < kGlyphWidth; ++col)
                if (glyph[row] & (0x20 >> col)) fill(p, x + static_cast<int>(i) * kGlyphWidth + col, y + row, ink);
    }
}

// The text broken at blanks into lines of at most `columns` characters (longer words are cut).
std::vector<std::string> wrap(const std::string& text, std::size_t columns) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = std::min(text.size(), at + columns);
        if (end < text.size()) {
            const std::size_t blank = text.rfind(' ', end);
            if (blank != std::string::npos && blank > at) end = blank;
        }
        lines.push_back(text.substr(at, end - at));
        at = text.find_first_not_of(' ', end);
        if (at == std::string::npos) break;
    }
    return lines;
}

}  // namespace

RgbPicture to_rgb(const PreviewFrames& frames, const std::uint8_t* frame) {
    const int w = frames.width;
    const int h = frames.height;
    RgbPicture p{w, h, std::vector<std::uint8_t>(static_cast<std::size_t>(w) * h * 3)};
    // The engine's planes of the frame: plane 0 is Y or blue, and RGB rows run from the bottom.
    const ConstFramePlanes planes = frame_planes(frames.layout, w, h, frame);
    const FormatTraits& t = traits_of(traits_of(frames.layout.layout).format);
    const bool rgb = t.family == ColorFamily::rgb;
    const int bits = frames.layout.bits;
    const auto at = [&](int p, int row, int x) -> int {
        const ConstPlaneView& v = planes.plane[p];
        if (bits == 8) return v.at(row, x);
        std::uint16_t s;
        std::memcpy(&s, v.base + static_cast<std::ptrdiff_t>(row) * v.pitch + static_cast<std::ptrdiff_t>(x) * 2, 2);
        return to_8_bits(s, bits);
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* out = p.pixels.data() + (static_cast<std::size_t>(y) * w + x) * 3;
            if (rgb) {
                const int row = h - 1 - y;
                for (int c = 0; c < 3; ++c) out[c] = static_cast<std::uint8_t>(at(2 - c, row, x));
            } else if (t.family == ColorFamily::grey) {
                yuv_to_rgb(at(0, y, x), 128, 128, out);
            } else {
                const int cy = y >> t.sub_h;
                const int cx = x >> t.sub_w;
                yuv_to_rgb(at(0, y, x), at(1, cy, cx), at(2, cy, cx), out);
            }
        }
    return p;
}

void write_preview(const std::string& path, const PreviewFrames& frames, const CalibrationReport& report,
                   const std::vector<PreviewPanel>& panels) {
    const int count = static_cast<int>(panels.size());
    const int width = count * frames.width + (count - 1) * kGap;
    const std::size_t columns = static_cast<std::size_t>(std::max(1, (width - 2 * kMargin) / kGlyphWidth));
    std::vector<std::string> caption;
    for (int i = 0; i < count; ++i) {
        const char* side = count == 1 ? "" : i == 0 ? "left: " : "right: ";
        for (std::string& line : wrap(side + panels[static_cast<std::size_t>(i)].label, columns))
            caption.push_back(std::move(line));
    }
    for (std::string& line : wrap(report.text, columns)) caption.push_back(std::move(line));
    const int caption_height = 2 * kMargin + static_cast<int>(caption.size()) * kGlyphHeight;

    RgbPicture picture{width, frames.height + caption_height, {}};
    picture.pixels.assign(static_cast<std::size_t>(picture.width) * picture.height * 3, kCaptionBackground);
    for (int i = 0; i < count; ++i) {
        const RgbPicture frame = to_rgb(frames, panels[static_cast<std::size_t>(i)].frame.data());
        const int left = i * (frames.width + kGap);
        for (int y = 0; y < frame.height; ++y)
            std::memcpy(picture.pixels.data() + (static_cast<std::size_t>(y) * width + left) * 3,
                        frame.pixels.data() + static_cast<std::size_t>(y) * frame.width * 3,
                        static_cast<std::size_t>(frame.width) * 3);
        for (int x = report.lx; x <= report.rx; ++x) {
            fill(picture, left + x, report.ty, kWindowColour);
            fill(picture, left + x, report.by, kWindowColour);
        }
        for (int y = report.ty; y <= report.by; ++y) {
            fill(picture, left + report.lx, y, kWindowColour);
            fill(picture, left + report.rx, y, kWindowColour);
        }
    }
    for (std::size_t i = 0; i < caption.size(); ++i)
        draw_text(picture, kMargin, frames.height + kMargin + static_cast<int>(i) * kGlyphHeight, caption[i]);

    // Encoded in memory and written through a sink of the command's own, so that a failed write
    // leaves what the path named before, as an output does.
    std::vector<std::uint8_t> encoded;
    const auto append = [](void* context, void* data, int size) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        static_cast<std::vector<std::uint8_t>*>(context)->insert(
            static_cast<std::vector<std::uint8_t>*>(context)->end(), bytes, bytes + size);
    };
    if (stbi_write_png_to_func(append, &encoded, picture.width, picture.height, 3, picture.pixels.data(),
                               picture.width * 3) == 0)
        throw CliError("dunmorel: cannot write the preview " + path + ": the picture could not be encoded");
    const std::unique_ptr<OutputSink> out = OutputSink::open(path, "preview");
    out->write(encoded.data(), encoded.size());
    out->finish();
}

}  // namespace dunmorel::cli
