// Where the filtered frames go: a file or standard output.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace dunmorel::cli {

class OutputSink {
public:
    // Opens `path` for writing ("-" is standard output), truncating a file. Refuses a path that
    // names the input file itself (`input_identity`), since truncating it would destroy the input.
    // Throws CliError.
    static std::unique_ptr<OutputSink> Open(const std::string& path,
                                            std::optional<std::pair<dev_t, ino_t>> input_identity);
    ~OutputSink();
    OutputSink(const OutputSink&) = delete;
    OutputSink& operator=(const OutputSink&) = delete;

    // Throws CliError when the bytes cannot all be written.
    void Write(const void* data, std::size_t size);
    // Closes a file, reporting a late write error. Throws CliError.
    void Finish();
    // After a failure: a regular file that this run created or truncated is removed, so that
    // no half-written output is mistaken for a result. Standard output and devices stay.
    void Discard();

private:
    OutputSink(int fd, std::string path, std::string name, bool removable)
        : fd_(fd), path_(std::move(path)), name_(std::move(name)), removable_(removable) {}

    int fd_;
    std::string path_;
    std::string name_;
    bool removable_;
};

}  // namespace dunmorel::cli
