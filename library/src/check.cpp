// The checker: walks every function's ops in order, tracking the type of each
// value in scope, and reports disagreements as messages. It also collects the
// "param." names the module uses and the weight types its calls imply.
#include "travune/check.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "travune/fatal.hpp"
#include "travune/hash.hpp"
#include "travune/interrupt.hpp"

namespace travune {
namespace {

// The type of a value as the checker tracks it. It borrows from the module,
// which outlives the check, so tracking a value copies nothing.
struct Ty {
  std::string_view dtype;
  std::span<const Dim> shape;
};

Ty ty_of(const TensorType& t) { return {t.dtype, t.shape}; }

using NameSet = HashSet<std::string_view>;
using Env = HashMap<std::string_view, Ty>;
using WeightMap = std::map<std::string, TensorType, std::less<>>;

constexpr std::string_view kDash = " \u2014 ";

template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string s;
  s.reserve((std::string_view(parts).size() + ...));
  (s.append(parts), ...);
  return s;
}

bool is_wildcard(std::string_view dtype) { return dtype == "*"; }

const std::string* named(const Dim& d) { return std::get_if<std::string>(&d); }

// ---- debug forms of the checker's own values ----

// [Named("n"), Concrete(4)]
std::string debug_shape(std::span<const Dim> shape) {
  std::string out = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i) out += ", ";
    append_debug_dim(out, shape[i]);
    poll_element(i, out);
  }
  poll_rest(shape.size());
  out += ']';
  return out;
}

// Ty { dtype: "f32", shape: [Named("n"), Concrete(4)] }
std::string debug_ty(Ty t) {
  std::string out = "Ty { dtype: ";
  append_debug_str(out, t.dtype);
  out += ", shape: ";
  out += debug_shape(t.shape);
  out += " }";
  return out;
}

// ---- matching ----

// Only two dotted names (configuration references) are compared with each other;
// a plain symbol matches any dimension.
bool dims_match(const Dim& a, const Dim& b) {
  const std::string* na = named(a);
  const std::string* nb = named(b);
  if (!na && !nb) return std::get<std::int64_t>(a) == std::get<std::int64_t>(b);
  if (!na || !nb) return true;
  if (*na == "..." || *nb == "...") return true;
  if (na->find('.') == std::string::npos || nb->find('.') == std::string::npos) return true;
  return *na == *nb;
}

bool is_variadic(std::span<const Dim> shape) {
  if (shape.empty()) return false;
  const std::string* n = named(shape.front());
  return n && *n == "...";
}

std::string dim_reason(std::size_t i, const Dim& a, const Dim& b) {
  return cat("dim ", std::to_string(i), ": ", debug_dim(a), " vs ", debug_dim(b));
}

// The first reason that reason(i) gives for i in [0, n). A comparison of two dimensions is
// a small part of the work on the value they belong to, which counts toward the interrupt
// check: only a long shape polls, after each batch of dimensions.
template <class Reason>
std::optional<std::string> first_mismatch(std::size_t n, Reason&& reason) {
  for (std::size_t i = 0; i < n; ++i) {
    if (auto found = reason(i)) return found;
    poll_element(i);
  }
  return std::nullopt;
}

// A variadic side matches any number of leading dimensions: only the trailing
// dimensions that both sides have are compared, the shorter side printed first.
std::optional<std::string> variadic_match(std::span<const Dim> a, std::span<const Dim> b) {
  std::span<const Dim> short_side = b.size() < a.size() ? b : a;
  std::span<const Dim> other = b.size() < a.size() ? a : b;
  std::span<const Dim> tail = other.last(short_side.size());
  return first_mismatch(short_side.size(), [&](std::size_t k) -> std::optional<std::string> {
    if (!dims_match(short_side[k], tail[k])) return dim_reason(k, short_side[k], tail[k]);
    return std::nullopt;
  });
}

// Success (no value) or the reason why `a` and `b` disagree.
std::optional<std::string> types_match(Ty a, Ty b) {
  if (a.dtype != b.dtype) return cat("dtype: ", a.dtype, " vs ", b.dtype);
  bool va = is_variadic(a.shape);
  bool vb = is_variadic(b.shape);
  if (va || vb) {
    return variadic_match(va ? a.shape.subspan(1) : a.shape, vb ? b.shape.subspan(1) : b.shape);
  }
  if (a.shape.size() != b.shape.size()) {
    return cat("rank: ", std::to_string(a.shape.size()), " vs ", std::to_string(b.shape.size()));
  }
  return first_mismatch(a.shape.size(), [&](std::size_t i) -> std::optional<std::string> {
    if (!dims_match(a.shape[i], b.shape[i])) return dim_reason(i, a.shape[i], b.shape[i]);
    return std::nullopt;
  });
}

// The comparison used when a call passes extra leading (batch) dimensions: the
// parameter's dimensions align with the argument's last ones, and only two
// different concrete sizes disagree.
std::optional<std::string> batched_match(Ty a, Ty p) {
  if (a.dtype != p.dtype) return cat("dtype: ", a.dtype, " vs ", p.dtype);
  if (a.shape.size() < p.shape.size()) {
    return cat("rank: ", std::to_string(a.shape.size()), " < ", std::to_string(p.shape.size()));
  }
  std::span<const Dim> tail = a.shape.last(p.shape.size());
  return first_mismatch(p.shape.size(), [&](std::size_t j) -> std::optional<std::string> {
    const auto* x = std::get_if<std::int64_t>(&tail[j]);
    const auto* y = std::get_if<std::int64_t>(&p.shape[j]);
    if (x && y && *x != *y) {
      return cat("dim ", std::to_string(j), ": ", std::to_string(*x), " vs ", std::to_string(*y));
    }
    return std::nullopt;
  });
}

std::string_view name_prefix(std::string_view name) { return name.substr(0, name.find('.')); }

// A namespace access: the name or its part before the first "." is a "*" parameter.
bool is_dict_access(std::string_view name, const NameSet& star_names) {
  return !star_names.empty() && star_names.contains(name_prefix(name));
}

// ---- the walk of one function ----

struct FunctionCheck {
  std::string_view key;
  const OrderedMap<Function>& functions;
  CheckResult& result;
  NameSet star_names{};
  NameSet dim_names{};
  Env env{};
  std::vector<std::optional<Ty>> arg_types{};  // of the current op, reused across ops
  WeightMap* weights = nullptr;              // this function's entry, made on first weight
};

void add_param(Constraints& c, std::string_view name) {
  if (!c.params.contains(name)) c.params.emplace(name);
}

// The dimensions of a type count with the type, but for a long shape.
void add_param_dims(Constraints& c, const TensorType& t) {
  for (std::size_t i = 0; i < t.shape.size(); ++i) {
    const std::string* n = named(t.shape[i]);
    if (n && starts_with_param(*n)) add_param(c, *n);
    poll_element(i);
  }
}

void add_dim_names(NameSet& dim_names, const TensorType& t) {
  for (std::size_t i = 0; i < t.shape.size(); ++i) {
    const std::string* n = named(t.shape[i]);
    if (n && !starts_with_param(*n)) dim_names.insert(*n);
    poll_element(i);
  }
}

void report(FunctionCheck& f, std::string message) {
  emplace_polled(f.result.errors, std::move(message));
}

std::string label(const FunctionCheck& f, const Op& op) { return cat(f.key, "/", op.outputs[0]); }

std::optional<Ty> arg_ty(const FunctionCheck& f, std::size_t k) {
  return k < f.arg_types.size() ? f.arg_types[k] : std::nullopt;
}

std::optional<Ty> typed_input(const FunctionCheck& f, std::size_t k) {
  for (std::size_t i = 0; i < f.arg_types.size(); ++i) {
    if (f.arg_types[i] && k-- == 0) return f.arg_types[i];
    poll_element(i);
  }
  return std::nullopt;
}

// Argument lookup: the type of a value in scope, or none for numbers, "param."
// references, namespace accesses and dimension names; anything else is not in scope.
std::optional<Ty> lookup_arg(FunctionCheck& f, const Op& op, const Atom& a) {
  const std::string* n = std::get_if<std::string>(&a);
  if (!n) return std::nullopt;
  if (auto it = f.env.find(*n); it != f.env.end()) return it->second;
  if (starts_with_param(*n)) {
    add_param(f.result.constraints, *n);
  } else if (!is_dict_access(*n, f.star_names) && !f.dim_names.contains(*n)) {
    report(f, cat(label(f, op), ": input '", *n, "' not in scope"));
  }
  return std::nullopt;
}

// ---- kind rules: checks that may report, and the expected type ----

std::optional<Ty> with_shape_of(std::optional<Ty> source, Ty declared) {
  if (!source) return std::nullopt;
  return Ty{source->dtype, declared.shape};
}

// The number of elements of a shape in wrapping 64-bit arithmetic; none when
// a size is symbolic.
std::optional<std::int64_t> concrete_product(std::span<const Dim> shape) {
  std::uint64_t p = 1;
  bool symbolic = false;
  for_index_polled(shape.size(), [&](std::size_t i) {
    const auto* v = std::get_if<std::int64_t>(&shape[i]);
    if (!v) symbolic = true;
    else p *= static_cast<std::uint64_t>(*v);
  });
  if (symbolic) return std::nullopt;
  return static_cast<std::int64_t>(p);
}

std::optional<Ty> kind_rule(FunctionCheck& f, const Op& op, const View&, Ty declared) {
  std::optional<Ty> in = arg_ty(f, 0);
  if (!in) return std::nullopt;
  auto p_in = concrete_product(in->shape);
  auto p_out = concrete_product(declared.shape);
  if (p_in && p_out && *p_in != *p_out) {
    report(f, cat(label(f, op), ": view reshapes ", std::to_string(*p_in), " elements to ",
                  std::to_string(*p_out)));
  }
  return with_shape_of(in, declared);
}

std::string_view map_dtype(const FunctionCheck& f, std::string_view function, Ty first, Ty declared) {
  static constexpr std::string_view comparisons[] = {"eq", "ne", "lt", "le", "gt", "ge"};
  if (std::ranges::find(comparisons, function) != std::end(comparisons)) return declared.dtype;
  if (function == "f32" || function == "bf16") return function;
  if (function == "where") {
    std::optional<std::string_view> found;
    for_index_polled(f.arg_types.size(), [&](std::size_t k) {
      if (k > 0 && !found && f.arg_types[k]) found = f.arg_types[k]->dtype;
    });
    return found.value_or(declared.dtype);
  }
  return first.dtype;
}

// Whether two shapes are the same, polling as it goes.
bool same_shape(std::span<const Dim> a, std::span<const Dim> b) {
  if (a.size() != b.size()) return false;
  if (a.data() == b.data()) return true;  // the same declared type
  return !first_mismatch(a.size(), [&](std::size_t i) -> std::optional<std::string> {
    if (a[i] == b[i]) return std::nullopt;
    return std::string();
  });
}

// Every typed input must have exactly the shape of the first: map never broadcasts.
std::optional<Ty> kind_rule(FunctionCheck& f, const Op& op, const Map& m, Ty declared) {
  std::optional<Ty> first;
  std::size_t k = 0;
  for (std::size_t i = 0; i < f.arg_types.size(); ++i) {
    poll_element(i);
    const std::optional<Ty>& t = f.arg_types[i];
    if (!t) continue;
    if (!first) {
      first = t;
    } else if (!same_shape(first->shape, t->shape)) {
      report(f, cat(label(f, op), ": map[", m.function,
                    "] requires all inputs to share the same shape; input 0 has shape ",
                    debug_shape(first->shape), " but input ", std::to_string(k), " has shape ",
                    debug_shape(t->shape), ". Use an explicit `tile` to broadcast first."));
    }
    ++k;
  }
  if (!first) return std::nullopt;
  return Ty{map_dtype(f, m.function, *first, declared), first->shape};
}

std::optional<Ty> first_arg_dtype(const FunctionCheck& f, Ty declared) {
  return with_shape_of(arg_ty(f, 0), declared);
}

std::optional<Ty> kind_rule(FunctionCheck& f, const Op&, const Fold&, Ty declared) {
  return first_arg_dtype(f, declared);
}
std::optional<Ty> kind_rule(FunctionCheck& f, const Op&, const Tile&, Ty declared) {
  return first_arg_dtype(f, declared);
}
std::optional<Ty> kind_rule(FunctionCheck& f, const Op&, const Write&, Ty declared) {
  return first_arg_dtype(f, declared);
}

bool is_integer_dtype(std::string_view dtype) {
  return dtype == "i32" || dtype == "i64" || dtype == "int" || dtype == "int32" ||
         dtype == "int64";
}

std::optional<Ty> kind_rule(FunctionCheck& f, const Op& op, const Read&, Ty declared) {
  std::optional<Ty> index = arg_ty(f, 1);
  if (index && !is_integer_dtype(index->dtype)) {
    report(f, cat(label(f, op), ": read index dtype ", index->dtype, ", expected integer"));
  }
  return first_arg_dtype(f, declared);
}

std::optional<Ty> kind_rule(FunctionCheck& f, const Op&, const Contract&, Ty declared) {
  return with_shape_of(typed_input(f, 0), declared);
}

std::optional<Ty> kind_rule(FunctionCheck&, const Op&, const Literal&, Ty) { return std::nullopt; }
std::optional<Ty> kind_rule(FunctionCheck&, const Op&, const Iota&, Ty) { return std::nullopt; }
std::optional<Ty> kind_rule(FunctionCheck&, const Op&, const Random&, Ty) { return std::nullopt; }

// ---- call sites: call, loop and cache hand their arguments to another function ----

std::optional<Ty> param_type(const Param& p) {
  if (is_wildcard(p.ty.dtype)) return std::nullopt;
  return ty_of(p.ty);
}

// Batched when some argument has more dimensions than the typed parameter receiving it.
bool is_batched(const FunctionCheck& f, const Function& callee, std::size_t n) {
  bool batched = false;
  for_index_polled(n, [&](std::size_t i) {
    std::optional<Ty> a = f.arg_types[i];
    std::optional<Ty> p = param_type(callee.params[i]);
    if (a && p && a->shape.size() > p->shape.size()) batched = true;
  });
  return batched;
}

void check_call_args(FunctionCheck& f, const Op& op, const Function& callee, std::size_t n) {
  bool batched = is_batched(f, callee, n);
  for_index_polled(n, [&](std::size_t i) {
    std::optional<Ty> a = f.arg_types[i];
    std::optional<Ty> p = param_type(callee.params[i]);
    if (!a || !p) return;
    auto reason = batched ? batched_match(*a, *p) : types_match(*a, *p);
    if (reason) {
      report(f, cat(label(f, op), ": arg ", std::to_string(i), " '", callee.params[i].name, "'",
                    kDash, *reason));
    }
  });
}

WeightMap& function_weights(FunctionCheck& f) {
  if (!f.weights) {
    auto& all = f.result.constraints.weights;
    f.weights = &all.try_emplace(std::string(f.key)).first->second;
  }
  return *f.weights;
}

// A namespace access passed to a typed parameter is a weight of that parameter's
// type; the first type recorded for a weight stays, a different one is reported.
void record_weights(FunctionCheck& f, const Op& op, const Function& callee, std::size_t n) {
  for_index_polled(n, [&](std::size_t i) {
    const TensorType& pt = callee.params[i].ty;
    const std::string* name = std::get_if<std::string>(&op.args[i]);
    if (is_wildcard(pt.dtype) || !name || !f.star_names.contains(name_prefix(*name))) return;
    WeightMap& weights = function_weights(f);
    auto it = weights.find(*name);
    if (it == weights.end()) {
      weights.emplace(*name, pt);
    } else if (it->second != pt) {
      report(f, cat(label(f, op), ": weight '", *name, "' used with conflicting types: ",
                    debug_type(it->second), " vs ", debug_type(pt)));
    }
  });
}

void check_call_site(FunctionCheck& f, const Op& op, const std::string& callee_name) {
  auto it = f.functions.find(callee_name);
  if (it == f.functions.end()) return;  // an unknown callee is no finding
  const Function& callee = it->second;
  std::size_t n = std::min(callee.params.size(), op.args.size());
  check_call_args(f, op, callee, n);
  record_weights(f, op, callee, n);
}

std::optional<Ty> kind_rule(FunctionCheck& f, const Op& op, const Call& c, Ty) {
  check_call_site(f, op, c.target);
  return std::nullopt;
}

std::optional<Ty> kind_rule(FunctionCheck& f, const Op& op, const Loop& l, Ty) {
  const std::string* count = std::get_if<std::string>(&l.count);
  if (count && starts_with_param(*count)) add_param(f.result.constraints, *count);
  check_call_site(f, op, l.target);
  return std::nullopt;
}

std::optional<Ty> kind_rule(FunctionCheck& f, const Op& op, const Cache& c, Ty) {
  check_call_site(f, op, c.init);
  return std::nullopt;
}

// ---- ops and returns ----

void check_declared(FunctionCheck& f, const Op& op, Ty declared) {
  std::optional<Ty> expected =
      std::visit([&](const auto& k) { return kind_rule(f, op, k, declared); }, op.kind);
  if (!expected) return;
  if (auto reason = types_match(*expected, declared)) {
    report(f, cat(label(f, op), ": declared ", debug_ty(declared), ", expected ",
                  debug_ty(*expected), kDash, *reason));
  }
}

void record_outputs(FunctionCheck& f, const Op& op) {
  std::size_t n = std::min(op.outputs.size(), op.output_types.size());
  for (std::size_t i = 0; i < n; ++i) {
    poll_element(i);
    if (!op.output_types[i]) continue;
    f.env.insert_or_assign(op.outputs[i], ty_of(*op.output_types[i]));
    add_param_dims(f.result.constraints, *op.output_types[i]);
  }
}

void check_op(FunctionCheck& f, const Op& op) {
  if (op.outputs.empty()) index_failure(0, 0);
  if (op.output_types.empty()) index_failure(0, 0);
  f.arg_types.clear();
  for (std::size_t i = 0; i < op.args.size(); ++i) {
    emplace_polled(f.arg_types, lookup_arg(f, op, op.args[i]));
    poll_element(i);
  }
  if (const auto& declared = op.output_types[0]) check_declared(f, op, ty_of(*declared));
  record_outputs(f, op);
}

void check_returns(FunctionCheck& f, const Function& fn) {
  for_each_polled(fn.returns, [&](const Param& r) {
    if (is_wildcard(r.ty.dtype)) return;
    auto it = f.env.find(r.name);
    if (it == f.env.end()) {
      report(f, cat(f.key, ": return '", r.name, "' not found in env"));
    } else if (auto reason = types_match(it->second, ty_of(r.ty))) {
      report(f, cat(f.key, ": return '", r.name, "' ", *reason));
    }
  });
}

// Every symbolic dimension name of the function, known before the first op so
// that a name declared by a later op is in scope for an earlier one.
void collect_dim_names(FunctionCheck& f, const Function& fn) {
  for_each_polled(fn.params, [&](const Param& p) {
    if (!is_wildcard(p.ty.dtype)) add_dim_names(f.dim_names, p.ty);
  });
  for_each_polled(fn.returns, [&](const Param& r) { add_dim_names(f.dim_names, r.ty); });
  for (const Op& op : fn.ops) {
    for (std::size_t i = 0; i < op.output_types.size(); ++i) {
      if (const auto& t = op.output_types[i]) add_dim_names(f.dim_names, *t);
      poll_element(i);
    }
    poll_rest(op.output_types.size() + 1);  // the op and its types
  }
}

}  // namespace

void check_function(std::string_view key, const Function& fn, const OrderedMap<Function>& functions,
                    CheckResult& result) {
  FunctionCheck f{.key = key, .functions = functions, .result = result};
  for_each_polled(fn.params, [&](const Param& p) {
    if (is_wildcard(p.ty.dtype)) f.star_names.insert(p.name);
  });
  f.env.reserve(fn.params.size() + fn.ops.size());
  for_each_polled(fn.params, [&](const Param& p) {
    if (is_wildcard(p.ty.dtype)) return;
    f.env.insert_or_assign(p.name, ty_of(p.ty));
    add_param_dims(result.constraints, p.ty);
  });
  for_each_polled(fn.returns, [&](const Param& r) { add_param_dims(result.constraints, r.ty); });
  collect_dim_names(f, fn);
  for (const Op& op : fn.ops) {
    poll_interrupt(op_units(op));
    check_op(f, op);
  }
  check_returns(f, fn);
}

CheckResult check(const Module& m) {
  CheckResult result;
  for (const auto& [key, fn] : m.functions) check_function(key, fn, m.functions, result);
  return result;
}

}  // namespace travune
