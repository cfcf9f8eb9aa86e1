#pragma once
// The JSON form of a Module: a compact writer and a typed reader.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "travune/ast.hpp"

namespace travune {

// ---- writing (cannot fail) ----
std::string write_module_json(const Module& m);

// A module's JSON written piece by piece, byte for byte as write_module_json writes it whole:
// open_module_json, then append_function_entry_json for each function in map order (first
// true for the first one), then close_module_json.
void open_module_json(std::string& out, const std::vector<std::string>& header_comments);
void append_function_entry_json(std::string& out, std::string_view key, const Function& f,
                                bool first);
void close_module_json(std::string& out);

struct CheckResult;
// A check's result: {"errors":[...],"constraints":{"params":[...],"weights":{...}}}
std::string write_check_result_json(const CheckResult& r);

// ---- reading ----
// A reader error: the message and the 1-based line and column where reading stopped.
struct JsonError {
  std::string message;
  std::uint64_t line = 0;
  std::uint64_t column = 0;
};
// Error("message", line: L, column: C)
std::string debug_form(const JsonError& e);

// Reads the whole text as a Module. A reader error throws JsonError; the stops
// of reading an op ("random requires 'lower' field", an out-of-range loop count) call fatal().
Module read_module_json(std::string_view text);

// Reads the text as read_module_json does, with the same errors at the same points, but hands
// the header comments and each function to `visit` instead of building a Module. An exception
// thrown by the visitor ends the reading and passes to the caller.
void read_module_json_by_function(std::string_view text, const ModuleVisitor& visit);

// A number or a list of numbers: Int when the value is an integer that fits in a signed
// 64-bit integer, Float for any other number, List when an array holds only numbers.
using NumericValue = std::variant<std::int64_t, double, std::vector<double>>;
// Reads the whole text as one JSON object whose member values are numeric values; returns the
// members in document order, repeated names included. A member value of another kind is the
// reader error "data did not match any variant of untagged enum {enum_name}".
std::vector<std::pair<std::string, NumericValue>> read_numeric_object_json(
    std::string_view text, std::string_view enum_name);

}  // namespace travune
