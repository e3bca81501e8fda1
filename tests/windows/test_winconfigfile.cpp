// The .dat file on Windows disks: saved whole or not at all, read back the
// same, and what is no file (a folder, a device) refused before it is opened.
#include "ConfigFile.h"
#include "SysUtils.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <windows.h>

namespace fs = std::filesystem;

namespace {

class WinConfigFile : public testing::Test {
protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("hrvx3300-dat-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(Dir);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(Dir / "keep.dat", fs::perms::owner_write, fs::perm_options::add, ec);
    fs::remove_all(Dir, ec);
  }
  static std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static std::string Message(const std::function<void()>& call) {
    try {
      call();
    } catch (const Exception& e) {
      return e.what();
    }
    return "(no error)";
  }
  fs::path Dir;
};

const auto Fetch = [](const TConfigLine& line) {
  TConfigValue v;
  v.Text = line.Control.substr(0, 10);
  v.Number = line.Kind == ckIndex ? 3 : 1;
  return v;
};

}  // namespace

TEST_F(WinConfigFile, SavedWholeReadBackTheSame) {
  const std::string path = (Dir / "plant.dat").string();
  { std::ofstream(path) << "an older configuration"; }
  SaveConfigFile(path, Fetch);
  const std::string text = Slurp(path);
  EXPECT_EQ(text.substr(0, 15), "Edit_Name_\r\n3\r\n");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 98);
  EXPECT_EQ(ReadConfigText(path), text);
  int lines = 0;
  LoadConfigFile(path, [&](const TConfigLine&, const TConfigValue&) { ++lines; });
  EXPECT_EQ(lines, 98);
  // Nothing of the write is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(Dir), fs::directory_iterator()), 1);
}

TEST_F(WinConfigFile, WhatCannotBeReadOrWrittenSaysWhyAndChangesNothing) {
  const std::string missing = (Dir / "no" / "such.dat").string();
  EXPECT_EQ(Message([&] { SaveConfigFile(missing, Fetch); }).rfind("Cannot save \"" + missing + "\": ", 0), 0u);
  EXPECT_NE(Message([&] { SaveConfigFile(missing, Fetch); }).find(". The previous file is unchanged."), std::string::npos);
  EXPECT_EQ(Message([&] { ReadConfigText(missing); }).rfind("Cannot open \"" + missing + "\": ", 0), 0u);
  EXPECT_EQ(Message([&] { ReadConfigText(Dir.string()); }), "Cannot open \"" + Dir.string() + "\": it is a folder");
  // Device names are never opened: COM1 may be a real serial port.
  for (const char* device : {"COM1", "com1.dat", "NUL", "C:\\folder\\CON.txt", "\\\\.\\COM5"})
    EXPECT_EQ(Message([&] { ReadConfigText(device); }), "Cannot open \"" + std::string(device) + "\": it is not a regular file");
  const std::string huge = (Dir / "huge.dat").string();
  { std::ofstream(huge, std::ios::binary) << std::string((1 << 20) + 1, 'x'); }
  EXPECT_NE(Message([&] { ReadConfigText(huge); }).find("it holds more than 1 MiB"), std::string::npos);
  // A read-only file is not replaced.
  const fs::path keep = Dir / "keep.dat";
  { std::ofstream(keep) << "previous configuration"; }
  fs::permissions(keep, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write, fs::perm_options::remove);
  EXPECT_NE(Message([&] { SaveConfigFile(keep.string(), Fetch); }).find("The previous file is unchanged."), std::string::npos);
  EXPECT_EQ(Slurp(keep), "previous configuration");
}
