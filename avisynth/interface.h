// Our own declaration of the frame server's 2.5 plug-in interface, written from the binary
// layout that a real host uses (x86-64 Linux first, Windows conventions kept where they cost
// nothing). Everything here must stay binary-compatible with that host: member order and
// types, virtual slot order, and non-trivial copy/destroy for the three handle types (the host
// passes them by hidden reference because they are non-trivial).
//
// The names stay in the global namespace and keep the host's spelling: a host matches the
// thrown error and the "not found" exception by type name.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define DUNMOREL_STDCALL __stdcall
#define DUNMOREL_CDECL __cdecl
#else
#define DUNMOREL_STDCALL
#define DUNMOREL_CDECL
#endif

using BYTE = unsigned char;

enum { AVISYNTH_INTERFACE_VERSION = 2 };
enum { FRAME_ALIGN = 16 };

// Plane selectors of the frame accessors. 0 and PLANAR_Y select the first (or only) plane.
enum {
    PLANAR_Y = 1,
    PLANAR_U = 2,
    PLANAR_V = 4,
    PLANAR_ALIGNED = 8,
    PLANAR_Y_ALIGNED = PLANAR_Y | PLANAR_ALIGNED,
    PLANAR_U_ALIGNED = PLANAR_U | PLANAR_ALIGNED,
    PLANAR_V_ALIGNED = PLANAR_V | PLANAR_ALIGNED,
};

namespace dunmorel::atomics {
// The host changes the same counters with interlocked operations, so ours must be atomic too.
inline long increment(long& counter) { return std::atomic_ref<long>(counter).fetch_add(1) + 1; }
inline long decrement(long& counter) { return std::atomic_ref<long>(counter).fetch_sub(1) - 1; }
inline long load(const long& counter) { return std::atomic_ref<long>(const_cast<long&>(counter)).load(); }
}  // namespace dunmorel::atomics

struct VideoInfo {
    int width;
    int height;
    unsigned fps_numerator;
    unsigned fps_denominator;
    int num_frames;

    static constexpr int CS_BGR = 1 << 28;
    static constexpr int CS_YUV = 1 << 29;
    static constexpr int CS_INTERLEAVED = 1 << 30;
    static constexpr int CS_PLANAR = static_cast<int>(0x80000000u);

    static constexpr int CS_UNKNOWN = 0;
    static constexpr int CS_BGR24 = 0x50000001;
    static constexpr int CS_BGR32 = 0x50000002;
    static constexpr int CS_YUY2 = 0x60000004;
    static constexpr int CS_YV12 = static_cast<int>(0xA0000008u);
    static constexpr int CS_I420 = static_cast<int>(0xA0000010u);
    int pixel_type;

    int audio_samples_per_second;
    int sample_type;
    std::int64_t num_audio_samples;
    int nchannels;
    int image_type;

    bool HasVideo() const { return width != 0; }
    bool IsRGB() const { return (pixel_type & CS_BGR) != 0; }
    bool IsRGB24() const { return pixel_type == CS_BGR24; }
    bool IsRGB32() const { return pixel_type == CS_BGR32; }
    bool IsYUY2() const { return pixel_type == CS_YUY2; }
    bool IsYV12() const { return pixel_type == CS_YV12 || pixel_type == CS_I420; }
    bool IsPlanar() const { return (pixel_type & CS_PLANAR) != 0; }
    int BitsPerPixel() const {
        switch (pixel_type) {
            case CS_BGR24:
                return 24;
            case CS_BGR32:
                return 32;
            case CS_YUY2:
                return 16;
            case CS_YV12:
            case CS_I420:
                return 12;
            default:
                return 0;
        }
    }
};
static_assert(sizeof(VideoInfo) == 48);

// Allocated, recycled and freed by the host only; the plug-in reads it through a frame.
class VideoFrameBuffer {
public:
    BYTE* data;
    int data_size;
    long sequence_number;
    long refcount;

    const BYTE* GetReadPtr() const { return data; }
    BYTE* GetWritePtr() {
        dunmorel::atomics::increment(sequence_number);
        return data;
    }
    int GetDataSize() const { return data_size; }
    long GetRefcount() const { return dunmorel::atomics::load(refcount); }
};

class IClip;
class PClip;
class PVideoFrame;
class IScriptEnvironment;
class AVSValue;

// One frame: a view into a buffer. Host-allocated; the plug-in only reads its fields and
// changes its reference count. The host appends fields of its own after pitchUV.
class VideoFrame {
public:
    long refcount;
    VideoFrameBuffer* vfb;
    int offset;
    int pitch;
    int row_size;
    int height;
    int offsetU;
    int offsetV;
    int pitchUV;

    void AddRef() { dunmorel::atomics::increment(refcount); }
    void Release() {
        VideoFrameBuffer* buffer = vfb;
        if (dunmorel::atomics::decrement(refcount) == 0) dunmorel::atomics::decrement(buffer->refcount);
    }

    static bool IsChroma(int plane) {
        return plane == PLANAR_U || plane == PLANAR_V || plane == PLANAR_U_ALIGNED || plane == PLANAR_V_ALIGNED;
    }
    int PlaneOffset(int plane) const {
        switch (plane) {
            case PLANAR_U:
            case PLANAR_U_ALIGNED:
                return offsetU;
            case PLANAR_V:
            case PLANAR_V_ALIGNED:
                return offsetV;
            default:
                return offset;
        }
    }

    int GetPitch(int plane = 0) const { return IsChroma(plane) ? pitchUV : pitch; }
    int GetRowSize(int plane = 0) const {
        if (IsChroma(plane)) return pitchUV ? row_size / 2 : 0;
        return row_size;
    }
    int GetHeight(int plane = 0) const {
        if (IsChroma(plane)) return pitchUV ? height / 2 : 0;
        return height;
    }
    const BYTE* GetReadPtr(int plane = 0) const { return vfb->GetReadPtr() + PlaneOffset(plane); }
    bool IsWritable() const { return dunmorel::atomics::load(refcount) == 1 && vfb->GetRefcount() == 1; }
    // Null unless this handle is the frame's only holder.
    BYTE* GetWritePtr(int plane = 0) const {
        if (!IsWritable()) return nullptr;
        return vfb->GetWritePtr() + PlaneOffset(plane);
    }
};

class PClip {
    IClip* p = nullptr;

public:
    PClip() = default;
    PClip(const PClip& other);
    PClip(IClip* x);
    PClip& operator=(const PClip& other);
    PClip& operator=(IClip* x);
    ~PClip();

    IClip* operator->() const { return p; }
    IClip* get() const { return p; }
    explicit operator bool() const { return p != nullptr; }
    bool operator!() const { return p == nullptr; }
    IClip* GetPointerWithAddRef() const;
};

class PVideoFrame {
    VideoFrame* p = nullptr;

    void Init(VideoFrame* x) {
        if (x) x->AddRef();
        p = x;
    }
    void Set(VideoFrame* x) {
        if (x) x->AddRef();
        if (p) p->Release();
        p = x;
    }

public:
    PVideoFrame() = default;
    PVideoFrame(const PVideoFrame& other) { Init(other.p); }
    PVideoFrame(VideoFrame* x) { Init(x); }
    PVideoFrame& operator=(const PVideoFrame& other) {
        Set(other.p);
        return *this;
    }
    PVideoFrame& operator=(VideoFrame* x) {
        Set(x);
        return *this;
    }
    ~PVideoFrame() {
        if (p) p->Release();
    }

    VideoFrame* operator->() const { return p; }
    VideoFrame& operator*() const { return *p; }
    VideoFrame* get() const { return p; }
    explicit operator bool() const { return p != nullptr; }
    bool operator!() const { return p == nullptr; }
};

class IClip {
    friend class PClip;
    friend class AVSValue;
    long refcnt = 0;

public:
    void AddRef() { dunmorel::atomics::increment(refcnt); }
    void Release() {
        if (dunmorel::atomics::decrement(refcnt) == 0) delete this;
    }
    long RefCount() const { return dunmorel::atomics::load(refcnt); }

    IClip() = default;
    IClip(const IClip&) = delete;
    IClip& operator=(const IClip&) = delete;

    virtual int DUNMOREL_STDCALL GetVersion() { return AVISYNTH_INTERFACE_VERSION; }
    virtual PVideoFrame DUNMOREL_STDCALL GetFrame(int n, IScriptEnvironment* env) = 0;
    virtual bool DUNMOREL_STDCALL GetParity(int n) = 0;
    virtual void DUNMOREL_STDCALL GetAudio(void* buf, std::int64_t start, std::int64_t count,
                                           IScriptEnvironment* env) = 0;
    // Declared int (answers 0 to every hint): a current host reads a result from this slot.
    virtual int DUNMOREL_STDCALL SetCacheHints(int cachehints, int frame_range) = 0;
    virtual const VideoInfo& DUNMOREL_STDCALL GetVideoInfo() = 0;
    virtual ~IClip() = default;
};

inline PClip::PClip(const PClip& other) : p(other.GetPointerWithAddRef()) {}
inline PClip::PClip(IClip* x) : p(x) {
    if (p) p->AddRef();
}
inline PClip& PClip::operator=(const PClip& other) { return *this = other.p; }
inline PClip& PClip::operator=(IClip* x) {
    if (x) x->AddRef();
    if (p) p->Release();
    p = x;
    return *this;
}
inline PClip::~PClip() {
    if (p) p->Release();
}
inline IClip* PClip::GetPointerWithAddRef() const {
    if (p) p->AddRef();
    return p;
}

// A script value. Only a clip value owns a reference; arrays are borrowed (a copy shares the
// element pointer).
class AVSValue {
    short type;  // 'v'oid, 'c'lip, 'b'ool, 'i'nt, 'f'loat, 's'tring, 'a'rray
    short array_size;
    union {
        IClip* clip;
        bool boolean;
        int integer;
        float floating_pt;
        const char* string;
        const AVSValue* array;
        void* raw;  // keeps the union pointer-sized and lets the whole of it be cleared
    };

    void Assign(const AVSValue& src) {
        if (src.type == 'c' && src.clip) src.clip->AddRef();
        if (type == 'c' && clip) clip->Release();
        // Copy the union through its widest member so that no byte is left stale.
        raw = src.raw;
        type = src.type;
        array_size = src.array_size;
    }

public:
    AVSValue() : type('v'), array_size(0), raw(nullptr) {}
    AVSValue(IClip* c) : type('c'), array_size(0), raw(nullptr) {
        clip = c;
        if (c) c->AddRef();
    }
    AVSValue(const PClip& c) : type('c'), array_size(0), raw(nullptr) { clip = c.GetPointerWithAddRef(); }
    AVSValue(bool b) : type('b'), array_size(0), raw(nullptr) { boolean = b; }
    AVSValue(int i) : type('i'), array_size(0), raw(nullptr) { integer = i; }
    AVSValue(float f) : type('f'), array_size(0), raw(nullptr) { floating_pt = f; }
    AVSValue(double f) : type('f'), array_size(0), raw(nullptr) { floating_pt = static_cast<float>(f); }
    AVSValue(const char* s) : type('s'), array_size(0), raw(nullptr) { string = s; }
    AVSValue(const AVSValue* a, int size) : type('a'), array_size(static_cast<short>(size)), raw(nullptr) { array = a; }
    AVSValue(const AVSValue& v) : type('v'), array_size(0), raw(nullptr) { Assign(v); }
    ~AVSValue() {
        if (type == 'c' && clip) clip->Release();
    }
    AVSValue& operator=(const AVSValue& v) {
        Assign(v);
        return *this;
    }

    bool Defined() const { return type != 'v'; }
    bool IsClip() const { return type == 'c'; }
    bool IsBool() const { return type == 'b'; }
    bool IsInt() const { return type == 'i'; }
    bool IsFloat() const { return type == 'f' || type == 'i'; }
    bool IsString() const { return type == 's'; }
    bool IsArray() const { return type == 'a'; }
    char Type() const { return static_cast<char>(type); }

    PClip AsClip() const { return IsClip() ? PClip(clip) : PClip(); }
    bool AsBool() const { return boolean; }
    int AsInt() const { return integer; }
    const char* AsString() const { return IsString() ? string : nullptr; }
    double AsFloat() const { return IsInt() ? integer : floating_pt; }

    bool AsBool(bool def) const { return IsBool() ? boolean : def; }
    int AsInt(int def) const { return IsInt() ? integer : def; }
    double AsFloat(double def) const { return IsFloat() ? AsFloat() : def; }
    const char* AsString(const char* def) const { return IsString() ? string : def; }

    int ArraySize() const { return IsArray() ? array_size : 1; }
    // Out-of-range indices give the value itself rather than reading past the array.
    const AVSValue& operator[](int index) const {
        return (IsArray() && index >= 0 && index < array_size) ? array[index] : *this;
    }
};
static_assert(sizeof(AVSValue) == 8 + sizeof(void*) || sizeof(void*) == 4);

// What ThrowError throws; a host catches it by this name.
class AvisynthError {
public:
    const char* const msg;
    explicit AvisynthError(const char* message) : msg(message) {}
};

class IScriptEnvironment {
public:
    virtual ~IScriptEnvironment() = default;

    virtual int DUNMOREL_STDCALL GetCPUFlags() = 0;
    virtual char* DUNMOREL_STDCALL SaveString(const char* s, int length = -1) = 0;
    virtual char* DUNMOREL_CDECL Sprintf(const char* fmt, ...) = 0;
    virtual char* DUNMOREL_STDCALL VSprintf(const char* fmt, va_list val) = 0;
    [[noreturn]] virtual void DUNMOREL_CDECL ThrowError(const char* fmt, ...) = 0;

    class NotFound {};

    using ApplyFunc = AVSValue(DUNMOREL_CDECL*)(AVSValue args, void* user_data, IScriptEnvironment* env);
    virtual void DUNMOREL_STDCALL AddFunction(const char* name, const char* params, ApplyFunc apply,
                                              void* user_data) = 0;
    virtual bool DUNMOREL_STDCALL FunctionExists(const char* name) = 0;
    virtual AVSValue DUNMOREL_STDCALL Invoke(const char* name, const AVSValue args,
                                             const char* const* arg_names = nullptr) = 0;
    virtual AVSValue DUNMOREL_STDCALL GetVar(const char* name) = 0;
    virtual bool DUNMOREL_STDCALL SetVar(const char* name, const AVSValue& val) = 0;
    virtual bool DUNMOREL_STDCALL SetGlobalVar(const char* name, const AVSValue& val) = 0;
    virtual void DUNMOREL_STDCALL PushContext(int level = 0) = 0;
    virtual void DUNMOREL_STDCALL PopContext() = 0;
    virtual PVideoFrame DUNMOREL_STDCALL NewVideoFrame(const VideoInfo& vi, int align = FRAME_ALIGN) = 0;
    virtual bool DUNMOREL_STDCALL MakeWritable(PVideoFrame* pvf) = 0;
    virtual void DUNMOREL_STDCALL BitBlt(BYTE* dstp, int dst_pitch, const BYTE* srcp, int src_pitch, int row_size,
                                         int height) = 0;

    using ShutdownFunc = void(DUNMOREL_CDECL*)(void* user_data, IScriptEnvironment* env);
    virtual void DUNMOREL_STDCALL AtExit(ShutdownFunc function, void* user_data) = 0;
    virtual void DUNMOREL_STDCALL CheckVersion(int version = AVISYNTH_INTERFACE_VERSION) = 0;
    virtual PVideoFrame DUNMOREL_STDCALL Subframe(PVideoFrame src, int rel_offset, int new_pitch, int new_row_size,
                                                  int new_height) = 0;
    virtual int DUNMOREL_STDCALL SetMemoryMax(int mem) = 0;
    virtual int DUNMOREL_STDCALL SetWorkingDir(const char* newdir) = 0;
    virtual void* DUNMOREL_STDCALL ManageCache(int key, void* data) = 0;
    virtual bool DUNMOREL_STDCALL PlanarChromaAlignment(int key) = 0;
    virtual PVideoFrame DUNMOREL_STDCALL SubframePlanar(PVideoFrame src, int rel_offset, int new_pitch,
                                                        int new_row_size, int new_height, int rel_offsetU,
                                                        int rel_offsetV, int new_pitchUV) = 0;
};

// A filter with one child: forwards everything to it unless overridden.
class GenericVideoFilter : public IClip {
protected:
    PClip child;
    VideoInfo vi;

public:
    explicit GenericVideoFilter(const PClip& source) : child(source), vi(source->GetVideoInfo()) {}

    PVideoFrame DUNMOREL_STDCALL GetFrame(int n, IScriptEnvironment* env) override { return child->GetFrame(n, env); }
    bool DUNMOREL_STDCALL GetParity(int n) override { return child->GetParity(n); }
    void DUNMOREL_STDCALL GetAudio(void* buf, std::int64_t start, std::int64_t count,
                                   IScriptEnvironment* env) override {
        child->GetAudio(buf, start, count, env);
    }
    int DUNMOREL_STDCALL SetCacheHints(int, int) override { return 0; }
    const VideoInfo& DUNMOREL_STDCALL GetVideoInfo() override { return vi; }
};

// The key under which a host that releases top-level clip arguments once more than it took
// them (after the create function returns) answers 1 from ManageCache.
inline constexpr int kManageCacheExtraClipRelease = static_cast<int>(0xFFFF0200u);

static_assert(sizeof(void*) != 8 || (offsetof(VideoFrame, vfb) == 8 && offsetof(VideoFrame, offset) == 16 &&
                                     offsetof(VideoFrame, pitchUV) == 40));
static_assert(sizeof(void*) != 8 ||
              (offsetof(VideoFrameBuffer, data_size) == 8 && offsetof(VideoFrameBuffer, sequence_number) == 16 &&
               offsetof(VideoFrameBuffer, refcount) == 24));
