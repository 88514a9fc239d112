// dunmorel: runs the Dunmorel plug-in through the built-in frame server over a video file or
// pipe. See --help.
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "cli/demo.h"
#include "cli/job.h"
#include "cli/options.h"

int main(int argc, char** argv) {
    using namespace dunmorel::cli;
    // A reader that goes away shows up as a write error with a message, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        const Options options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
        if (options.help) {
            std::cout << HelpText();
            return 0;
        }
        const std::string plugin = FindPlugin(options);
        if (options.demo) return RunDemo(options, plugin, std::cout);
        RunJob(options, plugin);
        return 0;
    } catch (const std::exception& e) {
        std::cout.flush();
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
