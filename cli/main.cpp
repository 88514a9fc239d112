// dunmorel: the Dunmorel filter over a video file or pipe. See --help.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/demo.h"
#include "cli/hints.h"
#include "cli/job.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/platform.h"

namespace {

// Text printed for the user that did not all arrive (a full disk, a closed pipe) is a failure.
void print_to_standard_output(const std::string& text) {
    if (dunmorel::cli::standard_stream_was_closed(STDOUT_FILENO))
        throw dunmorel::cli::CliError(dunmorel::cli::closed_standard_output());
    errno = 0;
    std::cout << text;
    std::cout.flush();
    if (!std::cout || std::fflush(stdout) != 0)
        throw dunmorel::cli::CliError(std::string("dunmorel: cannot write to standard output") +
                                      (errno ? std::string(": ") + std::strerror(errno) : std::string()));
}

void print_hints(const std::vector<std::string>& hints) {
    for (const std::string& hint : hints) std::fprintf(stderr, "dunmorel: hint: %s\n", hint.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    using namespace dunmorel::cli;
    reserve_standard_streams();
    // A reader that goes away shows up as a write error with a message, not a silent death.
    platform::prepare_standard_streams();
    remove_temporaries_on_signals();
    // Kept for the hints beside a failure: the arguments, and the input's size once known.
    std::optional<Options> given;
    std::optional<PictureSize> picture;
    try {
        const Options& options = given.emplace(parse_options(std::vector<std::string>(argv + 1, argv + argc)));
        if (options.help) {
            print_to_standard_output(help_text());
            return 0;
        }
        int status = 0;
        if (options.demo) {
            std::ostringstream summary;
            status = run_demo(options, summary);
            print_to_standard_output(summary.str());
        } else {
            run_job(options, picture);
        }
        if (!options.quiet) print_hints(argument_hints(options.script_arguments));
        return status;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "dunmorel: out of memory\n");
        return 1;
    } catch (const std::exception& e) {
        std::cout.flush();
        std::fprintf(stderr, "%s\n", one_line(e.what()).c_str());
        if (given && !given->quiet && !given->help) {
            print_hints(failure_hints(e.what(), picture, given->script_arguments));
            print_hints(argument_hints(given->script_arguments));
        }
        return 1;
    }
}
