#include "server/sources.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <limits>

namespace dunmorel::server {

namespace {

struct FormatName {
    int pixel_type;
    const char* name;
};

constexpr FormatName kFormats[] = {
    {VideoInfo::CS_BGR24, "RGB24"}, {VideoInfo::CS_BGR32, "RGB32"}, {VideoInfo::CS_YUY2, "YUY2"},
    {VideoInfo::CS_YV12, "YV12"},   {VideoInfo::CS_I420, "I420"},
};

bool IsPlanarType(int pixel_type) { return pixel_type == VideoInfo::CS_YV12 || pixel_type == VideoInfo::CS_I420; }

std::int64_t RawBytes(int pixel_type, int width, int height) {
    const std::int64_t w = width;
    const std::int64_t h = height;
    if (IsPlanarType(pixel_type)) return w * h + 2 * (w / 2) * (h / 2);
    return w * h * BytesPerPixel(pixel_type);
}

// The frame must have been made for vi; anything else would send the copies out of bounds.
void CheckFrameMatches(const VideoFrame& frame, const VideoInfo& vi, const char* what) {
    ValidateFrameSize(vi.pixel_type, vi.width, vi.height);
    const int row = vi.width * BytesPerPixel(vi.pixel_type);
    const bool planar = IsPlanarType(vi.pixel_type);
    if (frame.row_size != row || frame.height != vi.height || planar != (frame.pitchUV != 0) || frame.pitch < row ||
        (planar && frame.pitchUV < row / 2)) {
        char text[200];
        std::snprintf(text, sizeof text, "%s: the frame (row size %d, height %d) does not hold a %dx%d %s picture",
                      what, frame.row_size, frame.height, vi.width, vi.height, PixelTypeName(vi.pixel_type));
        throw ServerError(text);
    }
}

void CopyRows(BYTE* dst, std::ptrdiff_t dst_pitch, const BYTE* src, std::ptrdiff_t src_pitch, std::size_t row_bytes,
              int rows) {
    for (int r = 0; r < rows; ++r) std::memcpy(dst + r * dst_pitch, src + r * src_pitch, row_bytes);
}

}  // namespace

bool IsSupportedPixelType(int pixel_type) {
    return std::any_of(std::begin(kFormats), std::end(kFormats),
                       [&](const FormatName& f) { return f.pixel_type == pixel_type; });
}

const char* PixelTypeName(int pixel_type) {
    for (const FormatName& f : kFormats)
        if (f.pixel_type == pixel_type) return f.name;
    return "unknown";
}

std::optional<int> ParsePixelType(std::string_view name) {
    for (const FormatName& f : kFormats) {
        const std::string_view candidate(f.name);
        if (candidate.size() == name.size() &&
            std::equal(candidate.begin(), candidate.end(), name.begin(), [](char a, char b) {
                return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
            }))
            return f.pixel_type;
    }
    return std::nullopt;
}

int BytesPerPixel(int pixel_type) {
    VideoInfo vi{};
    vi.pixel_type = pixel_type;
    return vi.BitsPerPixel() / 8;
}

std::string FrameSizeProblem(int pixel_type, int width, int height) {
    char text[160];
    const char* name = PixelTypeName(pixel_type);
    if (!IsSupportedPixelType(pixel_type)) {
        std::snprintf(text, sizeof text, "unsupported pixel type 0x%08X", static_cast<unsigned>(pixel_type));
    } else if (width <= 0 || height <= 0) {
        std::snprintf(text, sizeof text, "width and height must be positive, got %dx%d", width, height);
    } else if (pixel_type != VideoInfo::CS_BGR24 && pixel_type != VideoInfo::CS_BGR32 && width % 2 != 0) {
        std::snprintf(text, sizeof text, "%s needs an even width, got %d", name, width);
    } else if (IsPlanarType(pixel_type) && height % 2 != 0) {
        std::snprintf(text, sizeof text, "%s needs an even height, got %d", name, height);
    } else if (RawBytes(pixel_type, width, height) > std::numeric_limits<int>::max()) {
        std::snprintf(text, sizeof text, "a %dx%d %s frame is too large", width, height, name);
    } else {
        return std::string();
    }
    return text;
}

void ValidateFrameSize(int pixel_type, int width, int height) {
    std::string problem = FrameSizeProblem(pixel_type, width, height);
    if (!problem.empty()) throw ServerError(problem);
}

VideoInfo MakeVideoInfo(int pixel_type, int width, int height, int num_frames, unsigned fps_numerator,
                        unsigned fps_denominator) {
    VideoInfo vi{};
    vi.width = width;
    vi.height = height;
    vi.fps_numerator = fps_numerator;
    vi.fps_denominator = fps_denominator;
    vi.num_frames = num_frames;
    vi.pixel_type = pixel_type;
    return vi;
}

std::size_t RawFrameSize(const VideoInfo& vi) {
    ValidateFrameSize(vi.pixel_type, vi.width, vi.height);
    return static_cast<std::size_t>(RawBytes(vi.pixel_type, vi.width, vi.height));
}

void CopyRawToFrame(const std::uint8_t* raw, const VideoInfo& vi, VideoFrame& writable_frame) {
    CheckFrameMatches(writable_frame, vi, "CopyRawToFrame");
    VideoFrame& f = writable_frame;
    if (!f.IsWritable()) throw ServerError("CopyRawToFrame: the frame is not writable (it has another holder)");
    const int w = vi.width;
    const int h = vi.height;
    if (IsPlanarType(vi.pixel_type)) {
        const std::size_t luma = static_cast<std::size_t>(w) * h;
        const std::size_t chroma = static_cast<std::size_t>(w / 2) * (h / 2);
        CopyRows(f.GetWritePtr(PLANAR_Y), f.GetPitch(PLANAR_Y), raw, w, w, h);
        CopyRows(f.GetWritePtr(PLANAR_U), f.GetPitch(PLANAR_U), raw + luma, w / 2, w / 2, h / 2);
        CopyRows(f.GetWritePtr(PLANAR_V), f.GetPitch(PLANAR_V), raw + luma + chroma, w / 2, w / 2, h / 2);
        return;
    }
    const std::size_t row = static_cast<std::size_t>(w) * BytesPerPixel(vi.pixel_type);
    BYTE* base = f.GetWritePtr();
    if (vi.IsRGB()) {
        // Picture row 0 is the last memory row.
        CopyRows(base + static_cast<std::ptrdiff_t>(h - 1) * f.GetPitch(), -static_cast<std::ptrdiff_t>(f.GetPitch()),
                 raw, static_cast<std::ptrdiff_t>(row), row, h);
    } else {
        CopyRows(base, f.GetPitch(), raw, static_cast<std::ptrdiff_t>(row), row, h);
    }
}

void CopyFrameToRaw(const VideoFrame& frame, const VideoInfo& vi, std::uint8_t* raw) {
    CheckFrameMatches(frame, vi, "CopyFrameToRaw");
    const int w = vi.width;
    const int h = vi.height;
    if (IsPlanarType(vi.pixel_type)) {
        const std::size_t luma = static_cast<std::size_t>(w) * h;
        const std::size_t chroma = static_cast<std::size_t>(w / 2) * (h / 2);
        CopyRows(raw, w, frame.GetReadPtr(PLANAR_Y), frame.GetPitch(PLANAR_Y), w, h);
        CopyRows(raw + luma, w / 2, frame.GetReadPtr(PLANAR_U), frame.GetPitch(PLANAR_U), w / 2, h / 2);
        CopyRows(raw + luma + chroma, w / 2, frame.GetReadPtr(PLANAR_V), frame.GetPitch(PLANAR_V), w / 2, h / 2);
        return;
    }
    const std::size_t row = static_cast<std::size_t>(w) * BytesPerPixel(vi.pixel_type);
    const BYTE* base = frame.GetReadPtr();
    if (vi.IsRGB()) {
        CopyRows(raw, static_cast<std::ptrdiff_t>(row), base + static_cast<std::ptrdiff_t>(h - 1) * frame.GetPitch(),
                 -static_cast<std::ptrdiff_t>(frame.GetPitch()), row, h);
    } else {
        CopyRows(raw, static_cast<std::ptrdiff_t>(row), base, frame.GetPitch(), row, h);
    }
}

// ---------------------------------------------------------------------------------------------

std::atomic<int> MemoryClip::live_{0};

MemoryClip::MemoryClip(Environment& env, const VideoInfo& vi, std::vector<std::uint8_t> raw, int extra_padding)
    : env_(env), vi_(vi), raw_(std::move(raw)), frame_bytes_(RawFrameSize(vi)), extra_padding_(extra_padding) {
    if (vi.num_frames < 1) throw ServerError("a clip needs at least one frame");
    if (extra_padding < 0) throw ServerError("padding must not be negative");
    if (raw_.size() / frame_bytes_ != static_cast<std::size_t>(vi.num_frames) || raw_.size() % frame_bytes_ != 0) {
        throw ServerError("raw data of " + std::to_string(raw_.size()) + " bytes does not hold " +
                          std::to_string(vi.num_frames) + " frames of " + std::to_string(frame_bytes_) + " bytes");
    }
    frames_.resize(static_cast<std::size_t>(vi.num_frames));
    requests_.assign(static_cast<std::size_t>(vi.num_frames), 0);
    live_.fetch_add(1);
}

MemoryClip::~MemoryClip() { live_.fetch_sub(1); }

PVideoFrame MemoryClip::GetFrame(int n, IScriptEnvironment*) {
    const int k = std::clamp(n, 0, vi_.num_frames - 1);
    std::lock_guard lock(mutex_);
    ++requests_[static_cast<std::size_t>(k)];
    ++total_requests_;
    PVideoFrame& kept = frames_[static_cast<std::size_t>(k)];
    if (!kept) {
        PVideoFrame fresh = env_.NewFrame(vi_, FRAME_ALIGN, extra_padding_);
        CopyRawToFrame(RawFrame(k), vi_, *fresh.get());
        kept = fresh;
    }
    return kept;
}

bool MemoryClip::GetParity(int) { return false; }

void MemoryClip::GetAudio(void* buf, std::int64_t, std::int64_t count, IScriptEnvironment*) {
    int bytes_per_sample = 0;
    switch (vi_.sample_type) {
        case 1:
            bytes_per_sample = 1;
            break;
        case 2:
            bytes_per_sample = 2;
            break;
        case 4:
            bytes_per_sample = 3;
            break;
        case 8:
        case 16:
            bytes_per_sample = 4;
            break;
        default:
            break;
    }
    if (buf == nullptr || count <= 0 || vi_.nchannels <= 0 || bytes_per_sample == 0) return;
    std::memset(buf, 0, static_cast<std::size_t>(count) * static_cast<std::size_t>(vi_.nchannels) * bytes_per_sample);
}

int MemoryClip::SetCacheHints(int, int) { return 0; }

const VideoInfo& MemoryClip::GetVideoInfo() { return vi_; }

int MemoryClip::RequestCount(int k) const {
    std::lock_guard lock(mutex_);
    if (k < 0 || k >= vi_.num_frames) return 0;
    return requests_[static_cast<std::size_t>(k)];
}

int MemoryClip::TotalRequests() const {
    std::lock_guard lock(mutex_);
    return total_requests_;
}

const std::uint8_t* MemoryClip::RawFrame(int k) const {
    if (k < 0 || k >= vi_.num_frames) throw ServerError("frame " + std::to_string(k) + " is not in the clip");
    return raw_.data() + static_cast<std::size_t>(k) * frame_bytes_;
}

void MemoryClip::DropCachedFrames() {
    std::vector<PVideoFrame> dropped(frames_.size());
    {
        std::lock_guard lock(mutex_);
        dropped.swap(frames_);
    }
}

int MemoryClip::LiveInstances() { return live_.load(); }

}  // namespace dunmorel::server
