#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <random>

#include "cli/platform.h"

namespace dunmorel::cli::platform {

namespace {

// The C runtime's descriptors sit on Windows handles, which carry the file's identity.
std::optional<FileId> id_of(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return std::nullopt;
    return FileId{info.dwVolumeSerialNumber,
                  (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

FileStatus status_from(const struct _stat64& st) {
    FileStatus s;
    s.directory = (st.st_mode & _S_IFMT) == _S_IFDIR;
    s.regular = (st.st_mode & _S_IFMT) == _S_IFREG;
    s.size = st.st_size;
    s.mode = st.st_mode & 0777;
    return s;
}

std::wstring wide(const std::string& text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(std::max(n, 1)), L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, out.data(), n);
    out.resize(out.size() - 1);
    return out;
}

// Windows failures in the C runtime's words, for the messages.
void set_errno_from_last_error() {
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            errno = ENOENT;
            break;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            errno = EACCES;
            break;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            errno = ENOSPC;
            break;
        default:
            errno = EIO;
    }
}

OVERLAPPED at_offset(std::int64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    return at;
}

// A transfer's size fits a DWORD; the callers loop over the rest.
DWORD chunk(std::size_t size) { return static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30)); }

}  // namespace

const char* const kNullDevice = "NUL";

std::optional<FileStatus> status_of(int fd) {
    struct _stat64 st {};
    if (_fstat64(fd, &st) != 0) return std::nullopt;
    FileStatus s = status_from(st);
    s.id = id_of(reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
    return s;
}

std::optional<FileStatus> status_of(const std::string& path) {
    struct _stat64 st {};
    if (_stat64(path.c_str(), &st) != 0) return std::nullopt;
    FileStatus s = status_from(st);
    // Opened for its attributes only (and a directory needs backup semantics to be opened).
    const HANDLE handle = CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    s.id = id_of(handle);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    return s;
}

int open_for_reading(const std::string& path) { return _open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT); }
int open_for_writing(const std::string& path) { return _open(path.c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT); }
std::int64_t position_of(int fd) { return _lseeki64(fd, 0, SEEK_CUR); }

// ReadFile and WriteFile with an offset in OVERLAPPED are positioned on a handle opened for
// ordinary (synchronous) use too; Windows serialises them per handle.
std::int64_t read_at(int fd, void* out, std::size_t size, std::int64_t offset) {
    OVERLAPPED at = at_offset(offset);
    DWORD got = 0;
    if (ReadFile(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), out, chunk(size), &got, &at)) return got;
    if (GetLastError() == ERROR_HANDLE_EOF) return 0;
    set_errno_from_last_error();
    return -1;
}

std::int64_t write_at(int fd, const void* data, std::size_t size, std::int64_t offset) {
    OVERLAPPED at = at_offset(offset);
    DWORD put = 0;
    if (WriteFile(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), data, chunk(size), &put, &at)) return put;
    set_errno_from_last_error();
    return -1;
}

// The permission bits are not carried over on Windows: its C runtime knows only read-only, and
// a replaced file's access lists are what its directory gives.
int make_temporary(std::string& path, std::optional<unsigned>) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device seed;
    std::mt19937 pick(seed());
    const std::size_t tail = path.size() - 6;
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (std::size_t i = tail; i < path.size(); ++i) path[i] = kLetters[pick() % (sizeof kLetters - 1)];
        const int fd =
            _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

bool replace_file(const std::string& from, const std::string& to) {
    if (MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    set_errno_from_last_error();
    return false;
}

bool remove_file(const char* path) { return _unlink(path) == 0; }

// Symbolic links are not followed on Windows (they are rare there and need privileges to make),
// and names are compared as written, not case-folded: files that exist are told apart by their
// identity anyway.
std::string place_of(const std::string& path) {
    char* full = _fullpath(nullptr, path.c_str(), 0);
    if (full == nullptr) return path;
    std::string place = full;
    std::free(full);
    std::replace(place.begin(), place.end(), '\\', '/');
    return place;
}

// A process started without a standard handle cannot be told apart cheaply without tripping the
// C runtime's invalid-parameter checks; Windows is left as it is.
bool descriptor_closed(int) { return false; }

// Windows has no SIGPIPE: a write to a closed pipe already fails with an error.
void prepare_standard_streams() {
    _setmode(0, _O_BINARY);
    _setmode(1, _O_BINARY);
}

// Ctrl-C and Ctrl-Break arrive as SIGINT and SIGBREAK; the C runtime resets each handler before
// calling it. A file still open cannot be deleted on Windows, so the temporary file a run is
// writing at that moment may stay behind.
void on_termination_signals(void (*handler)(int)) {
    for (const int signal_number : {SIGINT, SIGTERM, SIGBREAK}) {
        const auto old = std::signal(signal_number, handler);
        if (old == SIG_IGN) std::signal(signal_number, SIG_IGN);
    }
}

// Huge pages need a privilege on Windows that users seldom hold: the ordinary heap.
void* allocate_frame(std::size_t size) { return std::malloc(size == 0 ? 1 : size); }

void free_frame(void* p) { std::free(p); }

}  // namespace dunmorel::cli::platform
