// The progress line on standard error: frames done, of how many when known, frames per second.
#pragma once

#include <chrono>
#include <optional>

namespace dunmorel::cli {

class Progress {
public:
    // Shown only when `enabled` (not quiet, and standard error is a terminal).
    Progress(bool enabled, std::optional<int> total);
    // Redraws at most a few times a second.
    void update(int done);
    // Draws the final count and ends the line.
    void finish(int done);
    // Ends the line as it stands, so that a message printed next stands on a line of its own.
    void abort();

private:
    void draw(int done);

    bool enabled_;
    std::optional<int> total_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace dunmorel::cli
