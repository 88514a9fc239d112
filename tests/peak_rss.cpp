// peak_rss FILE PROGRAM [ARGS...]: runs PROGRAM with the standard streams it inherits and writes
// its peak resident set size in KiB to FILE; exits with the program's exit status (1 when it
// was killed by a signal or could not be started).
//
// Why not measure from the test itself: a process started with posix_spawn or fork inherits
// the high-water mark of the process it was cloned from, so the figure would carry the test's
// own memory. This helper is small, and it forks the program from itself.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: peak_rss FILE PROGRAM [ARGS...]\n");
        return 2;
    }
    const pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid == 0) {
        execv(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) return 1;
    std::FILE* out = std::fopen(argv[1], "w");
    if (!out) return 1;
    std::fprintf(out, "%ld\n", usage.ru_maxrss);
    std::fclose(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
