#pragma once
// The extension's calls that take text and give text, each composed from the library's
// stages (calls.cpp tells how, and which failure wins when several are present).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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
// The entry flattened, as module JSON; a cache op whose var is one of `cache_keys` becomes a
// slot.
std::string flatten_json(std::string_view module, std::string_view entry,
                         const std::vector<std::string>& cache_keys);

// A source file and its TOML configuration in: the entry flattened, as module JSON, its
// weight references rewritten through the file's weight table.
std::string load_flat_json(const std::string& trv_path, const std::string& config_path,
                           const std::string& entry, const std::vector<std::string>& cache_keys);

}  // namespace travune
