// A folder of a test's own under the system's temporary folder, on every
// system (mkdtemp is POSIX only).
#pragma once

#include <filesystem>
#include <random>
#include <string>

inline std::filesystem::path MakeTempDir(const std::string& stem) {
  namespace fs = std::filesystem;
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (;;) {
    const fs::path dir = fs::temp_directory_path() / (stem + "-" + std::to_string(random() % 1000000000));
    if (fs::create_directory(dir)) return dir;  // false: it was there already
  }
}
