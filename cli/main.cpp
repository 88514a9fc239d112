// dunmorel: runs the Dunmorel plug-in through the built-in frame server over a video file or
// pipe. See --help.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "cli/demo.h"
#include "cli/job.h"
#include "cli/options.h"
#include "cli/output.h"

namespace {

// Text printed for the user that did not all arrive (a full disk, a closed pipe) is a failure.
void PrintToStandardOutput(const std::string& text) {
    errno = 0;
    std::cout << text;
    std::cout.flush();
    if (!std::cout || std::fflush(stdout) != 0)
        throw dunmorel::cli::CliError(std::string("dunmorel: cannot write to standard output") +
                                      (errno ? std::string(": ") + std::strerror(errno) : std::string()));
}

}  // namespace

int main(int argc, char** argv) {
    using namespace dunmorel::cli;
    // A reader that goes away shows up as a write error with a message, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
    RemoveTemporariesOnSignals();
    try {
        const Options options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
        if (options.help) {
            PrintToStandardOutput(HelpText());
            return 0;
        }
        const std::string plugin = FindPlugin(options);
        if (options.demo) {
            std::ostringstream summary;
            const int status = RunDemo(options, plugin, summary);
            PrintToStandardOutput(summary.str());
            return status;
        }
        RunJob(options, plugin);
        return 0;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "dunmorel: out of memory\n");
        return 1;
    } catch (const std::exception& e) {
        std::cout.flush();
        std::fprintf(stderr, "%s\n", OneLine(e.what()).c_str());
        return 1;
    }
}
