// Cache slots: each cache op of the entry becomes the ops that compute its value (its init
// function inlined), or a value the caller supplies (a cache key), extended by its extend
// function when it has one; the entry's params and returns gain the slots.
#include <string>
#include <utility>

#include "travune/fatal.hpp"
#include "travune/interrupt.hpp"
#include "flatten_shared.hpp"

namespace travune::flat {
namespace {

void record_output(CacheCtx& cc, const std::string& name, const TensorType& ty) {
  if (cc.output_names.insert(name).second) cc.cache_outputs.push_back(Param{name, ty});
}

}  // namespace

void place_cache_slot(Ctx& ctx, CacheCtx& cc, const Op& op, std::string_view entry,
                      EntryOut& out) {
  const Cache& c = std::get<Cache>(op.kind);
  if (op.output_types.empty() || !op.output_types[0]) fatal("cache slot must have a declared type");
  const TensorType& ty = *op.output_types[0];
  if (!cc.cache_keys.contains(c.var)) {
    record_output(cc, c.var, ty);
    Op call{.kind = Call{c.init},
            .outputs = {c.var},
            .output_types = copy_polled(op.output_types),
            .args = copy_polled(op.args),
            .comments = {}};
    const Site site{.kind = "computed by", .target = c.init, .in = entry, .slot = c.var};
    check_room(ctx, site, 1, call.args.size(), true,
               [&] { return "cache slot '" + c.var + "' computed by '" + c.init + "'"; });
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
  Op call{.kind = Call{*c.extend},
          .outputs = {updated},
          .output_types = copy_polled(op.output_types),
          .args = {},
          .comments = {}};
  call.args.reserve(op.args.size() + 1);
  call.args.emplace_back(std::in_place_index<2>, c.var);
  append_polled(call.args, op.args.begin(), op.args.end());
  const Site site{.kind = "extended by", .target = *c.extend, .in = entry, .slot = c.var};
  check_room(ctx, site, 1, call.args.size(), true,
             [&] { return "cache slot '" + c.var + "' extended by '" + *c.extend + "'"; });
  inline_call(ctx, call, updated, out, site);
}

std::vector<Param> with_slots(const std::vector<Param>& own, const std::vector<Param>& slots) {
  HashSet<std::string_view> names;
  for_each_polled(own, [&](const Param& p) { names.insert(p.name); });
  std::vector<Param> all = copy_polled(own);
  for_each_polled(slots, [&](const Param& p) {
    if (!names.contains(p.name)) all.push_back(p);
  });
  return all;
}

}  // namespace travune::flat
