// Our own declaration of the small part of the frame server's C plug-in interface that this
// plug-in uses: plain C structs laid out as the host lays them out on x86-64 (Linux and Windows
// have one calling convention there), opaque handles for everything the
// host owns, and the table of host functions the plug-in calls. Nothing here is linked against
// the host: the table is filled at load time (host_module.cpp). When the host's own header is
// at hand, c_api_check.cpp compares every type and function below with it at compile time.
#pragma once

#include <cstdint>
#include <type_traits>

// The host's calling convention for the interface; empty on x86-64. 32-bit Windows hosts differ
// between builds and are not a target.
#define DUNMOREL_AVSC_CC

namespace dunmorel::avsc {

// Handles the host owns; never dereferenced here.
struct Clip;
struct ScriptEnvironment;
struct VideoFrame;

struct VideoInfo {
    int width;
    int height;
    unsigned fps_numerator;
    unsigned fps_denominator;
    int num_frames;
    int pixel_type;
    int audio_samples_per_second;
    int sample_type;
    std::int64_t num_audio_samples;
    int nchannels;
    int image_type;
};

// A script value: a type letter and a union. Trivially copyable, passed and returned by value
// exactly as the host's C struct.
struct Value {
    short type;  // 'v' void, 'c' clip, 'b' bool, 'i' int, 'l' 64-bit int, 's' string, 'a' array, 'e' error
    short array_size;
    union {
        void* clip;
        char boolean;
        int integer;
        float floating_pt;
        const char* string;
        const Value* array;
        void* function;
#if UINTPTR_MAX >= 0xffffffffffffffff
        std::int64_t longlong;
        double double_pt;
#else
        // 32-bit hosts keep 64-bit values behind a pointer.
        std::int64_t* longlong_ptr;
        double* double_pt_ptr;
#endif
    } d;
};

// The host's record of one C filter; the callbacks left null are passed on to the child.
struct FilterInfo {
    Clip* child;
    VideoInfo vi;
    ScriptEnvironment* env;
    VideoFrame*(DUNMOREL_AVSC_CC* get_frame)(FilterInfo*, int n);
    int(DUNMOREL_AVSC_CC* get_parity)(FilterInfo*, int n);
    int(DUNMOREL_AVSC_CC* get_audio)(FilterInfo*, void* buf, std::int64_t start, std::int64_t count);
    int(DUNMOREL_AVSC_CC* set_cache_hints)(FilterInfo*, int cachehints, int frame_range);
    void(DUNMOREL_AVSC_CC* free_filter)(FilterInfo*);
    // A message the host raises after a callback returns; it must outlive the call.
    const char* error;
    void* user_data;
};

using ApplyFunc = Value(DUNMOREL_AVSC_CC*)(ScriptEnvironment*, Value args, void* user_data);

// Pixel types, compared for equality: formats that share bits with these (other depths, alpha)
// are other formats.
inline constexpr int kCsBgr24 = 0x50000001;
inline constexpr int kCsBgr32 = 0x50000002;
inline constexpr int kCsYuy2 = 0x60000004;
inline constexpr int kCsYv12 = static_cast<int>(0xA0000008u);
inline constexpr int kCsI420 = static_cast<int>(0xA0000010u);
inline constexpr int kCsYv24 = static_cast<int>(0xA000030Bu);
inline constexpr int kCsYv16 = static_cast<int>(0xA0000308u);
inline constexpr int kCsYv411 = static_cast<int>(0xA0000309u);
inline constexpr int kCsY8 = static_cast<int>(0xE0000000u);
inline constexpr int kCsRgbp = static_cast<int>(0x90000001u);
// The host's planar layouts of more sample bits are the 8-bit ones (whose sample-bits field is
// 0) with one of these in that field. The host has no 4:1:1 beyond 8 bits; 32 bits are floats.
inline constexpr int kCsSampleBits10 = 5 << 16;
inline constexpr int kCsSampleBits12 = 6 << 16;
inline constexpr int kCsSampleBits14 = 7 << 16;
inline constexpr int kCsSampleBits16 = 1 << 16;

// Plane selectors of the frame accessors; 0 is the only plane of a packed format.
inline constexpr int kPlaneDefault = 0;
inline constexpr int kPlaneY = 1 << 0;
inline constexpr int kPlaneU = 1 << 1;
inline constexpr int kPlaneV = 1 << 2;
inline constexpr int kPlaneR = 1 << 5;
inline constexpr int kPlaneG = 1 << 6;
inline constexpr int kPlaneB = 1 << 7;

// Cache hints: the host's query for a filter's threading mode, and the mode answers.
inline constexpr int kCacheGetMtMode = 509;
inline constexpr int kMtNiceFilter = 1;
inline constexpr int kMtSerialized = 3;

// The host functions the plug-in calls, in the order they are looked up. X(member, host name,
// function type).
#define DUNMOREL_AVSC_FUNCTIONS(X)                                                                                  \
    X(add_function, "avs_add_function",                                                                             \
      int(DUNMOREL_AVSC_CC*)(ScriptEnvironment*, const char* name, const char* params, ApplyFunc, void* user_data)) \
    X(save_string, "avs_save_string", char*(DUNMOREL_AVSC_CC*)(ScriptEnvironment*, const char* s, int length))      \
    X(take_clip, "avs_take_clip", Clip*(DUNMOREL_AVSC_CC*)(Value, ScriptEnvironment*))                              \
    X(release_clip, "avs_release_clip", void(DUNMOREL_AVSC_CC*)(Clip*))                                             \
    X(get_video_info, "avs_get_video_info", const VideoInfo*(DUNMOREL_AVSC_CC*)(Clip*))                             \
    X(new_c_filter, "avs_new_c_filter",                                                                             \
      Clip*(DUNMOREL_AVSC_CC*)(ScriptEnvironment*, FilterInfo**, Value child, int store_child))                     \
    X(set_to_clip, "avs_set_to_clip", void(DUNMOREL_AVSC_CC*)(Value*, Clip*))                                       \
    X(clip_get_error, "avs_clip_get_error", const char*(DUNMOREL_AVSC_CC*)(Clip*))                                  \
    X(get_frame, "avs_get_frame", VideoFrame*(DUNMOREL_AVSC_CC*)(Clip*, int n))                                     \
    X(release_video_frame, "avs_release_video_frame", void(DUNMOREL_AVSC_CC*)(VideoFrame*))                         \
    X(get_pitch_p, "avs_get_pitch_p", int(DUNMOREL_AVSC_CC*)(const VideoFrame*, int plane))                         \
    X(get_height_p, "avs_get_height_p", int(DUNMOREL_AVSC_CC*)(const VideoFrame*, int plane))                       \
    X(get_read_ptr_p, "avs_get_read_ptr_p", const unsigned char*(DUNMOREL_AVSC_CC*)(const VideoFrame*, int plane))  \
    X(get_write_ptr_p, "avs_get_write_ptr_p", unsigned char*(DUNMOREL_AVSC_CC*)(const VideoFrame*, int plane))      \
    X(new_video_frame_p, "avs_new_video_frame_p",                                                                   \
      VideoFrame*(DUNMOREL_AVSC_CC*)(ScriptEnvironment*, const VideoInfo*, const VideoFrame* prop_src))             \
    X(bit_blt, "avs_bit_blt",                                                                                       \
      void(DUNMOREL_AVSC_CC*)(ScriptEnvironment*, unsigned char* dst, int dst_pitch, const unsigned char* src,      \
                              int src_pitch, int row_size, int height))

struct Api {
#define DUNMOREL_AVSC_MEMBER(member, name, type) std::type_identity_t<type> member = nullptr;
    DUNMOREL_AVSC_FUNCTIONS(DUNMOREL_AVSC_MEMBER)
#undef DUNMOREL_AVSC_MEMBER
};

}  // namespace dunmorel::avsc
