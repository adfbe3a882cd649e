// Progress reporting from the minimiser to whoever drives the build.
#pragma once

#include <cstdint>
#include <functional>

namespace korvex {

// Called with (work done, total work). An empty function means "no
// listener"; callers must not be able to tell the difference in the result.
using ProgressFn = std::function<void(std::uint64_t done, std::uint64_t total)>;

}  // namespace korvex
