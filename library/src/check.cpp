#include "travune/check.hpp"
#include "travune/fatal.hpp"

namespace travune {

CheckResult check(const Module&) { fatal("the checker is not built yet"); }
std::string write_check_result_json(const CheckResult&) { return {}; }

}  // namespace travune
