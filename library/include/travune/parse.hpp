#pragma once
// trv source text to Module.
#include <string>
#include <string_view>
#include <vector>

#include "travune/ast.hpp"

namespace travune {

// Splits source text into tokens (views into `text`); never fails.
std::vector<std::string_view> tokenize(std::string_view text);

// Parses a whole source text; a malformed text stops the call.
Module parse(std::string_view text);

// Reads the file as UTF-8 and parses it; an unreadable file stops the call.
Module parse_file(const std::string& path);

}  // namespace travune
