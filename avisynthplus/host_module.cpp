// The one platform-specific piece of the plug-in.
//
// Why the host's functions are looked up at load time instead of linked: on Linux a program
// such as ffmpeg (or our host test) opens the core with dlopen(RTLD_LOCAL), so the core's avs_*
// symbols are not in the global scope and a plug-in left with undefined references to them
// fails on its first call. Linking the plug-in against libavisynth.so would fix that only for
// the one soname it was built against (libavisynth.so.12 today), and only where the core is
// installed at build time. On Windows the same holds for an import library of AviSynth.dll,
// which also ties the plug-in to that file name. The module whose code called the entry point
// is by definition the core that is loading us, whatever its name, soname or search path, so
// its own exports are exactly the functions to call. A core linked statically into a program
// is found through the global scope instead.
#include "avisynthplus/host_module.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace dunmorel::avsc {

namespace {

#if defined(_WIN32)

// A module handle taken without a reference: the core stays loaded while it runs our code.
class Module {
public:
    static Module containing(const void* address) {
        HMODULE handle = nullptr;
        if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                static_cast<LPCSTR>(address), &handle))
            handle = nullptr;
        return Module(handle);
    }
    static Module global() { return Module(GetModuleHandleA("AviSynth.dll")); }

    void* symbol(const char* name) const {
        return handle_ ? reinterpret_cast<void*>(GetProcAddress(handle_, name)) : nullptr;
    }

private:
    explicit Module(HMODULE handle) : handle_(handle) {}
    HMODULE handle_ = nullptr;
};

#else

// A reference to an already loaded object (RTLD_NOLOAD never loads anything), given back when
// the lookup is done; the core outlives every plug-in it loads.
class Module {
public:
    static Module containing(const void* address) {
        Dl_info info{};
        if (!dladdr(address, &info) || !info.dli_fname || !*info.dli_fname) return Module(nullptr);
        return Module(dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD));
    }
    static Module global() { return Module(dlopen(nullptr, RTLD_LAZY)); }
    ~Module() {
        if (handle_) dlclose(handle_);
    }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    void* symbol(const char* name) const { return handle_ ? dlsym(handle_, name) : nullptr; }

private:
    explicit Module(void* handle) : handle_(handle) {}
    void* handle_ = nullptr;
};

#endif

const char* fill(const Module& module, Api& api) {
#define DUNMOREL_AVSC_LOOKUP(member, name, type)              \
    api.member = reinterpret_cast<type>(module.symbol(name)); \
    if (!api.member) return name;
    DUNMOREL_AVSC_FUNCTIONS(DUNMOREL_AVSC_LOOKUP)
#undef DUNMOREL_AVSC_LOOKUP
    return nullptr;
}

}  // namespace

const char* resolve_api(const void* caller, Api& api) {
    if (!fill(Module::containing(caller), api)) return nullptr;
    return fill(Module::global(), api);
}

}  // namespace dunmorel::avsc
