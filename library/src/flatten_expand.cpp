// Expansion: a body with every call inlined (its target's expanded body, built once per
// flatten call and renamed into the caller) and every loop unrolled (one inlined call per
// iteration, threading a value from each iteration to the next).
#include <algorithm>
#include <string>
#include <utility>

#include "travune/fatal.hpp"
#include "travune/interrupt.hpp"
#include "flatten_shared.hpp"

namespace travune::flat {
namespace {

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

}  // namespace

template <class Out>
void inline_call(Ctx& ctx, const Op& call, std::string_view prefix, Out& out, const Site& site,
                 std::optional<std::uint64_t> iteration, LoopBindings* loop) {
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
    poll_interrupt(op_units(op));
    rename_into_caller(op, b, dotted_prefix, ctx.global_names, r);
    if (iteration) substitute_cache_var_star(r, *iteration);
    count_bytes(ctx, op_bytes(r));
    out.push_scratch();
  });
}

LoopShape validate_loop(const Site& site, const Op& loop, const std::vector<Atom>& args,
                        std::size_t index) {
  const Loop& l = std::get<Loop>(loop.kind);
  if (const std::string* sym = std::get_if<std::string>(&l.count))
    fatal("Loop count '" + *sym + "' not resolved before flattening");
  const std::uint64_t n = std::get<std::uint64_t>(l.count);
  if (loop.outputs.empty()) no_outputs_failure(site, index);
  const std::string& threaded = loop.outputs[0];
  std::size_t t = args.size();
  for (std::size_t p = 0; p < args.size() && t == args.size(); ++p) {
    const std::string* s = name_of(args[p]);
    if (s && *s == threaded) t = p;
    poll_element(p);
  }
  if (t == args.size()) fatal("Loop must have a threaded arg matching output name");
  return LoopShape{.count = n, .threaded = t};
}

namespace {

// Unrolls a loop op (arguments already renamed) into calls of its body function,
// one per iteration, threading the value named like the loop's first output.
// Returns the name of the last value, when there is one. The loop is op `index` of its
// function.
template <class Out>
std::optional<std::string> unroll_loop(Ctx& ctx, const Op& loop, std::size_t index, Out& out) {
  const Loop& l = std::get<Loop>(loop.kind);
  const Site site{.kind = "loop over", .target = l.target, .in = ctx.chain.back()};
  const LoopShape shape = validate_loop(site, loop, loop.args, index);
  const std::uint64_t n = shape.count;
  const std::size_t t_pos = shape.threaded;
  const std::string& threaded = loop.outputs[0];
  if (n == 0) return std::nullopt;
  check_room(ctx, site, n, loop.args.size(), Out::kResult,
             [&] { return loop_culprit(l.target, n); });

  // The call of each iteration: the loop's arguments, the threaded one replaced by the value
  // of the iteration before, and each x.* by x.i.
  Op call{.kind = Call{l.target},
          .outputs = {std::string()},
          .output_types = copy_polled(loop.output_types),
          .args = copy_polled(loop.args),
          .comments = {}};
  std::vector<std::size_t> varying;
  for_index_polled(loop.args.size(), [&](std::size_t p) {
    const std::string* s = name_of(loop.args[p]);
    if (p == t_pos || (s && ends_in_star(*s))) emplace_polled(varying, p);
  });
  LoopBindings bindings(varying);
  std::string cur = threaded;
  for (std::uint64_t i = 0; i < n; ++i) {
    poll_interrupt(kOpUnits);
    for_each_polled(varying, [&](std::size_t p) {
      std::string& arg = std::get<std::string>(call.args[p]);
      if (p == t_pos) arg = cur;
      else arg = star_name(std::get<std::string>(loop.args[p]), i);
    });
    call.outputs[0] = numbered(threaded, "_", i + 1);
    const std::size_t before = out.size();
    inline_call(ctx, call, numbered("loop", "", i), out, site, i, &bindings);
    if (i == 0 && out.size() == before) break;  // the other iterations add nothing either
    cur = call.outputs[0];
  }
  return numbered(threaded, "_", n);
}

// `op` with its arguments renamed, and its comments unless it is a call or a loop, which is
// expanded rather than kept.
Op renamed_op(const Op& op, const NameMap& renames, bool with_comments) {
  Op r{.kind = Iota{},
       .outputs = copy_polled(op.outputs),
       .output_types = copy_polled(op.output_types),
       .args = renamed_args(op.args, renames),
       .comments = with_comments ? copy_polled(op.comments) : std::vector<std::string>()};
  assign_kind(r.kind, op.kind);
  return r;
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
  release_body(body->second);
  ctx.bodies.erase(body);
}

}  // namespace

template <class Out>
void expand_into(Ctx& ctx, const Function& f, Out& out) {
  NameMap renames;
  for (const Op& op : f.ops) {
    const std::size_t index = static_cast<std::size_t>(&op - f.ops.data());
    poll_interrupt(op_units(op));
    if (std::holds_alternative<Call>(op.kind)) {
      const Op call = renamed_op(op, renames, false);
      const std::string& target = std::get<Call>(op.kind).target;
      const Site site{.kind = "call of", .target = target, .in = ctx.chain.back()};
      if (call.outputs.empty()) no_outputs_failure(site, index);
      check_room(ctx, site, 1, call.args.size(), Out::kResult,
                 [&] { return call_culprit(target); });
      inline_call(ctx, call, call.outputs[0], out, site);
      site_done(ctx, target);
      end_renamings(op.outputs, renames);
    } else if (std::holds_alternative<Loop>(op.kind)) {
      const Op loop = renamed_op(op, renames, false);
      std::optional<std::string> last = unroll_loop(ctx, loop, index, out);
      site_done(ctx, std::get<Loop>(op.kind).target);
      end_renamings(op.outputs, renames);
      if (last) renames.insert_or_assign(loop.outputs[0], std::move(*last));
    } else {
      count_bytes(ctx, op_bytes(op));
      out.push_back(renamed_op(op, renames, true));
      end_renamings(op.outputs, renames);
    }
  }
}

// A body kept for inlining, and the entry's output (which slots are inlined into too).
template void expand_into<OpList>(Ctx&, const Function&, OpList&);
template void expand_into<EntryOut>(Ctx&, const Function&, EntryOut&);
template void inline_call<EntryOut>(Ctx&, const Op&, std::string_view, EntryOut&, const Site&,
                                    std::optional<std::uint64_t>, LoopBindings*);

}  // namespace travune::flat
