#pragma once
// The canonical formatter: Module to trv source text.
#include <cstdint>
#include <string>
#include <vector>

#include "travune/ast.hpp"

namespace travune {

// The whole module as canonical text; `width` decides only whether headers break.
std::string format_trv(const Module& m, std::uint64_t width);
// A module's text written piece by piece, byte for byte as format_trv writes it whole:
// open_trv_text with the header comments, then append_function_text for each function in
// map order (`first` true for the first one), then close_trv_text.
void open_trv_text(std::string& out, const std::vector<std::string>& header_comments);
void append_function_text(std::string& out, const Function& f, std::uint64_t width, bool first);
void close_trv_text(std::string& out);

}  // namespace travune
