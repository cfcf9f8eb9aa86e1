#include "travune/file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include <simdjson.h>

#include "huge_pages.hpp"
#include "travune/ast.hpp"
#include "travune/interrupt.hpp"

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

FileText read_file_text(const std::string& path) {
  if (path.find('\0') != std::string::npos)
    throw IoError{0, "InvalidInput", "file name contained an unexpected NUL byte"};
  // A signal cuts short an open or a read that waits (a FIFO without a writer, or whose
  // writer is silent): the interrupt check then decides whether the call stops.
  FileDescriptor file{-1};
  while ((file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
    if (errno != EINTR) throw_os_error(errno);
    check_interrupt();
  }
  // The text goes into blocks: one, sized to the file, for a regular file; for a file of
  // unknown size (a pipe, a device), blocks growing up to kMaxBlock, joined at the end. No
  // step then copies all that was read so far, so the interrupt check, run between steps,
  // answers soon even on a device that never ends (/dev/zero).
  constexpr std::size_t kFirstBlock = std::size_t{1} << 16;
  constexpr std::size_t kMaxBlock = std::size_t{1} << 26;
  struct stat st {};
  std::string text;  // the block being filled
  std::vector<std::string> full;  // the blocks before it
  const bool regular = ::fstat(file.fd, &st) == 0 && S_ISREG(st.st_mode);
  if (regular && st.st_size > 0)
    text.reserve(static_cast<std::size_t>(st.st_size));
  else
    text.reserve(kFirstBlock);
  std::vector<char> buf(std::size_t{1} << 16);  // not on the stack: a thread's may be smaller
  for (;;) {
    ssize_t n = ::read(file.fd, buf.data(), buf.size());
    if (n < 0) {
      if (errno != EINTR) throw_os_error(errno);
      check_interrupt();
      continue;
    }
    if (n == 0) break;
    if (text.size() + static_cast<std::size_t>(n) > text.capacity()) {
      const std::size_t next = std::clamp(text.capacity() * 2, kFirstBlock, kMaxBlock);
      full.push_back(std::move(text));
      text = std::string();
      reserve_output(text, next);
    }
    text.append(buf.data(), static_cast<std::size_t>(n));
    poll_interrupt(n);
  }
  if (!full.empty()) {
    std::size_t size = text.size();
    for (const std::string& b : full) size += b.size();
    std::string whole;
    whole.reserve(size);
    for (std::string& b : full) {
      whole += b;
      poll_interrupt(static_cast<std::int64_t>(b.size()));
      std::string().swap(b);
    }
    whole += text;
    text = std::move(whole);
  }
  if (!simdjson::validate_utf8(text.data(), text.size()))
    throw IoError{0, "InvalidData", "stream did not contain valid UTF-8"};
  return FileText{std::move(text), regular};
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

void reserve_output(std::string& out, std::size_t size) {
  out.reserve(size);
  prefer_huge_pages(out.data(), out.capacity());
}

}  // namespace travune
