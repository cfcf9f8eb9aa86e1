// Binding a callee's names to the caller's: a call's arguments to the callee's parameters
// (by name, as a namespace, or as a number), the callee's returns to the call's outputs, the
// bindings a loop's iterations share, and the renaming of each op of an inlined body.
#include <algorithm>
#include <string>
#include <utility>

#include "travune/interrupt.hpp"
#include "flatten_shared.hpp"

namespace travune::flat {
namespace {

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

// Each of the callee's returns that is not one of its parameters names the call's output at
// its place.
void bind_returns(Bindings& b, const Function& callee, const Expanded& expanded, const Op& call) {
  const std::size_t r = std::min(callee.returns.size(), call.outputs.size());
  for_index_polled(r, [&](std::size_t i) {
    const std::string& ret = callee.returns[i].name;
    if (!expanded.param_names.contains(ret)) b.param_map.insert_or_assign(ret, call.outputs[i]);
  });
}

}  // namespace

Bindings bind(const Function& callee, const Expanded& expanded, const Op& call, const Site& site) {
  const std::size_t a = call.args.size(), p = callee.params.size();
  check_binding_count(a, p, site);
  const std::size_t k = a < p ? a - 1 : a;
  Bindings b;
  // Each table sized once for what it will hold, so that none is rehashed as it fills.
  std::size_t stars = 0, numbers = 0;
  for_index_polled(k, [&](std::size_t i) {
    if (!name_of(call.args[i])) ++numbers;
    else if (callee.params[i].ty.dtype == "*") ++stars;
  });
  b.param_map.reserve(p - stars - numbers + callee.returns.size());
  if (stars) b.star_map.reserve(stars);
  if (numbers) b.numbers.reserve(numbers);
  for_index_polled(k, [&](std::size_t i) {
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
  });
  if (a >= 1 && a < p) {
    if (const std::string* last = name_of(call.args.back()))
      for_index_polled(p - k, [&](std::size_t i) {
        const std::string& name = callee.params[k + i].name;
        put_param(b, name, joined(*last, ".", name));
      });
  }
  bind_returns(b, callee, expanded, call);
  return b;
}

Bindings& LoopBindings::bind_for(const Function& callee, const Expanded& expanded,
                                 const Op& call, const Site& site) {
  if (!made_ || expanded.param_names.size() != callee.params.size()) {
    b_ = bind(callee, expanded, call, site);
    made_ = true;
    return b_;
  }
  const std::size_t a = call.args.size(), p = callee.params.size();
  const std::size_t k = a < p ? a - 1 : a;
  for_each_polled(varying_, [&](std::size_t pos) {
    const std::string& arg = std::get<std::string>(call.args[pos]);
    if (pos < k) {
      const Param& param = callee.params[pos];
      if (param.ty.dtype == "*") b_.star_map.find(param.name)->second.arg = arg;
      else b_.param_map.insert_or_assign(param.name, arg);
    } else {  // the namespace tail
      for_index_polled(p - k, [&](std::size_t i) {
        const std::string& name = callee.params[k + i].name;
        b_.param_map.insert_or_assign(name, joined(arg, ".", name));
      });
    }
  });
  bind_returns(b_, callee, expanded, call);
  return b_;
}

void rename_into_caller(const Op& op, Bindings& b, std::string_view dotted_prefix,
                        const NameSet& global_names, Op& r) {
  assign_kind(r.kind, op.kind);
  assign_polled(r.output_types, op.output_types);
  assign_polled(r.comments, op.comments);
  // The storage of the record's arguments and outputs is reused; more are added one by one.
  truncate_polled(r.args, std::min(r.args.size(), op.args.size()));
  r.args.reserve(op.args.size());
  for (std::size_t i = 0; i < op.args.size(); ++i) {
    if (i == r.args.size()) r.args.emplace_back();
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
    poll_element(i);
  }
  truncate_polled(r.outputs, std::min(r.outputs.size(), op.outputs.size()));
  r.outputs.reserve(op.outputs.size());
  for (std::size_t i = 0; i < op.outputs.size(); ++i) {
    if (i == r.outputs.size()) r.outputs.emplace_back();
    resolve_name(r.outputs[i], op.outputs[i], b, dotted_prefix, global_names);
    if (!b.numbers.empty() && b.numbers.contains(op.outputs[i])) b.redefined.insert(op.outputs[i]);
    poll_element(i);
  }
}

void substitute_cache_var_star(Op& op, std::uint64_t i) {
  if (auto* c = std::get_if<Cache>(&op.kind); c && ends_in_star(c->var)) c->var = star_name(c->var, i);
}

// ---------------------------------------------------------------------------
// The renamings of a loop's output within the body holding the loop.

std::vector<Atom> renamed_args(const std::vector<Atom>& args, const NameMap& renames) {
  std::vector<Atom> r = copy_polled(args);
  if (renames.empty()) return r;
  for (std::size_t i = 0; i < r.size(); ++i) {
    if (const std::string* n = name_of(r[i]))
      if (auto it = renames.find(*n); it != renames.end()) r[i] = it->second;
    poll_element(i);
  }
  return r;
}

void end_renamings(const std::vector<std::string>& outputs, NameMap& renames) {
  if (renames.empty()) return;
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    renames.erase(outputs[i]);
    poll_element(i);
  }
}

}  // namespace travune::flat
