// The ten Python functions. Each one's parameter list sits directly above the entry that holds
// its body, and the body reads argument i as the parameter at position i of that list: a
// change to one is made in view of the other.
#include "functions.hpp"

#include <iterator>
#include <string>
#include <vector>

#include "calls.hpp"

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
    kFlattenJsonParams, [](const Args& a) { return flatten_json(a.text(0), a.text(1), a.keys(2)); }};

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
    [](const Args& a) { return fmt_source(a.text(0), a.width(1)); }};

constexpr ParamSpec kFmtJsonParams[] = {{"module_json", ParamKind::Text, true, false},
                                        {"width", ParamKind::Width, false, true}};
constexpr FunctionSpec kFmtJson{
    "fmt_json", "fmt_json(module_json, *, width=100)\n--\n\n", kFmtJsonParams,
    [](const Args& a) { return fmt_json(a.text(0), a.width(1)); }};

constexpr ParamSpec kCheckFileParams[] = {{"path", ParamKind::Text, true, false}};
constexpr FunctionSpec kCheckFile{
    "check_file", "check_file(path)\n--\n\n", kCheckFileParams,
    [](const Args& a) { return check_file(a.path(0)); }};

constexpr ParamSpec kFmtFileParams[] = {{"path", ParamKind::Text, true, false},
                                        {"width", ParamKind::Width, false, true}};
constexpr FunctionSpec kFmtFile{
    "fmt_file", "fmt_file(path, *, width=100)\n--\n\n", kFmtFileParams,
    [](const Args& a) { return fmt_file(a.path(0), a.width(1)); }};

}  // namespace

constexpr FunctionSpec kFunctions[] = {kLoadFlatJson, kParseToJson,    kResolveJson, kFlattenJson,
                                       kInferAxesJson, kCheckJson,     kFmtSource,   kFmtJson,
                                       kCheckFile,     kFmtFile};
static_assert(std::size(kFunctions) == kFunctionCount);

}  // namespace travune
