#include "cli/progress.h"

#include <cstdio>

namespace dunmorel::cli {

Progress::Progress(bool enabled, std::optional<int> total)
    : enabled_(enabled), total_(total), start_(std::chrono::steady_clock::now()), last_draw_(start_) {}

void Progress::update(int done) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_draw_ < std::chrono::milliseconds(200)) return;
    last_draw_ = now;
    draw(done);
}

void Progress::finish(int done) {
    if (!enabled_) return;
    draw(done);
    std::fputc('\n', stderr);
    drawn_ = false;
}

void Progress::abort() {
    if (enabled_ && drawn_) std::fputc('\n', stderr);
    drawn_ = false;
}

void Progress::draw(int done) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double fps = seconds > 0 ? done / seconds : 0.0;
    // \r and erase-to-end-of-line: each drawing replaces the last.
    if (total_)
        std::fprintf(stderr, "\rdunmorel: %d/%d frames, %.1f fps\x1b[K", done, *total_, fps);
    else
        std::fprintf(stderr, "\rdunmorel: %d frames, %.1f fps\x1b[K", done, fps);
    std::fflush(stderr);
    drawn_ = true;
}

}  // namespace dunmorel::cli
