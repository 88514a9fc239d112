#include "cli/output.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cli/options.h"

namespace dunmorel::cli {

namespace {

std::string error_text() { return std::strerror(errno); }

// Temporary files the signal handler removes. A run has at most an output and a preview open at
// once; the handler reads only lock-free atomics and fixed arrays, as a handler may.
struct TemporarySlot {
    std::atomic<bool> claimed{false};
    std::atomic<bool> live{false};
    char path[PATH_MAX + 1] = {};
};
TemporarySlot g_temporaries[4];

int claim_slot(const std::string& path) {
    if (path.size() > PATH_MAX) return -1;
    for (int i = 0; i < 4; ++i) {
        TemporarySlot& s = g_temporaries[i];
        bool expected = false;
        if (!s.claimed.compare_exchange_strong(expected, true)) continue;
        std::memcpy(s.path, path.c_str(), path.size() + 1);
        s.live.store(true, std::memory_order_release);
        return i;
    }
    return -1;
}

void release_slot(int slot) {
    if (slot < 0) return;
    g_temporaries[slot].live.store(false, std::memory_order_release);
    g_temporaries[slot].claimed.store(false, std::memory_order_release);
}

extern "C" void remove_temporaries_and_die(int signal_number) {
    for (TemporarySlot& s : g_temporaries)
        if (s.live.load(std::memory_order_acquire)) unlink(s.path);
    // The handler was installed to run once: the signal, raised again, ends the process as it
    // would have without us, and the shell sees the usual status.
    raise(signal_number);
}

std::string parent(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_name(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
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
    throw CliError("dunmorel: cannot follow the links of " + path + ": " + error_text());
}

// Where a new or replaced file at `path` lives: the directory made absolute, the name kept.
std::string place_of(const std::string& path) {
    const std::string followed = follow_links(path);
    char* dir = realpath(parent(followed).c_str(), nullptr);
    if (dir == nullptr) return followed;
    std::string place = dir;
    std::free(dir);
    if (place.back() != '/') place.push_back('/');
    place.append(base_name(followed));
    return place;
}

mode_t creation_mode() {
    // The process's umask can be read only by setting it; this runs on the main thread before
    // any file of the run is created.
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

bool g_closed_streams[3] = {};

}  // namespace

void reserve_standard_streams() {
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free number is this one: those below it are open by now.
        const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) close(null);
        g_closed_streams[fd] = true;
    }
}

bool standard_stream_was_closed(int fd) { return fd >= 0 && fd < 3 && g_closed_streams[fd]; }

std::string closed_standard_output() {
    return std::string("dunmorel: cannot write to standard output: ") + std::strerror(EBADF);
}

FileKey key_of(const std::string& path) {
    FileKey key;
    struct stat st {};
    if (path == "-") {
        if (fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode)) key.id = std::pair{st.st_dev, st.st_ino};
        key.place.push_back('-');
        return key;
    }
    if (stat(path.c_str(), &st) == 0) key.id = std::pair{st.st_dev, st.st_ino};
    key.place = place_of(path);
    return key;
}

bool same_file(const FileKey& a, const FileKey& b) {
    if (a.id && b.id) return *a.id == *b.id;
    return a.place == b.place && a.place != "-";
}

void refuse_clashes(const Options& options, const std::optional<std::pair<dev_t, ino_t>>& input) {
    struct Named {
        std::string role;
        std::string name;
        FileKey key;
    };
    std::vector<Named> outputs;
    if (!options.output.empty())
        outputs.push_back(
            {"output", options.output == "-" ? "standard output" : options.output, key_of(options.output)});
    if (options.preview) outputs.push_back({"preview", *options.preview, key_of(*options.preview)});
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        if (outputs[i].key.id && outputs[i].key.id == input)
            throw CliError("dunmorel: the " + outputs[i].role + " " + outputs[i].name +
                           " is the input file; write to another file");
        for (std::size_t j = 0; j < i; ++j)
            if (same_file(outputs[i].key, outputs[j].key))
                throw CliError("dunmorel: the " + outputs[j].role + " " + outputs[j].name + " and the " +
                               outputs[i].role + " " + outputs[i].name +
                               " are the same file; write them to different files");
    }
}

void remove_temporaries_on_signals() {
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        if (sigaction(signal_number, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = remove_temporaries_and_die;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND;
        sigaction(signal_number, &action, nullptr);
    }
}

std::unique_ptr<OutputSink> OutputSink::open(const std::string& path, const std::string& role) {
    if (path == "-") {
        if (standard_stream_was_closed(STDOUT_FILENO)) throw CliError(closed_standard_output());
        return std::unique_ptr<OutputSink>(new OutputSink(STDOUT_FILENO, "standard output", "", "", -1));
    }
    struct stat st {};
    const bool exists = stat(path.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode))
        throw CliError("dunmorel: cannot open " + role + " " + path + ": " + std::strerror(EISDIR));
    if (exists && !S_ISREG(st.st_mode)) {
        // A device or a pipe has no contents to keep and cannot be replaced by a rename.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) throw CliError("dunmorel: cannot open " + role + " " + path + ": " + error_text());
        return std::unique_ptr<OutputSink>(new OutputSink(fd, path, "", "", -1));
    }

    const std::string final_path = place_of(path);
    // The name stays within the file system's 255 bytes, however long the output's own is.
    std::string temporary = parent(final_path) + "/." + base_name(final_path).substr(0, 200) + ".part-XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) throw CliError("dunmorel: cannot open " + role + " " + path + ": " + error_text());
    // A replaced file keeps its permissions; a new one gets those any program would create.
    static_cast<void>(fchmod(fd, exists ? (st.st_mode & 07777) : creation_mode()));
    const int slot = claim_slot(temporary);
    return std::unique_ptr<OutputSink>(new OutputSink(fd, path, temporary, final_path, slot));
}

OutputSink::~OutputSink() { discard(); }

void OutputSink::write(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t put = ::write(fd_, bytes, size);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0)
            throw CliError("dunmorel: cannot write to " + name_ + ": " + std::strerror(put < 0 ? errno : EIO));
        bytes += put;
        size -= static_cast<std::size_t>(put);
    }
}

void OutputSink::finish() {
    if (fd_ == STDOUT_FILENO || fd_ < 0) return;
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) throw CliError("dunmorel: cannot write to " + name_ + ": " + error_text());
    if (temporary_.empty()) return;
    if (rename(temporary_.c_str(), final_path_.c_str()) != 0)
        throw CliError("dunmorel: cannot put the finished file in place as " + name_ + ": " + error_text());
    temporary_.clear();
    release_slot(slot_);
    slot_ = -1;
}

void OutputSink::discard() {
    if (fd_ >= 0 && fd_ != STDOUT_FILENO) close(fd_);
    fd_ = -1;
    // Only the file this sink made itself is ever removed.
    if (!temporary_.empty()) unlink(temporary_.c_str());
    temporary_.clear();
    release_slot(slot_);
    slot_ = -1;
}

}  // namespace dunmorel::cli
