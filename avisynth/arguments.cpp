#include "avisynth/arguments.h"

#include <new>

namespace dunmorel {

std::int32_t frame_area(const VideoInfo& vi) {
    // Kept to 32 bits like every other quantity of the checks; computed unsigned so that a
    // product beyond 2^31 wraps instead of being undefined.
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(vi.width) *
                                     static_cast<std::uint32_t>(vi.height));
}

ResolvedArguments resolve_arguments(const AVSValue& args, const VideoInfo& vi) {
    ResolvedArguments r;
    for (int i = 0; i < kArgumentCount; ++i) r.given[i] = args[i].Defined();

    auto int_or = [&](int index, std::int32_t fallback) {
        return args[index].IsInt() ? args[index].AsInt() : fallback;
    };
    auto bool_or = [&](int index, bool fallback) {
        return args[index].IsBool() ? args[index].AsBool() : fallback;
    };

    FilterArguments& v = r.values;
    v.xgrid = int_or(kXgrid, 5);
    v.ygrid = int_or(kYgrid, v.xgrid);
    v.print = bool_or(kPrint, false);
    v.limit = int_or(kLimit, 1);
    v.nf = int_or(kNf, 0);
    v.autow = bool_or(kAutow, true);
    v.minw = int_or(kMinw, frame_area(vi) / 64);
    // The window is only read while autow is false, when the checks require all four; an absent
    // one is passed on as 0 rather than whatever an undefined value happens to hold.
    v.lx = int_or(kLx, 0);
    v.rx = int_or(kRx, 0);
    v.ty = int_or(kTy, 0);
    v.by = int_or(kBy, 0);
    v.ry = int_or(kRy, 1);
    v.gu = int_or(kGu, 1);
    v.bv = int_or(kBv, 1);
    return r;
}

namespace {

bool bad_grid(std::int32_t grid) { return grid % 2 == 0 || grid < 3 || grid > 11; }

bool bad_strength(std::int32_t s) { return s > 500 || s < 0; }

// Exactly the five 8-bit formats. A bit-mask test would also pass 4:2:2, 4:4:4 and deeper
// formats that contain the same bits, and they would be filtered as if they were 4:2:0.
bool supported_pixel_type(int pixel_type) {
    return pixel_type == VideoInfo::CS_BGR24 || pixel_type == VideoInfo::CS_BGR32 ||
           pixel_type == VideoInfo::CS_YUY2 || pixel_type == VideoInfo::CS_YV12 ||
           pixel_type == VideoInfo::CS_I420;
}

}  // namespace

std::optional<ValidationFailure> validate_arguments(const ResolvedArguments& args,
                                                    const VideoInfo& vi) {
    const FilterArguments& a = args.values;
    const bool* given = args.given;
    // Differences of window edges are compared in 64 bits: in 32 bits a huge negative rx or by
    // wraps around and passes the checks with a window of nonsense size.
    using wide = std::int64_t;

    if (bad_grid(a.xgrid)) return ValidationFailure{1, "Dunmorel:xgrid should be odd positive number from 3 to 11"};
    if (given[kYgrid] && bad_grid(a.ygrid))
        return ValidationFailure{2, "Dunmorel:ygrid should be odd positive number from 3 to 11"};
    if (!supported_pixel_type(vi.pixel_type))
        return ValidationFailure{3, "Dunmorel:Only RGB32, RGB24 YUY2 and YV12 color formats are supported"};
    if (given[kLimit] && (a.limit > 20 || a.limit < 0))
        return ValidationFailure{4, "Dunmorel: limit must be between 0 and 20"};
    if ((given[kNf] && a.nf < 0) || wide{a.nf} > wide{vi.num_frames} - 1)
        return ValidationFailure{5, "Dunmorel:invalid nf being either -ve or beyond clip"};

    if (!a.autow) {
        if (!given[kLx] || !given[kRx] || !given[kTy] || !given[kBy])
            return ValidationFailure{6, "Dunmorel: lx, rx, ty, by must be defined as autoselect is not opted"};
        if (a.lx < a.xgrid) return ValidationFailure{7, "Dunmorel: lx must not be less than xgrid"};
        if (wide{a.lx} > wide{a.rx} - 8 * wide{a.xgrid})
            return ValidationFailure{8, "Dunmorel:rx must be more than lx by atleast 8 times xgrid"};
        if (wide{a.rx} > wide{vi.width} - a.xgrid - 1)
            return ValidationFailure{9, "Dunmorel:rx must not be more than  frame width -1 - xgrid"};
        if (a.ty < a.ygrid) return ValidationFailure{10, "Dunmorel: ty must not be less than ygrid"};
        if (wide{a.ty} > wide{a.by} - 8 * wide{a.ygrid})
            return ValidationFailure{11, "Dunmorel:by minus ty  be atleast 8 times ygrid"};
        if (wide{a.by} > wide{vi.height} - a.ygrid - 1)
            return ValidationFailure{12, "Dunmorel:by must not be more than  frame height -1- ygrid"};
    } else {
        const std::int32_t area = frame_area(vi);
        if (a.minw < area / 128 || a.minw > area / 16)
            return ValidationFailure{13, "Dunmorel:window size for auto select must be minimum %d and maximum %d",
                                     area / 128, area / 16};
        if (a.minw < 1024)
            return ValidationFailure{14, "Dunmorel:A very small frame dimension. Unsuitable for this process"};
    }

    if (given[kRy] && bad_strength(a.ry)) return ValidationFailure{15, "Dunmorel: ry  must be between 0 and 500"};
    if (given[kGu] && bad_strength(a.gu)) return ValidationFailure{16, "Dunmorel: gu  must be between 0 and 500"};
    if (given[kBv] && bad_strength(a.bv)) return ValidationFailure{17, "Dunmorel: bv  must be between 0 and 500"};
    if (given[kRy] && given[kGu] && given[kBv] && a.ry == 0 && a.gu == 0 && a.bv == 0)
        return ValidationFailure{18, "Dunmorel: ry, gu and bv are all set to zero"};
    return std::nullopt;
}

AVSValue DUNMOREL_CDECL CreateDunmorel(AVSValue args, void*, IScriptEnvironment* env) {
    VideoInfo vi;
    {
        PClip clip = args[kClip].AsClip();
        if (!clip) env->ThrowError("Dunmorel: a source clip is required");
        vi = clip->GetVideoInfo();
    }
    const ResolvedArguments resolved = resolve_arguments(args, vi);
    if (auto failure = validate_arguments(resolved, vi))
        env->ThrowError(failure->format, failure->first, failure->second);

    std::unique_ptr<DunmorelFilter> filter;
    try {
        filter = std::make_unique<DunmorelFilter>(args[kClip].AsClip(), resolved.values);
    } catch (const std::bad_alloc&) {
        // No message exists for this; the error still names the filter like every other one.
        env->ThrowError("Dunmorel: not enough memory for the calibration buffers");
    }
    AVSValue result(filter.release());

#if !defined(_MSC_VER)
    // A host built for the callee-destroys convention releases every top-level clip argument
    // once more after a create function returns. Under the caller-destroys convention used here
    // that release is one too many, so such a host (it says so through this cache key) is handed
    // the reference it will take back. Other hosts answer 0 and nothing changes.
    if (env->ManageCache(kManageCacheExtraClipRelease, nullptr) == reinterpret_cast<void*>(1)) {
        for (int i = 0; i < args.ArraySize(); ++i) {
            const PClip clip = args[i].AsClip();
            if (IClip* raw = clip.get()) raw->AddRef();
        }
    }
#endif
    return result;
}

}  // namespace dunmorel
