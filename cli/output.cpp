#include "cli/output.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cli/options.h"
#include "cli/platform.h"

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
        if (s.live.load(std::memory_order_acquire)) platform::remove_file(s.path);
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

bool g_closed_streams[3] = {};

}  // namespace

void reserve_standard_streams() {
    for (int fd = 0; fd < 3; ++fd) {
        if (!platform::descriptor_closed(fd)) continue;
        // The lowest free number is this one: those below it are open by now.
        const int null = ::open(platform::kNullDevice, fd == 0 ? O_RDONLY : O_WRONLY);
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
    if (path == "-") {
        const std::optional<platform::FileStatus> st = platform::status_of(STDOUT_FILENO);
        if (st && st->regular) key.id = st->id;
        key.place.push_back('-');
        return key;
    }
    if (const std::optional<platform::FileStatus> st = platform::status_of(path)) key.id = st->id;
    key.place = platform::place_of(path);
    return key;
}

bool same_file(const FileKey& a, const FileKey& b) {
    if (a.id && b.id) return *a.id == *b.id;
    return a.place == b.place && a.place != "-";
}

void refuse_clashes(const Options& options, const std::optional<platform::FileId>& input) {
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

void remove_temporaries_on_signals() { platform::on_termination_signals(remove_temporaries_and_die); }

std::unique_ptr<OutputSink> OutputSink::open(const std::string& path, const std::string& role) {
    if (path == "-") {
        if (standard_stream_was_closed(STDOUT_FILENO)) throw CliError(closed_standard_output());
        return std::unique_ptr<OutputSink>(new OutputSink(STDOUT_FILENO, "standard output", "", "", -1));
    }
    const std::optional<platform::FileStatus> st = platform::status_of(path);
    const bool exists = st.has_value();
    if (exists && st->directory)
        throw CliError("dunmorel: cannot open " + role + " " + path + ": " + std::strerror(EISDIR));
    if (exists && !st->regular) {
        // A device or a pipe has no contents to keep and cannot be replaced by a rename.
        const int fd = platform::open_for_writing(path);
        if (fd < 0) throw CliError("dunmorel: cannot open " + role + " " + path + ": " + error_text());
        return std::unique_ptr<OutputSink>(new OutputSink(fd, path, "", "", -1));
    }

    const std::string final_path = platform::place_of(path);
    // The name stays within the file system's 255 bytes, however long the output's own is.
    std::string temporary = parent(final_path) + "/." + base_name(final_path).substr(0, 200) + ".part-XXXXXX";
    // A replaced file keeps its permissions; a new one gets those any program would create.
    const int fd = platform::make_temporary(temporary, exists ? std::optional<unsigned>(st->mode) : std::nullopt);
    if (fd < 0) throw CliError("dunmorel: cannot open " + role + " " + path + ": " + error_text());
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
    if (!platform::replace_file(temporary_, final_path_))
        throw CliError("dunmorel: cannot put the finished file in place as " + name_ + ": " + error_text());
    temporary_.clear();
    release_slot(slot_);
    slot_ = -1;
}

void OutputSink::discard() {
    if (fd_ >= 0 && fd_ != STDOUT_FILENO) close(fd_);
    fd_ = -1;
    // Only the file this sink made itself is ever removed.
    if (!temporary_.empty()) platform::remove_file(temporary_.c_str());
    temporary_.clear();
    release_slot(slot_);
    slot_ = -1;
}

}  // namespace dunmorel::cli
