// The calls that read module JSON, each working one function at a time where the document
// allows it: a function is read, worked on, written and dropped before the next is read.
#include "module_json.hpp"

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "config.hpp"
#include "travune/hash.hpp"
#include "travune/check.hpp"
#include "travune/fatal.hpp"
#include "travune/file.hpp"
#include "travune/fmt.hpp"
#include "travune/json.hpp"
#include "travune/resolve.hpp"

namespace travune {
namespace {

// The reader's function-by-function form, with a reader error stopping as in read_module.
void read_each_function(std::string_view text, const ModuleJsonVisitor& visit) {
  try {
    read_module_json_by_function(text, visit);
  } catch (const JsonError& e) {
    fatal(unwrap_failure(debug_form(e)));
  }
}

// Thrown from a visitor when the document does not allow working one function at a time
// exactly (a repeated key moves a function's place in the module): the caller starts over
// and reads the whole module.
struct WholeModuleNeeded {};

// Refuses a key seen before (see WholeModuleNeeded). Keys are views into the reader's text.
struct KeySet {
  HashSet<std::string_view> seen;

  void add(std::string_view key) {
    if (!seen.emplace(key).second) throw WholeModuleNeeded{};
  }
};

// Room for `size` bytes of output, on huge pages where the system offers them.
void reserve_output(std::string& out, std::size_t size) {
  out.reserve(size);
  prefer_huge_pages(out.data(), size);
}

// A module text written one function at a time: the header comes first in the output but may
// come after the functions in the input, in which case it is put in front at the end.
class FunctionWriter {
 public:
  // What opens the text: the header, or nothing when there is none.
  using Open = void (*)(std::string& out, const std::vector<std::string>& header_comments);

  FunctionWriter(std::size_t reserve, Open open) : open_(open) { reserve_output(out_, reserve); }

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
    return std::move(out_);
  }

 private:
  Open open_;
  std::string out_;
  std::vector<std::string> header_;
  bool header_read_ = false;
  bool opened_ = false;
  bool first_ = true;
};

// Runs `step` on each function of the module text, in document order, and writes each with
// `write` right after. Every reader error of the document comes before a failure of `step`:
// after one, the rest is only read, and the failure is raised once the text has read well.
template <class Step, class Write>
std::string stream_functions(std::string_view text, FunctionWriter& writer, Step&& step,
                             Write&& write) {
  KeySet keys;
  std::optional<Fatal> failed;
  ModuleJsonVisitor visit;
  visit.header_comments = [&](std::vector<std::string>&& c) { writer.header(std::move(c)); };
  visit.function = [&](std::string_view key, Function&& fn) {
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
  read_each_function(text, visit);
  if (failed) throw std::move(*failed);
  return writer.finish();
}

// Module JSON out, one function at a time, byte for byte as write_module_json writes it.
template <class Step>
std::string rewrite_module_json(std::string_view text, Step&& step) {
  FunctionWriter writer(text.size() + text.size() / 8 + 64, open_module_json);
  auto write = [](std::string& out, std::string_view key, const Function& fn, bool first) {
    append_function_entry_json(out, key, fn, first);
  };
  std::string out = stream_functions(text, writer, step, write);
  close_module_json(out);
  return out;
}

}  // namespace

// A reader error stops the call as a failed unwrap of the reader's result.
Module read_module(std::string_view text) {
  try {
    return read_module_json(text);
  } catch (const JsonError& e) {
    fatal(unwrap_failure(debug_form(e)));
  }
}

ConfigMap read_config(std::string_view text) {
  try {
    return read_config_json(text);
  } catch (const JsonError& e) {
    fatal(unwrap_failure(debug_form(e)));
  }
}

// Module reader errors come first, then configuration reader errors, then failures of
// substitution and resolution.
std::string resolve_json(std::string_view module, std::string_view config_text) {
  std::optional<ConfigMap> config;
  try {
    config = read_config_json(config_text);
  } catch (const JsonError&) {
    // Reported after any module reader error: the whole module is read first.
  }
  if (config) {
    try {
      FunctionResolver resolver;
      return rewrite_module_json(module, [&](std::string_view key, Function& fn) {
        sub_function_in_place(fn, *config);
        resolver.resolve(key, fn);
      });
    } catch (const WholeModuleNeeded&) {
      // Read again below as a whole module.
    }
  }
  Module m = read_module(module);
  ConfigMap whole_config = read_config(config_text);
  return write_module_json(resolve(sub_module(std::move(m), whole_config)));
}

std::string infer_axes_json(std::string_view module) {
  try {
    FunctionResolver resolver;
    return rewrite_module_json(module, [&](std::string_view key, Function& fn) { resolver.resolve(key, fn); });
  } catch (const WholeModuleNeeded&) {
    return write_module_json(resolve(read_module(module)));
  }
}

// Read twice (see check_read_twice): every reader error comes before any finding.
std::string check_json(std::string_view module) {
  auto read_each = [&](const FunctionSink& sink) {
    ModuleJsonVisitor visit;
    visit.header_comments = [](std::vector<std::string>&&) {};
    visit.function = [&](std::string_view key, Function&& fn) {
      if (!sink(std::string(key), fn)) throw WholeModuleNeeded{};
    };
    try {
      read_each_function(module, visit);
      return true;
    } catch (const WholeModuleNeeded&) {
      return false;
    }
  };
  if (std::optional<CheckResult> r = check_read_twice(read_each))
    return write_check_result_json(*r);
  // A repeated key checks only its last function, in the place of its first.
  return write_check_result_json(check(read_module(module)));
}

std::string fmt_json(std::string_view module, std::uint64_t width) {
  try {
    FunctionWriter writer(module.size() / 2 + 64, open_trv_text);
    auto write = [&](std::string& out, std::string_view, const Function& fn, bool first) {
      append_function_text(out, fn, width, first);
    };
    std::string out = stream_functions(module, writer, [](std::string_view, Function&) {}, write);
    close_trv_text(out);
    return out;
  } catch (const WholeModuleNeeded&) {
    return format_trv(read_module(module), width);
  }
}

}  // namespace travune
