// The command line's batch mode against the module simulator on
// pseudo-terminals.
#include "Batch.h"
#include "Simulator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

namespace {

class BatchTest : public testing::Test {
protected:
  void SetUp() override {
    char dir[] = "/tmp/batch-XXXXXX";
    Dir = mkdtemp(dir);
  }
  void TearDown() override { fs::remove_all(Dir); }

  // Runs the batch mode; what it printed goes to Out.
  int Run(std::vector<std::string> args) {
    Out.str("");
    return RunBatch(ParseBatchOptions(args), Out);
  }
  std::string File(const std::string& name) const { return (Dir / name).string(); }
  static std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // A copy of a .dat file with some lines (from 1) replaced.
  void Edit(const std::string& from, const std::string& to, std::map<int, std::string> lines) {
    std::istringstream in(Slurp(from));
    std::ofstream out(to, std::ios::binary);
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      out << (lines.count(n) ? lines[n] : line) << "\r\n";
    }
  }

  fs::path Dir;
  std::ostringstream Out;
};

}  // namespace

TEST_F(BatchTest, ReadWriteAndCompareAModule) {
  TSimulator sim({});
  // A read gives the module's configuration, as the simulator started from
  // that file gives it back.
  ASSERT_EQ(Run({"--port", sim.Path, "--read", File("module.dat")}), bsSuccess) << Out.str();
  const std::string read = Slurp(File("module.dat"));
  EXPECT_EQ(read.substr(0, 10), "Motor DE\r\n");
  EXPECT_EQ(std::count(read.begin(), read.end(), '\n'), 98);
  TSimulator again({"--config", File("module.dat")});
  ASSERT_EQ(Run({"--port", again.Path, "--read", File("again.dat")}), bsSuccess) << Out.str();
  EXPECT_EQ(Slurp(File("again.dat")), read);

  // A compare lists exactly the changed fields, by the window's captions;
  // a float that only differs below the "0.0" pattern is no difference.
  Edit(File("module.dat"), File("plant.dat"), {{20, "Compressor"}, {26, "10.5"}, {7, "7.10001"}, {62, "17"}});
  EXPECT_EQ(Run({"--port", sim.Path, "--compare", File("plant.dat")}), bsModule);
  EXPECT_EQ(Out.str(), sim.Path + ": 3 fields differ from " + File("plant.dat") + " in " +
                           Out.str().substr(Out.str().find(" in ") + 4, 4) + " s\n" + sim.Path +
                           ": CH2 Point Name: file Compressor, module Motor NDE\n" + sim.Path +
                           ": CH2 Alarm Setting Danger: file 10.5, module 7.1\n" + sim.Path +
                           ": CH4 Engineering Unit: file C(10mV), module C(PT100)\n");

  // A write sends the file and checks the module took it, quickly.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Run({"--port", sim.Path, "--write", File("plant.dat"), "--set-clock"}), bsSuccess) << Out.str();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_NE(sim.Log().find("clock record"), std::string::npos);
  EXPECT_EQ(Run({"--port", sim.Path, "--compare", File("plant.dat"), "--json"}), bsSuccess);
  EXPECT_EQ(Out.str().rfind("{\"port\":\"" + sim.Path + "\",\"action\":\"compare\"", 0), 0u) << Out.str();
  EXPECT_NE(Out.str().find("\"result\":\"ok\",\"status\":0,\"differences\":[],\"error\":null"), std::string::npos);
}

TEST_F(BatchTest, ModulesThatDoNotAnswerWellAndFilesThatAreNotRight) {
  {
    TSimulator sim({});
    ASSERT_EQ(Run({"--port", sim.Path, "--read", File("good.dat")}), bsSuccess);
  }
  struct TCase {
    const char* Mode;
    int Status;
    const char* Says;
  } cases[] = {
      {"--silent", bsPort, "error: Not Ready: no answer to the CH1 settings command (24) within 200 ms"},
      {"--short", bsModule, "error: Load Error: the module answered 100 of 464 bytes"},
      {"--garbage", bsModule, "error: Load Error: the module answered 7 of 464 bytes"},
  };
  for (const TCase& c : cases) {
    TSimulator sim({c.Mode});
    EXPECT_EQ(Run({"--port", sim.Path, "--write", File("good.dat")}), c.Status) << c.Mode;
    EXPECT_EQ(Out.str(), sim.Path + ": " + c.Says + "\n") << c.Mode;
  }

  // The module goes away in the middle of a write: a clear error, at once.
  // Which one depends on how soon the simulator's end closes the line: the
  // device went away, or (on a loaded machine) the command had no answer.
  {
    TSimulator sim({"--exit-after", "3"});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run({"--port", sim.Path, "--write", File("good.dat")}), bsPort);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_TRUE(Out.str().find("The device went away") != std::string::npos ||
                Out.str().find("Not Ready: no answer to the CH") != std::string::npos)
        << Out.str();
  }

  // A malformed file: refused before any byte goes to the module.
  Edit(File("good.dat"), File("bad.dat"), {{7, "seven"}});
  TSimulator sim({});
  EXPECT_EQ(Run({"--port", sim.Path, "--write", File("bad.dat")}), bsPort);
  EXPECT_EQ(Out.str(), File("bad.dat") + ": error: 'seven' is not a valid floating point value\n");
  std::ofstream(File("short.dat")) << "only\r\none line\r\n";
  EXPECT_EQ(Run({"--port", sim.Path, "--compare", File("short.dat")}), bsPort);
  EXPECT_NE(Out.str().find("it holds 1 of its 98 lines"), std::string::npos) << Out.str();
  EXPECT_EQ(sim.Log().find("command"), std::string::npos) << sim.Log();
}

TEST_F(BatchTest, SeveralModulesAtOnceOneOfThemSilent) {
  TSimulator a({}), b({"--silent"}), c({});
  {
    TSimulator source({});
    ASSERT_EQ(Run({"--port", source.Path, "--read", File("base.dat")}), bsSuccess);
  }
  Edit(File("base.dat"), File("rack.dat"), {{1, "Rack pump"}});
  EXPECT_EQ(Run({"--port", a.Path, "--port", b.Path, "--port", c.Path, "--write", File("rack.dat")}), bsPort);
  const std::string out = Out.str();
  EXPECT_NE(out.find(a.Path + ": wrote " + File("rack.dat") + " and verified it"), std::string::npos) << out;
  EXPECT_NE(out.find(b.Path + ": error: Not Ready"), std::string::npos) << out;
  EXPECT_NE(out.find(c.Path + ": wrote " + File("rack.dat") + " and verified it"), std::string::npos) << out;
  // With several ports, each read goes to a file of its own.
  EXPECT_EQ(Run({"--port", a.Path, "--port", c.Path, "--read", File("each.dat")}), bsSuccess) << Out.str();
  EXPECT_EQ(Slurp(FileForPort(File("each.dat"), a.Path, true)).substr(0, 11), "Rack pump\r\n");
  EXPECT_TRUE(fs::exists(FileForPort(File("each.dat"), c.Path, true)));
}

TEST(BatchOptions, UsageErrors) {
  using Args = std::vector<std::string>;
  EXPECT_EQ(ParseBatchOptions(Args{"--port", "/dev/ttyUSB0"}).Action, baNone);  // the window
  for (const Args& bad : {Args{"--write"}, Args{"--read", "a.dat"}, Args{"--read", "a", "--write", "b", "--port", "p"},
                          Args{"--port", "p", "--compare", "a", "--set-clock"}, Args{"--json"},
                          Args{"--port", "p", "--port", "p", "--read", "a"}, Args{"--frobnicate"}})
    EXPECT_THROW(ParseBatchOptions(bad), Exception) << bad[0];
  EXPECT_EQ(FileForPort("out/module.dat", "/dev/ttyUSB1", true), "out/module-ttyUSB1.dat");
  EXPECT_EQ(FileForPort("module", "/dev/ttyUSB1", true), "module-ttyUSB1");
  EXPECT_EQ(FileForPort("module.dat", "/dev/ttyUSB1", false), "module.dat");
}

TEST(Configuration, AListIndexOutsideItsListIsSentAsNoSelectionAsTheWindowWould) {
  TConfiguration file = TConfiguration::FromModule(TModuleImage{});
  file.Values["ComboBox_Cnt_Rpm"].Number = 9;  // 8 items
  file.Values["ComboBox_Unit_Ch2"].Number = 99;
  file.Values["ComboBox_Unit_Ch3"].Number = 16;
  const TModuleImage sent = file.ToModule();
  EXPECT_EQ(sent.Image[LoadAuxOffset], 0);  // pulses are sent as index + 1
  EXPECT_EQ(sent.Image[LoadChannelOffset + 96 + 13], 0xFF);
  EXPECT_EQ(sent.Image[LoadChannelOffset + 2 * 96 + 13], 16);
}
