// How the engine reports to its host: one exception type that each host binding turns into its
// own error call.
#pragma once

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

}  // namespace dunmorel
