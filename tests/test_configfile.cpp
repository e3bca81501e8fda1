#include "ConfigFile.h"
#include "SysUtils.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace {

// A configuration held as control name -> value, standing in for the window.
using TValues = std::map<std::string, TConfigValue>;

TValues SampleValues() {
  TValues values;
  int i = 0;
  for (const TConfigLine& line : ConfigLayout()) {
    TConfigValue v;
    if (line.Kind == ckText)
      v.Text = "t" + std::to_string(i);
    else
      v.Number = line.Kind == ckCheck ? i % 2 : (i % 5) - 1;  // -1 to 3
    values[line.Control] = v;
    ++i;
  }
  return values;
}

std::string Write(const TValues& values) {
  std::ostringstream out;
  WriteConfig(out, [&](const TConfigLine& line) { return values.at(line.Control); });
  return out.str();
}

// Reads text and records what was applied, in order.
std::vector<std::pair<std::string, TConfigValue>> Read(const std::string& text) {
  std::vector<std::pair<std::string, TConfigValue>> applied;
  std::istringstream in(text);
  ReadConfig(in, [&](const TConfigLine& line, const TConfigValue& v) { applied.emplace_back(line.Control, v); });
  return applied;
}

std::vector<std::string> Lines(const std::string& text, TLineClass lineClass) {
  std::istringstream in(text);
  std::vector<std::string> lines;
  std::string line;
  while (ReadConfigLine(in, lineClass, line)) lines.push_back(line);
  return lines;
}

// The first n lines of a saved sample configuration.
std::string FirstLines(int n) {
  const std::string text = Write(SampleValues());
  std::size_t pos = 0;
  for (int i = 0; i < n; ++i) pos = text.find("\r\n", pos) + 2;
  return text.substr(0, pos);
}

#ifndef _WIN32
std::string SlurpFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class TempDir {
public:
  TempDir() {
    char name[] = "/tmp/configfile-XXXXXX";
    Path = mkdtemp(name);
  }
  ~TempDir() { fs::remove_all(Path); }
  fs::path Path;
};
#endif

}  // namespace

TEST(ConfigLayout, HasTheFileOrder) {
  const auto& layout = ConfigLayout();
  ASSERT_EQ(layout.size(), 98u);
  EXPECT_EQ(layout[0].Control, "Edit_Name_Ch1");
  EXPECT_EQ(layout[4].Control, "ComboBox_Unit_Ch1");
  EXPECT_EQ(layout[4].Kind, ckIndex);
  EXPECT_EQ(layout[2].Kind, ckCheck);
  EXPECT_EQ(layout[18].Control, "Edit_Curr_Min_Ch1");
  EXPECT_EQ(layout[19].Control, "Edit_Name_Ch2");
  EXPECT_EQ(layout[75].Control, "Edit_Curr_Min_Ch4");
  EXPECT_EQ(layout[78].Control, "ComboBox_Cnt_Rpm");
  EXPECT_EQ(layout[87].Control, "Edit_Serial_Nu_Ch1");
  EXPECT_EQ(layout[ConfigOptionalFrom].Control, "Edit_Src_Ip1");
  EXPECT_EQ(layout[97].Control, "Edit_Mac6");
}

TEST(ReadConfigLine, EndsLinesAtLfAndDropsTheCrBeforeIt) {
  EXPECT_EQ(Lines("a\r\nb\nc", lcText), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(Lines("\r\n\r\n", lcText), (std::vector<std::string>{"", ""}));
  EXPECT_EQ(Lines("a\rb\r\n", lcText), (std::vector<std::string>{"a\rb"}));  // a lone CR is a character
  EXPECT_EQ(Lines("12\r", lcNumber), (std::vector<std::string>{"12"}));     // CR cut off from its LF
  EXPECT_TRUE(Lines("", lcText).empty());
}

TEST(ReadConfigLine, NumberLinesHoldFourCharacters) {
  EXPECT_EQ(Lines("-100\r\n1234\n", lcNumber), (std::vector<std::string>{"-100", "1234"}));
  std::istringstream in("12345\r\n");
  std::string line;
  EXPECT_FALSE(ReadConfigLine(in, lcNumber, line));
}

TEST(ReadConfigLine, LongTextLinesAreReadWholeAndKeepTheFileInStep) {
  EXPECT_EQ(Lines("A point name that is long\r\nnext\r\n", lcText),
            (std::vector<std::string>{"A point name that is long", "next"}));
}

TEST(ConfigFile, WritesCrLfLinesAndReadsThemBack) {
  const TValues values = SampleValues();
  const std::string text = Write(values);
  EXPECT_EQ(text.substr(0, 13), "t0\r\n0\r\n0\r\n1\r\n");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 98);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 98);
  const auto applied = Read(text);
  ASSERT_EQ(applied.size(), 98u);
  for (const auto& [control, value] : applied) {
    EXPECT_EQ(value.Text, values.at(control).Text) << control;
    EXPECT_EQ(value.Number, values.at(control).Number) << control;
  }
}

TEST(ConfigFile, MissingOrOverlongLineAmongTheFirst88StopsSilently) {
  EXPECT_TRUE(Read("").empty());
  EXPECT_EQ(Read(FirstLines(50)).size(), 50u);
  EXPECT_EQ(Read(FirstLines(87)).size(), 87u);

  const auto applied = Read("Name\r\n12345\r\n0\r\n");
  ASSERT_EQ(applied.size(), 1u);
  EXPECT_EQ(applied[0].first, "Edit_Name_Ch1");
  EXPECT_EQ(applied[0].second.Text, "Name");
}

TEST(ConfigFile, MissingIpAndMacLinesAreSkipped) {
  EXPECT_EQ(Read(FirstLines(88)).size(), 88u);
  const auto applied = Read(FirstLines(91));
  ASSERT_EQ(applied.size(), 91u);
  EXPECT_EQ(applied.back().first, "Edit_Src_Ip3");
}

TEST(ConfigFile, NonIntegerNumberLineRaisesTheIntegerMessageAfterEarlierLines) {
  std::vector<std::string> seen;
  std::istringstream in("Name\r\n0\r\n1\r\n0\r\nC\r\n0\r\n");
  try {
    ReadConfig(in, [&](const TConfigLine& line, const TConfigValue&) { seen.push_back(line.Control); });
    FAIL() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'C' is not a valid integer value");
  }
  EXPECT_EQ(seen.size(), 4u);

  std::istringstream empty("Name\r\n\r\n");
  EXPECT_THROW(ReadConfig(empty, [](const TConfigLine&, const TConfigValue&) {}), EConvertError);
}

TEST(ConfigFile, NumberLinesUseTheIntegerReader) {
  const auto applied = Read("N\r\n $1\r\n-1\r\n");
  ASSERT_EQ(applied.size(), 3u);
  EXPECT_EQ(applied[1].second.Number, 1);
  EXPECT_EQ(applied[2].second.Number, -1);
}

// Files on disk the POSIX way (modes, links, file size limits); Windows has
// tests of its own.
#ifndef _WIN32
TEST(ConfigFileOnDisk, SaveReplacesTheFileAndKeepsItsModeAndLinks) {
  TempDir dir;
  const fs::path real = dir.Path / "real.dat";
  const fs::path link = dir.Path / "link.dat";
  { std::ofstream(real) << "old"; }
  ::chmod(real.c_str(), 0640);
  fs::create_symlink(real, link);

  const TValues values = SampleValues();
  SaveConfigFile(link.string(), [&](const TConfigLine& line) { return values.at(line.Control); });
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(SlurpFile(real), Write(values));
  EXPECT_EQ(fs::status(real).permissions() & fs::perms::all, fs::perms(0640));
  // No temporary file is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path), fs::directory_iterator()), 2);

  std::vector<std::string> seen;
  LoadConfigFile(real.string(), [&](const TConfigLine& line, const TConfigValue&) { seen.push_back(line.Control); });
  EXPECT_EQ(seen.size(), 98u);
}

TEST(ConfigFileOnDisk, AFailedWriteKeepsThePreviousFile) {
  TempDir dir;
  const fs::path target = dir.Path / "keep.dat";
  { std::ofstream(target) << "previous configuration"; }

  // Limit the size of files this process may write, as a full disk would.
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 64;
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  std::string message;
  const TValues values = SampleValues();
  try {
    SaveConfigFile(target.string(), [&](const TConfigLine& line) { return values.at(line.Control); });
  } catch (const Exception& e) {
    message = e.what();
  }
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_NE(message.find(target.string()), std::string::npos) << message;
  EXPECT_NE(message.find("File too large"), std::string::npos) << message;
  EXPECT_EQ(SlurpFile(target), "previous configuration");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path), fs::directory_iterator()), 1);
}

TEST(ConfigFileOnDisk, FilesThatCannotBeUsedRaiseAClearMessage) {
  TempDir dir;
  const auto fetch = [](const TConfigLine&) { return TConfigValue{}; };
  const auto apply = [](const TConfigLine&, const TConfigValue&) { FAIL() << "nothing may be applied"; };
  const std::string missingFolder = (dir.Path / "no" / "such.dat").string();
  try {
    SaveConfigFile(missingFolder, fetch);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot save \"" + missingFolder + "\": No such file or directory. The previous file is unchanged.");
  }
  const std::string missing = (dir.Path / "none.dat").string();
  try {
    LoadConfigFile(missing, apply);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open \"" + missing + "\": No such file or directory");
  }
  EXPECT_THROW(LoadConfigFile(dir.Path.string(), apply), Exception);
  EXPECT_THROW(SaveConfigFile(dir.Path.string(), fetch), Exception);
}
#endif
