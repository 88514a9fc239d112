#include "server/environment.h"

#include <dlfcn.h>
#include <sys/mman.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "server/sources.h"

namespace dunmorel::server {

namespace {

// Plane starts are kept on this boundary; it covers every power-of-two alignment a filter is
// likely to ask for, and the 16 bytes a host promises.
constexpr int kPlaneAlign = 64;
// What this server answers to CheckVersion: the 2.5 interface.
constexpr int kInterfaceVersion = 3;

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool SameName(std::string_view a, std::string_view b) { return Lower(a) == Lower(b); }

std::int64_t RoundUp(std::int64_t value, std::int64_t multiple) { return (value + multiple - 1) / multiple * multiple; }

const char* ParameterTypeName(char type) {
    switch (type) {
        case 'c':
            return "a clip";
        case 'i':
            return "an integer";
        case 'b':
            return "a boolean";
        case 'f':
            return "a float";
        case 's':
            return "a string";
        default:
            return "a value";
    }
}

const char* ValueTypeName(const AVSValue& v) {
    switch (v.Type()) {
        case 'v':
            return "an undefined value";
        case 'a':
            return "an array";
        default:
            return ParameterTypeName(v.Type());
    }
}

bool Accepts(const Parameter& p, const AVSValue& v) {
    // An explicit undefined value stands for an omitted optional argument.
    if (!v.Defined()) return p.optional;
    switch (p.type) {
        case 'c':
            return v.IsClip();
        case 'i':
            return v.IsInt();
        case 'b':
            return v.IsBool();
        case 'f':
            return v.IsFloat();  // an integer is a float's valid spelling
        case 's':
            return v.IsString();
        default:
            return true;
    }
}

std::string Label(const Parameter& p, std::size_t index) {
    if (!p.name.empty()) return "argument \"" + p.name + "\"";
    return "argument " + std::to_string(index + 1);
}

int DetectCpuFlags() {
    int flags = 0;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    flags |= 0x02;  // FPU
    if (__builtin_cpu_supports("mmx")) flags |= 0x04;
    if (__builtin_cpu_supports("sse")) flags |= 0x08 | 0x10;  // integer SSE and SSE
    if (__builtin_cpu_supports("sse2")) flags |= 0x20;
    if (__builtin_cpu_supports("sse3")) flags |= 0x100;
#endif
    return flags;
}

// Where the planes of one frame lie in its buffer.
struct FrameLayout {
    int row_size = 0;
    int height = 0;
    int pitch = 0;
    int pitch_uv = 0;
    int offset = 0;
    int offset_u = 0;
    int offset_v = 0;
    std::int64_t data_size = 0;
};

FrameLayout ComputeLayout(const VideoInfo& vi, int align, int padding) {
    FrameLayout l;
    const std::int64_t a = std::max(align, static_cast<int>(FRAME_ALIGN));
    const std::int64_t row = static_cast<std::int64_t>(vi.width) * BytesPerPixel(vi.pixel_type);
    const std::int64_t pitch = RoundUp(row, a) + padding;
    l.row_size = static_cast<int>(row);
    l.height = vi.height;
    if (!vi.IsPlanar()) {
        l.data_size = pitch * vi.height;
        l.pitch = static_cast<int>(std::min<std::int64_t>(pitch, std::numeric_limits<int>::max()));
        return l;
    }
    const std::int64_t pitch_uv = pitch / 2;
    const std::int64_t luma = pitch * vi.height;
    const std::int64_t chroma = pitch_uv * (vi.height / 2);
    const std::int64_t second = RoundUp(luma, kPlaneAlign);
    const std::int64_t third = RoundUp(second + chroma, kPlaneAlign);
    l.data_size = third + chroma;
    if (l.data_size > std::numeric_limits<int>::max()) return l;
    l.pitch = static_cast<int>(pitch);
    l.pitch_uv = static_cast<int>(pitch_uv);
    // YV12 keeps V first in memory, I420 U first.
    const bool v_first = vi.pixel_type == VideoInfo::CS_YV12;
    l.offset_v = static_cast<int>(v_first ? second : third);
    l.offset_u = static_cast<int>(v_first ? third : second);
    return l;
}

// Frame buffers of a few megabytes are first touched one page at a time, and each of those
// faults costs a few microseconds (more under a hypervisor): thousands per pool frame. Buffers
// of at least a huge page are aligned to one and offered to the kernel as huge-page memory, so
// that a frame faults in a few large pages. The pool keeps its buffers, so this is paid once.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

std::size_t BufferAlign(std::size_t size) { return size >= kHugePage ? kHugePage : kPlaneAlign; }

struct AlignedDelete {
    std::size_t align = kPlaneAlign;
    void operator()(BYTE* p) const { ::operator delete[](p, std::align_val_t{align}); }
};

std::unique_ptr<BYTE[], AlignedDelete> NewBuffer(std::size_t size) {
    const std::size_t align = BufferAlign(size);
    // Whole huge pages, so that the last plane of a frame does not sit in small ones; not under
    // AddressSanitizer, which then catches a read past the frame's last byte as it would anywhere.
    if (align == kHugePage && !kAddressSanitizer) size = (size + kHugePage - 1) / kHugePage * kHugePage;
    std::unique_ptr<BYTE[], AlignedDelete> data(static_cast<BYTE*>(::operator new[](size, std::align_val_t{align})),
                                                AlignedDelete{align});
    // Only advice: where huge pages are off or scarce the buffer works as it is.
    if (align == kHugePage) static_cast<void>(madvise(data.get(), size, MADV_HUGEPAGE));
    return data;
}

}  // namespace

std::vector<Parameter> ParseSignature(const std::string& params) {
    std::vector<Parameter> out;
    std::size_t i = 0;
    while (i < params.size()) {
        Parameter p{0, "", false};
        if (params[i] == '[') {
            const std::size_t close = params.find(']', i);
            if (close == std::string::npos) throw ServerError("unclosed '[' at position " + std::to_string(i));
            p.name = params.substr(i + 1, close - i - 1);
            if (p.name.empty()) throw ServerError("empty parameter name at position " + std::to_string(i));
            for (const Parameter& q : out)
                if (SameName(q.name, p.name)) throw ServerError("parameter name \"" + p.name + "\" used twice");
            p.optional = true;
            i = close + 1;
            if (i >= params.size()) throw ServerError("parameter \"" + p.name + "\" has no type letter");
        }
        const char t = params[i];
        if (t == '*' || t == '+') throw ServerError("repeated parameters ('*', '+') are not supported");
        if (std::strchr("cibfs.", t) == nullptr || t == '\0')
            throw ServerError(std::string("unknown type letter '") + t + "' at position " + std::to_string(i));
        p.type = t;
        ++i;
        if (i < params.size() && (params[i] == '*' || params[i] == '+'))
            throw ServerError("repeated parameters ('*', '+') are not supported");
        out.push_back(std::move(p));
    }
    return out;
}

struct Environment::PoolEntry {
    VideoFrame frame{};  // handed out by address; entries never move
    VideoFrameBuffer buffer{};
    VideoInfo vi{};
    int align = 0;
    int padding = 0;  // total bytes added to the pitch
    std::unique_ptr<BYTE[], AlignedDelete> data;
};

struct Environment::PluginLibrary {
    void* handle = nullptr;
    std::string path;
    PluginLibrary(void* h, std::string p) : handle(h), path(std::move(p)) {}
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;
    ~PluginLibrary() {
        if (handle) dlclose(handle);
    }
};

Environment::Environment(EnvironmentOptions options) : options_(options) {
    if (options_.frame_padding < 0) throw ServerError("frame padding must not be negative");
    if (options_.new_frame_fill < -1 || options_.new_frame_fill > 255)
        throw ServerError("new_frame_fill must be -1 or a byte value");
    if (options_.cpu_flags == -1) options_.cpu_flags = DetectCpuFlags();
}

Environment::~Environment() {
    // Callbacks may call back into the environment and may run plug-in code, so they go first
    // while everything is intact; the last registered runs first.
    std::vector<std::pair<ShutdownFunc, void*>> callbacks;
    {
        std::lock_guard lock(settings_mutex_);
        callbacks.swap(at_exit_);
    }
    for (auto it = callbacks.rbegin(); it != callbacks.rend(); ++it) {
        try {
            it->first(it->second, this);
        } catch (const AvisynthError& e) {
            std::fprintf(stderr, "dunmorel server: error in an exit callback: %s\n", e.msg);
        } catch (...) {
            std::fprintf(stderr, "dunmorel server: error in an exit callback\n");
        }
    }

    // Variables may hold plug-in clips; release them while the plug-ins are still loaded.
    std::map<std::string, AVSValue> vars;
    std::map<std::string, AVSValue> globals;
    {
        std::lock_guard lock(vars_mutex_);
        vars.swap(vars_);
        globals.swap(globals_);
    }
    vars.clear();
    globals.clear();
    {
        std::lock_guard lock(functions_mutex_);
        functions_.clear();
    }

    const FramePoolStats stats = PoolStats();
    if (stats.frames_referenced > 0) {
        // Some handle outlives the environment. Freeing the pool would turn its eventual release
        // into a write to freed memory, and the holder may be a plug-in clip whose code would
        // vanish with its library, so both are left in place.
        std::fprintf(stderr,
                     "dunmorel server: %zu frame(s) still referenced at shutdown; the frame pool "
                     "and the plug-in libraries are kept\n",
                     stats.frames_referenced);
        for (auto& entry : pool_) static_cast<void>(entry.release());
        for (auto& plugin : plugins_) static_cast<void>(plugin.release());
    }
    pool_.clear();
    while (!plugins_.empty()) plugins_.pop_back();  // closed in reverse order of loading
}

// ---------------------------------------------------------------------------------------------
// Strings and errors

std::string Environment::Format(const char* fmt, va_list val) {
    if (fmt == nullptr) return std::string();
    va_list copy;
    va_copy(copy, val);
    const int needed = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (needed < 0) return std::string(fmt);
    std::string out(static_cast<std::size_t>(needed), '\0');
    std::vsnprintf(out.data(), out.size() + 1, fmt, val);
    return out;
}

char* Environment::Store(std::string text) {
    auto copy = std::make_unique<char[]>(text.size() + 1);
    std::memcpy(copy.get(), text.c_str(), text.size() + 1);
    std::lock_guard lock(strings_mutex_);
    strings_.push_back(std::move(copy));
    return strings_.back().get();
}

char* Environment::SaveString(const char* s, int length) {
    if (s == nullptr) return nullptr;
    const std::size_t n = length < 0 ? std::strlen(s) : static_cast<std::size_t>(length);
    return Store(std::string(s, n));
}

// va_end is skipped only if formatting runs out of memory; it does nothing on the targeted ABIs.
char* Environment::Sprintf(const char* fmt, ...) {
    va_list val;
    va_start(val, fmt);
    char* text = VSprintf(fmt, val);
    va_end(val);
    return text;
}

char* Environment::VSprintf(const char* fmt, va_list val) { return Store(Format(fmt, val)); }

void Environment::ThrowError(const char* fmt, ...) {
    va_list val;
    va_start(val, fmt);
    const char* text = VSprintf(fmt, val);
    va_end(val);
    throw AvisynthError(text);
}

// ---------------------------------------------------------------------------------------------
// Functions and argument binding

void Environment::AddFunction(const char* name, const char* params, ApplyFunc apply, void* user_data) {
    if (name == nullptr || *name == '\0') ThrowError("AddFunction: a function needs a name");
    if (apply == nullptr) ThrowError("AddFunction(\"%s\"): no create function", name);
    FunctionInfo info{name, params ? params : "", {}, apply, user_data};
    try {
        info.parameters = ParseSignature(info.params);
    } catch (const ServerError& e) {
        ThrowError("AddFunction(\"%s\"): bad signature \"%s\": %s", name, info.params.c_str(), e.what());
    }
    std::lock_guard lock(functions_mutex_);
    functions_[Lower(name)] = std::move(info);
}

bool Environment::FunctionExists(const char* name) { return name != nullptr && Lookup(name).has_value(); }

std::optional<FunctionInfo> Environment::Lookup(const std::string& name) const {
    std::lock_guard lock(functions_mutex_);
    const auto it = functions_.find(Lower(name));
    if (it == functions_.end()) return std::nullopt;
    return it->second;
}

std::optional<FunctionInfo> Environment::FindFunction(const std::string& name) const { return Lookup(name); }

bool Environment::Bind(const FunctionInfo& fn, const std::vector<std::pair<const char*, AVSValue>>& args,
                       std::vector<AVSValue>& bound, std::string& error) {
    const std::vector<Parameter>& ps = fn.parameters;
    bound.assign(ps.size(), AVSValue());
    std::vector<bool> given(ps.size(), false);
    std::size_t next_positional = 0;
    for (const auto& [name, value] : args) {
        std::size_t index = 0;
        if (name == nullptr) {
            if (next_positional >= ps.size()) {
                error = fn.name + ": too many arguments (it takes at most " + std::to_string(ps.size()) + ")";
                return false;
            }
            index = next_positional++;
        } else {
            // The name is copied into the lambda: clang before 16 cannot capture a structured
            // binding.
            const auto it = std::find_if(ps.begin(), ps.end(), [wanted = name](const Parameter& p) {
                return !p.name.empty() && SameName(p.name, wanted);
            });
            if (it == ps.end()) {
                error = fn.name + ": unknown argument name \"" + name + "\"";
                return false;
            }
            index = static_cast<std::size_t>(it - ps.begin());
        }
        if (given[index]) {
            error = fn.name + ": " + Label(ps[index], index) + " given twice";
            return false;
        }
        if (!Accepts(ps[index], value)) {
            error = fn.name + ": " + Label(ps[index], index) + " expects " + ParameterTypeName(ps[index].type) +
                    ", got " + ValueTypeName(value);
            return false;
        }
        bound[index] = value;
        given[index] = true;
    }
    for (std::size_t i = 0; i < ps.size(); ++i) {
        if (!ps[i].optional && !given[i]) {
            error = fn.name + ": " + Label(ps[i], i) + " (" + ParameterTypeName(ps[i].type) + ") is required";
            return false;
        }
    }
    return true;
}

AVSValue Environment::Apply(const FunctionInfo& fn, std::vector<AVSValue>& bound) {
    const AVSValue args(bound.data(), static_cast<int>(bound.size()));
    AVSValue result = fn.apply(args, fn.user_data, this);
    if (ExtraClipRelease()) {
        // The faulty host's extra release of every top-level clip argument. A plug-in that
        // does not compensate loses one reference per call here.
        for (const AVSValue& v : bound) {
            if (!v.IsClip()) continue;
            IClip* clip = v.AsClip().get();
            if (clip) clip->Release();
        }
    }
    return result;
}

AVSValue Environment::Invoke(const char* name, const AVSValue args, const char* const* arg_names) {
    const std::optional<FunctionInfo> fn = Lookup(name ? name : "");
    if (!fn) throw NotFound();
    std::vector<std::pair<const char*, AVSValue>> list;
    if (args.IsArray()) {
        for (int i = 0; i < args.ArraySize(); ++i) list.emplace_back(arg_names ? arg_names[i] : nullptr, args[i]);
    } else if (args.Defined()) {
        list.emplace_back(arg_names ? arg_names[0] : nullptr, args);
    }
    std::vector<AVSValue> bound;
    std::string error;
    if (!Bind(*fn, list, bound, error)) ThrowError("%s", error.c_str());
    return Apply(*fn, bound);
}

AVSValue Environment::Call(const std::string& name, std::vector<AVSValue> positional,
                           std::vector<std::pair<std::string, AVSValue>> named) {
    const std::optional<FunctionInfo> fn = Lookup(name);
    if (!fn) throw ServerError("unknown function \"" + name + "\"");
    std::vector<std::pair<const char*, AVSValue>> list;
    list.reserve(positional.size() + named.size());
    for (const AVSValue& v : positional) list.emplace_back(nullptr, v);
    for (const auto& [n, v] : named) list.emplace_back(n.c_str(), v);
    std::vector<AVSValue> bound;
    std::string error;
    if (!Bind(*fn, list, bound, error)) throw ServerError(error);
    // The caller's vectors still hold their references while the function runs, as a script's
    // expression values would.
    return Apply(*fn, bound);
}

// ---------------------------------------------------------------------------------------------
// Variables

AVSValue Environment::GetVar(const char* name) {
    if (name != nullptr) {
        std::lock_guard lock(vars_mutex_);
        if (const auto it = vars_.find(name); it != vars_.end()) return it->second;
        if (const auto it = globals_.find(name); it != globals_.end()) return it->second;
    }
    throw NotFound();
}

namespace {
// A string value is copied into the environment: the caller's buffer may not outlive it.
bool SetIn(std::map<std::string, AVSValue>& map, const char* name, const AVSValue& val, Environment& env) {
    const AVSValue stored = val.IsString() ? AVSValue(env.SaveString(val.AsString())) : val;
    const auto [it, inserted] = map.insert_or_assign(name, stored);
    static_cast<void>(it);
    return inserted;
}
}  // namespace

// Both answer true when the variable is new and false when an existing one was replaced.
bool Environment::SetVar(const char* name, const AVSValue& val) {
    if (name == nullptr) ThrowError("SetVar: a variable needs a name");
    std::lock_guard lock(vars_mutex_);
    return SetIn(vars_, name, val, *this);
}

bool Environment::SetGlobalVar(const char* name, const AVSValue& val) {
    if (name == nullptr) ThrowError("SetGlobalVar: a variable needs a name");
    std::lock_guard lock(vars_mutex_);
    return SetIn(globals_, name, val, *this);
}

// Scripts are not evaluated here, so there is no context to push.
void Environment::PushContext(int) {}
void Environment::PopContext() {}

// ---------------------------------------------------------------------------------------------
// Frames

PVideoFrame Environment::NewVideoFrame(const VideoInfo& vi, int align) { return NewFrame(vi, align, 0); }

PVideoFrame Environment::NewFrame(const VideoInfo& vi, int align, int added_padding) {
    const std::string problem = FrameSizeProblem(vi.pixel_type, vi.width, vi.height);
    if (!problem.empty()) ThrowError("NewVideoFrame: %s", problem.c_str());
    if (added_padding < 0) ThrowError("NewVideoFrame: padding must not be negative");
    return Allocate(vi, align, FramePadding() + added_padding);
}

PVideoFrame Environment::Allocate(const VideoInfo& vi, int align, int padding) {
    int fill = -1;
    {
        std::lock_guard lock(settings_mutex_);
        fill = options_.new_frame_fill;
    }
    const FrameLayout layout = ComputeLayout(vi, align, padding);
    if (layout.data_size > std::numeric_limits<int>::max())
        ThrowError("NewVideoFrame: a %dx%d %s frame is too large", vi.width, vi.height, PixelTypeName(vi.pixel_type));
    const int size = static_cast<int>(layout.data_size);

    std::lock_guard lock(pool_mutex_);
    PoolEntry* entry = nullptr;
    // A pair is free once its buffer count is back at 0: the frame's release drops the buffer
    // last, so nothing touches the pair after that.
    for (const auto& e : pool_) {
        if (e->buffer.data_size == size && atomics::load(e->buffer.refcount) == 0 &&
            atomics::load(e->frame.refcount) == 0) {
            entry = e.get();
            ++frames_reused_;
            break;
        }
    }
    if (entry == nullptr) {
        auto fresh = std::make_unique<PoolEntry>();
        fresh->data = NewBuffer(static_cast<std::size_t>(size));
        fresh->buffer.data = fresh->data.get();
        fresh->buffer.data_size = size;
        fresh->frame.vfb = &fresh->buffer;
        pool_.push_back(std::move(fresh));
        entry = pool_.back().get();
    }
    ++frames_requested_;
    entry->vi = vi;
    entry->align = align;
    entry->padding = padding;
    VideoFrame& f = entry->frame;
    f.offset = layout.offset;
    f.pitch = layout.pitch;
    f.row_size = layout.row_size;
    f.height = layout.height;
    f.offsetU = layout.offset_u;
    f.offsetV = layout.offset_v;
    f.pitchUV = layout.pitch_uv;
    std::atomic_ref<long>(entry->buffer.refcount).store(1);
    if (fill >= 0) std::memset(entry->data.get(), fill, static_cast<std::size_t>(size));
    // The handle brings the frame's own count from 0 to 1: a fresh frame is 1/1, writable.
    return PVideoFrame(&f);
}

Environment::PoolEntry* Environment::FindEntry(const VideoFrame* frame) {
    std::lock_guard lock(pool_mutex_);
    for (const auto& e : pool_)
        if (&e->frame == frame) return e.get();
    return nullptr;
}

bool Environment::MakeWritable(PVideoFrame* pvf) {
    if (pvf == nullptr || !*pvf) ThrowError("MakeWritable: no frame");
    if ((*pvf)->IsWritable()) return false;
    const PoolEntry* entry = FindEntry(pvf->get());
    if (entry == nullptr) ThrowError("MakeWritable: the frame does not come from this server");
    // The entry's description stays put while the caller's handle keeps the frame alive. The
    // copy gets the original's geometry, whatever the environment's padding is by now.
    PVideoFrame copy = Allocate(entry->vi, entry->align, entry->padding);
    const VideoFrame& src = **pvf;
    const int planes[] = {PLANAR_Y, PLANAR_U, PLANAR_V};
    for (const int plane : planes) {
        if (plane != PLANAR_Y && src.GetPitch(PLANAR_U) == 0) break;
        BitBlt(copy->GetWritePtr(plane), copy->GetPitch(plane), src.GetReadPtr(plane), src.GetPitch(plane),
               src.GetRowSize(plane), src.GetHeight(plane));
    }
    *pvf = copy;
    return true;
}

void Environment::BitBlt(BYTE* dstp, int dst_pitch, const BYTE* srcp, int src_pitch, int row_size, int height) {
    if (height <= 0 || row_size <= 0) return;
    if (dst_pitch == row_size && src_pitch == row_size) {
        std::memcpy(dstp, srcp, static_cast<std::size_t>(row_size) * static_cast<std::size_t>(height));
        return;
    }
    for (int y = 0; y < height; ++y) {
        std::memcpy(dstp, srcp, static_cast<std::size_t>(row_size));
        dstp += dst_pitch;
        srcp += src_pitch;
    }
}

FramePoolStats Environment::PoolStats() const {
    FramePoolStats s;
    std::lock_guard lock(pool_mutex_);
    s.buffers_allocated = pool_.size();
    for (const auto& e : pool_) {
        const long frame_count = atomics::load(e->frame.refcount);
        const long buffer_count = atomics::load(e->buffer.refcount);
        if (frame_count > 0) ++s.frames_referenced;
        if (frame_count < 0 || buffer_count < 0) ++s.frames_over_released;
    }
    s.frames_requested = frames_requested_;
    s.frames_reused = frames_reused_;
    return s;
}

PVideoFrame Environment::Subframe(PVideoFrame, int, int, int, int) {
    ThrowError("Subframe is not supported by this server");
}

PVideoFrame Environment::SubframePlanar(PVideoFrame, int, int, int, int, int, int, int) {
    ThrowError("SubframePlanar is not supported by this server");
}

// ---------------------------------------------------------------------------------------------
// Settings and the rest of the services

int Environment::GetCPUFlags() {
    std::lock_guard lock(settings_mutex_);
    return options_.cpu_flags;
}

void Environment::AtExit(ShutdownFunc function, void* user_data) {
    if (function == nullptr) return;
    std::lock_guard lock(settings_mutex_);
    at_exit_.emplace_back(function, user_data);
}

void Environment::CheckVersion(int version) {
    if (version > kInterfaceVersion)
        ThrowError("Plug-in needs interface version %d; this server offers %d", version, kInterfaceVersion);
}

// 0 or less only asks; the value is remembered and answered, nothing is enforced.
int Environment::SetMemoryMax(int mem) {
    std::lock_guard lock(settings_mutex_);
    if (mem > 0) memory_max_ = mem;
    return memory_max_;
}

// Changing the process's working directory from inside a test run would affect every other
// test, so the request is declined (a host answers non-zero on failure).
int Environment::SetWorkingDir(const char*) { return 1; }

void* Environment::ManageCache(int key, void*) {
    if (key == kManageCacheExtraClipRelease && ExtraClipRelease()) return reinterpret_cast<void*>(1);
    return nullptr;
}

// 0 switches off, 1 on, anything else asks; the answer is the state before the call.
bool Environment::PlanarChromaAlignment(int key) {
    std::lock_guard lock(settings_mutex_);
    const bool previous = chroma_alignment_;
    if (key == 0) chroma_alignment_ = false;
    if (key == 1) chroma_alignment_ = true;
    return previous;
}

void Environment::SetFramePadding(int bytes) {
    if (bytes < 0) throw ServerError("frame padding must not be negative");
    std::lock_guard lock(settings_mutex_);
    options_.frame_padding = bytes;
}

int Environment::FramePadding() const {
    std::lock_guard lock(settings_mutex_);
    return options_.frame_padding;
}

void Environment::SetExtraClipRelease(bool enabled) {
    std::lock_guard lock(settings_mutex_);
    options_.extra_clip_release = enabled;
}

bool Environment::ExtraClipRelease() const {
    std::lock_guard lock(settings_mutex_);
    return options_.extra_clip_release;
}

// ---------------------------------------------------------------------------------------------
// Plug-ins

std::string Environment::LoadPlugin(const std::string& path) {
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        throw ServerError("cannot load plug-in \"" + path + "\": " + (why ? why : "unknown error"));
    }
    auto library = std::make_unique<PluginLibrary>(handle, path);
    dlerror();
    void* symbol = dlsym(handle, "AvisynthPluginInit2");
    if (symbol == nullptr) {
        const char* why = dlerror();
        throw ServerError("plug-in \"" + path + "\" has no AvisynthPluginInit2: " + (why ? why : "null symbol"));
    }
    // The entry point may register functions before it fails; they point into the library,
    // so from here on it stays loaded for the environment's lifetime.
    {
        std::lock_guard lock(plugins_mutex_);
        plugins_.push_back(std::move(library));
    }
    using InitFunc = const char* (*)(IScriptEnvironment*);
    const auto init = reinterpret_cast<InitFunc>(symbol);
    const char* description = nullptr;
    try {
        description = init(this);
    } catch (const AvisynthError& e) {
        throw ServerError("plug-in \"" + path + "\" failed to initialise: " + (e.msg ? e.msg : ""));
    }
    return description ? std::string(description) : std::string();
}

}  // namespace dunmorel::server
