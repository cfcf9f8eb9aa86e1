#include "travune/flatten.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "travune/fatal.hpp"
#include "travune/hash.hpp"
#include "travune/file.hpp"
#include "travune/interrupt.hpp"
#include "travune/json.hpp"
#include "travune/stack.hpp"
#include "number_text.hpp"

namespace travune {
namespace {

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
// Each call and loop is weighed before it is expanded (see predicted_size), so an oversize
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
// Lookup tables keyed by name, searchable with a string_view.

using NameSet = HashSet<std::string>;
using NameMap = HashMap<std::string, std::string>;

// A list of ops that grows without moving what it holds. Moving an Op may throw
// (the axes map of view and tile ops), so a growing std::vector<Op> would copy
// every op on each reallocation; chunks are reserved once and never reallocated.
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
  HashMap<std::string_view, Expanded> bodies;  // keyed by function key
  std::vector<std::string_view> chain;                    // functions being expanded
  std::uint64_t result_ops = 0;                          // ops of the result so far
  std::uint64_t built_bytes = 0;                         // op_bytes of every op built so far
  HashMap<std::string_view, Size> sizes;                 // predicted_size, known
  std::vector<std::string_view> size_chain;                   // predicted_size, in progress
  HashSet<std::string_view> sound;                 // expand without a stop
  // Per function, the call and loop ops naming it not yet expanded; once none is left
  // (and no cache op names it), its expanded body is needed no more.
  HashMap<std::string_view, std::size_t> pending_sites;
  HashSet<std::string_view> slot_functions;  // named by cache ops as init or extend
  // The stack each level of calls keeps for copying and weighing the deepest literal value.
  std::size_t literal_stack = 0;
};

// ---------------------------------------------------------------------------
// Small helpers.

std::string joined(std::string_view a, std::string_view sep, std::string_view b) {
  std::string s;
  s.reserve(a.size() + sep.size() + b.size());
  s.append(a).append(sep).append(b);
  return s;
}

std::string numbered(std::string_view a, std::string_view sep, std::uint64_t n) {
  std::string s;
  s.reserve(a.size() + sep.size() + 20);
  s.append(a).append(sep);
  append_int(s, n);
  return s;
}

const std::string* name_of(const Atom& a) { return std::get_if<std::string>(&a); }

bool ends_in_star(std::string_view s) { return s.size() >= 2 && s.ends_with(".*"); }

// "x.*" in iteration i gives "x.i".
std::string star_name(std::string_view s, std::uint64_t i) {
  return numbered(s.substr(0, s.size() - 2), ".", i);
}

// A call or loop op, or the call that computes or extends a cache slot, as the messages
// name it.
struct Site {
  std::string_view kind;    // "call of", "loop over", "computed by", "extended by"
  const std::string& target;
  std::string_view in;      // the function whose body holds the op; the entry, for a slot
  std::string_view slot;    // the cache slot's var, for a slot
};

// "call of 'g' in 'main'", "cache slot 'k' computed by 'init_k' in 'main'".
std::string site_text(const Site& s) {
  std::string t;
  if (!s.slot.empty()) t.append("cache slot '").append(s.slot).append("' ");
  t.append(s.kind).append(" '").append(s.target).append("' in '").append(s.in).append("'");
  return t;
}

// "1 argument", "3 arguments".
std::string counted(std::size_t n, std::string_view noun) {
  std::string t;
  append_int(t, n);
  t.append(" ").append(noun);
  if (n != 1) t += 's';
  return t;
}

// "call of 'g' in 'main' passes 3 arguments, but 'g' has 2 parameters".
[[noreturn]] void arity_failure(const Site& s, std::size_t args, std::size_t params) {
  fatal(site_text(s) + " passes " + counted(args, "argument") + ", but '" + s.target + "' has " +
        counted(params, "parameter"));
}

// "call of 'g' at op 2 of 'main' has no outputs" (ops counted from 0).
[[noreturn]] void no_outputs_failure(const Site& s, std::size_t op) {
  std::string msg(s.kind);
  msg.append(" '").append(s.target).append("' at op ");
  append_int(msg, op);
  msg.append(" of '").append(s.in).append("' has no outputs");
  fatal(std::move(msg));
}

OrderedMap<Function>::const_iterator find_function(const Ctx& ctx, const std::string& name) {
  auto it = ctx.functions.find(name);
  if (it == ctx.functions.end()) fatal("no entry found for key");
  return it;
}

std::size_t literal_size(const LiteralValue& v) {
  const auto* list = std::get_if<LiteralList>(&v.v);
  if (!list) return 1;
  std::size_t n = 1;
  for (const LiteralValue& e : *list) n += literal_size(e);
  return n;
}

// What an op counts against the bound on bytes, about the memory its record takes: the record
// itself, and the text of each of its names, types, arguments and comments with kElement
// bytes more for each (about what a name, an atom or a dimension takes besides its text).
std::uint64_t op_bytes(const Op& op) {
  constexpr std::size_t kElement = 48;
  std::size_t bytes = sizeof(Op);
  auto text = [&](const std::string& s) { bytes += kElement + s.size(); };
  for (const std::string& o : op.outputs) text(o);
  for (const auto& t : op.output_types) {
    if (!t) continue;
    text(t->dtype);
    for (const Dim& d : t->shape)
      if (const std::string* n = std::get_if<std::string>(&d)) text(*n);
      else bytes += kElement;
  }
  for (const Atom& a : op.args)
    if (const std::string* n = std::get_if<std::string>(&a)) text(*n);
    else bytes += kElement;
  for (const std::string& c : op.comments) text(c);
  std::visit([&](const auto& k) {
    using K = std::decay_t<decltype(k)>;
    if constexpr (requires { k.pattern; }) text(k.pattern);
    if constexpr (requires { k.function; }) text(k.function);
    if constexpr (requires { k.reduction; }) text(k.reduction);
    if constexpr (requires { k.target; }) text(k.target);
    if constexpr (requires { k.var; }) text(k.var), text(k.init);
    if constexpr (requires { k.extend; }) if (k.extend) text(*k.extend);
    if constexpr (requires { k.axes; }) for (const auto& [name, size] : k.axes) text(name);
    if constexpr (std::is_same_v<K, Literal>) bytes += kElement * literal_size(k.value);
  }, op.kind);
  return bytes;
}

[[noreturn]] void too_many_ops(std::string_view what) {
  fatal(std::string(what) + " would produce more than " + std::to_string(kMaxOps) + " ops");
}
[[noreturn]] void too_many_bytes(std::string_view what) {
  fatal(std::string(what) + " would produce more than " + std::to_string(kMaxBytes) +
        " bytes of ops");
}

// Every op built counts against the bound on bytes, checked before the op is kept.
void count_bytes(Ctx& ctx, std::uint64_t bytes) {
  if (bytes > kMaxBytes - ctx.built_bytes) too_many_bytes("flattening");
  ctx.built_bytes += bytes;
}

// Every op of the result counts once against the bound on ops.
void count_result_op(Ctx& ctx) {
  if (ctx.result_ops == kMaxOps) too_many_ops("flattening");
  ++ctx.result_ops;
}

// The size of the expansion of the named function. Whatever the expansion itself would stop
// on (an unknown function, a symbolic count, a cycle, too deep a nesting) counts as nothing
// here.
Size predicted_size(Ctx& ctx, const std::string& name) {
  auto it = ctx.functions.find(name);
  if (it == ctx.functions.end()) return {};
  std::string_view key = it->first;
  if (auto known = ctx.sizes.find(key); known != ctx.sizes.end()) return known->second;
  if (ctx.size_chain.size() > kMaxNesting ||
      std::find(ctx.size_chain.begin(), ctx.size_chain.end(), key) != ctx.size_chain.end())
    return {};
  check_stack("calls", ctx.size_chain.size() + 1, ctx.literal_stack);
  ctx.size_chain.push_back(key);
  Size total;
  for (const Op& op : it->second.ops) {
    if (const Call* c = std::get_if<Call>(&op.kind)) {
      total += predicted_size(ctx, c->target);
    } else if (const Loop* l = std::get_if<Loop>(&op.kind)) {
      if (const std::uint64_t* n = std::get_if<std::uint64_t>(&l->count); n && *n > 0)
        total += predicted_size(ctx, l->target).times(*n);
    } else {
      total += Size{std::holds_alternative<Cache>(op.kind) ? 0u : 1u, op_bytes(op)};
    }
  }
  ctx.size_chain.pop_back();
  ctx.sizes.emplace(key, total);
  return total;
}

void check_first_inlining(Ctx& ctx, const Site& site, std::size_t args);

// Stops, naming `what`, when `size` alone passes a bound.
template <class What>
void check_alone(const Size& size, What what) {
  if (size.ops > kMaxOps) too_many_ops(what());
  if (size.bytes > kMaxBytes) too_many_bytes(what());
}
std::string call_culprit(const std::string& target) { return "call of '" + target + "'"; }
std::string loop_culprit(const std::string& target, std::uint64_t n) {
  return numbered("loop over '" + target + "' with count", " ", n);
}

// Stops before inlining `n` copies of the target's body, given `args` arguments, would
// pass a bound: the bytes of every op built (counting the target's own expansion when it is
// not built yet), and, when the copies go to the result (`to_result`), the ops of the result.
// Whatever would stop the first inlining anyway (an unknown target, a stop inside its
// expansion, an argument count it cannot take) stops the call first, with its own
// message. `what` names the culprit for the message.
template <class What>
void check_room(Ctx& ctx, const Site& site, std::uint64_t n, std::size_t args, bool to_result,
                What what) {
  const Size size = predicted_size(ctx, site.target);
  const bool built = ctx.bodies.contains(std::string_view(site.target));
  Size need = size.times(n);
  if (!built) need += Size{0, size.bytes};
  const bool ops_fit = !to_result || need.ops <= kMaxOps - ctx.result_ops;
  const bool bytes_fit = need.bytes <= kMaxBytes - ctx.built_bytes;
  if (ops_fit && bytes_fit) return;
  check_first_inlining(ctx, site, args);
  if (!ops_fit) too_many_ops(what());
  too_many_bytes(what());
}

std::string chain_text(const std::vector<std::string_view>& chain, std::string_view last) {
  std::string s;
  for (std::string_view name : chain) s.append(name).append(" -> ");
  s.append(last);
  return s;
}

// A function already being expanded would be expanded without end.
void enter(Ctx& ctx, std::string_view key) {
  if (std::find(ctx.chain.begin(), ctx.chain.end(), key) != ctx.chain.end())
    fatal("recursive call: " + chain_text(ctx.chain, key));
  if (ctx.chain.size() > kMaxNesting) {
    std::string msg = "calls nested more than 256 levels deep: ";
    msg.append(ctx.chain.front()).append(" -> ... -> ").append(ctx.chain.back());
    msg.append(" -> ").append(key);
    fatal(std::move(msg));
  }
  check_stack("calls", ctx.chain.size() + 1, ctx.literal_stack);
  ctx.chain.push_back(key);
}

// ---------------------------------------------------------------------------
// Binding a callee's names to the caller's.

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

void put_star(Bindings& b, const std::string& param, const std::string& arg) {
  auto [it, added] = b.star_map.try_emplace(param, StarBinding{b.star_map.size(), arg});
  if (!added) {
    it->second.arg = arg;
    return;
  }
  auto at = std::lower_bound(b.star_lengths.begin(), b.star_lengths.end(), param.size());
  if (at == b.star_lengths.end() || *at != param.size()) b.star_lengths.insert(at, param.size());
}

// The namespace parameter that name n falls under: n itself or n's part before one of its
// dots; the first declared when several match.
const std::pair<const std::string, StarBinding>* star_for(const Bindings& b, std::string_view n) {
  const std::pair<const std::string, StarBinding>* best = nullptr;
  auto consider = [&](const std::pair<const std::string, StarBinding>& e) {
    if (!best || e.second.order < best->second.order) best = &e;
  };
  if (b.star_map.size() <= 4) {  // a few (the usual case): compared without hashing the name
    for (const auto& e : b.star_map) {
      const std::string& k = e.first;
      if (n.starts_with(k) && (n.size() == k.size() || n[k.size()] == '.')) consider(e);
    }
    return best;
  }
  for (std::size_t len : b.star_lengths) {
    if (len > n.size()) break;
    if (len < n.size() && n[len] != '.') continue;
    if (auto it = b.star_map.find(n.substr(0, len)); it != b.star_map.end()) consider(*it);
  }
  return best;
}

void drop_number(Bindings& b, std::string_view name) {
  b.numbers.unordered_erase(name);
}

void put_number(Bindings& b, const std::string& param, const Atom& value) {
  b.numbers.insert_or_assign(std::string_view(param), &value);
}

void put_param(Bindings& b, const std::string& param, std::string arg) {
  drop_number(b, param);
  b.param_map.insert_or_assign(std::string_view(param), std::move(arg));
}

const Atom* number_for(const Bindings& b, std::string_view name) {
  auto it = b.numbers.find(name);
  return it == b.numbers.end() || b.redefined.contains(name) ? nullptr : it->second;
}

// A call of `a` arguments binds a callee of `p` parameters when a == p or 1 <= a < p.
void check_binding_count(std::size_t a, std::size_t p, const Site& site) {
  if (a > p || (a == 0 && p > 0)) arity_failure(site, a, p);
}

// Binds the call's arguments to the callee's parameters (a short call binds its
// last argument as a namespace for the remaining parameters) and the callee's
// returns to the call's outputs.
Bindings bind(const Function& callee, const Expanded& expanded, const Op& call, const Site& site) {
  const std::size_t a = call.args.size(), p = callee.params.size();
  check_binding_count(a, p, site);
  const std::size_t k = a < p ? a - 1 : a;
  Bindings b;
  // Each table sized once for what it will hold, so that none is rehashed as it fills.
  std::size_t stars = 0, numbers = 0;
  for (std::size_t i = 0; i < k; ++i) {
    if (!name_of(call.args[i])) ++numbers;
    else if (callee.params[i].ty.dtype == "*") ++stars;
  }
  b.param_map.reserve(p - stars - numbers + callee.returns.size());
  if (stars) b.star_map.reserve(stars);
  if (numbers) b.numbers.reserve(numbers);
  for (std::size_t i = 0; i < k; ++i) {
    const Param& param = callee.params[i];
    if (const std::string* arg = name_of(call.args[i])) {
      if (param.ty.dtype == "*") {
        drop_number(b, param.name);
        put_star(b, param.name, *arg);
      } else {
        put_param(b, param.name, *arg);
      }
    } else {
      put_number(b, param.name, call.args[i]);
    }
  }
  if (a >= 1 && a < p) {
    if (const std::string* last = name_of(call.args.back()))
      for (std::size_t j = k; j < p; ++j)
        put_param(b, callee.params[j].name, joined(*last, ".", callee.params[j].name));
  }
  const std::size_t r = std::min(callee.returns.size(), call.outputs.size());
  for (std::size_t i = 0; i < r; ++i) {
    const std::string& ret = callee.returns[i].name;
    if (!expanded.param_names.contains(ret)) b.param_map.insert_or_assign(ret, call.outputs[i]);
  }
  return b;
}

// The bindings of every iteration of one loop. The first iteration binds all the arguments;
// a later one differs from it only in the arguments that change from one iteration to the
// next (the threaded value, the ".*" names) and in the output its first return lands in, so
// only those bindings are made again: an iteration costs what its body does, not what the
// loop's argument list does. A callee naming two parameters alike is bound anew each time.
class LoopBindings {
 public:
  explicit LoopBindings(std::vector<std::size_t> varying) : varying_(std::move(varying)) {}

  Bindings& bind_for(const Function& callee, const Expanded& expanded, const Op& call,
                     const Site& site) {
    if (!made_ || expanded.param_names.size() != callee.params.size()) {
      b_ = bind(callee, expanded, call, site);
      made_ = true;
      return b_;
    }
    const std::size_t a = call.args.size(), p = callee.params.size();
    const std::size_t k = a < p ? a - 1 : a;
    for (std::size_t pos : varying_) {
      const std::string& arg = std::get<std::string>(call.args[pos]);
      if (pos < k) {
        const Param& param = callee.params[pos];
        if (param.ty.dtype == "*") b_.star_map.find(param.name)->second.arg = arg;
        else b_.param_map.insert_or_assign(param.name, arg);
      } else {  // the namespace tail
        for (std::size_t j = k; j < p; ++j)
          b_.param_map.insert_or_assign(callee.params[j].name, joined(arg, ".", callee.params[j].name));
      }
    }
    const std::size_t r = std::min(callee.returns.size(), call.outputs.size());
    for (std::size_t i = 0; i < r; ++i) {
      const std::string& ret = callee.returns[i].name;
      if (!expanded.param_names.contains(ret)) b_.param_map.insert_or_assign(ret, call.outputs[i]);
    }
    return b_;
  }

 private:
  std::vector<std::size_t> varying_;  // the positions of the arguments that change
  Bindings b_;
  bool made_ = false;
};

// The caller-side name of callee-side name n.
// Written over `to`, whose storage is reused.
void resolve_name(std::string& to, std::string_view n, const Bindings& b,
                  std::string_view dotted_prefix, const NameSet& global_names) {
  if (global_names.contains(n)) return void(to.assign(n));
  if (auto it = b.param_map.find(n); it != b.param_map.end()) return void(to.assign(it->second));
  if (const auto* star = b.star_lengths.empty() ? nullptr : star_for(b, n))
    return void(to.assign(star->second.arg).append(n.substr(star->first.size())));
  to.assign(dotted_prefix).append(n);
}

// A cache op inside iteration i of a loop gets its own slot: var x.* becomes x.i.
void substitute_cache_var_star(Op& op, std::uint64_t i) {
  if (auto* c = std::get_if<Cache>(&op.kind); c && ends_in_star(c->var)) c->var = star_name(c->var, i);
}

// One op of the callee's body, renamed into the caller, written over `r`: the ops of an
// inlined body are built one after the other in the same record, reusing its storage.
void rename_into_caller(const Op& op, Bindings& b, std::string_view dotted_prefix,
                        const NameSet& global_names, Op& r) {
  r.kind = op.kind;
  r.output_types = op.output_types;
  r.comments = op.comments;
  r.args.resize(op.args.size());
  for (std::size_t i = 0; i < op.args.size(); ++i) {
    const Atom& a = op.args[i];
    const std::string* n = name_of(a);
    if (!n) {
      r.args[i] = a;
    } else if (const Atom* num = b.numbers.empty() || global_names.contains(*n)
                                     ? nullptr
                                     : number_for(b, *n)) {
      r.args[i] = *num;
    } else {
      std::string* to = std::get_if<std::string>(&r.args[i]);
      if (!to) to = &r.args[i].emplace<std::string>();
      resolve_name(*to, *n, b, dotted_prefix, global_names);
    }
  }
  r.outputs.resize(op.outputs.size());
  for (std::size_t i = 0; i < op.outputs.size(); ++i) {
    resolve_name(r.outputs[i], op.outputs[i], b, dotted_prefix, global_names);
    if (!b.numbers.empty() && b.numbers.contains(op.outputs[i])) b.redefined.insert(op.outputs[i]);
  }
}

// ---------------------------------------------------------------------------
// Expansion.

// `Out` is where expanded ops go: an OpList, or the entry's output (EntryOut); either
// takes ops by push_back and counts them by size().
template <class Out>
void expand_into(Ctx& ctx, const Function& f, Out& out);

// The expanded body of the function at `it`, built on first use.
const Expanded& expanded_body(Ctx& ctx, OrderedMap<Function>::const_iterator it) {
  std::string_view key = it->first;
  if (auto found = ctx.bodies.find(key); found != ctx.bodies.end()) return found->second;
  enter(ctx, key);
  Expanded e;
  expand_into(ctx, it->second, e.body);
  ctx.chain.pop_back();
  e.param_names.reserve(it->second.params.size());
  for (const Param& p : it->second.params) e.param_names.insert(p.name);
  return ctx.bodies.emplace(key, std::move(e)).first->second;
}

// Appends the body of the call op's target, renamed into the caller under `prefix`.
// Inside iteration i of a loop, cache vars ending in ".*" take the iteration number.
template <class Out>
void inline_call(Ctx& ctx, const Op& call, std::string_view prefix, Out& out, const Site& site,
                 std::optional<std::uint64_t> iteration = std::nullopt,
                 LoopBindings* loop = nullptr) {
  const auto* c = std::get_if<Call>(&call.kind);
  if (!c) fatal("internal error: entered unreachable code");
  auto it = find_function(ctx, c->target);
  const Expanded& callee = expanded_body(ctx, it);
  Bindings own;
  Bindings& b = loop ? loop->bind_for(it->second, callee, call, site)
                     : (own = bind(it->second, callee, call, site));
  b.redefined.clear();
  const std::string dotted_prefix = joined(prefix, ".", "");
  Op& r = out.scratch();
  callee.body.for_each([&](const Op& op) {
    poll_interrupt(kOpUnits);
    rename_into_caller(op, b, dotted_prefix, ctx.global_names, r);
    if (iteration) substitute_cache_var_star(r, *iteration);
    count_bytes(ctx, op_bytes(r));
    out.push_scratch();
  });
}

std::vector<Atom> renamed_args(const std::vector<Atom>& args, const NameMap& renames) {
  std::vector<Atom> r = args;
  if (renames.empty()) return r;
  for (Atom& a : r)
    if (const std::string* n = name_of(a))
      if (auto it = renames.find(*n); it != renames.end()) a = it->second;
  return r;
}

// Unrolls a loop op (arguments already renamed) into calls of its body function,
// one per iteration, threading the value named like the loop's first output.
// Returns the name of the last value, when there is one. The loop is op `index` of its
// function.
template <class Out>
std::optional<std::string> unroll_loop(Ctx& ctx, const Op& loop, std::size_t index, Out& out) {
  const Loop& l = std::get<Loop>(loop.kind);
  const Site site{"loop over", l.target, ctx.chain.back(), {}};
  if (const std::string* sym = std::get_if<std::string>(&l.count))
    fatal("Loop count '" + *sym + "' not resolved before flattening");
  const std::uint64_t n = std::get<std::uint64_t>(l.count);
  if (loop.outputs.empty()) no_outputs_failure(site, index);
  const std::string& threaded = loop.outputs[0];
  auto t = std::find_if(loop.args.begin(), loop.args.end(), [&](const Atom& a) {
    const std::string* s = name_of(a);
    return s && *s == threaded;
  });
  if (t == loop.args.end()) fatal("Loop must have a threaded arg matching output name");
  const std::size_t t_pos = static_cast<std::size_t>(t - loop.args.begin());
  if (n == 0) return std::nullopt;
  check_room(ctx, site, n, loop.args.size(), Out::kResult,
             [&] { return loop_culprit(l.target, n); });

  // The call of each iteration: the loop's arguments, the threaded one replaced by the value
  // of the iteration before, and each x.* by x.i.
  Op call{Call{l.target}, {std::string()}, loop.output_types, loop.args, {}};
  std::vector<std::size_t> varying;
  for (std::size_t p = 0; p < loop.args.size(); ++p) {
    const std::string* s = name_of(loop.args[p]);
    if (p == t_pos || (s && ends_in_star(*s))) varying.push_back(p);
  }
  LoopBindings bindings(varying);
  std::string cur = threaded;
  for (std::uint64_t i = 0; i < n; ++i) {
    poll_interrupt(kOpUnits);
    for (std::size_t p : varying) {
      std::string& arg = std::get<std::string>(call.args[p]);
      if (p == t_pos) arg = cur;
      else arg = star_name(std::get<std::string>(loop.args[p]), i);
    }
    call.outputs[0] = numbered(threaded, "_", i + 1);
    const std::size_t before = out.size();
    inline_call(ctx, call, numbered("loop", "", i), out, site, i, &bindings);
    if (i == 0 && out.size() == before) break;  // the other iterations add nothing either
    cur = call.outputs[0];
  }
  return numbered(threaded, "_", n);
}

// A later op that defines a name that a loop renamed ends that renaming.
void end_renamings(const std::vector<std::string>& outputs, NameMap& renames) {
  if (renames.empty()) return;
  for (const std::string& o : outputs) renames.erase(o);
}

// Every function expands at most once, so each call or loop op is expanded at most once;
// when the last one naming a function is done, that function's body is released (it is
// known to expand without a stop, as if it were still built).
void site_done(Ctx& ctx, std::string_view target) {
  auto it = ctx.pending_sites.find(target);
  if (it == ctx.pending_sites.end() || --it->second > 0 || ctx.slot_functions.contains(target))
    return;
  auto body = ctx.bodies.find(target);
  if (body == ctx.bodies.end()) return;
  ctx.sound.insert(body->first);
  ctx.bodies.erase(body);
}

// Appends the body of f with every call inlined and every loop unrolled.
template <class Out>
void expand_into(Ctx& ctx, const Function& f, Out& out) {
  NameMap renames;
  for (const Op& op : f.ops) {
    const std::size_t index = static_cast<std::size_t>(&op - f.ops.data());
    poll_interrupt(kOpUnits);
    if (std::holds_alternative<Call>(op.kind)) {
      Op call{op.kind, op.outputs, op.output_types, renamed_args(op.args, renames), {}};
      const std::string& target = std::get<Call>(op.kind).target;
      const Site site{"call of", target, ctx.chain.back(), {}};
      if (call.outputs.empty()) no_outputs_failure(site, index);
      check_room(ctx, site, 1, call.args.size(), Out::kResult,
                 [&] { return call_culprit(target); });
      inline_call(ctx, call, call.outputs[0], out, site);
      site_done(ctx, target);
      end_renamings(op.outputs, renames);
    } else if (std::holds_alternative<Loop>(op.kind)) {
      Op loop{op.kind, op.outputs, op.output_types, renamed_args(op.args, renames), {}};
      std::optional<std::string> last = unroll_loop(ctx, loop, index, out);
      site_done(ctx, std::get<Loop>(op.kind).target);
      end_renamings(op.outputs, renames);
      if (last) renames.insert_or_assign(loop.outputs[0], std::move(*last));
    } else {
      count_bytes(ctx, op_bytes(op));
      Op copy{op.kind, op.outputs, op.output_types, renamed_args(op.args, renames), op.comments};
      out.push_back(std::move(copy));
      end_renamings(op.outputs, renames);
    }
  }
}

// ---------------------------------------------------------------------------
// The stops of an expansion, found without building it: the bound's message is kept
// for modules that would otherwise expand, so these are looked for before it is given.

void check_sound(Ctx& ctx, OrderedMap<Function>::const_iterator it);

// Stops as the first inlining of the site's target with `args` arguments would.
void check_first_inlining(Ctx& ctx, const Site& site, std::size_t args) {
  auto it = find_function(ctx, site.target);
  check_sound(ctx, it);
  check_binding_count(args, it->second.params.size(), site);
}

// Walks a body as expand_into does (renames included), stopping where it would stop:
// a call or loop that alone passes the bound stops it there.
void check_body(Ctx& ctx, const Function& f) {
  NameMap renames;
  for (const Op& op : f.ops) {
    const std::size_t index = static_cast<std::size_t>(&op - f.ops.data());
    if (const Call* c = std::get_if<Call>(&op.kind)) {
      const Site site{"call of", c->target, ctx.chain.back(), {}};
      if (op.outputs.empty()) no_outputs_failure(site, index);
      check_first_inlining(ctx, site, op.args.size());
      check_alone(predicted_size(ctx, c->target), [&] { return call_culprit(c->target); });
      end_renamings(op.outputs, renames);
    } else if (const Loop* l = std::get_if<Loop>(&op.kind)) {
      const Site site{"loop over", l->target, ctx.chain.back(), {}};
      if (const std::string* sym = std::get_if<std::string>(&l->count))
        fatal("Loop count '" + *sym + "' not resolved before flattening");
      const std::uint64_t n = std::get<std::uint64_t>(l->count);
      if (op.outputs.empty()) no_outputs_failure(site, index);
      const std::vector<Atom> args = renamed_args(op.args, renames);
      if (std::none_of(args.begin(), args.end(), [&](const Atom& a) {
            const std::string* s = name_of(a);
            return s && *s == op.outputs[0];
          }))
        fatal("Loop must have a threaded arg matching output name");
      if (n > 0) {
        check_first_inlining(ctx, site, op.args.size());
        check_alone(predicted_size(ctx, l->target).times(n),
                    [&] { return loop_culprit(l->target, n); });
      }
      end_renamings(op.outputs, renames);
      if (n > 0) renames.insert_or_assign(op.outputs[0], numbered(op.outputs[0], "_", n));
    } else {
      end_renamings(op.outputs, renames);
    }
  }
}

// A function whose body is built, or was walked before, expands without a stop.
void check_sound(Ctx& ctx, OrderedMap<Function>::const_iterator it) {
  std::string_view key = it->first;
  if (ctx.bodies.contains(key) || ctx.sound.contains(key)) return;
  enter(ctx, key);
  check_body(ctx, it->second);
  ctx.chain.pop_back();
  ctx.sound.insert(key);
}

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

// ---------------------------------------------------------------------------
// Flattening entry.

// Copying or weighing a literal value recurses once per nested list, at every level of calls:
// 64 bytes a list (480 with the sanitizer), twice that kept.
std::size_t deepest_literal_stack(const Module& m) {
  constexpr std::size_t kLevel = stack_bytes(128, 1024);
  std::size_t deepest = 0;
  for (const auto& [key, f] : m.functions)
    for (const Op& op : f.ops)
      if (const auto* l = std::get_if<Literal>(&op.kind))
        deepest = std::max(deepest, literal_depth(l->value));
  return deepest * kLevel;
}

// Names that inlining never renames: "param." references, and arguments that are
// dimension names of their own function.
NameSet global_names(const Module& m) {
  NameSet globals;
  HashSet<std::string_view> dims;
  auto add_dims = [&](const TensorType& t) {
    for (const Dim& d : t.shape)
      if (const std::string* s = std::get_if<std::string>(&d)) dims.insert(*s);
  };
  for (const auto& [key, f] : m.functions) {
    empty_for(dims, f.params.size() + f.returns.size() + f.ops.size());
    for (const Param& p : f.params) add_dims(p.ty);
    for (const Param& p : f.returns) add_dims(p.ty);
    for (const Op& op : f.ops)
      for (const auto& t : op.output_types)
        if (t) add_dims(*t);
    for (const Op& op : f.ops)
      for (const Atom& a : op.args)
        if (const std::string* n = name_of(a); n && (starts_with_param(*n) || dims.contains(*n)))
          globals.insert(*n);
  }
  return globals;
}

void count_sites_of(Ctx& ctx, const Function& f) {
  for (const Op& op : f.ops) {
    if (const Call* c = std::get_if<Call>(&op.kind)) {
      ++ctx.pending_sites[c->target];
    } else if (const Loop* l = std::get_if<Loop>(&op.kind)) {
      ++ctx.pending_sites[l->target];
    } else if (const Cache* c = std::get_if<Cache>(&op.kind)) {
      ctx.slot_functions.insert(c->init);
      if (c->extend) ctx.slot_functions.insert(*c->extend);
    }
  }
}

// Fills pending_sites and slot_functions. The entry expands once as the entry and, when
// some op names it (an init function may call it), once more as a callee.
void count_sites(Ctx& ctx, const std::string& entry) {
  for (const auto& [key, f] : ctx.functions) count_sites_of(ctx, f);
  auto it = ctx.functions.find(entry);
  if (it != ctx.functions.end() &&
      (ctx.pending_sites.contains(entry) || ctx.slot_functions.contains(entry)))
    count_sites_of(ctx, it->second);
}

// The cache slots of one flatten call.
struct CacheCtx {
  std::vector<Param> cache_inputs;
  std::vector<Param> cache_outputs;
  const CacheKeys& cache_keys;
  HashSet<std::string> input_names;
  HashSet<std::string> output_names;
};

void record_output(CacheCtx& cc, const std::string& name, const TensorType& ty) {
  if (cc.output_names.insert(name).second) cc.cache_outputs.push_back(Param{name, ty});
}

// Replaces a cache op by its slot: computed by `init` when not selected by the
// cache keys; supplied by the caller otherwise, and extended by `extend` if given.
// `entry` is the function being flattened.
void place_cache_slot(Ctx& ctx, CacheCtx& cc, const Op& op, std::string_view entry,
                      EntryOut& out) {
  const Cache& c = std::get<Cache>(op.kind);
  if (op.output_types.empty() || !op.output_types[0]) fatal("cache slot must have a declared type");
  const TensorType& ty = *op.output_types[0];
  if (!cc.cache_keys.contains(c.var)) {
    record_output(cc, c.var, ty);
    Op call{Call{c.init}, {c.var}, op.output_types, op.args, {}};
    const Site site{"computed by", c.init, entry, c.var};
    check_room(ctx, site, 1, call.args.size(), true, [&] { return "cache slot '" + c.var + "' computed by '" + c.init + "'"; });
    inline_call(ctx, call, c.var, out, site);
    return;
  }
  if (cc.input_names.insert(c.var).second) cc.cache_inputs.push_back(Param{c.var, ty});
  if (!c.extend) {
    record_output(cc, c.var, ty);
    return;
  }
  std::string updated = joined(c.var, "_new", "");
  record_output(cc, updated, ty);
  Op call{Call{*c.extend}, {updated}, op.output_types, {}, {}};
  call.args.reserve(op.args.size() + 1);
  call.args.emplace_back(std::in_place_index<2>, c.var);
  call.args.insert(call.args.end(), op.args.begin(), op.args.end());
  const Site site{"extended by", *c.extend, entry, c.var};
  check_room(ctx, site, 1, call.args.size(), true, [&] { return "cache slot '" + c.var + "' extended by '" + *c.extend + "'"; });
  inline_call(ctx, call, updated, out, site);
}

// `own` followed by the slots not named like one of `own`.
std::vector<Param> with_slots(const std::vector<Param>& own, const std::vector<Param>& slots) {
  HashSet<std::string_view> names;
  for (const Param& p : own) names.insert(p.name);
  std::vector<Param> all = own;
  for (const Param& p : slots)
    if (!names.contains(p.name)) all.push_back(p);
  return all;
}

// ---------------------------------------------------------------------------
// Sinks.

// The entry's ops as records, holes filled by their slots.
class OpCollector : public FlatSink {
 public:
  void op(Op&& op) override { (filling_ ? slots_ : main_).push_back(std::move(op)); }
  void hole() override { hole_at_.push_back(main_.size()); }
  void fill() override {
    filling_ = true;
    slot_start_.push_back(slots_.size());
  }

  std::vector<Op> take() && {
    std::vector<Op> ops;
    ops.reserve(main_.size() + slots_.size());
    std::vector<Op> slot_ops = std::move(slots_).take();
    slot_start_.push_back(slot_ops.size());
    std::size_t hole = 0, at = 0;
    auto fill_holes = [&] {
      for (; hole < hole_at_.size() && hole_at_[hole] == at; ++hole)
        for (std::size_t i = slot_start_[hole]; i < slot_start_[hole + 1]; ++i)
          ops.push_back(std::move(slot_ops[i]));
    };
    std::move(main_).drain([&](Op& op) {
      fill_holes();
      ops.push_back(std::move(op));
      ++at;
    });
    fill_holes();
    return ops;
  }

 private:
  OpList main_;                        // the expansion's ops
  std::vector<std::size_t> hole_at_;   // per hole, the number of expansion ops before it
  OpList slots_;                       // the slots' ops, slot after slot
  std::vector<std::size_t> slot_start_;  // per hole, where its slot's ops begin in slots_
  bool filling_ = false;
};

// The entry's ops as JSON text, each written as ",{...}" as soon as it arrives, into chunks
// of up to kChunk bytes: no large buffer is copied to grow, and blocks this large are mapped
// apart from the heap by the allocator, so each one goes back to the system as soon as
// assemble() has copied it (only the pages written count meanwhile). The text is kept as
// spans of the chunks: the expansion's spans with a mark for each hole, and each slot's
// spans; assemble() joins them in order under the function's head.
//
// With a rewriter, each name argument beginning with its prefix is noted where its JSON
// string lies in a chunk; assemble() asks the rewriter for the new texts and puts them in
// place of the old ones as it joins the spans.
class FlatJsonText : public FlatSink {
 public:
  explicit FlatJsonText(ArgRewriter* rewriter)
      : rewriter_(rewriter), prefix_(rewriter ? rewriter->prefix() : std::string_view()) {}

  void op(Op&& op) override {
    std::string& chunk = room();
    const std::size_t begin = chunk.size();
    chunk += ',';
    if (rewriter_ && std::any_of(op.args.begin(), op.args.end(), [&](const Atom& a) {
          return noted(a) != nullptr;
        })) {
      append_op_json(chunk, op, args_at_);
      for (std::size_t i = 0; i < op.args.size(); ++i)
        if (const std::string* name = noted(op.args[i]))
          note(*name, args_at_[i].first, args_at_[i].second);
    } else {
      append_op_json(chunk, op);
    }
    add_span(begin, chunk.size());
  }
  void hole() override { main_.push_back(Span{kHole, holes_++, 0}); }
  void fill() override {
    filling_ = true;
    slot_first_.push_back(slot_spans_.size());
  }

  std::string assemble(const std::vector<std::string>& header_comments, std::string_view key,
                       const Function& signature) && {
    std::string head;
    open_module_json(head, header_comments);
    append_json_string(head, key);
    head += ':';
    append_function_head_json(head, signature);
    std::string tail;
    append_function_tail_json(tail);
    close_module_json(tail);
    slot_first_.push_back(slot_spans_.size());

    std::size_t size = head.size() + tail.size();
    for (const Span& s : main_)
      if (s.chunk != kHole) size += s.end - s.begin;
    for (const Span& s : slot_spans_) size += s.end - s.begin;
    const std::size_t new_bytes = rewrite_notes();  // sets removed_
    size = size + new_bytes - removed_;
    std::string out;
    out.reserve(size);
    prefer_huge_pages(out.data(), out.capacity());
    out += head;
    bool first = true;
    auto copy = [&](const Span& s) {
      std::string& chunk = chunks_[s.chunk];
      std::size_t at = s.begin + (first ? 1 : 0);  // the first op has no ',' before it
      first = false;
      auto n = std::lower_bound(notes_.begin(), notes_.end(), s, [](const Note& a, const Span& b) {
        return a.chunk < b.chunk || (a.chunk == b.chunk && a.begin < b.begin);
      });
      for (; n != notes_.end() && n->chunk == s.chunk && n->begin < s.end; ++n) {
        out.append(chunk, at, n->begin - at);
        out.append(new_texts_, n->new_begin, n->new_end - n->new_begin);
        at = n->begin + n->length;
      }
      out.append(chunk, at, s.end - at);
      if (--uses_[s.chunk] == 0) std::string().swap(chunk);
    };
    for (const Span& s : main_) {
      if (s.chunk != kHole) {
        copy(s);
        continue;
      }
      for (std::size_t i = slot_first_[s.begin]; i < slot_first_[s.begin + 1]; ++i)
        copy(slot_spans_[i]);
    }
    out += tail;
    return out;
  }

 private:
  static constexpr std::size_t kChunk = std::size_t{1} << 26;  // 64 MiB
  static constexpr std::size_t kFirstChunk = std::size_t{1} << 16;  // 64 KiB
  static constexpr std::size_t kRoom = std::size_t{1} << 14;  // the room kept for the next op
  static constexpr std::size_t kHole = std::numeric_limits<std::size_t>::max();

  // Bytes [begin, end) of a chunk; in main_, a chunk of kHole marks hole number `begin`.
  struct Span {
    std::size_t chunk;
    std::size_t begin;
    std::size_t end;
  };

  // A noted argument: its JSON string, `length` bytes at `begin` in a chunk; once rewritten,
  // the JSON string of its new text, bytes [new_begin, new_end) of new_texts_.
  struct Note {
    std::size_t chunk;
    std::size_t begin;
    std::size_t length;
    std::size_t new_begin = 0;
    std::size_t new_end = 0;
  };

  const std::string* noted(const Atom& a) const {
    const std::string* name = name_of(a);
    return name && name->starts_with(prefix_) ? name : nullptr;
  }

  void note(const std::string& name, std::size_t begin, std::size_t end) {
    // A name written with escapes is kept as it is, for the rewriter.
    if (end - begin != name.size() + 2) escaped_.emplace_back(notes_.size(), name);
    notes_.push_back(Note{chunks_.size() - 1, begin, end - begin});
  }

  // Asks the rewriter for the new texts of the noted arguments, keeps the notes of those it
  // rewrites, and returns the bytes their new JSON strings take.
  std::size_t rewrite_notes() {
    if (!rewriter_) return 0;
    rewriter_->flattened();
    std::string text;
    std::size_t kept = 0, escaped = 0;
    for (std::size_t i = 0; i < notes_.size(); ++i) {
      Note n = notes_[i];
      std::string_view name;
      if (escaped < escaped_.size() && escaped_[escaped].first == i)
        name = escaped_[escaped++].second;
      else
        name = std::string_view(chunks_[n.chunk]).substr(n.begin + 1, n.length - 2);
      if (!rewriter_->rewrite(name, text)) continue;
      n.new_begin = new_texts_.size();
      append_json_string(new_texts_, text);
      n.new_end = new_texts_.size();
      removed_ += n.length;
      notes_[kept++] = n;
    }
    notes_.resize(kept);
    std::vector<std::pair<std::size_t, std::string>>().swap(escaped_);
    return new_texts_.size();
  }

  // Chunks grow from 64 KiB to 64 MiB, so that a small model's text takes little room.
  std::string& room() {
    if (chunks_.empty() || chunks_.back().size() > chunks_.back().capacity() - kRoom) {
      const std::size_t size = std::min(kChunk, kFirstChunk << std::min<std::size_t>(chunks_.size(), 10));
      chunks_.emplace_back().reserve(size);
      prefer_huge_pages(chunks_.back().data(), chunks_.back().capacity());
      uses_.push_back(0);
    }
    return chunks_.back();
  }

  // Text just written at [begin, end) of the last chunk, continuing the current span when
  // it follows it directly.
  void add_span(std::size_t begin, std::size_t end) {
    const std::size_t chunk = chunks_.size() - 1;
    std::vector<Span>& spans = filling_ ? slot_spans_ : main_;
    const bool open = filling_ ? spans.size() > slot_first_.back() : !spans.empty();
    if (open && spans.back().chunk == chunk && spans.back().end == begin) {
      spans.back().end = end;
      return;
    }
    spans.push_back(Span{chunk, begin, end});
    ++uses_[chunk];
  }

  ArgRewriter* rewriter_;
  std::string_view prefix_;
  std::vector<std::string> chunks_;
  std::vector<std::size_t> uses_;  // per chunk, the spans still to be copied from it
  std::vector<Span> main_;
  std::vector<Span> slot_spans_;
  std::vector<std::size_t> slot_first_;  // per hole, its slot's first span in slot_spans_
  std::size_t holes_ = 0;
  bool filling_ = false;
  std::vector<Note> notes_;  // in the order of their places: by chunk, then by offset
  std::vector<std::pair<std::size_t, std::string>> escaped_;  // note number, name
  std::vector<std::pair<std::size_t, std::size_t>> args_at_;  // scratch: an op's arguments
  std::string new_texts_;
  std::size_t removed_ = 0;  // the bytes of the rewritten arguments' old JSON strings
};

}  // namespace

Function flatten_into(const Module& m, std::string_view entry, const CacheKeys& cache_keys,
                      FlatSink& sink) {
  const NameSet globals = global_names(m);
  Ctx ctx{m.functions, globals, {}, {}, 0, 0, {}, {}, {}, {}, {}, deepest_literal_stack(m)};
  const std::string entry_key(entry);
  count_sites(ctx, entry_key);
  auto it = find_function(ctx, entry_key);

  // The whole entry expands before any slot is placed: a stop of the expansion wins over
  // a stop of a slot.
  EntryOut out(ctx, sink);
  enter(ctx, it->first);
  expand_into(ctx, it->second, out);
  ctx.chain.pop_back();

  CacheCtx cc{{}, {}, cache_keys, {}, {}};
  out.place_slots([&](const Op& op) { place_cache_slot(ctx, cc, op, it->first, out); });

  const Function& f = it->second;
  return Function{f.name, f.comments, with_slots(f.params, cc.cache_inputs),
                  with_slots(f.returns, cc.cache_outputs), {}};
}

Module flatten(const Module& m, std::string_view entry, const CacheKeys& cache_keys) {
  OpCollector ops;
  Function f = flatten_into(m, entry, cache_keys, ops);
  f.ops = std::move(ops).take();
  Module out;
  out.header_comments = m.header_comments;
  out.functions.insert_or_assign(std::string(entry), std::move(f));
  return out;
}

std::string write_flat_json(Module m, std::string_view entry, const CacheKeys& cache_keys,
                            ArgRewriter* rewriter) {
  FlatJsonText text(rewriter);
  Function f = flatten_into(m, entry, cache_keys, text);
  std::string key(entry);
  std::vector<std::string> header_comments = std::move(m.header_comments);
  m = Module();
  return std::move(text).assemble(header_comments, key, f);
}

}  // namespace travune
