#pragma once
// What the system does for us: reading whole files as UTF-8 text, and memory hints.
#include <cstddef>
#include <string>

namespace travune {

struct IoError {
  int code = 0;         // the operating system's error number; 0 for invalid UTF-8
  std::string kind;     // NotFound, PermissionDenied, IsADirectory, InvalidData, ...
  std::string message;  // the operating system's message, or "stream did not contain valid UTF-8"
};

// "No such file or directory (os error 2)", or "stream did not contain valid UTF-8".
std::string display(const IoError& e);
// Os { code: 2, kind: NotFound, message: "No such file or directory" },
// or Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }.
std::string debug_form(const IoError& e);

// The text of a file, and whether the file is a regular file: one that a second read finds as
// it is then, where the text of a pipe, a FIFO or a device is gone once read.
struct FileText {
  std::string text;
  bool regular = false;
};

// Reads the whole file at `path`; throws IoError when it cannot be read or is not valid UTF-8.
// A wait (a FIFO) cut short by a signal, and every so much text read, run the interrupt check
// (travune/interrupt.hpp), which may stop the call with Interrupted.
FileText read_file_text(const std::string& path);
inline std::string read_file_utf8(const std::string& path) { return read_file_text(path).text; }

// Reserves room for `size` bytes in `out`, backed by huge pages where the system offers them
// on request: a large output written front to back (a model's text takes hundreds of MB)
// then takes one page fault per 2 MiB instead of one per 4 KiB. Pages never written cost
// nothing, either way.
void reserve_output(std::string& out, std::size_t size);

}  // namespace travune
