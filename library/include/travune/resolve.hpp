#pragma once
// The axis-size resolver: fills the missing axes of view and tile ops from their patterns.
#include "travune/ast.hpp"

namespace travune {

// A new module equal to `m` except for the axes of some view and tile ops.
Module resolve(const Module& m);
// The same, built in the storage of a module that the caller gives up (no copy is made).
Module resolve(Module&& m);

}  // namespace travune
