#include "travune/fatal.hpp"
#include "travune/resolve.hpp"

namespace travune {

Module resolve(const Module&) { fatal("the resolver is not built yet"); }

}  // namespace travune
