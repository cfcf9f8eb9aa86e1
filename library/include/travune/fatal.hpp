#pragma once
// A fatal stop: the whole call ends with a message. Library operations never
// return error codes; a malformed input or a failed precondition throws Fatal,
// which the Python boundary catches, reports and raises as PanicException.
#include <cstddef>
#include <source_location>
#include <string>

namespace travune {

struct Fatal {
  std::string message;
  std::source_location where;
};

// Stops the call with `message`, recording the location of the stopping statement.
[[noreturn]] void fatal(std::string message,
                        std::source_location where = std::source_location::current());

// Stops the call with an index-out-of-range failure of a list of length `len`.
[[noreturn]] void index_failure(std::size_t index, std::size_t len,
                                std::source_location where = std::source_location::current());

// The text that a failed unwrap of an error value stops with:
// "called `Result::unwrap()` on an `Err` value: " + error_debug.
std::string unwrap_failure(std::string_view error_debug);

// `where.file_name()` relative to the source tree.
std::string relative_file(const std::source_location& where);

}  // namespace travune
