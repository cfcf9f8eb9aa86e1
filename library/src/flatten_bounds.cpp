// Where flattening stops: the messages that name a call or loop site, the bounds on ops,
// bytes and nesting, the size of a function's expansion predicted without building it, and
// the walk that finds the stops an expansion would reach before a bound is reported.
#include <algorithm>
#include <string>
#include <type_traits>
#include <utility>

#include "travune/fatal.hpp"
#include "travune/interrupt.hpp"
#include "travune/stack.hpp"
#include "flatten_shared.hpp"

namespace travune::flat {
namespace {

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

}  // namespace

void check_binding_count(std::size_t a, std::size_t p, const Site& site) {
  if (a > p || (a == 0 && p > 0)) arity_failure(site, a, p);
}

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

// ---------------------------------------------------------------------------
// Weighing ops.

namespace {

// op_bytes, polling inside the lists of a long op (`Polled`): a short one counts with the op,
// as its caller counts it.
template <bool Polled>
std::uint64_t op_bytes_of(const Op& op) {
  auto poll = [](std::size_t i) {
    if constexpr (Polled) poll_element(i);
  };
  constexpr std::size_t kElement = 48;
  std::size_t bytes = sizeof(Op);
  auto text = [&](const std::string& s) { bytes += kElement + s.size(); };
  for (std::size_t i = 0; i < op.outputs.size(); ++i) {
    text(op.outputs[i]);
    poll(i);
  }
  for (std::size_t i = 0; i < op.output_types.size(); ++i) {
    if (const auto& t = op.output_types[i]) {
      text(t->dtype);
      for (std::size_t k = 0; k < t->shape.size(); ++k) {
        if (const std::string* n = std::get_if<std::string>(&t->shape[k])) text(*n);
        else bytes += kElement;
        poll(k);
      }
    }
    poll(i);
  }
  for (std::size_t i = 0; i < op.args.size(); ++i) {
    if (const std::string* n = std::get_if<std::string>(&op.args[i])) text(*n);
    else bytes += kElement;
    poll(i);
  }
  for (std::size_t i = 0; i < op.comments.size(); ++i) {
    text(op.comments[i]);
    poll(i);
  }
  std::visit([&](const auto& k) {
    using K = std::decay_t<decltype(k)>;
    if constexpr (requires { k.pattern; }) text(k.pattern);
    if constexpr (requires { k.function; }) text(k.function);
    if constexpr (requires { k.reduction; }) text(k.reduction);
    if constexpr (requires { k.target; }) text(k.target);
    if constexpr (requires { k.var; }) text(k.var), text(k.init);
    if constexpr (requires { k.extend; }) if (k.extend) text(*k.extend);
    if constexpr (requires { k.axes; }) {
      std::size_t i = 0;
      for (const auto& [name, size] : k.axes) {
        text(name);
        poll(i++);
      }
    }
    if constexpr (std::is_same_v<K, Literal>) bytes += kElement * literal_count(k.value);
  }, op.kind);
  return bytes;
}

}  // namespace

// About the memory an op's record takes: the record itself, and the text of each of its
// names, types, arguments and comments with kElement bytes more for each (about what a name,
// an atom or a dimension takes besides its text).
std::uint64_t op_bytes(const Op& op) {
  if (has_long_list(op)) [[unlikely]] return op_bytes_of<true>(op);
  return op_bytes_of<false>(op);
}

[[noreturn]] void too_many_ops(std::string_view what) {
  fatal(std::string(what) + " would produce more than " + std::to_string(kMaxOps) + " ops");
}
[[noreturn]] void too_many_bytes(std::string_view what) {
  fatal(std::string(what) + " would produce more than " + std::to_string(kMaxBytes) +
        " bytes of ops");
}

std::string call_culprit(const std::string& target) { return "call of '" + target + "'"; }
std::string loop_culprit(const std::string& target, std::uint64_t n) {
  return numbered("loop over '" + target + "' with count", " ", n);
}

namespace {

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
  const std::vector<Op>& ops = it->second.ops;
  for (std::size_t i = 0; i < ops.size(); ++i) {
    const Op& op = ops[i];
    if (const Call* c = std::get_if<Call>(&op.kind)) {
      total += predicted_size(ctx, c->target);
    } else if (const Loop* l = std::get_if<Loop>(&op.kind)) {
      if (const std::uint64_t* n = std::get_if<std::uint64_t>(&l->count); n && *n > 0)
        total += predicted_size(ctx, l->target).times(*n);
    } else {
      total += Size{std::holds_alternative<Cache>(op.kind) ? 0u : 1u, op_bytes(op)};
    }
    poll_element(i);
  }
  poll_rest(ops.size());
  ctx.size_chain.pop_back();
  ctx.sizes.emplace(key, total);
  return total;
}

// Stops, naming `what`, when `size` alone passes a bound.
template <class What>
void check_alone(const Size& size, What what) {
  if (size.ops > kMaxOps) too_many_ops(what());
  if (size.bytes > kMaxBytes) too_many_bytes(what());
}

}  // namespace

// The bounds count the bytes of every op built (with the target's own expansion when it is
// not built yet) and, for copies going to the result, the ops of the result. Whatever would
// stop the first inlining anyway (an unknown target, a stop inside its expansion, an
// argument count it cannot take) stops the call first, with its own message.
void check_room(Ctx& ctx, const Site& site, std::uint64_t n, std::size_t args, bool to_result,
                const std::function<std::string()>& what) {
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

// ---------------------------------------------------------------------------
// Nesting.

namespace {

std::string chain_text(const std::vector<std::string_view>& chain, std::string_view last) {
  std::string s;
  for (std::string_view name : chain) s.append(name).append(" -> ");
  s.append(last);
  return s;
}

}  // namespace

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
// The stops of an expansion, found without building it: the bound's message is kept
// for modules that would otherwise expand, so these are looked for before it is given.

namespace {

void check_sound(Ctx& ctx, OrderedMap<Function>::const_iterator it);

// Walks a body as expand_into does (renames included), stopping where it would stop:
// a call or loop that alone passes the bound stops it there.
void check_body(Ctx& ctx, const Function& f) {
  NameMap renames;
  for (const Op& op : f.ops) {
    const std::size_t index = static_cast<std::size_t>(&op - f.ops.data());
    poll_interrupt(kOpUnits);
    if (const Call* c = std::get_if<Call>(&op.kind)) {
      const Site site{.kind = "call of", .target = c->target, .in = ctx.chain.back()};
      if (op.outputs.empty()) no_outputs_failure(site, index);
      check_first_inlining(ctx, site, op.args.size());
      check_alone(predicted_size(ctx, c->target), [&] { return call_culprit(c->target); });
      end_renamings(op.outputs, renames);
    } else if (const Loop* l = std::get_if<Loop>(&op.kind)) {
      const Site site{.kind = "loop over", .target = l->target, .in = ctx.chain.back()};
      const std::uint64_t n = validate_loop(site, op, renamed_args(op.args, renames), index).count;
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

}  // namespace

void check_first_inlining(Ctx& ctx, const Site& site, std::size_t args) {
  auto it = find_function(ctx, site.target);
  check_sound(ctx, it);
  check_binding_count(args, it->second.params.size(), site);
}

}  // namespace travune::flat
