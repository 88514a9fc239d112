// The implementations of the 16-bit kernel. They carry the names of the 8-bit paths, need what
// those need, and the product's 16-bit kernels use the one named as dispatch::best() (or the
// reference where that path has no 16-bit version); tests and benchmarks call each by name.
#pragma once

#include <span>
#include <string_view>

#include "kernels/plane16.h"

namespace dunmorel::dispatch16 {

struct Implementation16 {
    const char* name;  // as the 8-bit path of the same instruction set
    bool supported;  // whether this processor runs it
    Smooth16Kernel* smooth_rows;
};

// Every 16-bit implementation built, the reference first.
std::span<const Implementation16> implementations();
const Implementation16* find(std::string_view name);
// The one the product uses.
const Implementation16& best();

}  // namespace dunmorel::dispatch16
