// The ten Python functions. Each one's parameter list sits directly above the entry that holds
// its body, and the body reads argument i as the parameter at position i of that list: a
// change to one is made in view of the other.
#include "functions.hpp"

#include <iterator>
#include <string>
#include <vector>

#include "loader.hpp"
#include "module_json.hpp"
#include "travune/check.hpp"
#include "travune/flatten.hpp"
#include "travune/fmt.hpp"
#include "travune/parse.hpp"

namespace travune {
namespace {

constexpr ParamSpec kLoadFlatJsonParams[] = {
    {"trv_path", ParamKind::Text, true, false},
    {"config_path", ParamKind::Text, true, false},
    {"entry", ParamKind::Text, false, false, "main"},
    {"cache_keys", ParamKind::CacheKeys, false, false}};
constexpr FunctionSpec kLoadFlatJson{
    "load_flat_json",
    "load_flat_json(trv_path, config_path, entry=\"main\", cache_keys=...)\n--\n\n",
    kLoadFlatJsonParams, [](const Args& a) {
      return load_flat_json(a.path(0), a.path(1), a.path(2), a.keys(3));
    }};

constexpr ParamSpec kParseToJsonParams[] = {{"source", ParamKind::Text, true, false}};
constexpr FunctionSpec kParseToJson{
    "parse_to_json", "parse_to_json(source)\n--\n\n", kParseToJsonParams,
    [](const Args& a) { return parse_to_json(a.text(0)); }};

constexpr ParamSpec kResolveJsonParams[] = {{"module_json", ParamKind::Text, true, false},
                                            {"config_json", ParamKind::Text, true, false}};
constexpr FunctionSpec kResolveJson{
    "resolve_json", "resolve_json(module_json, config_json)\n--\n\n", kResolveJsonParams,
    [](const Args& a) { return resolve_json(a.text(0), a.text(1)); }};

constexpr ParamSpec kFlattenJsonParams[] = {{"module_json", ParamKind::Text, true, false},
                                            {"entry", ParamKind::Text, true, false},
                                            {"cache_keys", ParamKind::CacheKeys, false, false}};
constexpr FunctionSpec kFlattenJson{
    "flatten_json", "flatten_json(module_json, entry, cache_keys=...)\n--\n\n",
    kFlattenJsonParams, [](const Args& a) {
      const std::vector<std::string>& keys = a.keys(2);
      return write_flat_json(read_module(a.text(0)), a.text(1),
                             CacheKeys(keys.begin(), keys.end()));
    }};

constexpr ParamSpec kInferAxesJsonParams[] = {{"module_json", ParamKind::Text, true, false}};
constexpr FunctionSpec kInferAxesJson{
    "infer_axes_json", "infer_axes_json(module_json)\n--\n\n", kInferAxesJsonParams,
    [](const Args& a) { return infer_axes_json(a.text(0)); }};

constexpr ParamSpec kCheckJsonParams[] = {{"module_json", ParamKind::Text, true, false}};
constexpr FunctionSpec kCheckJson{
    "check_json", "check_json(module_json)\n--\n\n", kCheckJsonParams,
    [](const Args& a) { return check_json(a.text(0)); }};

constexpr ParamSpec kFmtSourceParams[] = {{"source", ParamKind::Text, true, false},
                                          {"width", ParamKind::Width, false, true}};
constexpr FunctionSpec kFmtSource{
    "fmt_source", "fmt_source(source, *, width=100)\n--\n\n", kFmtSourceParams,
    [](const Args& a) { return format_source(a.text(0), a.width(1)); }};

constexpr ParamSpec kFmtJsonParams[] = {{"module_json", ParamKind::Text, true, false},
                                        {"width", ParamKind::Width, false, true}};
constexpr FunctionSpec kFmtJson{
    "fmt_json", "fmt_json(module_json, *, width=100)\n--\n\n", kFmtJsonParams,
    [](const Args& a) { return fmt_json(a.text(0), a.width(1)); }};

constexpr ParamSpec kCheckFileParams[] = {{"path", ParamKind::Text, true, false}};
constexpr FunctionSpec kCheckFile{
    "check_file", "check_file(path)\n--\n\n", kCheckFileParams, [](const Args& a) {
      // The text is freed as soon as the check is done.
      CheckResult r = check_source(read_source_file(a.path(0)));
      return write_check_result_json(r);
    }};

constexpr ParamSpec kFmtFileParams[] = {{"path", ParamKind::Text, true, false},
                                        {"width", ParamKind::Width, false, true}};
constexpr FunctionSpec kFmtFile{
    "fmt_file", "fmt_file(path, *, width=100)\n--\n\n", kFmtFileParams, [](const Args& a) {
      // The text is freed before the output goes back to Python.
      return format_source(read_source_file(a.path(0)), a.width(1));
    }};

}  // namespace

constexpr FunctionSpec kFunctions[] = {kLoadFlatJson, kParseToJson,    kResolveJson, kFlattenJson,
                                       kInferAxesJson, kCheckJson,     kFmtSource,   kFmtJson,
                                       kCheckFile,     kFmtFile};
static_assert(std::size(kFunctions) == kFunctionCount);

}  // namespace travune
