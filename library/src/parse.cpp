#include "travune/fatal.hpp"
#include "travune/file.hpp"
#include "travune/parse.hpp"

namespace travune {

Module parse(std::string_view) { fatal("the parser is not built yet"); }

Module parse_file(const std::string& path) {
  std::string text;
  try {
    text = read_file_utf8(path);
  } catch (const IoError& e) {
    fatal(unwrap_failure(debug_form(e)));
  }
  return parse(text);
}

}  // namespace travune
