// Warning lines on the process's standard error.
//
// Tolerated input problems (a conflicting redefinition, a root without a
// message) are reported as one line each, "warning: ...\n", written straight
// to file descriptor 2 through C stdio and flushed at once, so that they
// interleave correctly with anything Python writes and reach the caller even
// if the build later fails.
#pragma once

#include <cstdio>
#include <string_view>

namespace korvex {

// `line` must already carry its "warning: " prefix and final line feed.
inline void emit_warning(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace korvex
