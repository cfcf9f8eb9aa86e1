#pragma once
// The axis-size resolver: fills the missing axes of view and tile ops from their patterns.
#include <memory>
#include <string_view>

#include "travune/ast.hpp"

namespace travune {

// A new module equal to `m` except for the axes of some view and tile ops.
Module resolve(const Module& m);
// The same, built in the storage of a module that the caller gives up (no copy is made).
Module resolve(Module&& m);

// Resolves functions one at a time, as resolve does for each function of a module in map
// order; working storage (tokenised patterns among it) is kept from one function to the next.
class FunctionResolver {
 public:
  FunctionResolver();
  ~FunctionResolver();
  FunctionResolver(const FunctionResolver&) = delete;
  FunctionResolver& operator=(const FunctionResolver&) = delete;
  // Fills the missing axes of the view and tile ops of `f`; failures name the function `key`.
  void resolve(std::string_view key, Function& f);

 private:
  struct State;  // the working tables, defined in resolve.cpp
  std::unique_ptr<State> state_;
};

}  // namespace travune
