#include "loader.hpp"

#include "travune/fatal.hpp"

namespace travune {

std::string load_flat_json(const std::string&, const std::string&, const std::string&,
                           const std::vector<std::string>&) {
  fatal("the loader is not built yet");
}

}  // namespace travune
