// The lookup tables' hash is keyed per process: a name hashes the same way throughout one
// process and differently in another, so no set of colliding names can be prepared.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "travune/hash.hpp"

namespace travune {
namespace {

constexpr const char* kProbeVariable = "TRAVUNE_HASH_PROBE";

// Run as a child process (below): prints this process's hash of one name.
TEST(KeyedHash, Probe) {
  if (std::getenv(kProbeVariable) == nullptr) GTEST_SKIP() << "runs only as a child";
  std::printf("hash=%llu\n", static_cast<unsigned long long>(keyed_hash("main")));
}

// The hash of "main" in a new process.
std::string hash_in_child() {
  // The shell that popen starts is /proc/self/exe in the child: name this binary first.
  std::error_code error;
  const std::string self = std::filesystem::read_symlink("/proc/self/exe", error).string();
  if (error) return "";
  const std::string command =
      std::string(kProbeVariable) + "=1 '" + self + "' --gtest_filter=KeyedHash.Probe 2>&1";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string found;
  char line[256];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    if (text.rfind("hash=", 0) == 0) found = text;
  }
  ::pclose(pipe);
  return found;
}

TEST(KeyedHash, DiffersBetweenProcesses) {
  const std::string first = hash_in_child();
  const std::string second = hash_in_child();
  ASSERT_FALSE(first.empty());
  ASSERT_FALSE(second.empty());
  EXPECT_NE(first, second);
}

TEST(KeyedHash, SameWithinProcessForStringAndView) {
  const std::string owned = "w.a";
  EXPECT_EQ(keyed_hash(owned), keyed_hash(std::string_view("w.a")));
  EXPECT_EQ(KeyedHash{}(owned), KeyedHash{}(std::string_view(owned)));
  EXPECT_NE(keyed_hash("a"), keyed_hash("b"));
}

}  // namespace
}  // namespace travune
