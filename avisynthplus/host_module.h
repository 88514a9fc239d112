// Where the plug-in finds the host's functions: in the very module that called its entry point.
#pragma once

#include "avisynthplus/c_api.h"

namespace dunmorel::avsc {

// Fills `api` from the loaded module that holds the code address `caller` (the host's call into
// the entry point), or, failing that, from the functions the process exports globally. Returns
// the host name of the first function found nowhere, or nullptr when every one was found.
const char* resolve_api(const void* caller, Api& api);

}  // namespace dunmorel::avsc
