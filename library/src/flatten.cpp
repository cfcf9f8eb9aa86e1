// The flattener: one function from an entry, with nothing left to call.
//
// Each call op is inlined: its target's body is expanded (its own calls inlined, its loops
// unrolled) once per flatten call and kept while calls of it remain, and every call copies
// that body with the callee's names bound to the caller's (parameters to arguments, returns
// to outputs, "param." names and dimension names kept, other names under a dotted prefix: the
// call's first output, or "loopN" in iteration N of a loop). Each loop op is unrolled into
// one such call per iteration, threading its first output from each iteration to the next.
// The entry's ops go to a sink as they are produced, except its cache ops: once the whole
// entry is expanded, each becomes a slot (its init function inlined, or a value the caller
// supplies, updated by its extend function), placed where the cache op stood. Every call and
// loop is weighed before it is expanded, so a module that would pass the bound on ops or on
// bytes stops before they are built (with the stop its expansion would reach first, when it
// has one); calls nest at most 256 deep.
//
// This file holds the entry; the parts: flatten_expand.cpp (inlining and unrolling),
// flatten_bind.cpp (binding and renaming), flatten_bounds.cpp (bounds, size prediction and
// the walk that only finds stops), flatten_slots.cpp (cache slots); flatten_shared.hpp holds
// what they share.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "travune/interrupt.hpp"
#include "travune/stack.hpp"
#include "flat_sink.hpp"
#include "flatten_shared.hpp"

namespace travune {
namespace flat {
namespace {

// Copying or weighing a literal value recurses once per nested list, at every level of calls:
// 64 bytes a list (480 with the sanitizer), twice that kept.
std::size_t deepest_literal_stack(const Module& m) {
  constexpr std::size_t kLevel = stack_bytes(128, 1024);
  std::size_t deepest = 0;
  for (const auto& [key, f] : m.functions)
    for_each_polled(f.ops, [&](const Op& op) {
      if (const auto* l = std::get_if<Literal>(&op.kind))
        deepest = std::max(deepest, literal_depth(l->value));
    });
  return deepest * kLevel;
}

// Names that inlining never renames: "param." references, and arguments that are
// dimension names of their own function.
NameSet global_names(const Module& m) {
  NameSet globals;
  HashSet<std::string_view> dims;
  auto add_dims = [&](const TensorType& t) {
    for_each_polled(t.shape, [&](const Dim& d) {
      if (const std::string* s = std::get_if<std::string>(&d)) dims.insert(*s);
    });
  };
  for (const auto& [key, f] : m.functions) {
    empty_for(dims, f.params.size() + f.returns.size() + f.ops.size());
    for_each_polled(f.params, [&](const Param& p) { add_dims(p.ty); });
    for_each_polled(f.returns, [&](const Param& p) { add_dims(p.ty); });
    for_each_polled(f.ops, [&](const Op& op) {
      for_each_polled(op.output_types, [&](const std::optional<TensorType>& t) {
        if (t) add_dims(*t);
      });
    });
    for_each_polled(f.ops, [&](const Op& op) {
      for_each_polled(op.args, [&](const Atom& a) {
        if (const std::string* n = name_of(a); n && (starts_with_param(*n) || dims.contains(*n)))
          globals.insert(*n);
      });
    });
  }
  return globals;
}

void count_sites_of(Ctx& ctx, const Function& f) {
  for_each_polled(f.ops, [&](const Op& op) {
    if (const Call* c = std::get_if<Call>(&op.kind)) {
      ++ctx.pending_sites[c->target];
    } else if (const Loop* l = std::get_if<Loop>(&op.kind)) {
      ++ctx.pending_sites[l->target];
    } else if (const Cache* c = std::get_if<Cache>(&op.kind)) {
      ctx.slot_functions.insert(c->init);
      if (c->extend) ctx.slot_functions.insert(*c->extend);
    }
  });
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
      poll_interrupt(kElementUnits);
    });
    fill_holes();
    return ops;
  }

 private:
  OpList main_;                          // the expansion's ops
  std::vector<std::size_t> hole_at_;     // per hole, the number of expansion ops before it
  OpList slots_;                         // the slots' ops, slot after slot
  std::vector<std::size_t> slot_start_;  // per hole, where its slot's ops begin in slots_
  bool filling_ = false;
};

}  // namespace
}  // namespace flat

Function flatten_into(const Module& m, std::string_view entry, const CacheKeys& cache_keys,
                      FlatSink& sink) {
  using namespace flat;
  const NameSet globals = global_names(m);
  Ctx ctx{.functions = m.functions,
          .global_names = globals,
          .literal_stack = deepest_literal_stack(m)};
  const std::string entry_key(entry);
  count_sites(ctx, entry_key);
  auto it = find_function(ctx, entry_key);

  // The whole entry expands before any slot is placed: a stop of the expansion wins over
  // a stop of a slot.
  EntryOut out(ctx, sink);
  enter(ctx, it->first);
  expand_into(ctx, it->second, out);
  ctx.chain.pop_back();

  CacheCtx cc{.cache_keys = cache_keys};
  out.place_slots([&](const Op& op) { place_cache_slot(ctx, cc, op, it->first, out); });

  for (auto& [key, body] : ctx.bodies) release_body(body);
  const Function& f = it->second;
  return Function{.name = f.name,
                  .comments = copy_polled(f.comments),
                  .params = with_slots(f.params, cc.cache_inputs),
                  .returns = with_slots(f.returns, cc.cache_outputs),
                  .ops = {}};
}

Module flatten(const Module& m, std::string_view entry, const CacheKeys& cache_keys) {
  flat::OpCollector ops;
  Function f = flatten_into(m, entry, cache_keys, ops);
  f.ops = std::move(ops).take();
  Module out;
  out.header_comments = m.header_comments;
  out.functions.insert_or_assign(std::string(entry), std::move(f));
  return out;
}

}  // namespace travune
