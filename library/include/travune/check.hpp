#pragma once
// The checker: types, shapes and scopes, and the constraints on configuration and weights.
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "travune/ast.hpp"

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

}  // namespace travune
