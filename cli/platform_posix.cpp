#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/options.h"
#include "cli/platform.h"

namespace dunmorel::cli::platform {

namespace {

constexpr std::size_t kHugePage = std::size_t{1} << 21;

FileStatus status_from(const struct stat& st) {
    FileStatus s;
    s.directory = S_ISDIR(st.st_mode);
    s.regular = S_ISREG(st.st_mode);
    s.size = st.st_size;
    s.mode = st.st_mode & 07777;
    s.id = FileId{st.st_dev, st.st_ino};
    return s;
}

std::string parent(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The path with every symbolic link at its end followed, also one that points at nothing yet,
// which is where opening it for writing would create the file.
std::string follow_links(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        char target[PATH_MAX + 1];
        const ssize_t size = readlink(path.c_str(), target, PATH_MAX);
        if (size < 0) return path;
        const std::string link(target, static_cast<std::size_t>(size));
        path = link.front() == '/' ? link : parent(path) + "/" + link;
    }
    errno = ELOOP;
    throw CliError("dunmorel: cannot follow the links of " + path + ": " + std::strerror(errno));
}

mode_t creation_mode() {
    // The process's umask can be read only by setting it; this runs on the main thread before
    // any file of the run is created.
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

}  // namespace

const char* const kNullDevice = "/dev/null";

std::optional<FileStatus> status_of(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return std::nullopt;
    return status_from(st);
}

std::optional<FileStatus> status_of(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return std::nullopt;
    return status_from(st);
}

int open_for_reading(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }
int open_for_writing(const std::string& path) { return ::open(path.c_str(), O_WRONLY | O_CLOEXEC); }
std::int64_t position_of(int fd) { return lseek(fd, 0, SEEK_CUR); }

std::int64_t read_at(int fd, void* out, std::size_t size, std::int64_t offset) {
    return pread(fd, out, size, static_cast<off_t>(offset));
}

std::int64_t write_at(int fd, const void* data, std::size_t size, std::int64_t offset) {
    return pwrite(fd, data, size, static_cast<off_t>(offset));
}

int make_temporary(std::string& path, std::optional<unsigned> mode) {
    const int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd >= 0) static_cast<void>(fchmod(fd, mode ? static_cast<mode_t>(*mode) : creation_mode()));
    return fd;
}

bool replace_file(const std::string& from, const std::string& to) { return rename(from.c_str(), to.c_str()) == 0; }
bool remove_file(const char* path) { return unlink(path) == 0; }

std::string place_of(const std::string& path) {
    const std::string followed = follow_links(path);
    char* dir = realpath(parent(followed).c_str(), nullptr);
    if (dir == nullptr) return followed;
    std::string place = dir;
    std::free(dir);
    if (place.back() != '/') place.push_back('/');
    const std::size_t slash = followed.find_last_of('/');
    place.append(slash == std::string::npos ? followed : followed.substr(slash + 1));
    return place;
}

bool descriptor_closed(int fd) { return fcntl(fd, F_GETFD) < 0 && errno == EBADF; }

void prepare_standard_streams() { std::signal(SIGPIPE, SIG_IGN); }

void on_termination_signals(void (*handler)(int)) {
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        if (sigaction(signal_number, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = handler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND;
        sigaction(signal_number, &action, nullptr);
    }
}

void* allocate_frame(std::size_t size) {
    // Smaller buffers would waste most of a huge page; they take the ordinary heap.
    if (size < kHugePage) return std::malloc(size == 0 ? 1 : size);
    if (size > SIZE_MAX - kHugePage) return nullptr;
    const std::size_t whole = (size + kHugePage - 1) / kHugePage * kHugePage;
    void* p = nullptr;
    if (posix_memalign(&p, kHugePage, whole) != 0) return nullptr;
#ifdef MADV_HUGEPAGE
    // Only advice: where huge pages are off the buffer works as before.
    madvise(p, whole, MADV_HUGEPAGE);
#endif
    return p;
}

void free_frame(void* p) { std::free(p); }

}  // namespace dunmorel::cli::platform
