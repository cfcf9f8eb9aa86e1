#define PCRE2_CODE_UNIT_WIDTH 8
#include "regex.hpp"

#include <cstdint>
#include <memory>
#include <string>

#include <pcre2.h>

#include "travune/fatal.hpp"

namespace travune {
namespace {

struct MatchDataFree {
  void operator()(pcre2_match_data* m) const { pcre2_match_data_free(m); }
};
using MatchData = std::unique_ptr<pcre2_match_data, MatchDataFree>;

// One ovector pair is all a whole-match search needs, whatever the pattern.
pcre2_match_data* thread_match_data() {
  thread_local MatchData md(pcre2_match_data_create(1, nullptr));
  if (!md) throw std::bad_alloc();
  return md.get();
}

}  // namespace

Regex::Regex(std::string_view pattern) {
  int err = 0;
  PCRE2_SIZE offset = 0;
  code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                        PCRE2_UTF | PCRE2_UCP | PCRE2_NO_UTF_CHECK, &err, &offset, nullptr);
  if (!code_) {
    PCRE2_UCHAR buf[256];
    pcre2_get_error_message(err, buf, sizeof buf);
    fatal(unwrap_failure(std::string(reinterpret_cast<char*>(buf))));
  }
  pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE);  // falls back to the interpreter when JIT is absent
}

Regex::~Regex() { pcre2_code_free(code_); }

bool Regex::next_match(std::string_view subject, std::size_t start, std::size_t& begin,
                       std::size_t& end, bool anchored) const {
  pcre2_match_data* md = thread_match_data();
  // The first search of a subject checks its UTF-8 (invalid text then simply has no match);
  // later searches start where a match ended, in text already checked.
  std::uint32_t options = (start > 0 ? PCRE2_NO_UTF_CHECK : 0u) | (anchored ? PCRE2_ANCHORED : 0u);
  int rc = pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), start,
                       options, md, nullptr);
  if (rc < 0) return false;
  PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
  begin = ov[0];
  end = ov[1];
  return true;
}

bool Regex::matches_at_start(std::string_view subject) const {
  std::size_t begin = 0, end = 0;
  return next_match(subject, 0, begin, end, true);
}

}  // namespace travune
