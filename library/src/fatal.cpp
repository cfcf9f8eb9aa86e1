#include "travune/fatal.hpp"

#include <algorithm>
#include <string_view>

namespace travune {

void fatal(std::string message, std::source_location where) {
  throw Fatal{std::move(message), where};
}

void index_failure(std::size_t index, std::size_t len, std::source_location where) {
  throw Fatal{"index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                  std::to_string(index),
              where};
}

std::string unwrap_failure(std::string_view error_debug) {
  std::string out = "called `Result::unwrap()` on an `Err` value: ";
  out += error_debug;
  return out;
}

TextPlace line_and_column(std::string_view text, std::size_t at) {
  std::string_view head = text.substr(0, at);
  std::size_t start = head.rfind('\n');
  start = start == std::string_view::npos ? 0 : start + 1;
  TextPlace place;
  place.line += static_cast<std::size_t>(std::count(head.data(), head.data() + start, '\n'));
  for (std::size_t k = start; k < head.size(); ++k)
    if ((static_cast<unsigned char>(head[k]) & 0xC0) != 0x80) ++place.column;
  return place;
}

std::string relative_file(const std::source_location& where) {
  std::string_view file = where.file_name();
  std::string_view root = TRAVUNE_SOURCE_ROOT;
  if (file.starts_with(root)) file.remove_prefix(root.size());
  return std::string(file);
}

}  // namespace travune
