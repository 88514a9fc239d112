// A stand-in frame server: an IScriptEnvironment that loads a 2.5 plug-in, binds script-style
// arguments to the functions it registers, and hands out frames from a pool that it owns, with
// the reference-count behaviour of a real host.
//
// Lifetime rule for callers: every handle obtained through an Environment (PClip, PVideoFrame,
// AVSValue holding a clip, and any MemoryClip) must be destroyed before the Environment itself.
// Declaring the Environment first in a scope gives that order for free. Clips made by a plug-in
// run code inside the plug-in's library, which the Environment closes when it goes; frames live
// in its pool. If frames are still referenced at destruction, the Environment reports it on
// stderr and leaves the pool and the libraries in place (a leak) rather than free memory that
// live handles still point to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "avisynth/interface.h"

namespace dunmorel::server {

// Failures of the server's own API (loading, argument binding, raw data), as opposed to
// AvisynthError, which is what ThrowError raises on behalf of a plug-in or the host services.
class ServerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct EnvironmentOptions {
    // Bytes added to the pitch of every frame that NewVideoFrame hands out, so that tests can
    // make work frames whose pitch differs from a source's. Must be 0 or more.
    int frame_padding = 0;
    // Emulates the host that releases each top-level clip argument once more after a create
    // function returns: ManageCache(kManageCacheExtraClipRelease) then answers 1.
    bool extra_clip_release = false;
    // 0..255: every frame from the pool is filled with this byte before it is handed out, so
    // that samples a filter forgets to write stand out. -1 leaves the contents as they were.
    int new_frame_fill = -1;
    // The answer of GetCPUFlags; -1 detects the running processor.
    int cpu_flags = -1;
};

// One parameter of a registered signature.
struct Parameter {
    char type;  // 'c', 'i', 'b', 'f', 's' or '.' (any value)
    std::string name;  // empty for an unnamed parameter
    bool optional;  // true for "[name]x"
};

struct FunctionInfo {
    std::string name;
    std::string params;  // the signature string exactly as registered
    std::vector<Parameter> parameters;
    IScriptEnvironment::ApplyFunc apply;
    void* user_data;
};

struct FramePoolStats {
    std::size_t buffers_allocated = 0;  // frame/buffer pairs the pool owns
    std::size_t frames_referenced = 0;  // pairs whose frame count is above 0
    std::size_t frames_over_released = 0;  // counts below 0: some handle was released twice
    std::size_t frames_requested = 0;  // frames handed out since construction
    std::size_t frames_reused = 0;  // of those, served from a recycled buffer
};

// Parses a signature such as "c[xgrid]i[print]b". Returns the parameters or throws
// ServerError naming the fault. The repetition suffixes '*' and '+' are not supported.
std::vector<Parameter> ParseSignature(const std::string& params);

class Environment final : public IScriptEnvironment {
public:
    explicit Environment(EnvironmentOptions options = {});
    ~Environment() override;
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

    // --- the plug-in interface ---
    int DUNMOREL_STDCALL GetCPUFlags() override;
    char* DUNMOREL_STDCALL SaveString(const char* s, int length = -1) override;
    char* DUNMOREL_CDECL Sprintf(const char* fmt, ...) override;
    char* DUNMOREL_STDCALL VSprintf(const char* fmt, va_list val) override;
    [[noreturn]] void DUNMOREL_CDECL ThrowError(const char* fmt, ...) override;
    void DUNMOREL_STDCALL AddFunction(const char* name, const char* params, ApplyFunc apply, void* user_data) override;
    bool DUNMOREL_STDCALL FunctionExists(const char* name) override;
    // As a host does: an unknown function throws IScriptEnvironment::NotFound, arguments that
    // do not fit the signature raise an AvisynthError through ThrowError. `args` is an array of
    // arguments, a single argument, or an undefined value for none; `arg_names`, if given, has
    // one entry per argument, null for a positional one.
    AVSValue DUNMOREL_STDCALL Invoke(const char* name, const AVSValue args,
                                     const char* const* arg_names = nullptr) override;
    AVSValue DUNMOREL_STDCALL GetVar(const char* name) override;
    bool DUNMOREL_STDCALL SetVar(const char* name, const AVSValue& val) override;
    bool DUNMOREL_STDCALL SetGlobalVar(const char* name, const AVSValue& val) override;
    void DUNMOREL_STDCALL PushContext(int level = 0) override;
    void DUNMOREL_STDCALL PopContext() override;
    PVideoFrame DUNMOREL_STDCALL NewVideoFrame(const VideoInfo& vi, int align = FRAME_ALIGN) override;
    bool DUNMOREL_STDCALL MakeWritable(PVideoFrame* pvf) override;
    void DUNMOREL_STDCALL BitBlt(BYTE* dstp, int dst_pitch, const BYTE* srcp, int src_pitch, int row_size,
                                 int height) override;
    void DUNMOREL_STDCALL AtExit(ShutdownFunc function, void* user_data) override;
    void DUNMOREL_STDCALL CheckVersion(int version = AVISYNTH_INTERFACE_VERSION) override;
    PVideoFrame DUNMOREL_STDCALL Subframe(PVideoFrame src, int rel_offset, int new_pitch, int new_row_size,
                                          int new_height) override;
    int DUNMOREL_STDCALL SetMemoryMax(int mem) override;
    int DUNMOREL_STDCALL SetWorkingDir(const char* newdir) override;
    void* DUNMOREL_STDCALL ManageCache(int key, void* data) override;
    bool DUNMOREL_STDCALL PlanarChromaAlignment(int key) override;
    PVideoFrame DUNMOREL_STDCALL SubframePlanar(PVideoFrame src, int rel_offset, int new_pitch, int new_row_size,
                                                int new_height, int rel_offsetU, int rel_offsetV,
                                                int new_pitchUV) override;

    // --- the server's own API ---

    // Loads a plug-in and runs its AvisynthPluginInit2; returns the description it gives.
    // The library stays loaded until the Environment is destroyed. Throws ServerError when the
    // file cannot be loaded, lacks the entry point, or the entry point raises an error.
    std::string LoadPlugin(const std::string& path);

    // Calls a registered function the way a script would. Lookup and binding failures throw
    // ServerError; errors raised by the create function itself (AvisynthError) pass unchanged.
    AVSValue Call(const std::string& name, std::vector<AVSValue> positional = {},
                  std::vector<std::pair<std::string, AVSValue>> named = {});

    std::optional<FunctionInfo> FindFunction(const std::string& name) const;

    // NewVideoFrame with `added_padding` bytes on top of the environment's own padding; sources
    // use it to hand out frames whose pitch differs from the filter's work frames.
    PVideoFrame NewFrame(const VideoInfo& vi, int align, int added_padding);

    FramePoolStats PoolStats() const;
    std::size_t ReferencedFrameCount() const { return PoolStats().frames_referenced; }
    std::size_t BufferCount() const { return PoolStats().buffers_allocated; }

    void SetFramePadding(int bytes);
    int FramePadding() const;
    void SetExtraClipRelease(bool enabled);
    bool ExtraClipRelease() const;

private:
    struct PoolEntry;
    struct PluginLibrary;
    struct BoundCall;

    std::string Format(const char* fmt, va_list val);
    char* Store(std::string text);
    std::optional<FunctionInfo> Lookup(const std::string& name) const;
    // Binds the arguments; on failure returns false and leaves the reason in `error`.
    static bool Bind(const FunctionInfo& fn, const std::vector<std::pair<const char*, AVSValue>>& args,
                     std::vector<AVSValue>& bound, std::string& error);
    AVSValue Apply(const FunctionInfo& fn, std::vector<AVSValue>& bound);
    PoolEntry* FindEntry(const VideoFrame* frame);
    // A frame of vi's format whose pitch carries `padding` bytes in all (environment's included).
    PVideoFrame Allocate(const VideoInfo& vi, int align, int padding);

    mutable std::mutex strings_mutex_;
    std::vector<std::unique_ptr<char[]>> strings_;

    mutable std::mutex functions_mutex_;
    std::map<std::string, FunctionInfo> functions_;  // keyed by lower-case name

    mutable std::mutex vars_mutex_;
    std::map<std::string, AVSValue> vars_;
    std::map<std::string, AVSValue> globals_;

    mutable std::mutex pool_mutex_;
    std::vector<std::unique_ptr<PoolEntry>> pool_;
    std::size_t frames_requested_ = 0;
    std::size_t frames_reused_ = 0;

    mutable std::mutex settings_mutex_;
    EnvironmentOptions options_;
    int memory_max_ = 4096;
    bool chroma_alignment_ = true;
    std::vector<std::pair<ShutdownFunc, void*>> at_exit_;

    std::mutex plugins_mutex_;
    std::vector<std::unique_ptr<PluginLibrary>> plugins_;
};

}  // namespace dunmorel::server
