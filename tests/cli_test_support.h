// Helpers shared by the dunmorel tool's tests: a scratch directory per test, whole-file I/O and
// running a shell command line.
#pragma once

#if !defined(_WIN32)
#include <sys/wait.h>
#endif
#include <unistd.h>

#include <cstdlib>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace dunmorel::cli::testing {

// A directory of its own for the running test, removed with everything in it afterwards.
class Workspace {
public:
    Workspace() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "-" + info->name();
        for (char& c : name)
            if (c == '/') c = '-';
        path_ = std::filesystem::temp_directory_path() / ("dunmorel-cli-" + std::to_string(getpid()) + "-" + name);
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~Workspace() { std::filesystem::remove_all(path_); }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void Spit(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

#if !defined(_WIN32)
// Runs a bash command line; with pipefail, a pipeline's status is its last failing command's.
inline Outcome Shell(const Workspace& ws, const std::string& command) {
    const std::string out = ws.File("run.stdout");
    const std::string err = ws.File("run.stderr");
    const std::string line =
        "bash -c " + Quote("set -o pipefail; " + command) + " >" + out + " 2>" + err + " </dev/null";
    const int raw = std::system(line.c_str());
    Outcome o;
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    o.out = Slurp(out);
    o.err = Slurp(err);
    return o;
}
#endif

}  // namespace dunmorel::cli::testing
