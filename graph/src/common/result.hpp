// Errors as values.
//
// Every stage of the pipeline returns Result<T>: either its value or an Error
// whose message is exactly the text the Python caller finally sees. Stages
// never throw for bad input; the only exception that may cross a stage is
// std::bad_alloc, which the entry points turn into MemoryError.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace korvex {

struct Error {
  std::string message;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(std::string message) {
  return std::unexpected(Error{std::move(message)});
}

}  // namespace korvex
