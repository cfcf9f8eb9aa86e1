#pragma once
// The JSON writer's pieces that the flattened JSON text (flat_json_text.cpp) writes with, one
// op at a time; the rest of the writer is in travune/json.hpp.
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "travune/ast.hpp"

namespace travune {

void append_json_string(std::string& out, std::string_view s);
void append_op_json(std::string& out, const Op& op);
// As append_op_json, and sets args_at[i] to where argument i's text lies in `out`: bytes
// [first, second).
void append_op_json(std::string& out, const Op& op,
                    std::vector<std::pair<std::size_t, std::size_t>>& args_at);

// A function's JSON is its head (name, comments, params, returns and the opening of "ops"),
// its ops separated by ',', and its tail.
void append_function_head_json(std::string& out, const Function& f);
void append_function_tail_json(std::string& out);

}  // namespace travune
