#pragma once
// The checker: types, shapes and scopes, and the constraints on configuration and weights.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "travune/ast.hpp"

namespace travune {

struct Constraints {
  std::set<std::string> params;  // "param."-prefixed names, sorted
  // function key -> weight argument name -> parameter type, both sorted
  std::map<std::string, std::map<std::string, TensorType>> weights;
};

struct CheckResult {
  std::vector<std::string> errors;
  Constraints constraints;
};

// Checks every function in map order; only an op without outputs or output types stops the call.
CheckResult check(const Module& m);

// {"errors":[...],"constraints":{"params":[...],"weights":{...}}}
std::string write_check_result_json(const CheckResult& r);

}  // namespace travune
