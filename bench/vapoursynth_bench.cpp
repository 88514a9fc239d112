// The filter inside a real VapourSynth core beside the core's own 5x5 filters, on the same clip in
// the same run: a raw 1080p yuv420p clip, all planes filtered, frames requested as a script's
// output would be (several in flight on the core's threads).
//
//   vapoursynth_bench CORE_LIBRARY PLUGIN CLIP.yuv [FRAMES] [THREADS]
//
// Prints, per filter, the wall and CPU time of the whole request, best of three taken in turn,
// and each filter's speed against std.BoxBlur 5x5.
// Clearing the caches between rounds came with API 4.1.
#define VS_USE_API_41 1
#include <VapourSynth4.h>
#include <dlfcn.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

const VSAPI* api = nullptr;

// Frames read once and handed out by reference, so that the source costs next to nothing.
struct Source {
    VSVideoInfo vi{};
    std::vector<const VSFrame*> frames;
};

const VSFrame* VS_CC source_frame(int n, int reason, void* data, void**, VSFrameContext*, VSCore*, const VSAPI* vsapi) {
    if (reason != arInitial) return nullptr;
    auto* s = static_cast<Source*>(data);
    return vsapi->addFrameRef(s->frames[static_cast<std::size_t>(n) % s->frames.size()]);
}

void VS_CC source_free(void* data, VSCore*, const VSAPI* vsapi) {
    auto* s = static_cast<Source*>(data);
    for (const VSFrame* f : s->frames) vsapi->freeFrame(f);
    delete s;
}

// The frames of a raw 1920x1080 yuv420p file, all held in memory.
VSNode* file_source(VSCore* core, const char* path, int width, int height, int& frames) {
    auto* s = new Source;
    api->queryVideoFormat(&s->vi.format, cfYUV, stInteger, 8, 1, 1, core);
    s->vi.width = width;
    s->vi.height = height;
    s->vi.fpsNum = 25;
    s->vi.fpsDen = 1;
    std::FILE* file = std::fopen(path, "rb");
    if (!file) {
        std::fprintf(stderr, "cannot open %s\n", path);
        std::exit(1);
    }
    for (bool more = true; more && static_cast<int>(s->frames.size()) < frames;) {
        VSFrame* f = api->newVideoFrame(&s->vi.format, width, height, nullptr, core);
        for (int p = 0; p < s->vi.format.numPlanes && more; ++p) {
            const int w = api->getFrameWidth(f, p), h = api->getFrameHeight(f, p);
            std::uint8_t* row = api->getWritePtr(f, p);
            for (int r = 0; r < h && more; ++r, row += api->getStride(f, p))
                more = std::fread(row, 1, static_cast<std::size_t>(w), file) == static_cast<std::size_t>(w);
        }
        if (more)
            s->frames.push_back(f);
        else
            api->freeFrame(f);
    }
    std::fclose(file);
    if (s->frames.empty()) {
        std::fprintf(stderr, "%s holds no whole %dx%d frame\n", path, width, height);
        std::exit(1);
    }
    frames = s->vi.numFrames = static_cast<int>(s->frames.size());
    VSMap* out = api->createMap();
    api->createVideoFilter(out, "FileSource", &s->vi, source_frame, source_free, fmParallel, nullptr, 0, s, core);
    VSNode* node = api->mapGetNode(out, "clip", 0, nullptr);
    api->freeMap(out);
    return node;
}

VSNode* invoke(VSPlugin* plugin, const char* name, VSMap* args) {
    VSMap* out = api->invoke(plugin, name, args);
    api->freeMap(args);
    if (const char* e = api->mapGetError(out)) {
        std::fprintf(stderr, "%s: %s\n", name, e);
        std::exit(1);
    }
    VSNode* node = api->mapGetNode(out, "clip", 0, nullptr);
    api->freeMap(out);
    return node;
}

VSMap* with_clip(VSNode* clip) {
    VSMap* args = api->createMap();
    api->mapSetNode(args, "clip", clip, maReplace);
    return args;
}

// Every frame of `node`, at most `in_flight` requested at once, as a script's output is read.
class Requests {
public:
    Requests(VSNode* node, int frames, int in_flight) : node_(node), frames_(frames), in_flight_(in_flight) {}

    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (int i = 0; i < in_flight_ && next_ < frames_; ++i) request();
        done_cv_.wait(lock, [&] { return finished_ == frames_; });
        if (!error_.empty()) {
            std::fprintf(stderr, "frame error: %s\n", error_.c_str());
            std::exit(1);
        }
    }

private:
    void request() { api->getFrameAsync(next_++, node_, done, this); }

    static void VS_CC done(void* data, const VSFrame* f, int, VSNode*, const char* error) {
        auto* self = static_cast<Requests*>(data);
        std::lock_guard<std::mutex> lock(self->mutex_);
        if (error && self->error_.empty()) self->error_ = error;
        api->freeFrame(f);
        ++self->finished_;
        if (self->next_ < self->frames_) self->request();
        if (self->finished_ == self->frames_) self->done_cv_.notify_one();
    }

    VSNode* node_;
    int frames_, in_flight_, next_ = 0, finished_ = 0;
    std::string error_;
    std::mutex mutex_;
    std::condition_variable done_cv_;
};

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

struct Row {
    const char* name;
    VSNode* node;
    double wall = 1e30, cpu = 1e30;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s CORE_LIBRARY PLUGIN CLIP.yuv [FRAMES] [THREADS]\n", argv[0]);
        return 2;
    }
    int frames = argc > 4 ? std::atoi(argv[4]) : 60;
    const int threads = argc > 5 ? std::atoi(argv[5]) : 2;
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    auto get = lib ? reinterpret_cast<VSGetVapourSynthAPI>(dlsym(lib, "getVapourSynthAPI")) : nullptr;
    api = get ? get(VAPOURSYNTH_API_VERSION) : nullptr;
    if (!api) {
        std::fprintf(stderr, "cannot open the VapourSynth core %s\n", argv[1]);
        return 1;
    }
    VSCore* core = api->createCore(ccfDisableAutoLoading);
    api->setThreadCount(threads, core);
    VSPlugin* std_plugin = api->getPluginByID("com.vapoursynth.std", core);
    VSMap* load = api->createMap();
    api->mapSetData(load, "path", argv[2], -1, dtUtf8, maReplace);
    VSMap* loaded = api->invoke(std_plugin, "LoadPlugin", load);
    if (const char* e = api->mapGetError(loaded)) {
        std::fprintf(stderr, "LoadPlugin: %s\n", e);
        return 1;
    }
    api->freeMap(loaded);
    api->freeMap(load);

    VSNode* source = file_source(core, argv[3], 1920, 1080, frames);
    VSMap* box = with_clip(source);
    api->mapSetInt(box, "hradius", 2, maReplace);
    api->mapSetInt(box, "vradius", 2, maReplace);
    VSMap* conv = with_clip(source);
    for (int i = 0; i < 25; ++i) api->mapSetFloat(conv, "matrix", 1.0, maAppend);
    std::vector<Row> rows{
        {"dunmorel.Dunmorel", invoke(api->getPluginByNamespace("dunmorel", core), "Dunmorel", with_clip(source))},
        {"std.BoxBlur 5x5", invoke(std_plugin, "BoxBlur", box)},
        {"std.Convolution 5x5", invoke(std_plugin, "Convolution", conv)},
    };
    for (int round = 0; round < 3; ++round)
        for (Row& row : rows) {
            api->clearCoreCaches(core);
            const double cpu = cpu_seconds();
            const auto start = std::chrono::steady_clock::now();
            Requests(row.node, frames, threads * 2).run();
            const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
            row.wall = std::min(row.wall, wall.count());
            row.cpu = std::min(row.cpu, cpu_seconds() - cpu);
        }
    std::printf("VapourSynth core, 1080p YUV420P8, %d frames, %d threads, best of 3 each\n", frames, threads);
    std::printf("%-22s %8s %8s %8s  %s\n", "filter", "wall s", "CPU s", "fps", "this against std.BoxBlur 5x5");
    for (const Row& row : rows)
        std::printf("%-22s %8.3f %8.3f %8.1f  %.2fx (wall) %.2fx (CPU)\n", row.name, row.wall, row.cpu,
                    frames / row.wall, rows[1].wall / row.wall, rows[1].cpu / row.cpu);
    for (Row& row : rows) api->freeNode(row.node);
    api->freeNode(source);
    api->freeCore(core);
    return 0;
}
