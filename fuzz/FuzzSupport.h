// What the fuzzers share: a scratch file per process and a check that stops
// the run with a message when a property of the code under test fails.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <unistd.h>

// A file in /tmp named after the process and tag, removed at exit.
class TScratchFile {
public:
  // In memory where the system offers it: the stores flush every write.
  explicit TScratchFile(const std::string& tag)
      : Path(std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/hrvx3300-fuzz-" +
             std::to_string(getpid()) + "-" + tag) {}
  std::string Read() const {
    std::ifstream in(Path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  ~TScratchFile() { std::remove(Path.c_str()); }
  const std::string& Write(const std::string& bytes) const {
    std::ofstream(Path, std::ios::binary | std::ios::trunc) << bytes;
    return Path;
  }
  void Remove() const { std::remove(Path.c_str()); }
  const std::string Path;
};

// The input's first line, cut to letters and digits (fallback when none),
// and what follows it.
inline std::string TakeName(std::string& input, const std::string& fallback) {
  const auto end = input.find('\n');
  std::string name;
  for (char c : input.substr(0, end))
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) name += c;
  input.erase(0, end == std::string::npos ? input.size() : end + 1);
  return name.empty() ? fallback : name.substr(0, 32);
}

inline std::string Bytes(const std::uint8_t* data, std::size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

#define FUZZ_REQUIRE(condition, what)                                          \
  do {                                                                         \
    if (!(condition)) {                                                        \
      std::fprintf(stderr, "property failed: %s (%s)\n", what, #condition);    \
      std::abort();                                                            \
    }                                                                          \
  } while (0)
