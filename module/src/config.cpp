#include "config.hpp"

#include "travune/fatal.hpp"

namespace travune {

Module sub_module(const Module&, const ConfigMap&) { fatal("substitution is not built yet"); }

}  // namespace travune
