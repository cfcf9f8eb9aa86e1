#pragma once
// Keyed hashing for every lookup table keyed by text. Names, keys and outputs come from the
// caller, so an unkeyed hash would let anyone prepare any number of colliding keys and make a
// lookup table quadratic. Every table hashes with SipHash-2-4 (libsodium's crypto_shorthash)
// under a key drawn from the operating system once per process. No table's iteration order
// may reach a result: tables serve lookups only.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace travune {

// SipHash-2-4 of `text` under this process's key, drawn on first use (a stop when the
// operating system gives no random bytes).
std::uint64_t keyed_hash(std::string_view text);

// Hashes std::string and std::string_view alike, so lookups need no key copy.
struct KeyedHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return keyed_hash(s); }
};

template <class K, class V>
using HashMap = std::unordered_map<K, V, KeyedHash, std::equal_to<>>;
template <class K>
using HashSet = std::unordered_set<K, KeyedHash, std::equal_to<>>;

}  // namespace travune
