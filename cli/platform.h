// The few operating-system calls the command makes that differ between Linux and Windows. Each
// reports a failure the C way (a negative result or an empty optional, with errno set), so that
// the callers word every message the same on both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace dunmorel::cli::platform {

// Which file an open file or a path is: device and inode on Linux, volume serial number and
// file index on Windows.
using FileId = std::pair<std::uint64_t, std::uint64_t>;

struct FileStatus {
    bool directory = false;
    bool regular = false;
    std::int64_t size = 0;
    unsigned mode = 0;  // permission bits, kept by a file that is replaced
    std::optional<FileId> id;
};
std::optional<FileStatus> status_of(int fd);
std::optional<FileStatus> status_of(const std::string& path);

int open_for_reading(const std::string& path);
// For devices and pipes, which are written where they are.
int open_for_writing(const std::string& path);
std::int64_t position_of(int fd);
// One positioned read or write of up to `size` bytes, which leaves the file position alone and
// may run from several threads at once; 0 from a read is the end of the file.
std::int64_t read_at(int fd, void* out, std::size_t size, std::int64_t offset);
std::int64_t write_at(int fd, const void* data, std::size_t size, std::int64_t offset);

// Creates a new file from `path`, whose last six characters are XXXXXX and are replaced, with
// the permission bits `mode` or, without them, those a new file of any program would get.
int make_temporary(std::string& path, std::optional<unsigned> mode);
// Puts `from` in the place of `to`, over a file that is there.
bool replace_file(const std::string& from, const std::string& to);
bool remove_file(const char* path);

// Where a new or replaced file at `path` lives: links followed, the directory made absolute,
// the name kept, with '/' between the parts. Throws CliError when the links loop.
std::string place_of(const std::string& path);

// Memory for frame buffers of `size` bytes: null when there is none. Where the system gives
// huge pages on request, a buffer of a few megabytes is aligned to them and asks for them, so
// that touching it the first time costs a few page faults rather than one per 4 KiB (the faults
// of the command's eight fresh buffers took a fifth of a 60-frame 10-bit 1080p run).
void* allocate_frame(std::size_t size);
void free_frame(void* p);

// Whether descriptor fd was closed when the process started, and the device that stands in.
bool descriptor_closed(int fd);
extern const char* const kNullDevice;
// Standard input and output carry bytes as they are, and a reader that goes away shows up as a
// write error rather than ending the process.
void prepare_standard_streams();
// Runs `handler` once on an interrupt or a termination request, unless such signals are ignored.
void on_termination_signals(void (*handler)(int));

}  // namespace dunmorel::cli::platform
