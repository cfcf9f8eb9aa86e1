#include "travune/hash.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <sys/random.h>

#include <sodium.h>

#include "travune/fatal.hpp"

namespace travune {
namespace {

using HashKey = std::array<unsigned char, crypto_shorthash_KEYBYTES>;

HashKey random_key() {
  HashKey key{};
  std::size_t got = 0;
  while (got < key.size()) {
    ssize_t n = ::getrandom(key.data() + got, key.size() - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      fatal(std::string("no random bytes for the hash key: ") + std::strerror(errno));
    }
    got += static_cast<std::size_t>(n);
  }
  return key;
}

// Drawn once, on first use; constant afterwards.
const HashKey& process_key() {
  static const HashKey key = random_key();
  return key;
}

}  // namespace

std::uint64_t keyed_hash(std::string_view text) {
  static_assert(crypto_shorthash_BYTES == sizeof(std::uint64_t));
  unsigned char out[crypto_shorthash_BYTES];
  crypto_shorthash(out, reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                   process_key().data());
  std::uint64_t h;
  std::memcpy(&h, out, sizeof h);
  return h;
}

}  // namespace travune
