#include "functions.hpp"

#include "config.hpp"
#include "loader.hpp"
#include "release.hpp"
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

// The module's JSON text; the module is released afterwards.
std::string module_json(Module&& m) {
  std::string out = write_module_json(m);
  release(std::move(m));
  return out;
}

CacheKeys key_set(const std::vector<std::string>& keys) {
  return CacheKeys(keys.begin(), keys.end());
}

}  // namespace

std::string load_flat_json_body(const Args& a) {
  return load_flat_json(a.path(0), a.path(1), a.path(2), a.keys(3));
}

std::string parse_to_json_body(const Args& a) { return module_json(parse(a.text(0))); }

std::string resolve_json_body(const Args& a) {
  Module m = read_module(a.text(0));
  ConfigMap config = read_config(a.text(1));
  return module_json(resolve(sub_module(std::move(m), config)));
}

std::string flatten_json_body(const Args& a) {
  Module m = read_module(a.text(0));
  Module flat = flatten(m, a.text(1), key_set(a.keys(2)));
  release(std::move(m));
  return module_json(std::move(flat));
}

std::string infer_axes_json_body(const Args& a) {
  return module_json(resolve(read_module(a.text(0))));
}

std::string check_json_body(const Args& a) {
  Module m = read_module(a.text(0));
  CheckResult r = check(m);
  release(std::move(m));
  return write_check_result_json(r);
}

std::string fmt_source_body(const Args& a) {
  Module m = parse(a.text(0));
  std::string out = format_trv(m, a.width(1));
  release(std::move(m));
  return out;
}

std::string fmt_json_body(const Args& a) {
  Module m = read_module(a.text(0));
  std::string out = format_trv(m, a.width(1));
  release(std::move(m));
  return out;
}

std::string check_file_body(const Args& a) {
  Module m = parse_file(a.path(0));
  CheckResult r = check(m);
  release(std::move(m));
  return write_check_result_json(r);
}

std::string fmt_file_body(const Args& a) {
  Module m = parse_file(a.path(0));
  std::string out = format_trv(m, a.width(1));
  release(std::move(m));
  return out;
}

}  // namespace travune
