#pragma once
// What the parts of the flattener share: the bounds, the records of one flatten call (Ctx),
// the lists expanded ops go into, the call and loop sites that messages name, the bindings of
// an inlined call, and what each part offers the others. The parts: flatten.cpp (the entry),
// flatten_expand.cpp (inlining and unrolling), flatten_bind.cpp (binding and renaming),
// flatten_bounds.cpp (bounds, size prediction and the walk that only finds stops),
// flatten_slots.cpp (cache slots).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "travune/ast.hpp"
#include "travune/hash.hpp"
#include "travune/interrupt.hpp"
#include "flat_sink.hpp"
#include "number_text.hpp"

namespace travune::flat {

// ---------------------------------------------------------------------------
// Bounds. Real models unroll thousands of layers of hundreds of ops, far below
// these; a count such as the one a negative source integer wraps to (near 2^64)
// would otherwise allocate without end, and a long chain of nested calls would
// overflow the stack.

// The most ops the flattened function may hold: ten times the largest models we know of
// (about a million ops flattened). Each op of the result counts once.
//
// The most bytes of ops one flatten call may build, over the result and every expanded body
// it keeps for inlining (see op_bytes), so that a few huge ops (thousands of arguments, long
// comments) repeated by a loop stop instead of filling the memory: 8 GiB, within which ten
// million small ops fit twice over (in a body and again in the result).
//
// Each call and loop is weighed before it is expanded (see check_room), so an oversize
// module stops before the ops are built.
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// The fuzz targets (fuzz/) run under AddressSanitizer within seconds and a few GB: the same
// guards, reached sooner.
constexpr std::uint64_t kMaxOps = 100'000;
constexpr std::uint64_t kMaxBytes = std::uint64_t{1} << 26;
#else
constexpr std::uint64_t kMaxOps = 10'000'000;
constexpr std::uint64_t kMaxBytes = std::uint64_t{1} << 33;
#endif
// The most calls (and loop iterations) nested inside one another: the entry, its callee, and
// so on, make a chain of at most kMaxNesting + 1 functions being expanded at once.
constexpr std::size_t kMaxNesting = 256;

// ---------------------------------------------------------------------------
// Records.

// Lookup tables keyed by name, searchable with a string_view.
using NameSet = HashSet<std::string>;
using NameMap = HashMap<std::string, std::string>;

// A list of ops that grows in chunks, each reserved once: appending never moves the ops
// already held (a growing vector would move all of them on each reallocation, holding both
// arrays meanwhile), and drain() frees each chunk as soon as its ops are handed on.
class OpList {
 public:
  static constexpr bool kResult = false;  // holds a body kept for inlining
  void push_back(Op&& op) {
    if (chunks_.empty() || chunks_.back().size() == chunks_.back().capacity()) {
      std::size_t cap = chunks_.empty() ? 8 : std::min<std::size_t>(chunks_.back().capacity() * 2, 4096);
      chunks_.emplace_back().reserve(cap);
    }
    chunks_.back().push_back(std::move(op));
    ++size_;
  }
  std::size_t size() const { return size_; }
  // A record to build the next op in, then appended by push_scratch().
  Op& scratch() { return scratch_; }
  void push_scratch() { push_back(std::move(scratch_)); }
  template <class F>
  void for_each(F&& f) const {
    for (const auto& chunk : chunks_)
      for (const Op& op : chunk) f(op);
  }
  // Hands every op to f to move from, releasing each chunk once it is done.
  template <class F>
  void drain(F&& f) && {
    for (auto& chunk : chunks_) {
      for (Op& op : chunk) f(op);
      std::vector<Op>().swap(chunk);
    }
    chunks_.clear();
    size_ = 0;
  }
  std::vector<Op> take() && {
    std::vector<Op> ops;
    ops.reserve(size_);
    std::move(*this).drain([&](Op& op) { ops.push_back(std::move(op)); });
    return ops;
  }

 private:
  std::vector<std::vector<Op>> chunks_;
  std::size_t size_ = 0;
  Op scratch_;
};

// A function's expanded body, kept for the rest of the flatten call: expansion
// depends only on the function map and the global names, so every call and loop
// iteration of the same function inlines the same body.
struct Expanded {
  OpList body;
  ViewSet param_names;
};

// Frees a body that is needed no more, an op at a time (see release_long_lists).
inline void release_body(Expanded& e) {
  std::move(e.body).drain([](Op& op) {
    if (has_long_list(op)) release_long_lists(op);
    poll_interrupt(kElementUnits);
  });
}

// What the expansion of a function holds, worked out without building it: its ops other
// than cache ops (each of which the entry turns into a slot, so that it may hold no op of
// the result), and the bytes of all its ops. Each saturates just above its bound.
struct Size {
  static constexpr std::uint64_t kTooManyOps = kMaxOps + 1;
  static constexpr std::uint64_t kTooManyBytes = kMaxBytes + 1;
  std::uint64_t ops = 0;
  std::uint64_t bytes = 0;

  Size& operator+=(const Size& o) {
    ops = std::min(ops + o.ops, kTooManyOps);
    bytes = std::min(bytes + o.bytes, kTooManyBytes);
    return *this;
  }
  // n copies.
  Size times(std::uint64_t n) const {
    auto mul = [n](std::uint64_t size, std::uint64_t too_many) {
      if (size == 0) return std::uint64_t{0};
      return n > too_many / size ? too_many : std::min(n * size, too_many);
    };
    return Size{mul(ops, kTooManyOps), mul(bytes, kTooManyBytes)};
  }
};

// What one flatten call shares between its expansions.
struct Ctx {
  const OrderedMap<Function>& functions;
  const NameSet& global_names;
  HashMap<std::string_view, Expanded> bodies{};  // keyed by function key
  std::vector<std::string_view> chain{};         // functions being expanded
  std::uint64_t result_ops = 0;                  // ops of the result so far
  std::uint64_t built_bytes = 0;                 // op_bytes of every op built so far
  HashMap<std::string_view, Size> sizes{};       // predicted sizes, known
  std::vector<std::string_view> size_chain{};    // predicted sizes, in progress
  HashSet<std::string_view> sound{};             // expand without a stop
  // Per function, the call and loop ops naming it not yet expanded; once none is left
  // (and no cache op names it), its expanded body is needed no more.
  HashMap<std::string_view, std::size_t> pending_sites{};
  HashSet<std::string_view> slot_functions{};  // named by cache ops as init or extend
  // The stack each level of calls keeps for copying and weighing the deepest literal value.
  std::size_t literal_stack = 0;
};

// A call or loop op, or the call that computes or extends a cache slot, as the messages
// name it.
struct Site {
  std::string_view kind;    // "call of", "loop over", "computed by", "extended by"
  const std::string& target;
  std::string_view in;      // the function whose body holds the op; the entry, for a slot
  std::string_view slot{};  // the cache slot's var, for a slot
};

// ---------------------------------------------------------------------------
// Small helpers.

inline std::string joined(std::string_view a, std::string_view sep, std::string_view b) {
  std::string s;
  s.reserve(a.size() + sep.size() + b.size());
  s.append(a).append(sep).append(b);
  return s;
}

inline std::string numbered(std::string_view a, std::string_view sep, std::uint64_t n) {
  std::string s;
  s.reserve(a.size() + sep.size() + 20);
  s.append(a).append(sep);
  append_int(s, n);
  return s;
}

inline const std::string* name_of(const Atom& a) { return std::get_if<std::string>(&a); }

inline bool ends_in_star(std::string_view s) { return s.size() >= 2 && s.ends_with(".*"); }

// "x.*" in iteration i gives "x.i".
inline std::string star_name(std::string_view s, std::uint64_t i) {
  return numbered(s.substr(0, s.size() - 2), ".", i);
}

// ---------------------------------------------------------------------------
// Stops and bounds (flatten_bounds.cpp).

// A call of `a` arguments binds a callee of `p` parameters when a == p or 1 <= a < p;
// otherwise it stops: "call of 'g' in 'main' passes 3 arguments, but 'g' has 2 parameters".
void check_binding_count(std::size_t a, std::size_t p, const Site& site);
// "call of 'g' at op 2 of 'main' has no outputs" (ops counted from 0).
[[noreturn]] void no_outputs_failure(const Site& s, std::size_t op);

// The function named `name`; stops when there is none.
OrderedMap<Function>::const_iterator find_function(const Ctx& ctx, const std::string& name);

// What an op counts against the bound on bytes.
std::uint64_t op_bytes(const Op& op);
// "flattening would produce more than 10000000 ops", with `what` for "flattening".
[[noreturn]] void too_many_ops(std::string_view what);
// "flattening would produce more than 8589934592 bytes of ops", with `what` for "flattening".
[[noreturn]] void too_many_bytes(std::string_view what);

// Every op built counts against the bound on bytes, checked before the op is kept.
inline void count_bytes(Ctx& ctx, std::uint64_t bytes) {
  if (bytes > kMaxBytes - ctx.built_bytes) too_many_bytes("flattening");
  ctx.built_bytes += bytes;
}

// Every op of the result counts once against the bound on ops.
inline void count_result_op(Ctx& ctx) {
  if (ctx.result_ops == kMaxOps) too_many_ops("flattening");
  ++ctx.result_ops;
}

// The culprits that the bounds' messages name: "call of 'g'", "loop over 'g' with count 4".
std::string call_culprit(const std::string& target);
std::string loop_culprit(const std::string& target, std::uint64_t n);

// Stops before inlining `n` copies of the site's target with `args` arguments would pass a
// bound; when the copies go to the result (`to_result`), the ops of the result count too.
// `what` names the culprit for the message.
void check_room(Ctx& ctx, const Site& site, std::uint64_t n, std::size_t args, bool to_result,
                const std::function<std::string()>& what);

// Pushes `key` on the chain of functions being expanded, stopping on a cycle or too deep a
// nesting; the caller pops it when done.
void enter(Ctx& ctx, std::string_view key);

// ---------------------------------------------------------------------------
// Binding and renaming (flatten_bind.cpp).

// A namespace parameter's argument, with the parameter's place among the namespace
// parameters of the callee.
struct StarBinding {
  std::size_t order;
  std::string arg;
};

// The bindings of one inlined call. Every table is looked up by name, so binding and
// renaming take time in proportion to the names bound and renamed. The keys of param_map
// and numbers are views of the callee's parameter and return names, which outlive the
// bindings.
struct Bindings {
  ViewMap<std::string> param_map;
  // Namespace parameters. A name matching two of them (w and w.a for w.a.b) takes the one
  // declared first: the lower order.
  HashMap<std::string, StarBinding> star_map;
  // The distinct lengths of star_map's keys, ascending: a name is looked up only under its
  // prefixes of these lengths.
  std::vector<std::size_t> star_lengths;
  // Parameters bound to a number: their uses read the number until the callee
  // defines the name again. The values point at the call's arguments, which outlive the
  // bindings too: a call binding many parameters to numbers copies none of them.
  ViewMap<const Atom*> numbers;
  // The names of `numbers` that the body being inlined has defined again so far.
  HashSet<std::string> redefined;
};

// Binds the call's arguments to the callee's parameters (a short call binds its
// last argument as a namespace for the remaining parameters) and the callee's
// returns to the call's outputs.
Bindings bind(const Function& callee, const Expanded& expanded, const Op& call, const Site& site);

// The bindings of every iteration of one loop. The first iteration binds all the arguments;
// a later one differs from it only in the arguments that change from one iteration to the
// next (the threaded value, the ".*" names) and in the output its first return lands in, so
// only those bindings are made again: an iteration costs what its body does, not what the
// loop's argument list does. A callee naming two parameters alike is bound anew each time.
class LoopBindings {
 public:
  explicit LoopBindings(std::vector<std::size_t> varying) : varying_(std::move(varying)) {}
  Bindings& bind_for(const Function& callee, const Expanded& expanded, const Op& call,
                     const Site& site);

 private:
  std::vector<std::size_t> varying_;  // the positions of the arguments that change
  Bindings b_;
  bool made_ = false;
};

// One op of the callee's body, renamed into the caller, written over `r`: the ops of an
// inlined body are built one after the other in the same record, reusing its storage.
void rename_into_caller(const Op& op, Bindings& b, std::string_view dotted_prefix,
                        const NameSet& global_names, Op& r);

// A cache op inside iteration i of a loop gets its own slot: var x.* becomes x.i.
void substitute_cache_var_star(Op& op, std::uint64_t i);

// Within a body, the ops after a loop read its first output as the value of its last
// iteration: `renames` maps the one name to the other until an op defines the name again.
// `args` with those names replaced.
std::vector<Atom> renamed_args(const std::vector<Atom>& args, const NameMap& renames);
// A later op that defines a name that a loop renamed ends that renaming.
void end_renamings(const std::vector<std::string>& outputs, NameMap& renames);

// ---------------------------------------------------------------------------
// Expansion (flatten_expand.cpp).

// A loop op's count, and the position of its threaded argument (the one named like its
// first output).
struct LoopShape {
  std::uint64_t count;
  std::size_t threaded;
};

// Stops as unrolling the loop op would before its first iteration: a count not resolved, no
// outputs, no threaded argument among `args` (the loop's arguments, renamed). `index` is
// the loop's place in its function.
LoopShape validate_loop(const Site& site, const Op& loop, const std::vector<Atom>& args,
                        std::size_t index);

// `Out` is where expanded ops go: an OpList, or the entry's output (EntryOut); either
// takes ops by push_back and counts them by size().

// Appends the body of f with every call inlined and every loop unrolled.
template <class Out>
void expand_into(Ctx& ctx, const Function& f, Out& out);

// Appends the body of the call op's target, renamed into the caller under `prefix`.
// Inside iteration i of a loop, cache vars ending in ".*" take the iteration number.
template <class Out>
void inline_call(Ctx& ctx, const Op& call, std::string_view prefix, Out& out, const Site& site,
                 std::optional<std::uint64_t> iteration = std::nullopt,
                 LoopBindings* loop = nullptr);

// Stops as the first inlining of the site's target with `args` arguments would, walking
// the target's body without building it (flatten_bounds.cpp).
void check_first_inlining(Ctx& ctx, const Site& site, std::size_t args);

// ---------------------------------------------------------------------------
// The entry's output and its cache slots (flatten_slots.cpp).

// The entry's ops on their way to the sink. While the entry expands, a cache op leaves a
// hole in the sink and is kept until slots are placed; while a slot is placed, every op
// (a cache op inside an init or extend function too) goes to the sink as it is.
class EntryOut {
 public:
  static constexpr bool kResult = true;
  EntryOut(Ctx& ctx, FlatSink& sink) : ctx_(ctx), sink_(sink) {}
  void push_back(Op&& op) { push(op); }
  std::size_t size() const { return size_; }
  // A record to build the next op in, then handed on by push_scratch(): the sink writes it
  // out and leaves it (or takes it), so its storage serves the next op.
  Op& scratch() { return scratch_; }
  void push_scratch() { push(scratch_); }
  // Calls place(op) for each cache op of the expansion, in order, after telling the sink
  // that the next hole is being filled.
  template <class F>
  void place_slots(F&& place) {
    placing_ = true;
    caches_.for_each([&](const Op& op) {
      sink_.fill();
      place(op);
    });
  }

 private:
  void push(Op& op) {
    ++size_;
    if (placing_ || !std::holds_alternative<Cache>(op.kind)) {
      count_result_op(ctx_);
      sink_.op(std::move(op));
      return;
    }
    caches_.push_back(std::move(op));
    sink_.hole();
  }

  Ctx& ctx_;
  FlatSink& sink_;
  OpList caches_;
  Op scratch_;
  std::size_t size_ = 0;
  bool placing_ = false;
};

// The cache slots of one flatten call: the entry's added params and returns.
struct CacheCtx {
  const CacheKeys& cache_keys;
  std::vector<Param> cache_inputs{};
  std::vector<Param> cache_outputs{};
  HashSet<std::string> input_names{};
  HashSet<std::string> output_names{};
};

// Replaces a cache op by its slot: computed by `init` when not selected by the
// cache keys; supplied by the caller otherwise, and extended by `extend` if given.
// `entry` is the function being flattened.
void place_cache_slot(Ctx& ctx, CacheCtx& cc, const Op& op, std::string_view entry,
                      EntryOut& out);

// `own` followed by the slots not named like one of `own`.
std::vector<Param> with_slots(const std::vector<Param>& own, const std::vector<Param>& slots);

}  // namespace travune::flat
