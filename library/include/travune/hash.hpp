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
#include <utility>
#include <vector>

#include <tsl/ordered_map.h>
#include <tsl/ordered_set.h>

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

// Tables keyed by views of names that outlive the table, for tables that may hold an entry
// per parameter or per op of a function: the entries in one vector, with open-addressed
// buckets of an index and a hash. They fill and empty without an allocation per entry, and
// a lookup touches a bucket and an entry instead of a chain of nodes spread over the memory.
// Erasing with erase keeps the order and takes time in proportion to the entries: use
// unordered_erase.
template <class V>
using ViewMap = tsl::ordered_map<std::string_view, V, KeyedHash, std::equal_to<>,
                                 std::allocator<std::pair<std::string_view, V>>,
                                 std::vector<std::pair<std::string_view, V>>>;
using ViewSet = tsl::ordered_set<std::string_view, KeyedHash, std::equal_to<>,
                                 std::allocator<std::string_view>, std::vector<std::string_view>>;

// Empties a table reused for one function or op after another, for about `n` entries.
// Emptying costs the table's buckets, so one left far larger by an earlier use (a huge
// function or pattern) is replaced instead: many small uses after a huge one stay linear.
template <class Table>
void empty_for(Table& t, std::size_t n) {
  if (t.bucket_count() > 4 * n + 64) t = Table();
  else t.clear();
  t.reserve(n);
}

}  // namespace travune
