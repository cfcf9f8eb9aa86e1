#pragma once
// The ten Python functions, in the order they are added to the module and to __all__: each
// one's name, text signature, parameters and body. A body reads its arguments by their
// positions in the parameter list declared beside it.
#include <cstddef>

#include "boundary.hpp"

namespace travune {

inline constexpr std::size_t kFunctionCount = 10;
extern const FunctionSpec kFunctions[kFunctionCount];

}  // namespace travune
