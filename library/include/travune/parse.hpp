#pragma once
// trv source text to Module.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "travune/ast.hpp"

namespace travune {

// Splits source text into tokens (views into `text`); never fails.
std::vector<std::string_view> tokenize(std::string_view text);

// Receives the header comments of a source text (those before its first function).
using HeaderSink = std::function<void(std::vector<std::string>&& comments)>;
// Receives one function and its key (its name). The function is the sink's to move from or
// to leave; the parser reuses whatever storage is left for the next function. Returning
// false stops the parse there.
using FunctionSink = std::function<bool(std::string&& key, Function& f)>;

// Parses a whole source text function by function: the header comments first, then each
// function in text order as soon as it is read, so that a caller can write or check it and
// drop it. The stops are those of `parse`, at the same points. Keys may repeat (`parse`
// keeps the first position and the last definition). Returns false when a sink stopped it.
bool parse_each(std::string_view text, const HeaderSink& on_header,
                const FunctionSink& on_function);

// parse_each for callers that work on each function as it comes: it stops (returning false)
// at the first repeated name, whose later definition the module would put in the first one's
// place; such callers then take the whole module instead.
bool parse_each_distinct(std::string_view text, const HeaderSink& on_header,
                         const FunctionSink& on_function);

// Parses a whole source text; a malformed text stops the call.
Module parse(std::string_view text);

// The JSON form of the parsed text (as write_module_json writes it), written one function at
// a time; a malformed text stops the call.
std::string parse_to_json(std::string_view text);

// Reads the file as UTF-8; an unreadable file stops the call.
std::string read_source_file(const std::string& path);

// Reads the file as UTF-8 and parses it; an unreadable file stops the call.
Module parse_file(const std::string& path);

}  // namespace travune
