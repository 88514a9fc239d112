// Pixel formats as the server supports them, conversion between the raw file layout and
// frames, and MemoryClip, a source clip held in memory.
//
// Raw file layout of one frame (what a .yuv/.rgb file holds, rows top to bottom):
//   YV12, I420  Y plane (W x H), then U plane, then V plane (W/2 x H/2 each)
//   YUY2        packed Y0 U Y1 V, W * 2 bytes a row
//   RGB24       packed B G R, W * 3 bytes a row
//   RGB32       packed B G R A, W * 4 bytes a row
// In a frame, RGB rows are stored bottom-up as a host stores them: memory row r holds picture
// row H - 1 - r. YV12 keeps V before U in memory and I420 U before V; the plane selectors
// find the right plane either way.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "avisynth/interface.h"
#include "server/environment.h"

namespace dunmorel::server {

// True for the five formats the server handles: RGB24, RGB32, YUY2, YV12 and I420.
bool IsSupportedPixelType(int pixel_type);
// "RGB24", "RGB32", "YUY2", "YV12", "I420", or "unknown" for anything else.
const char* PixelTypeName(int pixel_type);
// The inverse of PixelTypeName, ignoring case; nullopt for an unknown name.
std::optional<int> ParsePixelType(std::string_view name);
// Bytes per pixel of the first plane: 3, 4, 2, 1 (YV12 and I420); 0 for unsupported formats.
int BytesPerPixel(int pixel_type);

// Empty when a frame of this format and size can exist; otherwise the reason, e.g.
// "YV12 needs an even height, got 31". Checks the format, positive sizes, even width for YUY2,
// YV12 and I420, even height for YV12 and I420, and that a frame fits in 2^31 - 1 bytes.
std::string FrameSizeProblem(int pixel_type, int width, int height);
// Throws ServerError with FrameSizeProblem's text when there is a problem.
void ValidateFrameSize(int pixel_type, int width, int height);

// A VideoInfo for a video-only clip.
VideoInfo MakeVideoInfo(int pixel_type, int width, int height, int num_frames, unsigned fps_numerator = 25,
                        unsigned fps_denominator = 1);

// Bytes of one frame in the raw file layout. Throws ServerError for an invalid format or size.
std::size_t RawFrameSize(const VideoInfo& vi);
// Copies one raw frame into a writable frame of vi's format and size (the frame's write
// pointer is taken, so a frame with a second holder is refused). Throws ServerError when the
// frame is not writable or does not match vi.
void CopyRawToFrame(const std::uint8_t* raw, const VideoInfo& vi, VideoFrame& writable_frame);
// Copies a frame of vi's format and size out into the raw file layout. Throws ServerError
// when the frame does not match vi.
void CopyFrameToRaw(const VideoFrame& frame, const VideoInfo& vi, std::uint8_t* raw);

// A clip whose frames are held in memory in the raw file layout. Frames are made from the
// Environment on first request and kept, the way a host's cache keeps them: a caller's handle
// is never the only one, so GetWritePtr on a source frame is null. Their pitch is the one
// NewVideoFrame would give plus `extra_padding` bytes, so a filter's work frames and its source
// frames differ in pitch whenever extra_padding > 0.
//
// Frame numbers outside 0..num_frames-1 are clamped to the nearest frame, as a host's source
// filters do; request counts are kept per delivered (clamped) frame.
//
// Create it with new and hold it through PClip; it must go before its Environment.
class MemoryClip final : public IClip {
public:
    // `raw` holds vi.num_frames frames of RawFrameSize(vi) bytes each, back to back.
    // Throws ServerError when vi is invalid, num_frames < 1, or raw has the wrong size.
    MemoryClip(Environment& env, const VideoInfo& vi, std::vector<std::uint8_t> raw, int extra_padding = 32);
    ~MemoryClip() override;

    PVideoFrame DUNMOREL_STDCALL GetFrame(int n, IScriptEnvironment* env) override;
    bool DUNMOREL_STDCALL GetParity(int n) override;
    // Zero-fills count samples of every channel (nothing when the clip has no audio).
    void DUNMOREL_STDCALL GetAudio(void* buf, std::int64_t start, std::int64_t count, IScriptEnvironment* env) override;
    int DUNMOREL_STDCALL SetCacheHints(int cachehints, int frame_range) override;
    const VideoInfo& DUNMOREL_STDCALL GetVideoInfo() override;

    // How often frame k was delivered by GetFrame, and all deliveries together.
    int RequestCount(int k) const;
    int TotalRequests() const;
    // The raw bytes of frame k (no copy).
    const std::uint8_t* RawFrame(int k) const;
    // Releases the kept frames; later requests make new ones.
    void DropCachedFrames();

    // MemoryClip objects currently alive, in the whole process.
    static int LiveInstances();

private:
    Environment& env_;
    VideoInfo vi_;
    std::vector<std::uint8_t> raw_;
    std::size_t frame_bytes_;
    int extra_padding_;
    mutable std::mutex mutex_;
    std::vector<PVideoFrame> frames_;
    std::vector<int> requests_;
    int total_requests_ = 0;
    static std::atomic<int> live_;
};

}  // namespace dunmorel::server
