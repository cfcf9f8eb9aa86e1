#pragma once
// Shared pieces of the fuzz targets: splitting an input into parts, the expected
// failures, in-memory files, and the invariants that every target asserts.
//
// A fuzz target treats travune::Fatal (a fatal stop, PanicException in Python) and the
// readers' JsonError and IoError as expected outcomes. Anything else is a finding:
// a sanitizer report, another exception (std::terminate), a timeout, or a broken
// invariant (finding() aborts with a message).
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <simdjson.h>

#include "travune/ast.hpp"
#include "travune/fatal.hpp"
#include "travune/file.hpp"
#include "travune/json.hpp"

namespace fuzz {

using namespace travune;

[[noreturn]] inline void finding(std::string_view what, std::string_view detail = {}) {
  std::fprintf(stderr, "\n==== FINDING: %.*s\n%.*s\n", static_cast<int>(what.size()), what.data(),
               static_cast<int>(detail.size()), detail.data());
  std::fflush(stderr);
  std::abort();
}

inline bool valid_utf8(std::string_view s) { return simdjson::validate_utf8(s.data(), s.size()); }

// The input split at NUL bytes: the first part, then the optional further parts.
inline std::vector<std::string_view> split_parts(const std::uint8_t* data, std::size_t size) {
  std::string_view all(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> parts;
  for (;;) {
    std::size_t nul = all.find('\0');
    parts.push_back(all.substr(0, nul));
    if (nul == std::string_view::npos) break;
    all.remove_prefix(nul + 1);
  }
  return parts;
}

// Each part in a heap block of its own and exactly its size, as the boundary hands
// the library a borrowed UTF-8 buffer: a read past the end is an AddressSanitizer report.
struct ExactText {
  std::vector<char> bytes;
  explicit ExactText(std::string_view s) : bytes(s.begin(), s.end()) {}
  std::string_view view() const { return {bytes.data(), bytes.size()}; }
};

// Runs `f`; a fatal stop (PanicException in Python) is expected. Its message becomes the
// exception's text, so it must be valid UTF-8. Memory exhaustion (MemoryError) is expected too:
// the fuzz build of simdjson refuses padded copies over 1 MB, which the readers must report as
// std::bad_alloc (under AddressSanitizer a failed plain allocation aborts instead, so a
// bad_alloc comes only from such checked paths). Any other exception is a finding: the
// boundary would turn it into a panic with the wrong text.
template <class F>
bool expected(F&& f) {
  try {
    f();
    return true;
  } catch (const Fatal& e) {
    if (e.message.empty()) finding("a fatal stop with an empty message");
    if (!valid_utf8(e.message)) finding("a fatal stop whose message is not UTF-8", e.message);
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// The outcome of `f` as one text: its result, or the message of its fatal stop or reader
// error, so that two ways to the same result (whole module, or one function at a time) can
// be compared.
template <class F>
std::string outcome(F&& f) {
  try {
    return "result: " + f();
  } catch (const Fatal& e) {
    return "stop: " + e.message;
  } catch (const JsonError& e) {
    return "reader error: " + debug_form(e);
  } catch (const std::bad_alloc&) {
    return "out of memory";
  }
}

// Finds a difference between the outcomes of the whole-module way and the streaming way.
template <class Whole, class Streamed>
void assert_same_outcome(std::string_view what, Whole&& whole, Streamed&& streamed) {
  std::string a = outcome(whole);
  std::string b = outcome(streamed);
  if (a != b) finding(what, "the whole module gives\n" + a + "\nbut function by function\n" + b);
}

// As expected(), for the JSON readers, which also throw JsonError (the callers turn it into a
// fatal stop with the error's debug form).
template <class F>
bool expected_reader(F&& f) {
  try {
    return expected(f);
  } catch (const JsonError& e) {
    if (e.message.empty() || e.line == 0) finding("a malformed reader error", debug_form(e));
    if (!valid_utf8(debug_form(e))) finding("a reader error whose text is not UTF-8", debug_form(e));
    return false;
  }
}

// An in-memory file with a path that the library's file reading opens like any other.
class MemFile {
 public:
  explicit MemFile(const char* name) : fd_(::memfd_create(name, MFD_CLOEXEC)) {
    if (fd_ < 0) finding("memfd_create failed");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;
  ~MemFile() { ::close(fd_); }
  void write(std::string_view text) {
    if (::ftruncate(fd_, 0) != 0) finding("ftruncate failed");
    std::size_t done = 0;
    while (done < text.size()) {
      ssize_t n = ::pwrite(fd_, text.data() + done, text.size() - done,
                           static_cast<off_t>(done));
      if (n <= 0) finding("pwrite failed");
      done += static_cast<std::size_t>(n);
    }
  }
  const std::string& path() const { return path_; }

 private:
  int fd_;
  std::string path_;
};

// ---- properties of a module that decide which invariants hold ----
// (literal_depth comes from the library's ast.hpp)

struct ModuleTraits {
  bool nan = false;                  // a NaN anywhere: == is not reflexive
  bool nonfinite_atom_or_bound = false;  // written as null, which does not read back
  std::size_t literal_depth = 0;
};

inline void literal_traits(const LiteralValue& v, ModuleTraits& t) {
  if (const auto* d = std::get_if<double>(&v.v)) t.nan |= std::isnan(*d);
  if (const auto* list = std::get_if<LiteralList>(&v.v))
    for (const auto& e : *list) literal_traits(e, t);
}

inline ModuleTraits traits(const Module& m) {
  ModuleTraits t;
  for (const auto& [key, f] : m.functions) {
    for (const Op& op : f.ops) {
      for (const Atom& a : op.args) {
        if (const auto* d = std::get_if<double>(&a)) {
          t.nan |= std::isnan(*d);
          t.nonfinite_atom_or_bound |= !std::isfinite(*d);
        }
      }
      if (const auto* lit = std::get_if<Literal>(&op.kind)) {
        literal_traits(lit->value, t);
        t.literal_depth = std::max(t.literal_depth, literal_depth(lit->value));
      }
      if (const auto* r = std::get_if<Random>(&op.kind)) {
        t.nan |= std::isnan(r->lower) || std::isnan(r->upper);
        t.nonfinite_atom_or_bound |= !std::isfinite(r->lower) || !std::isfinite(r->upper);
      }
    }
  }
  return t;
}

// Literal lists this deep stay within the reader's nesting limit of 128 inside a module
// (module, functions, function, ops, op: five levels above the literal).
inline constexpr std::size_t kSafeLiteralDepth = 120;

// Every text a Python function returns must be valid UTF-8, or the str cannot be made.
inline void assert_utf8(std::string_view text, const char* what) {
  if (!valid_utf8(text)) finding(what, "returned text is not valid UTF-8");
}

// A JSON text we wrote must be one well-formed JSON document.
inline void assert_json(std::string_view text, const char* what) {
  assert_utf8(text, what);
  static thread_local simdjson::dom::parser parser;
  simdjson::padded_string padded(text);
  auto doc = parser.parse(padded);
  if (doc.error() && doc.error() != simdjson::DEPTH_ERROR)
    finding(what, std::string("written JSON does not parse: ") + simdjson::error_message(doc.error()) +
                      "\n" + std::string(text.substr(0, 2000)));
}

// A text that a reader accepted must be one valid JSON document (trailing blanks allowed).
// Numbers the checking parser cannot hold (beyond 64 bits, out of range) are left undecided.
// A \u escape of a lone surrogate is accepted inside values that nobody reads (and refused
// where a string is read); the checking parser refuses it everywhere, so such escapes are
// replaced by a plain letter before checking.
inline std::string without_surrogate_escapes(std::string_view text) {
  std::string out(text);
  for (std::size_t i = 0; i + 5 < out.size(); ++i) {
    if (out[i] == '\\' && out[i + 1] == '\\') {
      ++i;
      continue;
    }
    if (out[i] == '\\' && out[i + 1] == 'u' && (out[i + 2] == 'd' || out[i + 2] == 'D') &&
        std::string_view("89abcdefABCDEF").find(out[i + 3]) != std::string_view::npos)
      out.replace(i + 2, 4, "0041");
  }
  return out;
}

inline void assert_accepted_json_is_valid(std::string_view text, const char* what) {
  static thread_local simdjson::dom::parser parser;
  simdjson::padded_string padded(without_surrogate_escapes(text));
  auto doc = parser.parse(padded);
  auto e = doc.error();
  if (e == simdjson::SUCCESS || e == simdjson::NUMBER_ERROR ||
      e == simdjson::NUMBER_OUT_OF_RANGE || e == simdjson::DEPTH_ERROR)
    return;
  finding(what, std::string("accepted a text that is not JSON: ") + simdjson::error_message(e) +
                    "\n" + std::string(text.substr(0, 2000)));
}

// Writing a module and reading it back gives an equal module (where the JSON form can
// express it): the text written again is the same, and the module is equal when it holds
// no NaN.
inline void assert_json_round_trip(const Module& m, const char* what) {
  std::string j = write_module_json(m);
  assert_json(j, what);
  ModuleTraits t = traits(m);
  bool may_fail = t.nonfinite_atom_or_bound || t.literal_depth >= kSafeLiteralDepth;
  Module back;
  try {
    back = read_module_json(j);
  } catch (const JsonError& e) {
    if (may_fail) return;
    finding(what, "written module JSON does not read back: " + debug_form(e) + "\n" +
                      j.substr(0, 4000));
  } catch (const std::bad_alloc&) {
    return;  // over the fuzz build's 1 MB cap on padded copies
  } catch (const Fatal& e) {
    if (may_fail) return;
    finding(what, "written module JSON stops on reading: " + e.message + "\n" + j.substr(0, 4000));
  }
  if (may_fail) return;
  std::string j2 = write_module_json(back);
  if (j2 != j) finding(what, "module JSON changes through a read:\n" + j + "\n" + j2);
  if (!t.nan && !(back == m)) finding(what, "module read back differs from the one written:\n" + j);
}

}  // namespace fuzz
