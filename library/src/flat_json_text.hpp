#pragma once
// The flattened entry's module JSON, written op by op as the flattener produces the ops
// (a FlatSink) and joined once it is done, with the arguments an ArgRewriter asks for
// rewritten on the way.
#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "travune/ast.hpp"
#include "travune/flatten.hpp"
#include "flat_sink.hpp"

namespace travune {

// The entry's ops as JSON text, each written as ",{...}" as soon as it arrives, into chunks
// of up to kChunk bytes: no large buffer is copied to grow, and blocks this large are mapped
// apart from the heap by the allocator, so each one goes back to the system as soon as
// assemble() has copied it (only the pages written count meanwhile). The text is kept as
// spans of the chunks: the expansion's spans with a mark for each hole, and each slot's
// spans; assemble() joins them in order under the function's head.
//
// With a rewriter, each name argument beginning with its prefix is noted where its JSON
// string lies in a chunk; assemble() asks the rewriter for the new texts and puts them in
// place of the old ones as it joins the spans.
class FlatJsonText : public FlatSink {
 public:
  explicit FlatJsonText(ArgRewriter* rewriter)
      : rewriter_(rewriter), prefix_(rewriter ? rewriter->prefix() : std::string_view()) {}

  void op(Op&& op) override;
  void hole() override;
  void fill() override;

  // The whole module JSON: the header comments, and the flattened function under `key`
  // with the signature flatten_into() returned and the ops received. Ends the writer.
  std::string assemble(const std::vector<std::string>& header_comments, std::string_view key,
                       const Function& signature) &&;

 private:
  static constexpr std::size_t kChunk = std::size_t{1} << 26;  // 64 MiB
  static constexpr std::size_t kFirstChunk = std::size_t{1} << 16;  // 64 KiB
  static constexpr std::size_t kRoom = std::size_t{1} << 14;  // the room kept for the next op
  static constexpr std::size_t kHole = std::numeric_limits<std::size_t>::max();

  // Bytes [begin, end) of a chunk; in main_, a chunk of kHole marks hole number `begin`.
  struct Span {
    std::size_t chunk;
    std::size_t begin;
    std::size_t end;
  };

  // A noted argument: its JSON string, `length` bytes at `begin` in a chunk; once rewritten,
  // the JSON string of its new text, bytes [new_begin, new_end) of new_texts_.
  struct Note {
    std::size_t chunk;
    std::size_t begin;
    std::size_t length;
    std::size_t new_begin = 0;
    std::size_t new_end = 0;
  };

  const std::string* noted(const Atom& a) const;
  void note(const std::string& name, std::size_t begin, std::size_t end);
  std::size_t rewrite_notes();
  std::string& room();
  void add_span(std::size_t begin, std::size_t end);

  ArgRewriter* rewriter_;
  std::string_view prefix_;
  std::vector<std::string> chunks_;
  std::vector<std::size_t> uses_;  // per chunk, the spans still to be copied from it
  std::vector<Span> main_;
  std::vector<Span> slot_spans_;
  std::vector<std::size_t> slot_first_;  // per hole, its slot's first span in slot_spans_
  std::size_t holes_ = 0;
  bool filling_ = false;
  std::vector<Note> notes_;  // in the order of their places: by chunk, then by offset
  std::vector<std::pair<std::size_t, std::string>> escaped_;  // note number, name
  std::vector<std::pair<std::size_t, std::size_t>> args_at_;  // scratch: an op's arguments
  std::string new_texts_;
  std::size_t removed_ = 0;  // the bytes of the rewritten arguments' old JSON strings
};

}  // namespace travune
