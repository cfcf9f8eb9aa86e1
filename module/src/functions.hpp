#pragma once
// The bodies of the ten Python functions: converted arguments in, one text out.
#include "boundary.hpp"

namespace travune {

std::string load_flat_json_body(const Args& a);
std::string parse_to_json_body(const Args& a);
std::string resolve_json_body(const Args& a);
std::string flatten_json_body(const Args& a);
std::string infer_axes_json_body(const Args& a);
std::string check_json_body(const Args& a);
std::string fmt_source_body(const Args& a);
std::string fmt_json_body(const Args& a);
std::string check_file_body(const Args& a);
std::string fmt_file_body(const Args& a);

}  // namespace travune
