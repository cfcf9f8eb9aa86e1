#pragma once
// The extension's calls that take text and give text, each composed from the library's
// stages (calls.cpp tells how, and which failure wins when several are present).
#include <cstdint>
#include <string>
#include <string_view>

#include "config.hpp"
#include "travune/ast.hpp"

namespace travune {

// The whole module of a module JSON text; a reader error stops the call as a failed unwrap
// of the reader's result.
Module read_module(std::string_view text);
// The configuration of a configuration JSON text; a reader error stops the call likewise.
ConfigMap read_config(std::string_view text);

// Source text in: its module as JSON, as canonical text, and its check result as JSON.
std::string parse_to_json(std::string_view source);
std::string fmt_source(std::string_view source, std::uint64_t width);
std::string check_source(std::string_view source);
// The same for the source text of a file; a file that cannot be read stops the call.
std::string fmt_file(const std::string& path, std::uint64_t width);
std::string check_file(const std::string& path);

// Module JSON in.
std::string resolve_json(std::string_view module, std::string_view config);
std::string infer_axes_json(std::string_view module);
std::string check_json(std::string_view module);
std::string fmt_json(std::string_view module, std::uint64_t width);

}  // namespace travune
