#pragma once
// A compiled PCRE2 pattern (UTF and UCP mode, JIT when available), owned for the life of the process.
#include <cstddef>
#include <string_view>

struct pcre2_real_code_8;

namespace travune {

class Regex {
 public:
  explicit Regex(std::string_view pattern);  // a pattern that does not compile stops the call
  ~Regex();
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  // Calls f(match) for every non-overlapping match of the subject, left to right.
  template <class F>
  void for_each_match(std::string_view subject, F&& f) const {
    std::size_t start = 0;
    std::size_t begin = 0, end = 0;
    while (next_match(subject, start, begin, end)) {
      f(subject.substr(begin, end - begin));
      start = end > begin ? end : end + 1;
      if (start > subject.size()) break;
    }
  }
  // Whether the pattern matches at the start of the subject.
  bool matches_at_start(std::string_view subject) const;

 private:
  bool next_match(std::string_view subject, std::size_t start, std::size_t& begin,
                  std::size_t& end, bool anchored = false) const;
  pcre2_real_code_8* code_ = nullptr;
};

}  // namespace travune
