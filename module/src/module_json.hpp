#pragma once
// The calls that read module JSON, one function at a time where the document allows it, with
// the results and stops of reading the whole module first.
#include <cstdint>
#include <string>
#include <string_view>

#include "travune/ast.hpp"
#include "config.hpp"

namespace travune {

// The whole module; a reader error stops the call as a failed unwrap of the reader's result.
Module read_module(std::string_view text);
// The configuration; a reader error stops the call likewise.
ConfigMap read_config(std::string_view text);

// Module reader errors come first, then configuration reader errors, then substitution and
// resolution failures.
std::string resolve_json(std::string_view module, std::string_view config_text);
std::string infer_axes_json(std::string_view module);
std::string check_json(std::string_view module);
std::string fmt_json(std::string_view module, std::uint64_t width);

}  // namespace travune
