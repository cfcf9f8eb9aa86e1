#pragma once
// A fatal stop: the whole call ends with a message. Library operations never
// return error codes; a malformed input or a failed precondition throws Fatal,
// which the Python boundary catches, reports and raises as PanicException.
#include <cstddef>
#include <source_location>
#include <string>
#include <string_view>

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

// A place in a text as messages name it: 1-based line and column, the column counted in
// characters (UTF-8 code points).
struct TextPlace {
  std::size_t line = 1;
  std::size_t column = 1;
};

// The place of byte `at` of `text`.
TextPlace line_and_column(std::string_view text, std::size_t at);

// `where.file_name()` relative to the source tree.
std::string relative_file(const std::source_location& where);

}  // namespace travune
