// A long synthetic clip piped through the built `dunmorel` command: with two workers its peak
// memory must not grow with the length of the clip, and every frame must equal the result of a
// single worker.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 64;
constexpr std::size_t kFrameBytes = kWidth * kHeight * 3 / 2;  // YV12
constexpr int kShortClip = 500;
constexpr int kLongClip = 4000;
// Peak memory may differ by allocator noise between two runs, never by anything that grows
// with the frames: 3500 frames more are 21 MiB of samples, and keeping a tenth of each frame
// would already exceed this.
constexpr long kAllowedGrowthKiB = 2048;

// Frame n of the clip: a fixed ramp with noise that changes from frame to frame.
void make_frame(int n, std::uint8_t* out) {
    std::uint32_t x = 0x9e3779b9u * static_cast<std::uint32_t>(n + 1);
    for (std::size_t i = 0; i < kFrameBytes; ++i) {
        x = x * 1664525u + 1013904223u;
        out[i] = static_cast<std::uint8_t>(50 + (i % kWidth) * 2 + (x >> 24) % 25);
    }
}

namespace fs = std::filesystem;

struct ToolRun {
    int exit_code = -1;
    long peak_rss_kib = 0;
    double seconds = 0;
    std::string output;  // the file the frames went to
    std::string errors;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs the command under peak_rss with `frames` frames written into its standard input; its
// standard output goes to a file in `dir`, so that this process stays small.
ToolRun run_tool(const fs::path& dir, int frames, int threads) {
    const std::string tag = std::to_string(frames) + "-" + std::to_string(threads);
    ToolRun run;
    run.output = (dir / ("out-" + tag)).string();
    const std::string err_path = (dir / ("err-" + tag)).string();
    const std::string rss_path = (dir / ("rss-" + tag)).string();
    std::vector<std::string> words = {DUNMOREL_PEAK_RSS_PATH,
                                      rss_path,
                                      DUNMOREL_CLI_PATH,
                                      "-i",
                                      "-",
                                      "-o",
                                      "-",
                                      "--format",
                                      "yv12",
                                      "--size",
                                      std::to_string(kWidth) + "x" + std::to_string(kHeight),
                                      "--threads",
                                      std::to_string(threads),
                                      "-q",
                                      "autow=false",
                                      "lx=5",
                                      "rx=58",
                                      "ty=5",
                                      "by=58"};
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    // Under AddressSanitizer freed memory waits in a quarantine that grows with the amount
    // freed, in a global part and a per-thread part; both are kept small here so that the peak
    // reflects what the command holds, whatever its number of threads.
    std::vector<std::string> env_words;
    bool asan_set = false;
    for (char** e = environ; *e; ++e) {
        std::string w = *e;
        if (w.rfind("ASAN_OPTIONS=", 0) == 0) {
            w += ":quarantine_size_mb=1:thread_local_quarantine_size_kb=64";
            asan_set = true;
        }
        env_words.push_back(w);
    }
    if (!asan_set) env_words.push_back("ASAN_OPTIONS=quarantine_size_mb=1:thread_local_quarantine_size_kb=64");
    std::vector<char*> envp;
    for (auto& w : env_words) envp.push_back(w.data());
    envp.push_back(nullptr);

    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, run.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    if (spawned != 0) {
        close(in[1]);
        run.errors = std::string("cannot start the command: ") + std::strerror(spawned);
        return run;
    }

    std::vector<std::uint8_t> frame(kFrameBytes);
    for (int n = 0; n < frames; ++n) {
        make_frame(n, frame.data());
        std::size_t done = 0;
        while (done < frame.size()) {
            const ssize_t put = write(in[1], frame.data() + done, frame.size() - done);
            if (put <= 0) break;  // the command stopped reading; its exit status tells why
            done += static_cast<std::size_t>(put);
        }
        if (done < frame.size()) break;
    }
    close(in[1]);

    int status = 0;
    waitpid(pid, &status, 0);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.peak_rss_kib = std::atol(slurp(rss_path).c_str());
    run.errors = slurp(err_path);
    return run;
}

// Compares two output files frame by frame; returns the first frame that differs, or -1.
int first_difference(const std::string& a, const std::string& b) {
    std::ifstream fa(a, std::ios::binary);
    std::ifstream fb(b, std::ios::binary);
    std::vector<char> x(kFrameBytes), y(kFrameBytes);
    for (int n = 0;; ++n) {
        fa.read(x.data(), static_cast<std::streamsize>(x.size()));
        fb.read(y.data(), static_cast<std::streamsize>(y.size()));
        if (fa.gcount() != fb.gcount() || x != y) return n;
        if (fa.gcount() == 0) return -1;
    }
}

TEST(Soak, LongPipedClipKeepsMemoryFlatAndMatchesOneWorker) {
    // A command that dies early must fail the test, not end it through a broken pipe.
    std::signal(SIGPIPE, SIG_IGN);
    const fs::path dir = fs::temp_directory_path() / ("dunmorel-soak-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);

    const ToolRun brief = run_tool(dir, kShortClip, 2);
    ASSERT_EQ(brief.exit_code, 0) << brief.errors;
    const ToolRun two = run_tool(dir, kLongClip, 2);
    ASSERT_EQ(two.exit_code, 0) << two.errors;
    const ToolRun one = run_tool(dir, kLongClip, 1);
    ASSERT_EQ(one.exit_code, 0) << one.errors;

    std::printf(
        "soak: %dx%d YV12 through a pipe; peak RSS %ld KiB for %d frames, %ld KiB for %d frames "
        "(one worker: %ld KiB); %.1f s with two workers, %.1f s with one\n",
        kWidth, kHeight, brief.peak_rss_kib, kShortClip, two.peak_rss_kib, kLongClip, one.peak_rss_kib, two.seconds,
        one.seconds);
    RecordProperty("peak_rss_kib_short", static_cast<int>(brief.peak_rss_kib));
    RecordProperty("peak_rss_kib_long", static_cast<int>(two.peak_rss_kib));

    ASSERT_GT(brief.peak_rss_kib, 0);
    EXPECT_LE(two.peak_rss_kib, brief.peak_rss_kib + kAllowedGrowthKiB)
        << "peak memory grew from " << brief.peak_rss_kib << " KiB (" << kShortClip << " frames) to "
        << two.peak_rss_kib << " KiB (" << kLongClip << " frames)";

    EXPECT_EQ(fs::file_size(two.output), kLongClip * kFrameBytes);
    EXPECT_EQ(first_difference(two.output, one.output), -1) << "first frame that differs between two workers and one";
    // The short clip is the long one's beginning, calibrated on the same frame 0.
    EXPECT_EQ(fs::file_size(brief.output), kShortClip * kFrameBytes);
    std::ifstream whole(one.output, std::ios::binary);
    std::vector<char> head(kShortClip * kFrameBytes);
    whole.read(head.data(), static_cast<std::streamsize>(head.size()));
    EXPECT_EQ(slurp(brief.output), std::string(head.begin(), head.end()));

    // And the filter did filter: the last frame is not the input's.
    std::vector<std::uint8_t> input(kFrameBytes);
    make_frame(kLongClip - 1, input.data());
    whole.seekg(static_cast<std::streamoff>((kLongClip - 1) * kFrameBytes));
    std::vector<char> last(kFrameBytes);
    whole.read(last.data(), static_cast<std::streamsize>(last.size()));
    EXPECT_FALSE(std::equal(input.begin(), input.end(), reinterpret_cast<const std::uint8_t*>(last.data())));
    fs::remove_all(dir);
}

}  // namespace
