// The flattened entry's module JSON, written in chunks as the ops arrive and joined at the end
// (see flat_json_text.hpp), and write_flat_json, the flattener writing into it.
#include "flat_json_text.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "json_write.hpp"
#include "travune/file.hpp"
#include "travune/interrupt.hpp"
#include "travune/json.hpp"

namespace travune {

namespace {

// Appends `text`, a piece of up to a chunk of the flattened text, a MiB at a time: copying
// runs at several GB/s, and each MiB counts toward the interrupt check as an eighth of its
// interval does.
void append_text(std::string& out, std::string_view text) {
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  while (text.size() > kPiece) {
    out.append(text.substr(0, kPiece));
    text.remove_prefix(kPiece);
    poll_interrupt(kInterruptInterval / 8);
  }
  out.append(text);
}

}  // namespace

void FlatJsonText::op(Op&& op) {
  std::string& chunk = room();
  const std::size_t begin = chunk.size();
  chunk += ',';
  bool any_noted = false;
  for (std::size_t i = 0; rewriter_ && !any_noted && i < op.args.size(); ++i) {
    any_noted = noted(op.args[i]) != nullptr;
    poll_element(i);
  }
  if (any_noted) {
    append_op_json(chunk, op, args_at_);
    for (std::size_t i = 0; i < op.args.size(); ++i) {
      if (const std::string* name = noted(op.args[i]))
        note(*name, args_at_[i].first, args_at_[i].second);
      poll_element(i);
    }
  } else {
    append_op_json(chunk, op);
  }
  add_span(begin, chunk.size());
  if (has_long_list(op)) [[unlikely]] release_long_lists(op);
}

void FlatJsonText::hole() {
  emplace_polled(main_, Span{.chunk = kHole, .begin = holes_++, .end = 0});
}

void FlatJsonText::fill() {
  filling_ = true;
  slot_first_.push_back(slot_spans_.size());
}

std::string FlatJsonText::assemble(const std::vector<std::string>& header_comments,
                                   std::string_view key, const Function& signature) && {
  std::string head;
  open_module_json(head, header_comments);
  append_json_string(head, key);
  head += ':';
  append_function_head_json(head, signature);
  std::string tail;
  append_function_tail_json(tail);
  close_module_json(tail);
  slot_first_.push_back(slot_spans_.size());

  std::size_t size = head.size() + tail.size();
  for_each_polled(main_, [&](const Span& s) {
    if (s.chunk != kHole) size += s.end - s.begin;
  });
  for_each_polled(slot_spans_, [&](const Span& s) { size += s.end - s.begin; });
  const std::size_t new_bytes = rewrite_notes();  // sets removed_
  size = size + new_bytes - removed_;
  std::string out;
  reserve_output(out, size);
  out += head;
  bool first = true;
  auto copy = [&](const Span& s) {
    std::string& chunk = chunks_[s.chunk];
    std::size_t at = s.begin + (first ? 1 : 0);  // the first op has no ',' before it
    first = false;
    auto n = std::lower_bound(notes_.begin(), notes_.end(), s, [](const Note& a, const Span& b) {
      return a.chunk < b.chunk || (a.chunk == b.chunk && a.begin < b.begin);
    });
    for (std::size_t k = 0; n != notes_.end() && n->chunk == s.chunk && n->begin < s.end;
         ++n, ++k) {
      append_text(out, std::string_view(chunk).substr(at, n->begin - at));
      out.append(new_texts_, n->new_begin, n->new_end - n->new_begin);
      at = n->begin + n->length;
      poll_element(k);
    }
    append_text(out, std::string_view(chunk).substr(at, s.end - at));
    if (--uses_[s.chunk] == 0) std::string().swap(chunk);
  };
  for_each_polled(main_, [&](const Span& s) {
    if (s.chunk != kHole) {
      copy(s);
      return;
    }
    for (std::size_t i = slot_first_[s.begin]; i < slot_first_[s.begin + 1]; ++i) {
      copy(slot_spans_[i]);
      poll_interrupt(kElementUnits);
    }
  });
  out += tail;
  return out;
}

const std::string* FlatJsonText::noted(const Atom& a) const {
  const std::string* name = std::get_if<std::string>(&a);
  return name && name->starts_with(prefix_) ? name : nullptr;
}

void FlatJsonText::note(const std::string& name, std::size_t begin, std::size_t end) {
  // A name written with escapes is kept as it is, for the rewriter.
  if (end - begin != name.size() + 2) emplace_polled(escaped_, notes_.size(), name);
  emplace_polled(notes_, Note{.chunk = chunks_.size() - 1, .begin = begin, .length = end - begin});
}

// Asks the rewriter for the new texts of the noted arguments, keeps the notes of those it
// rewrites, and returns the bytes their new JSON strings take.
std::size_t FlatJsonText::rewrite_notes() {
  if (!rewriter_) return 0;
  rewriter_->flattened();
  std::string text;
  std::size_t kept = 0, escaped = 0;
  for_index_polled(notes_.size(), [&](std::size_t i) {
    Note n = notes_[i];
    std::string_view name;
    if (escaped < escaped_.size() && escaped_[escaped].first == i)
      name = escaped_[escaped++].second;
    else
      name = std::string_view(chunks_[n.chunk]).substr(n.begin + 1, n.length - 2);
    if (!rewriter_->rewrite(name, text)) return;
    n.new_begin = new_texts_.size();
    append_json_string(new_texts_, text);
    n.new_end = new_texts_.size();
    removed_ += n.length;
    notes_[kept++] = n;
  });
  notes_.resize(kept);
  std::vector<std::pair<std::size_t, std::string>>().swap(escaped_);
  return new_texts_.size();
}

// Chunks grow from 64 KiB to 64 MiB, so that a small model's text takes little room.
std::string& FlatJsonText::room() {
  // A chunk of a few MiB keeps the room that the writer keeps in a long text (keep_room), so
  // that only an op of more than that grows it.
  auto full = [](const std::string& chunk) {
    return chunk.size() > chunk.capacity() - (chunk.capacity() >= kLongText ? kTextRoom : kRoom);
  };
  if (chunks_.empty() || full(chunks_.back())) {
    const std::size_t size = std::min(kChunk, kFirstChunk << std::min<std::size_t>(chunks_.size(), 10));
    reserve_output(chunks_.emplace_back(), size);
    uses_.push_back(0);
  }
  return chunks_.back();
}

// Text just written at [begin, end) of the last chunk, continuing the current span when
// it follows it directly.
void FlatJsonText::add_span(std::size_t begin, std::size_t end) {
  const std::size_t chunk = chunks_.size() - 1;
  std::vector<Span>& spans = filling_ ? slot_spans_ : main_;
  const bool open = filling_ ? spans.size() > slot_first_.back() : !spans.empty();
  if (open && spans.back().chunk == chunk && spans.back().end == begin) {
    spans.back().end = end;
    return;
  }
  emplace_polled(spans, Span{.chunk = chunk, .begin = begin, .end = end});
  ++uses_[chunk];
}

std::string write_flat_json(Module m, std::string_view entry, const CacheKeys& cache_keys,
                            ArgRewriter* rewriter) {
  FlatJsonText text(rewriter);
  Function f = flatten_into(m, entry, cache_keys, text);
  std::string key(entry);
  std::vector<std::string> header_comments = std::move(m.header_comments);
  release_long_lists(m);
  m = Module();
  return std::move(text).assemble(header_comments, key, f);
}

}  // namespace travune
