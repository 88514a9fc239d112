// Built only when the host's own C header is given (DUNMOREL_AVISYNTH_INCLUDE_DIR): every type
// and function of c_api.h against the host's declaration, so that a drift in either fails the
// build instead of a script. Nothing here is linked into the plug-in.
#include <cstddef>
#include <cstdlib>
#include <type_traits>

#include "avisynthplus/c_api.h"

// The host's header, in its form for programs that look its functions up themselves: function
// types only, no imports. That form uses the platform's loader and malloc without including them.
#if defined(_WIN32)
#include <windows.h>
#endif
#define AVSC_NO_DECLSPEC
#include <avisynth_c.h>

namespace dunmorel::avsc {

namespace {

// Our name of a type, mapped onto the host's, through pointers, const and function types.
template <typename T>
struct Host {
    using type = T;
};
#define DUNMOREL_AVSC_HOST_NAME(ours, theirs) \
    template <>                               \
    struct Host<ours> {                       \
        using type = theirs;                  \
    };
DUNMOREL_AVSC_HOST_NAME(Clip, AVS_Clip)
DUNMOREL_AVSC_HOST_NAME(ScriptEnvironment, AVS_ScriptEnvironment)
DUNMOREL_AVSC_HOST_NAME(VideoFrame, AVS_VideoFrame)
DUNMOREL_AVSC_HOST_NAME(VideoInfo, AVS_VideoInfo)
DUNMOREL_AVSC_HOST_NAME(Value, AVS_Value)
DUNMOREL_AVSC_HOST_NAME(FilterInfo, AVS_FilterInfo)
template <typename T>
struct Host<T*> {
    using type = typename Host<T>::type*;
};
template <typename T>
struct Host<const T> {
    using type = const typename Host<T>::type;
};
template <typename R, typename... A>
struct Host<R (*)(A...)> {
    using type = typename Host<R>::type (*)(typename Host<A>::type...);
};
template <typename T>
using HostType = typename Host<T>::type;

// The host spells unsigned char as BYTE and 64-bit integers as int64_t; both are the same types.
#define DUNMOREL_AVSC_SAME_FUNCTION(member, name, type) \
    static_assert(std::is_same_v<HostType<type>, member##_func_of_host>, name " differs from the host's declaration");
#define DUNMOREL_AVSC_HOST_TYPE(member, name, type) using member##_func_of_host = avs_##member##_func;
DUNMOREL_AVSC_FUNCTIONS(DUNMOREL_AVSC_HOST_TYPE)
DUNMOREL_AVSC_FUNCTIONS(DUNMOREL_AVSC_SAME_FUNCTION)
static_assert(std::is_same_v<HostType<ApplyFunc>, AVS_ApplyFunc>);

#define DUNMOREL_AVSC_SAME_MEMBER(ours, theirs, member)                                            \
    static_assert(offsetof(ours, member) == offsetof(theirs, member), #ours "." #member " moved"); \
    static_assert(std::is_same_v<HostType<decltype(ours::member)>, decltype(theirs::member)>,      \
                  #ours "." #member " changed type");

static_assert(sizeof(VideoInfo) == sizeof(AVS_VideoInfo) && alignof(VideoInfo) == alignof(AVS_VideoInfo));
DUNMOREL_AVSC_SAME_MEMBER(VideoInfo, AVS_VideoInfo, width)
DUNMOREL_AVSC_SAME_MEMBER(VideoInfo, AVS_VideoInfo, height)
DUNMOREL_AVSC_SAME_MEMBER(VideoInfo, AVS_VideoInfo, fps_numerator)
DUNMOREL_AVSC_SAME_MEMBER(VideoInfo, AVS_VideoInfo, fps_denominator)
DUNMOREL_AVSC_SAME_MEMBER(VideoInfo, AVS_VideoInfo, num_frames)
DUNMOREL_AVSC_SAME_MEMBER(VideoInfo, AVS_VideoInfo, pixel_type)
DUNMOREL_AVSC_SAME_MEMBER(VideoInfo, AVS_VideoInfo, audio_samples_per_second)
DUNMOREL_AVSC_SAME_MEMBER(VideoInfo, AVS_VideoInfo, sample_type)
DUNMOREL_AVSC_SAME_MEMBER(VideoInfo, AVS_VideoInfo, num_audio_samples)
DUNMOREL_AVSC_SAME_MEMBER(VideoInfo, AVS_VideoInfo, nchannels)
DUNMOREL_AVSC_SAME_MEMBER(VideoInfo, AVS_VideoInfo, image_type)

static_assert(sizeof(Value) == sizeof(AVS_Value) && alignof(Value) == alignof(AVS_Value));
DUNMOREL_AVSC_SAME_MEMBER(Value, AVS_Value, type)
DUNMOREL_AVSC_SAME_MEMBER(Value, AVS_Value, array_size)
static_assert(offsetof(Value, d) == offsetof(AVS_Value, d) && sizeof(Value::d) == sizeof(AVS_Value::d));

static_assert(sizeof(FilterInfo) == sizeof(AVS_FilterInfo) && alignof(FilterInfo) == alignof(AVS_FilterInfo));
DUNMOREL_AVSC_SAME_MEMBER(FilterInfo, AVS_FilterInfo, child)
DUNMOREL_AVSC_SAME_MEMBER(FilterInfo, AVS_FilterInfo, vi)
DUNMOREL_AVSC_SAME_MEMBER(FilterInfo, AVS_FilterInfo, env)
DUNMOREL_AVSC_SAME_MEMBER(FilterInfo, AVS_FilterInfo, get_frame)
DUNMOREL_AVSC_SAME_MEMBER(FilterInfo, AVS_FilterInfo, get_parity)
DUNMOREL_AVSC_SAME_MEMBER(FilterInfo, AVS_FilterInfo, get_audio)
DUNMOREL_AVSC_SAME_MEMBER(FilterInfo, AVS_FilterInfo, set_cache_hints)
DUNMOREL_AVSC_SAME_MEMBER(FilterInfo, AVS_FilterInfo, free_filter)
DUNMOREL_AVSC_SAME_MEMBER(FilterInfo, AVS_FilterInfo, error)
DUNMOREL_AVSC_SAME_MEMBER(FilterInfo, AVS_FilterInfo, user_data)

static_assert(kCsBgr24 == AVS_CS_BGR24 && kCsBgr32 == AVS_CS_BGR32 && kCsYuy2 == AVS_CS_YUY2 &&
              kCsYv12 == AVS_CS_YV12 && kCsI420 == AVS_CS_I420 && kCsYv24 == AVS_CS_YV24 && kCsYv16 == AVS_CS_YV16 &&
              kCsYv411 == AVS_CS_YV411 && kCsY8 == AVS_CS_Y8 && kCsRgbp == AVS_CS_RGBP);
// Each wide layout as the 8-bit one with the sample-bits field set, against the host's name.
#define DUNMOREL_AVSC_SAME_DEPTHS(ours, theirs)                                                       \
    static_assert((ours | kCsSampleBits10) == theirs##10 && (ours | kCsSampleBits12) == theirs##12 && \
                  (ours | kCsSampleBits14) == theirs##14 && (ours | kCsSampleBits16) == theirs##16);
DUNMOREL_AVSC_SAME_DEPTHS(kCsYv24, AVS_CS_YUV444P)
DUNMOREL_AVSC_SAME_DEPTHS(kCsYv16, AVS_CS_YUV422P)
DUNMOREL_AVSC_SAME_DEPTHS(kCsYv12, AVS_CS_YUV420P)
DUNMOREL_AVSC_SAME_DEPTHS(kCsY8, AVS_CS_Y)
DUNMOREL_AVSC_SAME_DEPTHS(kCsRgbp, AVS_CS_RGBP)
static_assert(kPlaneDefault == AVS_DEFAULT_PLANE && kPlaneY == AVS_PLANAR_Y && kPlaneU == AVS_PLANAR_U &&
              kPlaneV == AVS_PLANAR_V && kPlaneR == AVS_PLANAR_R && kPlaneG == AVS_PLANAR_G && kPlaneB == AVS_PLANAR_B);
static_assert(kCacheGetMtMode == AVS_CACHE_GET_MTMODE && kMtNiceFilter == AVS_MT_NICE_FILTER &&
              kMtSerialized == AVS_MT_SERIALIZED);

}  // namespace

}  // namespace dunmorel::avsc
