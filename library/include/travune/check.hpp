#pragma once
// The checker: types, shapes and scopes, and the constraints on configuration and weights.
#include <functional>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "travune/ast.hpp"
#include "travune/parse.hpp"

namespace travune {

struct Constraints {
  // "param."-prefixed names, sorted byte-wise.
  std::set<std::string, std::less<>> params;
  // function key -> weight argument name -> parameter type, both sorted byte-wise.
  std::map<std::string, std::map<std::string, TensorType, std::less<>>, std::less<>> weights;
};

struct CheckResult {
  std::vector<std::string> errors;  // in the order found
  Constraints constraints;
};

// Checks one function, naming it by `key`, adding its findings and constraints to `result`.
// Callees are looked up in `functions` by key and only their params are read, so a map of
// signatures (functions without ops) serves as well as the whole module.
void check_function(std::string_view key, const Function& fn, const OrderedMap<Function>& functions,
                    CheckResult& result);

// Checks every function in map order, naming each by its key. Findings are
// messages in `errors`; only an op without outputs or output types stops the call.
CheckResult check(const Module& m);

// Reads a module function by function, handing each to the sink in order; false when the
// sink stopped it (parse_each is one).
using FunctionReader = std::function<bool(const FunctionSink&)>;

// check() of the module `read_each` reads, without holding it: the first reading keeps only
// the signatures (so every stop of reading comes before any finding), the second checks each
// function as it is read. None when a name repeats (the module would check the later
// definition in the first one's place): the caller checks the whole module then.
std::optional<CheckResult> check_read_twice(const FunctionReader& read_each);

// check(parse(text)), reading the text twice instead of holding its module: once for every
// parse stop and the signatures, then once more checking each function as it is read.
CheckResult check_source(std::string_view text);

// {"errors":[...],"constraints":{"params":[...],"weights":{...}}}
std::string write_check_result_json(const CheckResult& r);

}  // namespace travune
