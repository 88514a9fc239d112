// How the engine reports to its host: one exception type that each host binding turns into its
// own error call.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace dunmorel {

class FilterError : public std::runtime_error {
public:
    // A report is the calibration's answer while `print` is set; a failure is anything else.
    enum class Kind { failure, report };

    FilterError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// A failed allocation, in words that tell the user which clip could not be held: a frame size is
// what one changes to get past it.
inline std::string not_enough_memory(const char* for_what, std::int32_t width, std::int32_t height) {
    return std::string("Dunmorel: not enough memory ") + for_what + " of a " + std::to_string(width) + "x" +
           std::to_string(height) + " clip";
}

}  // namespace dunmorel
