#include "functions.hpp"

#include "config.hpp"
#include "loader.hpp"
#include "travune/check.hpp"
#include "travune/fatal.hpp"
#include "travune/flatten.hpp"
#include "travune/fmt.hpp"
#include "travune/json.hpp"
#include "travune/parse.hpp"
#include "travune/resolve.hpp"

namespace travune {
namespace {

// A reader error stops the call as a failed unwrap of the reader's result.
Module read_module(std::string_view text) {
  try {
    return read_module_json(text);
  } catch (const JsonError& e) {
    fatal(unwrap_failure(debug_form(e)));
  }
}

ConfigMap read_config(std::string_view text) {
  try {
    return read_config_json(text);
  } catch (const JsonError& e) {
    fatal(unwrap_failure(debug_form(e)));
  }
}

CacheKeys key_set(const std::vector<std::string>& keys) {
  return CacheKeys(keys.begin(), keys.end());
}

}  // namespace

std::string load_flat_json_body(const Args& a) {
  return load_flat_json(a.path(0), a.path(1), a.path(2), a.keys(3));
}

std::string parse_to_json_body(const Args& a) { return parse_to_json(a.text(0)); }

std::string resolve_json_body(const Args& a) {
  Module m = read_module(a.text(0));
  ConfigMap config = read_config(a.text(1));
  return write_module_json(resolve(sub_module(std::move(m), config)));
}

std::string flatten_json_body(const Args& a) {
  Module flat = flatten(read_module(a.text(0)), a.text(1), key_set(a.keys(2)));
  return write_module_json(flat);
}

std::string infer_axes_json_body(const Args& a) {
  return write_module_json(resolve(read_module(a.text(0))));
}

std::string check_json_body(const Args& a) {
  return write_check_result_json(check(read_module(a.text(0))));
}

std::string fmt_source_body(const Args& a) { return format_source(a.text(0), a.width(1)); }

std::string fmt_json_body(const Args& a) { return format_trv(read_module(a.text(0)), a.width(1)); }

std::string check_file_body(const Args& a) {
  // The text is freed as soon as the check is done.
  CheckResult r = check_source(read_source_file(a.path(0)));
  return write_check_result_json(r);
}

// The text is freed before the output goes back to Python.
std::string fmt_file_body(const Args& a) {
  return format_source(read_source_file(a.path(0)), a.width(1));
}

}  // namespace travune
