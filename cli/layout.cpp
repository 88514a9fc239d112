#include "cli/layout.h"

#include <cstring>

#include "server/sources.h"

namespace dunmorel::cli {

std::size_t FileFrameBytes(Repack repack, const VideoInfo& vi) {
    const std::size_t luma = static_cast<std::size_t>(vi.width) * static_cast<std::size_t>(vi.height);
    switch (repack) {
        case Repack::planar422:
            return 2 * luma;
        case Repack::grey:
            return luma;
        case Repack::none:
            break;
    }
    return server::RawFrameSize(vi);
}

void FileToRaw(Repack repack, const VideoInfo& vi, const std::uint8_t* file, std::uint8_t* raw) {
    const std::size_t w = static_cast<std::size_t>(vi.width);
    const std::size_t h = static_cast<std::size_t>(vi.height);
    if (repack == Repack::planar422) {
        const std::uint8_t* u = file + w * h;
        const std::uint8_t* v = u + w / 2 * h;
        for (std::size_t i = 0; i < w / 2 * h; ++i) {
            raw[4 * i] = file[2 * i];
            raw[4 * i + 1] = u[i];
            raw[4 * i + 2] = file[2 * i + 1];
            raw[4 * i + 3] = v[i];
        }
    } else if (repack == Repack::grey) {
        std::memcpy(raw, file, w * h);
        std::memset(raw + w * h, 128, 2 * (w / 2) * (h / 2));
    } else {
        std::memcpy(raw, file, server::RawFrameSize(vi));
    }
}

void RawToFile(Repack repack, const VideoInfo& vi, const std::uint8_t* raw, std::uint8_t* file) {
    const std::size_t w = static_cast<std::size_t>(vi.width);
    const std::size_t h = static_cast<std::size_t>(vi.height);
    if (repack == Repack::planar422) {
        std::uint8_t* u = file + w * h;
        std::uint8_t* v = u + w / 2 * h;
        for (std::size_t i = 0; i < w / 2 * h; ++i) {
            file[2 * i] = raw[4 * i];
            u[i] = raw[4 * i + 1];
            file[2 * i + 1] = raw[4 * i + 2];
            v[i] = raw[4 * i + 3];
        }
    } else {
        std::memcpy(file, raw, FileFrameBytes(repack, vi));
    }
}

std::string LayoutName(const RawFormat& format) {
    switch (format.repack) {
        case Repack::planar422:
            return "planar 4:2:2";
        case Repack::grey:
            return "grey";
        case Repack::none:
            break;
    }
    return server::PixelTypeName(format.pixel_type);
}

std::string ConversionHint(std::string_view name) {
    const auto has = [&](std::string_view part) { return name.find(part) != std::string_view::npos; };
    // Deeper samples or other subsamplings go to the nearest 8-bit layout that keeps the most.
    if (has("gray") || has("grey") || has("mono") || name == "y8") return "-pix_fmt gray";
    if (has("422")) return "-pix_fmt yuv422p";
    if (has("rgb") || has("bgr") || has("gbr")) return "-pix_fmt bgr24";
    return "-pix_fmt yuv420p";
}

}  // namespace dunmorel::cli
