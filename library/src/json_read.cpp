#include "travune/fatal.hpp"
#include "travune/json.hpp"

namespace travune {

std::string debug_form(const JsonError& e) {
  return "Error(" + debug_str(e.message) + ", line: " + std::to_string(e.line) +
         ", column: " + std::to_string(e.column) + ")";
}

Module read_module_json(std::string_view) { fatal("the JSON reader is not built yet"); }

}  // namespace travune
