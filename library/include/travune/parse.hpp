#pragma once
// trv source text to Module.
#include <string>
#include <string_view>
#include <vector>

#include "travune/ast.hpp"

namespace travune {

// Parses a whole source text function by function: the header comments first, then each
// function in text order as soon as it is read, so that a caller can write or check it and
// drop it. The key of a function is its name as it stands in the text. The stops are those
// of `parse`, at the same points.
void parse_each(std::string_view text, const ModuleVisitor& visit);

// Parses a whole source text; a malformed text stops the call.
Module parse(std::string_view text);

// Reads the file as UTF-8; an unreadable file stops the call.
std::string read_source_file(const std::string& path);

// Reads the file as UTF-8 and parses it; an unreadable file stops the call.
Module parse_file(const std::string& path);

}  // namespace travune
