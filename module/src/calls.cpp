// The calls of the extension that take text and give text, composed from the library's
// stages: a reader (the parser, or the JSON reader of modules), passes (substitution, the
// resolver, the checker) and a writer (the JSON writer, the formatter). The parser, the
// formatter and the checker know nothing of each other; this file puts them together.
// The flattener writes its own JSON as it goes (write_flat_json): flatten_json and
// load_flat_json read the whole module and hand it over.
//
// A large module passes one function at a time wherever the result allows it. The reader
// hands over each function as soon as it is read (ModuleVisitor); `stream_functions` runs the
// call's passes on it, writes it and drops it before the next is read; `check_twice` reads
// the text twice, first keeping only the signatures, then checking each function as it
// comes. The result is byte for byte that of reading the whole module first, stops included.
// Where it could not be, a key that repeats (a Module keeps its first position and its last
// function), `require_new_key` notices the repeat and `streamed_or_whole` starts over, reading
// the whole module.
//
// Which failure wins when several are present, and where that is enforced:
//  1. A file that cannot be read stops the call before its text is looked at
//     (read_source_file, first in fmt_file and check_file).
//  2. Then the errors of reading the module text, in the order the reader meets them: the
//     parser's stops, or the JSON reader's errors and its stops while building an op (the
//     reader's own rules decide which of its errors comes first). Every one comes before a
//     failure of any later step: `stream_functions` keeps reading after a pass fails and
//     raises the failure only once the whole text has read well; `check_twice` reads the whole
//     text for the signatures before it checks anything.
//  3. In resolve_json, then the configuration's reader errors: `resolve_json` reads the
//     configuration first but takes the streamed way only when it reads well; otherwise the
//     whole module is read before the configuration's error is raised.
//  4. Then the first failure of a pass (substitution, resolution, a check that stops), in
//     the document order of the functions: `stream_functions` keeps it and runs no pass on
//     the functions after it.
//  5. load_flat_json: the source file and its parser's stops, then the TOML file and its
//     values (ConfigFile::load_config), then substitution and resolution, then the stops of
//     flattening, and only then the second reading of the TOML file for its weight table
//     (WeightReferences, called once the flattening has gone through; a file that is not a
//     regular file is read once, and its weight table taken from the same text).
//  6. A repeated key sets all this aside: the result and the stop are those of the whole
//     module, whatever the streamed reading met before the repeat (`streamed_or_whole`).
// A JSON reader error becomes a stop in one place, `json_or_stop`: a failed unwrap of the
// reader's result.
#include "calls.hpp"

#include <optional>
#include <utility>
#include <vector>

#include "config.hpp"
#include "loader.hpp"
#include "travune/check.hpp"
#include "travune/fatal.hpp"
#include "travune/file.hpp"
#include "travune/flatten.hpp"
#include "travune/fmt.hpp"
#include "travune/hash.hpp"
#include "travune/interrupt.hpp"
#include "travune/json.hpp"
#include "travune/parse.hpp"
#include "travune/resolve.hpp"

namespace travune {
namespace {

// Runs `read`; a JSON reader error it throws stops the call as a failed unwrap of the
// reader's result.
template <class Read>
decltype(auto) json_or_stop(Read&& read) {
  try {
    return read();
  } catch (const JsonError& e) {
    fatal(unwrap_failure(debug_form(e)));
  }
}

// What `use(m)` gives for the module `m`, which is then dropped: its long lists first, a
// batch at a time (release_long_lists).
template <class Use>
auto then_drop(Module m, Use&& use) {
  auto result = use(m);
  release_long_lists(m);
  return result;
}

// A module's text, read function by function (`each`) or whole.
struct SourceText {
  std::string_view text;
  void each(const ModuleVisitor& visit) const { parse_each(text, visit); }
  Module whole() const { return parse(text); }
};

struct ModuleJsonText {
  std::string_view text;
  void each(const ModuleVisitor& visit) const {
    json_or_stop([&] { read_module_json_by_function(text, visit); });
  }
  Module whole() const { return read_module(text); }
};

// Thrown when a key repeats: the function read last takes the place of an earlier one, which
// has been worked on in its own place already. The streamed way is abandoned.
struct WholeModuleNeeded {};

// Abandons the streamed way unless the key just read is new, as an insertion into a table of
// the keys read so far tells.
void require_new_key(bool is_new) {
  if (!is_new) throw WholeModuleNeeded{};
}

// The keys read so far. Keys are views into the text being read, valid while it is read.
class DistinctKeys {
 public:
  void add(std::string_view key) { require_new_key(seen_.emplace(key).second); }

 private:
  HashSet<std::string_view> seen_;
};

// The streamed way, or the whole module's way when the streamed way meets a repeated key.
template <class Streamed, class Whole>
auto streamed_or_whole(Streamed&& streamed, Whole&& whole) {
  try {
    return streamed();
  } catch (const WholeModuleNeeded&) {
    // The streamed way's storage is freed by now.
  }
  return whole();
}

// A module text written one function at a time, between what opens it and what closes it:
// the header comes first in the output but may come after the functions in the input (a JSON
// object's members come in any order), in which case it is put in front at the end.
class FunctionWriter {
 public:
  // What opens the text: the header, or nothing when there is none.
  using Open = void (*)(std::string& out, const std::vector<std::string>& header_comments);
  using Close = void (*)(std::string& out);

  FunctionWriter(std::size_t reserve, Open open, Close close) : open_(open), close_(close) {
    reserve_output(out_, reserve);
  }

  void header(std::vector<std::string>&& comments) {
    header_ = std::move(comments);
    header_read_ = true;
  }
  // The output so far, positioned for the next function; `first` tells whether it is the first.
  std::string& next(bool& first) {
    first = first_;
    if (first_ && header_read_) {
      open_(out_, header_);
      opened_ = true;
    }
    first_ = false;
    return out_;
  }
  void drop() { out_ = std::string(); }
  std::string finish() {
    if (!opened_) {
      std::string head;
      open_(head, header_);
      out_.insert(0, head);
    }
    close_(out_);
    return std::move(out_);
  }

 private:
  Open open_;
  Close close_;
  std::string out_;
  std::vector<std::string> header_;
  bool header_read_ = false;
  bool opened_ = false;
  bool first_ = true;
};

// Runs `step` on each function of the text, in document order, and writes each with `write`
// right after. After a failure of `step` the rest is only read, and the failure is raised
// once the text has read well, so that every reader error comes first.
template <class Text, class Step, class Write>
std::string stream_functions(const Text& text, FunctionWriter& writer, Step&& step,
                             Write&& write) {
  DistinctKeys keys;
  std::optional<Fatal> failed;
  ModuleVisitor visit;
  visit.header_comments = [&](std::vector<std::string>&& c) { writer.header(std::move(c)); };
  visit.function = [&](std::string_view key, Function& fn) {
    keys.add(key);
    if (failed) return;
    try {
      step(key, fn);
    } catch (Fatal& f) {
      failed = std::move(f);
      writer.drop();
      return;
    }
    bool first = false;
    std::string& out = writer.next(first);
    write(out, key, fn, first);
  };
  text.each(visit);
  if (failed) throw std::move(*failed);
  return writer.finish();
}

void no_step(std::string_view, Function&) {}

// Module JSON out, byte for byte as write_module_json writes it.
template <class Text, class Step>
std::string write_streamed_json(const Text& text, std::size_t reserve, Step&& step) {
  FunctionWriter writer(reserve, open_module_json, close_module_json);
  return stream_functions(text, writer, step, append_function_entry_json);
}

// Canonical text out, byte for byte as format_trv writes it.
template <class Text>
std::string format_streamed(const Text& text, std::size_t reserve, std::uint64_t width) {
  FunctionWriter writer(reserve, open_trv_text, close_trv_text);
  auto write = [&](std::string& out, std::string_view, const Function& fn, bool first) {
    append_function_text(out, fn, width, first);
  };
  return stream_functions(text, writer, no_step, write);
}

template <class Text>
std::string format_text(const Text& text, std::size_t reserve, std::uint64_t width) {
  return streamed_or_whole([&] { return format_streamed(text, reserve, width); }, [&] {
    return then_drop(text.whole(), [&](const Module& m) { return format_trv(m, width); });
  });
}

// check() of the text's module, without holding it: the first reading keeps only the
// signatures (so every stop of reading comes before any finding), the second checks each
// function as it is read.
template <class Text>
CheckResult check_twice(const Text& text) {
  OrderedMap<Function> signatures;  // also the keys read so far
  ModuleVisitor visit;
  visit.header_comments = [](std::vector<std::string>&&) {};
  visit.function = [&](std::string_view key, Function& f) {
    auto [it, is_new] = signatures.try_emplace(std::string(key));
    require_new_key(is_new);
    it.value() = Function{std::move(f.name), {}, std::move(f.params), {}, {}};
  };
  text.each(visit);
  CheckResult result;
  visit.function = [&](std::string_view key, Function& f) {
    check_function(key, f, signatures, result);
  };
  text.each(visit);
  for (auto it = signatures.begin(); it != signatures.end(); ++it) release_long_lists(it.value());
  return result;
}

template <class Text>
std::string check_text(const Text& text) {
  CheckResult result = streamed_or_whole([&] { return check_twice(text); }, [&] {
    return then_drop(text.whole(), [](const Module& m) { return check(m); });
  });
  std::string out = write_check_result_json(result);
  truncate_polled(result.errors, 0);
  return out;
}

// The configuration, or none when it does not read: its error is raised later, once the
// module has read well.
std::optional<ConfigMap> config_if_it_reads(std::string_view text) {
  try {
    return read_config_json(text);
  } catch (const JsonError&) {
    return std::nullopt;
  }
}

// Sizes reserved for outputs, from the input's size; pages reserved and never written cost
// nothing. The JSON form of a source text runs about twice its size, the canonical text about
// its size; module JSON rewritten runs about the size of the input, and its canonical text
// about half.
std::size_t json_of_source(std::string_view s) { return s.size() / 2 * 5 + 64; }
std::size_t text_of_source(std::string_view s) { return s.size() / 4 * 5 + 64; }
std::size_t json_of_json(std::string_view s) { return s.size() + s.size() / 8 + 64; }
std::size_t text_of_json(std::string_view s) { return s.size() / 2 + 64; }

}  // namespace

Module read_module(std::string_view text) {
  return json_or_stop([&] { return read_module_json(text); });
}

ConfigMap read_config(std::string_view text) {
  return json_or_stop([&] { return read_config_json(text); });
}

std::string parse_to_json(std::string_view source) {
  SourceText text{source};
  return streamed_or_whole(
      [&] { return write_streamed_json(text, json_of_source(source), no_step); },
      [&] { return then_drop(text.whole(), write_module_json); });
}

std::string fmt_source(std::string_view source, std::uint64_t width) {
  return format_text(SourceText{source}, text_of_source(source), width);
}

std::string check_source(std::string_view source) { return check_text(SourceText{source}); }

// The text is freed before the output goes back to Python.
std::string fmt_file(const std::string& path, std::uint64_t width) {
  return fmt_source(read_source_file(path), width);
}

std::string check_file(const std::string& path) {
  return check_source(read_source_file(path));
}

std::string resolve_json(std::string_view module, std::string_view config_text) {
  ModuleJsonText text{module};
  auto whole = [&] {
    Module m = text.whole();
    ConfigMap config = read_config(config_text);
    return then_drop(resolve(sub_module(std::move(m), config)), write_module_json);
  };
  std::optional<ConfigMap> config = config_if_it_reads(config_text);
  if (!config) return whole();
  auto streamed = [&] {
    FunctionResolver resolver;
    return write_streamed_json(text, json_of_json(module), [&](std::string_view key, Function& fn) {
      sub_function_in_place(fn, *config);
      resolver.resolve(key, fn);
    });
  };
  return streamed_or_whole(streamed, whole);
}

std::string infer_axes_json(std::string_view module) {
  ModuleJsonText text{module};
  auto streamed = [&] {
    FunctionResolver resolver;
    return write_streamed_json(text, json_of_json(module), [&](std::string_view key, Function& fn) {
      resolver.resolve(key, fn);
    });
  };
  return streamed_or_whole(streamed,
                           [&] { return then_drop(resolve(text.whole()), write_module_json); });
}

std::string check_json(std::string_view module) { return check_text(ModuleJsonText{module}); }

std::string fmt_json(std::string_view module, std::uint64_t width) {
  return format_text(ModuleJsonText{module}, text_of_json(module), width);
}

std::string flatten_json(std::string_view module, std::string_view entry,
                         const std::vector<std::string>& cache_keys) {
  const CacheKeys keys(cache_keys.begin(), cache_keys.end());
  return write_flat_json(read_module(module), entry, keys);
}

std::string load_flat_json(const std::string& trv_path, const std::string& config_path,
                           const std::string& entry, const std::vector<std::string>& cache_keys) {
  ConfigFile config_file(config_path);
  Module resolved;
  {
    Module parsed = parse_file(trv_path);
    ConfigMap config = config_file.load_config();
    resolved = resolve(sub_module(std::move(parsed), config));
  }
  const CacheKeys keys(cache_keys.begin(), cache_keys.end());
  WeightReferences references(config_file);
  return write_flat_json(std::move(resolved), entry, keys, &references);
}

}  // namespace travune
