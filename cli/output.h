// Where the command's results go: a file, a device or standard output. A file is written beside
// its final name and only renamed onto it once complete, so that an interrupted or failed run
// leaves whatever was there before, never a partial result.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "cli/platform.h"

namespace dunmorel::cli {

// What a path names, for telling whether two paths of one run are the same file: its device
// and inode when it exists, and the place it would be created at (symbolic links followed,
// directories made absolute) when it does not.
struct FileKey {
    std::optional<platform::FileId> id;
    std::string place;
};
// "-" is standard output, keyed by what it is redirected to.
FileKey key_of(const std::string& path);
bool same_file(const FileKey& a, const FileKey& b);

struct Options;

// Before anything is written: an output or a preview that is the input (`input` is its device
// identity, for a regular file), or both the same file, would destroy the input or lose one of
// the two. Throws CliError naming them.
void refuse_clashes(const Options& options, const std::optional<platform::FileId>& input);

// Installs handlers for SIGINT, SIGTERM and SIGHUP (on Windows Ctrl-C and Ctrl-Break; unless they are ignored) that remove every
// temporary file an unfinished OutputSink holds, then end the process by the same signal.
void remove_temporaries_on_signals();

// A process started with standard input, output or error closed would hand their numbers to
// the first files it opens, and then write its results into the input or leave an output
// unnamed. This points each closed one at the null device, to be called before anything is opened;
// a closed standard output still refuses every write, as it did while closed.
void reserve_standard_streams();
// Whether descriptor fd (0, 1 or 2) was closed when the command started.
bool standard_stream_was_closed(int fd);
// The message of a write to a standard output that was closed.
std::string closed_standard_output();

class OutputSink {
public:
    // Opens `path` for writing ("-" is standard output). A regular file, or a name that does
    // not exist yet, gets a temporary file in the same directory (through symbolic links, so
    // that a link keeps pointing at the result); devices and pipes are written directly.
    // Throws CliError, naming the file by `role` ("output", "preview").
    static std::unique_ptr<OutputSink> open(const std::string& path, const std::string& role = "output");
    // Without Finish, the temporary file goes.
    ~OutputSink();
    OutputSink(const OutputSink&) = delete;
    OutputSink& operator=(const OutputSink&) = delete;

    // Throws CliError when the bytes cannot all be written.
    void write(const void* data, std::size_t size);
    // Closes a file and puts it in place, reporting a late write error. Throws CliError.
    void finish();
    // After a failure: the temporary file is removed; what the path named before is untouched.
    void discard();

private:
    OutputSink(int fd, std::string name, std::string temporary, std::string final_path, int slot)
        : fd_(fd),
          name_(std::move(name)),
          temporary_(std::move(temporary)),
          final_path_(std::move(final_path)),
          slot_(slot) {}

    int fd_;
    std::string name_;
    std::string temporary_;  // empty when writing directly
    std::string final_path_;
    int slot_;  // the signal handler's record of temporary_, or -1
};

}  // namespace dunmorel::cli
