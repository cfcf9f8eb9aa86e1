#include "travune/file.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include <simdjson.h>

#include "travune/ast.hpp"

namespace travune {
namespace {

std::string error_kind(int code) {
  switch (code) {
    case ENOENT: return "NotFound";
    case EACCES: case EPERM: return "PermissionDenied";
    case EISDIR: return "IsADirectory";
    case ENOTDIR: return "NotADirectory";
    case EINTR: return "Interrupted";
    case ENAMETOOLONG: return "InvalidFilename";
    case ELOOP: return "FilesystemLoop";
    case ENOMEM: return "OutOfMemory";
    default: return "Uncategorized";
  }
}

[[noreturn]] void throw_os_error(int code) {
  throw IoError{code, error_kind(code), std::strerror(code)};
}

// Closes the descriptor when the read ends, on every path.
struct FileDescriptor {
  int fd;
  ~FileDescriptor() { if (fd >= 0) ::close(fd); }
};

}  // namespace

std::string display(const IoError& e) {
  if (e.code == 0) return e.message;
  return e.message + " (os error " + std::to_string(e.code) + ")";
}

std::string debug_form(const IoError& e) {
  if (e.code == 0) return "Error { kind: " + e.kind + ", message: " + debug_str(e.message) + " }";
  return "Os { code: " + std::to_string(e.code) + ", kind: " + e.kind +
         ", message: " + debug_str(e.message) + " }";
}

std::string read_file_utf8(const std::string& path) {
  if (path.find('\0') != std::string::npos)
    throw IoError{0, "InvalidInput", "file name contained an unexpected NUL byte"};
  FileDescriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) throw_os_error(errno);
  struct stat st {};
  std::string text;
  if (::fstat(file.fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
    text.reserve(static_cast<std::size_t>(st.st_size));
  std::vector<char> buf(std::size_t{1} << 16);  // not on the stack: a thread's may be smaller
  for (;;) {
    ssize_t n = ::read(file.fd, buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_os_error(errno);
    }
    if (n == 0) break;
    text.append(buf.data(), static_cast<std::size_t>(n));
  }
  if (!simdjson::validate_utf8(text.data(), text.size()))
    throw IoError{0, "InvalidData", "stream did not contain valid UTF-8"};
  return text;
}

void prefer_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t from = (start + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t to = (start + size) & ~(kHuge - 1);
  if (to > from) (void)madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#endif
}

}  // namespace travune
