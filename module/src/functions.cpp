#include "functions.hpp"

#include "calls.hpp"
#include "loader.hpp"
#include "travune/flatten.hpp"

namespace travune {

std::string load_flat_json_body(const Args& a) {
  return load_flat_json(a.path(0), a.path(1), a.path(2), a.keys(3));
}

std::string parse_to_json_body(const Args& a) { return parse_to_json(a.text(0)); }

std::string resolve_json_body(const Args& a) { return resolve_json(a.text(0), a.text(1)); }

std::string flatten_json_body(const Args& a) {
  const std::vector<std::string>& keys = a.keys(2);
  return write_flat_json(read_module(a.text(0)), a.text(1), CacheKeys(keys.begin(), keys.end()));
}

std::string infer_axes_json_body(const Args& a) { return infer_axes_json(a.text(0)); }

std::string check_json_body(const Args& a) { return check_json(a.text(0)); }

std::string fmt_source_body(const Args& a) { return fmt_source(a.text(0), a.width(1)); }

std::string fmt_json_body(const Args& a) { return fmt_json(a.text(0), a.width(1)); }

std::string check_file_body(const Args& a) { return check_file(a.path(0)); }

std::string fmt_file_body(const Args& a) { return fmt_file(a.path(0), a.width(1)); }

}  // namespace travune
