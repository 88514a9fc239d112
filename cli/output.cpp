#include "cli/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "cli/options.h"

namespace dunmorel::cli {

std::unique_ptr<OutputSink> OutputSink::Open(const std::string& path,
                                             std::optional<std::pair<dev_t, ino_t>> input_identity) {
    if (path == "-") return std::unique_ptr<OutputSink>(new OutputSink(STDOUT_FILENO, path, "standard output", false));
    struct stat st {};
    const bool exists = stat(path.c_str(), &st) == 0;
    if (exists && input_identity && st.st_dev == input_identity->first && st.st_ino == input_identity->second)
        throw CliError("dunmorel: the output " + path + " is the input file; write to another file");
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw CliError("dunmorel: cannot open output " + path + ": " + std::strerror(errno));
    return std::unique_ptr<OutputSink>(new OutputSink(fd, path, path, !exists || S_ISREG(st.st_mode)));
}

OutputSink::~OutputSink() {
    if (fd_ >= 0 && fd_ != STDOUT_FILENO) close(fd_);
}

void OutputSink::Write(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t put = write(fd_, bytes, size);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0)
            throw CliError("dunmorel: cannot write to " + name_ + ": " + std::strerror(put < 0 ? errno : EIO));
        bytes += put;
        size -= static_cast<std::size_t>(put);
    }
}

void OutputSink::Finish() {
    if (fd_ == STDOUT_FILENO || fd_ < 0) return;
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) throw CliError("dunmorel: cannot write to " + name_ + ": " + std::strerror(errno));
}

void OutputSink::Discard() {
    if (fd_ >= 0 && fd_ != STDOUT_FILENO) {
        close(fd_);
        fd_ = -1;
    }
    if (removable_) unlink(path_.c_str());
    removable_ = false;
}

}  // namespace dunmorel::cli
