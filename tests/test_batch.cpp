// The command line's batch mode against module simulators on
// pseudo-terminals, failing as real modules and cables fail.
#include "Batch.h"
#include "BatchReport.h"
#include "ChannelFields.h"
#include "DeviceServer.h"
#include "ModuleTruth.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace {

class BatchTest : public testing::Test {
protected:
  void SetUp() override {
    char dir[] = "/tmp/batch-XXXXXX";
    Dir = mkdtemp(dir);
  }
  void TearDown() override { fs::remove_all(Dir); }

  // Runs the batch mode; what it printed goes to Out and Err.
  int Run(std::vector<std::string> args) {
    Out.str("");
    Err.str("");
    return RunBatch(ParseBatchOptions(args), Out, Err);
  }
  std::string File(const std::string& name) const { return (Dir / name).string(); }
  static std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // A copy of a .dat file with some lines (from 1) replaced.
  void Edit(const std::string& from, const std::string& to, const std::map<int, std::string>& lines) { EditDatFile(from, to, lines); }
  // The simulator's default module as a file.
  std::string Base() {
    TSimulator sim({});
    EXPECT_EQ(Run({"--port", sim.Path, "--read", File("base.dat")}), bsSuccess) << Err.str();
    return File("base.dat");
  }

  fs::path Dir;
  std::ostringstream Out, Err;
};

// What a simulated module holds, asked of the simulator, not over its line.
TModuleImage HeldBy(TSimulator& sim) {
  TModuleImage module;
  EXPECT_TRUE(HeldBy(sim, module)) << "the simulator did not say what it holds";
  return module;
}

std::string SerialHeld(const TModuleImage& module) {
  return std::string(reinterpret_cast<const char*>(module.Image.data() + LoadSystemOffset), 8);
}

int UsageStatus(const std::vector<std::string>& args) {
  try {
    ParseBatchOptions(args);
  } catch (const ECommandLineExit& e) {
    return e.Status;
  }
  return -1;
}

}  // namespace

TEST_F(BatchTest, ReadWriteAndCompareAModule) {
  TSimulator sim({"--serial", "SN-0042"});
  ASSERT_EQ(Run({"--port", sim.Path, "--read", File("module.dat")}), bsSuccess) << Err.str();
  const std::string read = Slurp(File("module.dat"));
  EXPECT_EQ(read.substr(0, 10), "Motor DE\r\n");
  EXPECT_EQ(std::count(read.begin(), read.end(), '\n'), 98);
  // Every line names the module by serial number and MAC address.
  EXPECT_EQ(Out.str().rfind(sim.Path + " [SN SN-0042 MAC 00:1A:2B:3C:4D:EE]: read the module into " + File("module.dat"), 0), 0u)
      << Out.str();

  // A compare lists exactly the changed fields, every value to its last bit
  // (the 7.10001 of line 7 is not the module's 7.1).
  Edit(File("module.dat"), File("plant.dat"), {{20, "Compressor"}, {26, "10.5"}, {7, "7.10001"}, {62, "17"}});
  EXPECT_EQ(Run({"--port", sim.Path, "--compare", File("plant.dat")}), bsModule);
  const std::string who = sim.Path + " [SN SN-0042 MAC 00:1A:2B:3C:4D:EE]: ";
  EXPECT_NE(Out.str().find(who + "CH1 Alarm Setting Danger: file 7.10001, module 7.1\n" + who +
                           "CH2 Point Name: file Compressor, module Motor NDE\n" + who +
                           "CH2 Alarm Setting Danger: file 10.5, module 7.1\n" + who +
                           "CH4 Engineering Unit: file C(10mV), module C(PT100)\n"),
            std::string::npos)
      << Out.str();

  // A write sends the file over the module's own records and checks every
  // byte; the JSON record says what went out.
  EXPECT_EQ(Run({"--port", sim.Path, "--write", File("plant.dat"), "--set-clock", "--json"}), bsSuccess) << Out.str();
  EXPECT_NE(sim.Log().find("clock record"), std::string::npos);
  EXPECT_EQ(Out.str().rfind("{\"port\":\"" + sim.Path + "\",\"module\":{\"serial\":\"SN-0042\",\"mac\":\"00:1A:2B:3C:4D:EE\"},"
                            "\"action\":\"write\",\"file\":\"" + File("plant.dat") + "\",\"result\":\"ok\",\"status\":0,"
                            "\"written\":[\"CH1\",\"CH2\",\"CH3\",\"CH4\",\"AUX\",\"SYSTEM\",\"clock\"],"
                            "\"unchecked\":[\"clock\"],\"verified\":true,"
                            "\"failed_step\":null,\"differences\":[],\"invalid\":[],\"error\":null,",
                            0),
            0u)
      << Out.str();
  EXPECT_EQ(Run({"--port", sim.Path, "--compare", File("plant.dat")}), bsSuccess) << Out.str();

  // Not verified is said so.
  EXPECT_EQ(Run({"--port", sim.Path, "--write", File("plant.dat"), "--no-verify"}), bsSuccess);
  EXPECT_NE(Out.str().find(File("plant.dat") + " written, not verified"), std::string::npos) << Out.str();
  EXPECT_EQ(Run({"--port", sim.Path, "--write", File("plant.dat"), "--no-verify", "--json"}), bsSuccess);
  EXPECT_NE(Out.str().find("\"result\":\"unverified\""), std::string::npos) << Out.str();
  EXPECT_NE(Out.str().find("\"verified\":false"), std::string::npos) << Out.str();
}

TEST_F(BatchTest, NeverAFalseSuccess) {
  const std::string base = Base();
  // A load answer longer than the protocol's is an error, not data: nothing
  // is saved from it.
  {
    TSimulator sim({"--long", "3"});
    EXPECT_EQ(Run({"--port", sim.Path, "--read", File("long.dat")}), bsModule);
    EXPECT_NE(Err.str().find("Load Error: the module answered more than 464 (467) bytes"), std::string::npos) << Err.str();
    EXPECT_FALSE(fs::exists(File("long.dat")));
  }
  // What the file does not hold stays as the module has it: a read and a
  // write leave a 10 mV temperature input of that kind.
  {
    TSimulator sim({"--millivolt"});
    ASSERT_EQ(Run({"--port", sim.Path, "--read", File("mv.dat")}), bsSuccess) << Err.str();
    ASSERT_EQ(Run({"--port", sim.Path, "--write", File("mv.dat")}), bsSuccess) << Err.str();
    const std::string log = sim.Log();
    const auto aux = log.find("<- aux record(40) ");
    ASSERT_NE(aux, std::string::npos);
    EXPECT_EQ(log.substr(aux + 18 + 28 * 3, 12), "00 00 00 00 ") << log.substr(aux, 140);  // 0.0: 10 mV
  }
  // The verification compares the bytes: a module that keeps 9.54 as 9.5
  // has not taken the file.
  {
    TSimulator sim({"--round"});
    Edit(base, File("fine.dat"), {{7, "9.54"}});
    EXPECT_EQ(Run({"--port", sim.Path, "--write", File("fine.dat")}), bsModule);
    EXPECT_NE(Out.str().find("CH1 Alarm Setting Danger: sent 9.54, module 9.5\n"), std::string::npos) << Out.str();
  }
}

TEST_F(BatchTest, ValuesTheModuleCannotHoldAreRefusedBeforeAnythingIsSent) {
  const std::string base = Base();
  Edit(base, File("odd.dat"),
       {{83, "300"}, {89, "256"}, {90, "-1"}, {98, "1FF"}, {19, "150"}, {2, "99"}, {21, "-5"}, {3, "2"}, {7, "1e39"},
        {8, "1e-50"}, {1, "Motor DE long"}, {20, "S\xC3\xBC" "d"}, {39, "Fan\x07"}, {58, std::string(3000, 'x')}});
  const std::string f = File("odd.dat") + ": line ";
  EXPECT_EQ(Run({"--check", File("odd.dat")}), bsModule);
  EXPECT_EQ(Out.str(), "");
  EXPECT_EQ(Err.str(),
            f + "1, CH1 Point Name \"Motor DE long\": it is 13 characters long, and the field holds 10\n" +
            f + "2, CH1 Used/Not Used \"99\": the list has items 0 to 1 (and -1 for none)\n" +
            f + "3, CH1 Input Type \"2\": a check box is 1 (checked) or 0 (not checked)\n" +
            f + "7, CH1 Alarm Setting Danger \"1e39\": it is beyond the largest number the module keeps (about 3.4e38); it would keep INF\n" +
            f + "8, CH1 Alarm Setting Alert \"1e-50\": it is too small for the module's numbers; it would keep 0.0\n" +
            f + "19, CH1 Scale(4~20mA)Min \"150\": it is outside -100 to 100; the module would be sent 0.0\n" +
            f + "20, CH2 Point Name \"S\u00FCd\": it is written in UTF-8 (bytes 2-3 are one character), and the module keeps one byte a character (Latin-1)\n" +
            f + "21, CH2 Used/Not Used \"-5\": the list has items 0 to 1 (and -1 for none)\n" +
            f + "39, CH3 Point Name \"Fan\\x07\": it holds the control character 07 (byte 4)\n" +
            f + "58, CH4 Point Name \"" + std::string(40, 'x') + "\u2026\": it is 3000 characters long, and the field holds 10\n" +
            f + "83, SYSTEM Slave No. \"300\": it is outside 0 to 255, what one byte holds; the module would keep 44\n" +
            f + "89, IP 1 \"256\": it is outside 0 to 255, what one byte holds; the module would keep 0\n" +
            f + "90, IP 2 \"-1\": it is outside 0 to 255, what one byte holds; the module would keep 255\n" +
            f + "98, MAC A6 \"1FF\": it is more than FF, the most one byte holds; the module would keep FF\n" +
            File("odd.dat") + ": 14 values the module cannot hold as written\n");
  // Writing or comparing such a file touches no module.
  TSimulator sim({});
  EXPECT_EQ(Run({"--port", sim.Path, "--write", File("odd.dat")}), bsModule);
  EXPECT_NE(Err.str().find(": 14 values the module cannot hold as written; no module was touched\n"), std::string::npos);
  EXPECT_EQ(Run({"--port", sim.Path, "--compare", File("odd.dat"), "--json"}), bsModule);
  EXPECT_NE(Out.str().find("\"result\":\"invalid\",\"status\":1,"), std::string::npos) << Out.str();
  EXPECT_NE(Out.str().find("{\"line\":83,\"field\":\"SYSTEM Slave No.\",\"value\":\"300\","), std::string::npos) << Out.str();
  EXPECT_EQ(sim.Log().find("command"), std::string::npos) << sim.Log();
  // The edges themselves are kept.
  Edit(base, File("edges.dat"), {{83, "255"}, {89, "0"}, {98, "ff"}, {19, "-100"}, {2, "-1"}, {1, "Latin-1 \xFC"}, {7, "3.4e38"}});
  EXPECT_EQ(Run({"--check", File("edges.dat")}), bsSuccess) << Err.str();
}

TEST_F(BatchTest, StrayBytesAreNeverTakenForAnAnswer) {
  // The end of a long answer that an adapter delivers after a pause is
  // still part of it: the load answer is refused, nothing is saved.
  {
    TSimulator sim({"--trail", "10"});
    EXPECT_EQ(Run({"--port", sim.Path, "--read", File("trail.dat")}), bsModule);
    EXPECT_NE(Err.str().find("Load Error: the module answered more than 464 (474) bytes"), std::string::npos) << Err.str();
    EXPECT_FALSE(fs::exists(File("trail.dat")));
  }
}

// The first three bytes of an address answer and what its records hold are
// the module's business: whatever they are, the module is read, written
// with its addresses and compared. Only the length is the protocol's.
TEST_F(BatchTest, AddressAnswersAreTakenByTheirLengthAlone) {
  const std::string base = Base();
  Edit(base, File("addressed.dat"), {{92, "41"}, {98, "EF"}});  // IP 4, MAC A6
  for (const char* header : {"reply", "frame", "random"}) {
    TSimulator sim({"--addr-header", header});
    ASSERT_EQ(Run({"--port", sim.Path, "--read", File("read.dat")}), bsSuccess) << header << Err.str();
    EXPECT_EQ(Slurp(File("read.dat")), Slurp(base)) << header;
    EXPECT_EQ(Run({"--port", sim.Path, "--write", File("addressed.dat"), "--with-address"}), bsSuccess) << header << Err.str();
    EXPECT_NE(Out.str().find("wrote " + File("addressed.dat") + " and verified it"), std::string::npos) << header << Out.str();
    EXPECT_EQ(Run({"--port", sim.Path, "--compare", File("addressed.dat")}), bsSuccess) << header << Out.str();
    EXPECT_NE(Out.str().find(" MAC 00:1A:2B:3C:4D:EF]: the module equals "), std::string::npos) << header << Out.str();
  }
  // A module whose addresses were never set holds no end marker there.
  {
    TSimulator sim({"--never-set", "--addr-header", "random"});
    EXPECT_EQ(Run({"--port", sim.Path, "--compare", base}), bsSuccess) << Err.str() << Out.str();
  }
  // An answer longer than its length is refused, and nothing is saved.
  {
    TSimulator sim({"--long-mac", "3"});
    EXPECT_EQ(Run({"--port", sim.Path, "--read", File("long.dat")}), bsModule);
    EXPECT_NE(Err.str().find(sim.Path + " [SN 20261208]: error: the module answered the MAC address request (06 91) with more "
                             "than 10 (13) bytes\n"),
              std::string::npos)
        << Err.str();
    EXPECT_FALSE(fs::exists(File("long.dat")));
  }
}

// On a line that flips one bit in 500 bytes (a long RS-485 cable beside a
// motor drive) every read is confirmed and right; on one that flips one in
// five, none is, and the line is named. The four bytes of the load image
// that no record fills may change from answer to answer.
TEST_F(BatchTest, ANoisyLineIsReadRightOrNotAtAll) {
  const std::string base = Base();
  for (int seed = 1; seed <= 5; ++seed) {
    TSimulator sim({"--noise", "0.002", "--seed", std::to_string(seed), "--random-tail"});
    ASSERT_EQ(Run({"--port", sim.Path, "--read", File("noisy.dat")}), bsSuccess) << "seed " << seed << Err.str();
    EXPECT_EQ(Slurp(File("noisy.dat")), Slurp(base)) << "seed " << seed;
    EXPECT_EQ(Run({"--port", sim.Path, "--compare", base}), bsSuccess) << "seed " << seed << Out.str() << Err.str();
  }
  for (int seed = 1; seed <= 3; ++seed) {
    TSimulator sim({"--noise", "0.2", "--seed", std::to_string(seed)});
    for (const char* action : {"--read", "--compare", "--write"}) {
      fs::remove(File("garbled.dat"));
      const std::string file = std::string(action) == "--read" ? File("garbled.dat") : base;
      EXPECT_EQ(Run({"--port", sim.Path, action, file}), bsPort) << action << " seed " << seed << Out.str();
      EXPECT_NE(Err.str().find("error: the line garbles the module's answers: "), std::string::npos) << action << " seed " << seed << Err.str();
      EXPECT_FALSE(fs::exists(File("garbled.dat")));
    }
  }
}

// A module that took a command the line changed for the start of a record
// swallows what follows until it has heard nothing for a while: one that
// answered before is given that while and asked once more; one that never
// answered is not kept waiting for it.
TEST_F(BatchTest, AModuleThatSwallowedACommandIsGivenTimeToDropIt) {
  const std::string base = Base();
  {
    TSimulator sim({"--swallow", "3"});  // the first MAC address request
    EXPECT_EQ(Run({"--port", sim.Path, "--read", File("read.dat")}), bsSuccess) << Err.str();
    EXPECT_EQ(Slurp(File("read.dat")), Slurp(base));
    EXPECT_NE(Out.str().find("answers asked for again (the line garbles them) in "), std::string::npos) << Out.str();
  }
  {
    TSimulator sim({"--swallow", "5"});  // CH1's command
    EXPECT_EQ(Run({"--port", sim.Path, "--write", base, "--json"}), bsSuccess) << Out.str();
    EXPECT_NE(Out.str().find("\"retries\":{\"go-ahead\":"), std::string::npos) << Out.str();
  }
  {
    TSimulator sim({"--silent"});
    EXPECT_EQ(Run({"--port", sim.Path, "--read", File("none.dat")}), bsPort);
    const std::string log = sim.Log();
    std::size_t asked = 0;
    for (std::size_t at = 0; (at = log.find("<- command(1) 23", at)) != std::string::npos; ++at) ++asked;
    EXPECT_EQ(asked, 2u) << log;
  }
}

// A module may hold what no .dat file can keep (a noisy write that failed
// leaves such values): --read saves no file that would send other bytes
// back, and names each value; --compare names a byte that both sides show
// alike.
TEST_F(BatchTest, ValuesNoFileCanKeepAreNamedAndNothingIsSaved) {
  const std::string base = Base();
  std::string state;
  {
    TSimulator sim({});
    state = sim.Held();
  }
  ASSERT_EQ(state.size(), 497u);
  const auto field = [&](int channel, const char* control) -> char* {
    for (const TChannelField& f : ChannelFields())
      if (std::string(f.Control) == control) return state.data() + LoadChannelOffsetOf(channel) + f.Offset;
    return nullptr;
  };
  *field(0, "ComboBox_Used_Ch") = 2;  // a list of two items
  *field(1, "CheckBox_SS_Ch") = 5;
  const float nan = std::nanf(""), big = 1024;
  std::memcpy(field(1, "Edit_Damger_Ch"), &nan, sizeof nan);
  std::memcpy(field(2, "Edit_Curr_Min_Ch"), &big, sizeof big);
  field(3, "Edit_Name_Ch")[4] = '\n';
  std::ofstream(File("odd.state"), std::ios::binary) << state;
  TSimulator sim({"--image", File("odd.state")});
  EXPECT_EQ(Run({"--port", sim.Path, "--read", File("odd.dat")}), bsModule) << Out.str() << Err.str();
  EXPECT_FALSE(fs::exists(File("odd.dat")));
  const std::string who = sim.Path + " [SN 20261208 MAC 00:1A:2B:3C:4D:EE]: ";
  EXPECT_NE(Out.str().find(who + "the module holds 5 values that a .dat file cannot keep as the module has them; nothing saved in "),
            std::string::npos)
      << Out.str();
  for (const std::string line : {"CH2 Alarm Setting Danger: file no value it can hold, module NAN\n",
                                 "CH4 Point Name: file no value it can hold, module Pump\\x0ANDE\n",
                                 "CH1 Used/Not Used: file (none, byte FF), module (none, byte 02)\n",
                                 "CH2 Sync Type: file checked, module byte 05\n",
                                 "CH3 Scale(4~20mA)Min: file 0.0, module 1024.0\n"})
    EXPECT_NE(Out.str().find(who + line), std::string::npos) << line << Out.str();
  // Both sides show CH1 as no selection; the file would send FF.
  Edit(base, File("none.dat"), {{2, "-1"}});
  EXPECT_EQ(Run({"--port", sim.Path, "--compare", File("none.dat")}), bsModule);
  EXPECT_NE(Out.str().find(who + "CH1 Used/Not Used: file (none, byte FF), module (none, byte 02)\n"), std::string::npos) << Out.str();
}

// A record that came back different is sent again, twice more at most, and
// the result says what it took; one that stays different is named.
TEST_F(BatchTest, WhatComesBackDifferentIsSentAgain) {
  const std::string base = Base();
  Edit(base, File("plant.dat"), {{20, "Compressor"}, {26, "10.5"}});
  const TConfiguration plant = TConfiguration::Load(File("plant.dat"));
  {
    TSimulator sim({"--spoil", "2"});  // the CH2 record
    EXPECT_EQ(Run({"--port", sim.Path, "--write", File("plant.dat")}), bsSuccess) << Err.str();
    EXPECT_NE(Out.str().find("]: wrote " + File("plant.dat") + " and verified it; CH2 was sent twice (the first record came back different) in "),
              std::string::npos)
        << Out.str();
    EXPECT_TRUE(Compare(plant, HeldBy(sim), csSent).empty());
  }
  // A record changed at its end marker is no reason to refuse the module.
  {
    TSimulator sim({"--spoil", "5", "--spoil-byte", "39"});  // the AUX record's end marker
    EXPECT_EQ(Run({"--port", sim.Path, "--write", File("plant.dat")}), bsSuccess) << Err.str() << Out.str();
    EXPECT_NE(Out.str().find("; AUX was sent twice (the first record came back different) in "), std::string::npos) << Out.str();
  }
  {
    TSimulator sim({"--spoil", "3"});  // CH3, in JSON
    EXPECT_EQ(Run({"--port", sim.Path, "--write", File("plant.dat"), "--json"}), bsSuccess) << Err.str();
    EXPECT_NE(Out.str().find("\"verified\":true,"), std::string::npos) << Out.str();
    EXPECT_NE(Out.str().find("\"retries\":{\"CH3\":1},"), std::string::npos) << Out.str();
  }
  // A serial number the line changed is sent back as the module had it
  // (the first time none is sent, and the module keeps its own).
  {
    TSimulator sim({"--spoil", "6", "--serial", "PL0007"});  // the SYSTEM record
    EXPECT_EQ(Run({"--port", sim.Path, "--write", File("plant.dat")}), bsSuccess) << Err.str() << Out.str();
    EXPECT_NE(Out.str().find("; SYSTEM was sent twice (the first record came back different) in "), std::string::npos) << Out.str();
    EXPECT_EQ(SerialHeld(HeldBy(sim)), std::string("PL0007\0\0", 8));
    const std::string log = sim.Log();
    EXPECT_NE(log.find("<- system record(36) 00 "), std::string::npos) << log;
    EXPECT_NE(log.find("<- system record(36) 50 4C 30 30 30 37 00 "), std::string::npos) << log;
  }
  // A module that keeps none of it: three times, then each field named.
  {
    TSimulator sim({"--forget"});
    EXPECT_EQ(Run({"--port", sim.Path, "--write", File("plant.dat")}), bsModule);
    EXPECT_NE(Out.str().find("]: wrote " + File("plant.dat") + ", but the module differs in 2 fields; "
                             "CH2 was sent three times and came back different each time in "),
              std::string::npos)
        << Out.str();
    EXPECT_NE(Out.str().find("]: CH2 Point Name: sent Compressor, module Motor NDE\n"), std::string::npos) << Out.str();
    const std::string log = sim.Log();
    std::size_t sent = 0;
    for (std::size_t at = 0; (at = log.find("channel record(97) 02 ", at)) != std::string::npos; ++at) ++sent;
    EXPECT_EQ(sent, 3u);
  }
}

// A write over a line that flips one bit in 500 bytes: a module said to be
// written holds the file (asked of the simulator), its addresses among it,
// and keeps what the file does not hold, its serial number among it; one
// said not to be does not hold it. Nearly every write gets through (a
// record the line changes three times over fails honestly).
TEST_F(BatchTest, ANoisyLineIsWrittenRightOrSaidNotToBe) {
  const std::string base = Base();
  Edit(base, File("plant.dat"), {{20, "Compressor"}, {26, "10.5"}, {64, "88.25"}, {92, "41"}, {98, "EF"}});
  const TConfiguration plant = TConfiguration::Load(File("plant.dat"));
  int written = 0, sentAgain = 0;
  for (int seed = 1; seed <= 6; ++seed) {
    TSimulator sim({"--noise", "0.002", "--seed", std::to_string(seed), "--serial", "PL0042", "--millivolt"});
    const TModuleImage before = HeldBy(sim);
    const int status = Run({"--port", sim.Path, "--write", File("plant.dat"), "--with-address"});
    const TModuleImage held = HeldBy(sim);
    const bool holds = HoldsWritten(plant, before, held, true);
    if (status != bsSuccess) {
      EXPECT_FALSE(holds) << "seed " << seed << ": a write said to fail that did not" << Out.str() << Err.str();
      continue;
    }
    ++written;
    if (Out.str().find(" was sent twice") != std::string::npos) ++sentAgain;
    EXPECT_TRUE(holds) << "seed " << seed << ": a false OK" << Out.str();
    EXPECT_EQ(SerialHeld(held), SerialHeld(before)) << "seed " << seed;
    EXPECT_TRUE(std::equal(held.Image.begin() + LoadAuxOffset + 28, held.Image.begin() + LoadAuxOffset + 32,
                           before.Image.begin() + LoadAuxOffset + 28))
        << "seed " << seed << ": the temperature input's kind";
  }
  EXPECT_GE(written, 5);
  EXPECT_GT(sentAgain, 0) << "no record came back different: the noise did not reach the records";
}

TEST_F(BatchTest, ValuesArePassedOnExactly) {
  // A module that keeps 9.54 is read as 9.54 (not the window's 9.5), so a
  // golden module cloned through a file keeps its alarm levels.
  const std::string base = Base();
  TSimulator sim({});
  Edit(base, File("fine.dat"), {{7, "9.54"}, {8, "0.04"}, {26, "19.95"}, {80, "3600.25"}});
  ASSERT_EQ(Run({"--port", sim.Path, "--write", File("fine.dat")}), bsSuccess) << Out.str() << Err.str();
  ASSERT_EQ(Run({"--port", sim.Path, "--read", File("back.dat")}), bsSuccess) << Err.str();
  std::istringstream back(Slurp(File("back.dat")));
  std::vector<std::string> lines;
  for (std::string line; std::getline(back, line);) lines.push_back(line.substr(0, line.size() - 1));
  ASSERT_EQ(lines.size(), 98u);
  EXPECT_EQ(lines[6], "9.54");
  EXPECT_EQ(lines[7], "0.04");
  EXPECT_EQ(lines[25], "19.95");
  EXPECT_EQ(lines[79], "3600.25");
  EXPECT_EQ(lines[13], "25.0");  // a whole number keeps the window's one decimal
  // The module rounded to one decimal differs from the file, in decimals people read.
  TSimulator rounding({"--round"});
  Edit(base, File("big.dat"), {{14, "50"}, {15, "30.46"}});
  EXPECT_EQ(Run({"--port", rounding.Path, "--write", File("big.dat")}), bsModule);
  EXPECT_NE(Out.str().find("CH1 Signal Full Scale Min: sent 30.46, module 30.5\n"), std::string::npos) << Out.str();
  EXPECT_EQ(Out.str().find("e+"), std::string::npos) << Out.str();
  EXPECT_EQ(Run({"--port", rounding.Path, "--write", File("fine.dat")}), bsModule);
  EXPECT_EQ(Run({"--port", rounding.Path, "--compare", File("fine.dat")}), bsModule);
  EXPECT_NE(Out.str().find("CH1 Alarm Setting Danger: file 9.54, module 9.5\n"), std::string::npos) << Out.str();
}

TEST_F(BatchTest, WhatIsNotReadBackIsNeverCalledVerified) {
  const std::string base = Base();
  TSimulator sim({"--forget"});  // acknowledges every record and keeps none
  EXPECT_EQ(Run({"--port", sim.Path, "--write", base, "--no-verify"}), bsSuccess);
  EXPECT_NE(Out.str().find(": " + base + " written, not verified in "), std::string::npos) << Out.str();
  EXPECT_EQ(Run({"--port", sim.Path, "--write", base, "--no-verify", "--json"}), bsSuccess);
  EXPECT_NE(Out.str().find("\"result\":\"unverified\""), std::string::npos) << Out.str();
  EXPECT_NE(Out.str().find("\"unchecked\":[\"CH1\",\"CH2\",\"CH3\",\"CH4\",\"AUX\",\"SYSTEM\"],\"verified\":false"), std::string::npos);
  // The clock cannot be read back: it is said to be sent, not verified.
  TSimulator keeps({});
  EXPECT_EQ(Run({"--port", keeps.Path, "--write", base, "--set-clock"}), bsSuccess);
  EXPECT_NE(Out.str().find("wrote " + base + " and verified it; clock sent (a module's clock cannot be read back) in "),
            std::string::npos)
      << Out.str();
}

TEST_F(BatchTest, ModulesThatDoNotAnswerWellAndFilesThatAreNotRight) {
  const std::string base = Base();
  struct TCase {
    const char* Mode;
    int Status;
    const char* Says;
  } cases[] = {
      {"--silent", bsPort, "error: Not Ready: no answer to the load command (23) within 200 ms"},
      {"--short", bsModule, "error: Load Error: the module answered 100 of 464 bytes"},
      {"--garbage", bsModule, "error: Load Error: the module answered 7 of 464 bytes"},
  };
  for (const TCase& c : cases) {
    TSimulator sim({c.Mode});
    EXPECT_EQ(Run({"--port", sim.Path, "--write", base}), c.Status) << c.Mode;
    EXPECT_EQ(Err.str().substr(0, Err.str().find('\n') + 1), sim.Path + ": " + c.Says + "\n") << c.Mode;
    EXPECT_EQ(Err.str().substr(Err.str().find('\n') + 1), sim.Path + ": nothing written\n") << c.Mode;
  }

  // The module goes away in the middle of a write: which groups reached it
  // is said, in text and JSON.
  {
    TSimulator sim({"--exit-after", "7"});  // two loads and two MAC requests (a read is confirmed), three records
    EXPECT_EQ(Run({"--port", sim.Path, "--write", base, "--json"}), bsPort);
    EXPECT_NE(Out.str().find("\"written\":[\"CH1\",\"CH2\",\"CH3\"],\"unchecked\":[],\"verified\":false,\"failed_step\":\"CH4\""),
              std::string::npos)
        << Out.str();
  }
  {
    TSimulator sim({"--exit-after", "7"});
    EXPECT_EQ(Run({"--port", sim.Path, "--write", base}), bsPort);
    EXPECT_NE(Err.str().find("CH1\u2013CH3 written; CH4, AUX, SYSTEM not\n"), std::string::npos) << Err.str();
  }

  // Files that are no configuration are refused before any byte goes out.
  TSimulator sim({});
  Edit(base, File("bad.dat"), {{7, "seven"}});
  EXPECT_EQ(Run({"--port", sim.Path, "--write", File("bad.dat")}), bsModule);
  EXPECT_EQ(Err.str(), File("bad.dat") + ": line 7, CH1 Alarm Setting Danger \"seven\": 'seven' is not a valid floating point value\n" +
                           File("bad.dat") + ": 1 value the module cannot hold as written; no module was touched\n");
  std::ofstream(File("short.dat")) << "only\r\none line\r\n";
  std::ofstream(File("more.dat")) << Slurp(base) << "and more\r\n";
  std::ofstream(File("huge.dat")) << std::string(2 << 20, 'x');
  mkfifo(File("fifo.dat").c_str(), 0600);
  const std::pair<std::string, std::string> refused[] = {
      {"short.dat", "it holds 1 of its 98 lines"},
      {"more.dat", "it goes on after its 98 lines"},
      {"huge.dat", "it holds more than 1 MiB"},
      {"fifo.dat", "it is not a regular file"},
  };
  for (const auto& [name, why] : refused) {
    EXPECT_EQ(Run({"--port", sim.Path, "--compare", File(name)}), bsPort) << name;
    EXPECT_NE(Err.str().find(why), std::string::npos) << Err.str();
    EXPECT_EQ(Run({"--check", File(name)}), bsPort) << name;
  }
  EXPECT_EQ(sim.Log().find("command"), std::string::npos) << sim.Log();
  // With --json, one whole record for every port.
  TSimulator other({});
  EXPECT_EQ(Run({"--port", sim.Path, "--port", other.Path, "--write", File("bad.dat"), "--json"}), bsModule);
  EXPECT_NE(Out.str().find("{\"port\":\"" + sim.Path + "\",\"module\":null,\"action\":\"write\""), std::string::npos) << Out.str();
  EXPECT_NE(Out.str().find("{\"port\":\"" + other.Path + "\""), std::string::npos) << Out.str();
  EXPECT_NE(Out.str().find("\"failed_step\":\"file\""), std::string::npos) << Out.str();
  EXPECT_EQ(Run({"--check", base}), bsSuccess);
  EXPECT_EQ(Out.str(), base + ": a configuration that can be sent (with IP and MAC addresses)\n");
}

TEST_F(BatchTest, ModulesAsTheyAre) {
  // One that acknowledges records late and one that needs a moment after a
  // record: both take the file, with the window's pacing.
  const std::string base = Base();
  Edit(base, File("plant.dat"), {{1, "Plant"}});
  // 50 ms leaves the window's 200 ms pacing a wide margin on a busy machine.
  for (const char* mode : {"--late-ack", "--busy"}) {
    TSimulator sim({mode, "50"});
    EXPECT_EQ(Run({"--port", sim.Path, "--write", File("plant.dat")}), bsSuccess) << mode << Err.str() << Out.str();
    EXPECT_EQ(Run({"--port", sim.Path, "--compare", File("plant.dat")}), bsSuccess) << mode << Out.str();
  }
  // The line's settings as the Setup dialog's texts, and a longer answer
  // window for a slow link.
  TSimulator slow({"--slow"});  // answers 300 ms late
  EXPECT_EQ(Run({"--port", slow.Path, "--compare", File("plant.dat"), "--baud", "57600", "--parity", "even"}), bsPort);
  EXPECT_EQ(Run({"--port", slow.Path, "--compare", File("plant.dat"), "--timeout", "1000"}), bsModule) << Err.str();
}

TEST_F(BatchTest, SeveralModulesReportedAsEachIsDone) {
  const std::string base = Base();
  TSimulator slow({"--late-ack", "150"}), silent({"--silent"}), fast({});
  EXPECT_EQ(Run({"--port", slow.Path, "--port", silent.Path, "--port", fast.Path, "--write", base, "--verbose"}), bsPort);
  const std::string out = Out.str();
  // The fast module is reported first, the slow one last; the silent one's
  // error goes with the other errors.
  EXPECT_EQ(out.rfind(fast.Path, 0), 0u) << out;
  EXPECT_NE(out.find(slow.Path + " [SN"), std::string::npos) << out;
  EXPECT_NE(Err.str().find(silent.Path + ": error: Not Ready"), std::string::npos) << Err.str();
  EXPECT_NE(Err.str().find(fast.Path + ":    0."), std::string::npos) << Err.str();  // --verbose: the exchanges, with times
  EXPECT_NE(Err.str().find("-> load command (23)(1) 23 "), std::string::npos);
  // --quiet: nothing for those that succeeded.
  EXPECT_EQ(Run({"--port", fast.Path, "--compare", base, "--quiet"}), bsSuccess);
  EXPECT_EQ(Out.str() + Err.str(), "");

  // Each read goes to a file of its own, also for ports whose names end alike.
  const std::string a = File("rackA"), b = File("rackB");
  fs::create_directories(a);
  fs::create_directories(b);
  fs::create_symlink(fast.Path, a + "/slot");
  fs::create_symlink(slow.Path, b + "/slot");
  EXPECT_EQ(Run({"--port", a + "/slot", "--port", b + "/slot", "--read", File("rack.dat")}), bsSuccess) << Err.str();
  EXPECT_TRUE(fs::exists(File("rack-rackA-slot.dat")));
  EXPECT_TRUE(fs::exists(File("rack-rackB-slot.dat")));
  // Two modules with one serial number and MAC address are named; one
  // file's MAC address is never given to two modules.
  EXPECT_NE(Err.str().find("hrvx3300: warning: 2 modules hold the same serial number 20261208: " + a + "/slot, " + b + "/slot\n"),
            std::string::npos) << Err.str();
  EXPECT_NE(Err.str().find("hrvx3300: warning: 2 modules hold the same MAC address 00:1A:2B:3C:4D:EE: "), std::string::npos)
      << Err.str();
  TSimulator other({"--serial", "SN-2"});
  EXPECT_EQ(Run({"--port", fast.Path, "--port", other.Path, "--compare", base}), bsModule);
  EXPECT_EQ(Err.str().find("serial number"), std::string::npos) << Err.str();
  EXPECT_NE(Err.str().find("the same MAC address"), std::string::npos) << Err.str();
  EXPECT_EQ(UsageStatus({"--port", fast.Path, "--port", other.Path, "--write", base, "--with-address"}), bsUsage);
  // One device under two names is a usage error.
  EXPECT_EQ(UsageStatus({"--port", fast.Path, "--port", a + "/slot", "--read", File("x.dat")}), bsUsage);
}

// The module's line goes while a command waits for its answer: the line is
// named as the fault at once (exit 2), never "no answer" after a spin.
TEST_F(BatchTest, ALineThatGoesMidAnswerIsALostPort) {
  TSimulator sim({"--silent"});
  std::thread pull([&] {
    usleep(100000);  // the load command is out and waits for its answer
    sim.Stop();
  });
  const auto start = std::chrono::steady_clock::now();
  const int status = Run({"--port", sim.Path, "--read", File("gone.dat"), "--timeout", "5000"});
  pull.join();
  EXPECT_EQ(status, bsPort) << Err.str();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << "the lost line was not heard";
  EXPECT_NE(Err.str().find("The device went away"), std::string::npos) << Err.str();
  EXPECT_EQ(Err.str().find("Not Ready"), std::string::npos) << Err.str();
}

// A plant's cabinet: 64 modules behind device servers' network ports, half
// of them raw TCP on ser2net and half RFC 2217 on ser2net and on pyserial's
// server, written and verified at once. Under a sanitizer, where every
// module runs several times slower, HRVX3300_TEST_MODULES takes fewer and
// HRVX3300_TEST_ANSWER_MS gives each answer a wider window; the checks stay.
TEST_F(BatchTest, SixtyFourModulesBehindADeviceServer) {
  const char* modulesAsked = std::getenv("HRVX3300_TEST_MODULES");
  const char* answerMs = std::getenv("HRVX3300_TEST_ANSWER_MS");
  const int count = modulesAsked ? std::clamp(std::atoi(modulesAsked), 4, 64) : 64;
  const std::string base = Base();
  Edit(base, File("cabinet.dat"), {{1, "Cabinet"}, {20, "Cab CH2"}});
  std::vector<std::unique_ptr<TSimulator>> modules;
  TSer2net ser2net;
  TPyserialServer pyserial;
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) {
    modules.push_back(std::make_unique<TSimulator>(std::vector<std::string>{"--quiet"}));
    const std::string& path = modules.back()->Path;
    args.push_back("--port");
    if (i % 2 == 1)
      args.push_back("socket://127.0.0.1:" + std::to_string(ser2net.Add(path, false)));
    else
      args.push_back("rfc2217://127.0.0.1:" + std::to_string(i % 4 == 0 ? ser2net.Add(path, true) : pyserial.Add(path)));
  }
  ASSERT_TRUE(ser2net.Start()) << "ser2net (Debian's package) did not start";
  ASSERT_TRUE(pyserial.Start()) << "pyserial's server (python3-serial) did not start";
  if (answerMs) args.insert(args.end(), {"--timeout", answerMs});
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::string> write = args;
  write.insert(write.end(), {"--write", File("cabinet.dat"), "--quiet"});
  EXPECT_EQ(Run(write), bsSuccess) << Err.str();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%d modules behind ser2net and pyserial written and verified in %.2f s\n", count, seconds);
  std::vector<std::string> compare = args;
  compare.insert(compare.end(), {"--compare", File("cabinet.dat"), "--json"});
  EXPECT_EQ(Run(compare), bsSuccess) << Err.str();
  std::size_t equal = 0;
  for (std::size_t at = 0; (at = Out.str().find("\"result\":\"ok\"", at)) != std::string::npos; ++at) ++equal;
  EXPECT_EQ(equal, std::size_t(count)) << Out.str().substr(0, 400);
}

TEST_F(BatchTest, TextInUtf8) {
  // A module named in 8-bit characters, a C1 control among them.
  const std::string base = Base();
  Edit(base, File("latin.dat"), {{1, "Pump\xE9\x85X"}});
  TSimulator sim({"--config", File("latin.dat")});
  EXPECT_EQ(Run({"--port", sim.Path, "--compare", base}), bsModule);
  EXPECT_NE(Out.str().find("CH1 Point Name: file Motor DE, module Pump\xC3\xA9\\x85X\n"), std::string::npos) << Out.str();
  EXPECT_EQ(Run({"--port", sim.Path, "--compare", base, "--json"}), bsModule);
  const std::string json = Out.str();
  EXPECT_NE(json.find("\"module\":\"Pump\\u00e9\\u0085X\""), std::string::npos) << json;
  EXPECT_EQ(std::count(json.begin(), json.end(), '\n'), 1);
}

TEST_F(BatchTest, StandardInputAndOutput) {
  TSimulator sim({});
  ASSERT_EQ(Run({"--port", sim.Path, "--read", "-"}), bsSuccess);
  const std::string file = Out.str();
  EXPECT_EQ(file.substr(0, 10), "Motor DE\r\n");  // the file on standard output
  EXPECT_NE(Err.str().find("read the module into standard output"), std::string::npos);
  // ...and back in through standard input.
  std::ofstream(File("in.dat"), std::ios::binary) << file;
  const int saved = dup(0);
  const int in = open(File("in.dat").c_str(), O_RDONLY);
  dup2(in, 0);
  const int status = Run({"--port", sim.Path, "--compare", "-"});
  dup2(saved, 0);
  close(in);
  close(saved);
  EXPECT_EQ(status, bsSuccess) << Err.str();
}

// Standard output that takes nothing (closed, or its disk full): the
// module's configuration was not read anywhere, and the run says so.
TEST_F(BatchTest, AnOutputThatTakesNothingIsNoSuccess) {
  struct TFull : std::streambuf {
    int overflow(int) override { return traits_type::eof(); }
  } full;
  std::ostream nowhere(&full);
  TSimulator sim({});
  Err.str("");
  EXPECT_EQ(RunBatch(ParseBatchOptions({"--port", sim.Path, "--read", "-"}), nowhere, Err), bsPort);
  EXPECT_NE(Err.str().find("standard output did not take the configuration"), std::string::npos) << Err.str();
  EXPECT_EQ(Err.str().find("read the module into"), std::string::npos) << Err.str();
  // The results themselves, when they cannot be written.
  Err.str("");
  EXPECT_EQ(RunBatch(ParseBatchOptions({"--port", sim.Path, "--compare", Base()}), nowhere, Err), bsPort);
  EXPECT_NE(Err.str().find("standard output did not take the results"), std::string::npos) << Err.str();
}

// With --json standard output carries JSON lines only, the report's too.
TEST_F(BatchTest, JsonOutputStaysJsonWithAReport) {
  TSimulator sim({});
  const std::string command = std::string(HRVX3300_APP) + " --port " + sim.Path + " --read " + File("r.dat") +
                              " --report " + File("r.pdf") + " --json 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe)) out += line;
  EXPECT_EQ(WEXITSTATUS(pclose(pipe)), 0) << out;
  std::istringstream lines(out);
  int count = 0;
  for (std::string l; std::getline(lines, l); ++count) EXPECT_EQ(l.substr(0, 1), "{") << l;
  EXPECT_EQ(count, 1) << out;
  EXPECT_TRUE(std::filesystem::exists(File("r.pdf")));
}

// A command's exit status and what it printed (both streams).
std::pair<int, std::string> Shell(const std::string& command) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  std::string out;
  char line[4096];
  while (pipe && std::fgets(line, sizeof line, pipe)) out += line;
  return {pipe ? WEXITSTATUS(pclose(pipe)) : -1, out};
}

// An output file is written whole or not at all: with the disk full after
// a few bytes (a file size limit, which holds for root too), the previous
// report and .dat file stay and nothing says they were written.
TEST_F(BatchTest, OutputFilesAreWrittenWholeOrNotAtAll) {
  const std::string base = Base();
  std::ofstream(File("old.pdf")) << "the report of another module";
  std::ofstream(File("old.dat")) << "the configuration of another module";
  const std::string limited = "sh -c \"trap '' XFSZ; exec prlimit --fsize=256 -- " + std::string(HRVX3300_APP);
  auto [status, out] = Shell(limited + " --report " + File("old.pdf") + " --from " + base + "\"");
  EXPECT_EQ(status, bsPort) << out;
  EXPECT_NE(out.find("Cannot write the report to \"" + File("old.pdf") + "\": "), std::string::npos) << out;
  EXPECT_EQ(out.find("wrote the report"), std::string::npos) << out;
  EXPECT_EQ(Slurp(File("old.pdf")), "the report of another module");
  TSimulator sim({});
  std::tie(status, out) = Shell(limited + " --port " + sim.Path + " --read " + File("old.dat") + "\"");
  EXPECT_EQ(status, bsPort) << out;
  EXPECT_EQ(out.find("read the module into"), std::string::npos) << out;
  EXPECT_EQ(Slurp(File("old.dat")), "the configuration of another module");
  for (const auto& entry : fs::directory_iterator(Dir))
    EXPECT_TRUE(entry.path().extension() == ".pdf" || entry.path().extension() == ".dat") << entry.path() << " left behind";
  // A hostile file's values never run over their cells: one page.
  // ('#' appears nowhere else in the report, unlike a letter in the folder's name.)
  Edit(base, File("hostile.dat"), {{1, std::string(3000, '#')}, {7, std::string(200, '9')}});
  std::tie(status, out) = Shell(std::string(HRVX3300_APP) + " --report " + File("hostile.pdf") + " --from " + File("hostile.dat"));
  ASSERT_EQ(status, bsSuccess) << out;
  const std::string text = Shell("pdftotext " + File("hostile.pdf") + " -").second;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\f'), 1) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '#'), 11) << text;  // cut, with an ellipsis
  EXPECT_NE(text.find("\u2026"), std::string::npos) << text;
}

TEST(RecordFields, EveryDifferingByteIsNamed) {
  TModuleImage sent = TConfiguration::FromModule(TModuleImage{}).ToModule();
  TModuleImage back = sent;
  back.Image[LoadChannelOffset + 96 + 20] ^= 1;  // CH2 danger level, in its lowest bit
  back.Image[LoadChannelOffset + 96 + 17] = 5;   // a reserved byte of CH2
  back.Image[LoadAuxOffset + 30] = back.Image[LoadAuxOffset + 31] = 0;  // the temperature input kind: 0.0
  back.Mac[2] = 0xAB;
  const auto differences = RecordDifferences(sent, back, {rgCh1, rgCh2, rgAux, rgMac});
  ASSERT_EQ(differences.size(), 4u);
  EXPECT_EQ(differences[0].Caption, "CH2 Alarm Setting Danger");
  EXPECT_NE(differences[0].File, differences[0].Module);  // exact values, not the window's "0.0"
  EXPECT_EQ(differences[1].Caption, "CH2 record byte 17");
  EXPECT_EQ(differences[1].Module, "05");
  EXPECT_EQ(differences[2].Caption + ": " + differences[2].File + " / " + differences[2].Module,
            "AUX Temperature Input Kind: PT100 / 10mV/\u2103");
  EXPECT_EQ(differences[3].Caption, "MAC A3");
  EXPECT_TRUE(RecordDifferences(sent, back, {rgCh1, rgCh3, rgSystem}).empty());
}

TEST(BatchOptions, UsageErrors) {
  using Args = std::vector<std::string>;
  EXPECT_EQ(ParseBatchOptions(Args{"--port", "/dev/ttyUSB0"}).Action, baNone);  // the window
  EXPECT_EQ(ParseBatchOptions(Args{"--port=/dev/null", "--read=a.dat"}).File, "a.dat");
  const TBatchOptions line = ParseBatchOptions(Args{"--port", "p", "--read", "a", "--baud", "250000", "--stop-bits", "2", "--flow-control", "hardware"});
  EXPECT_EQ(line.Line.BaudRate, brCustom);
  EXPECT_EQ(line.Line.CustomBaudRate, 250000);
  EXPECT_EQ(line.Line.StopBits, sbTwoStopBits);
  EXPECT_EQ(line.Line.FlowControl, fcHardware);
  // A file alone is for the window to open (a file manager's double-click),
  // beside the toolkit's own options; beside a batch action it is refused.
  const TBatchOptions open = ParseBatchOptions(Args{"C:\\plant\\pump 3.dat", "-platform", "offscreen"});
  EXPECT_EQ(open.Action, baNone);
  EXPECT_EQ(open.OpenFile, "C:\\plant\\pump 3.dat");
  EXPECT_EQ(open.WindowArgs, (std::vector<std::string>{"-platform", "offscreen"}));
  EXPECT_EQ(ParseBatchOptions(Args{"-platform", "offscreen"}).OpenFile, "");
  EXPECT_EQ(UsageStatus({"--port", "p", "--read", "a.dat", "b.dat"}), bsUsage);
  EXPECT_EQ(UsageStatus({"a.dat", "b.dat"}), bsUsage);
  for (const Args& bad : {Args{"--write"}, Args{"--port", "p", "--write", "--json"}, Args{"--read", "a.dat"},
                          Args{"--read", "a", "--write", "b", "--port", "p"}, Args{"--port", "p", "--compare", "a", "--set-clock"},
                          Args{"--json"}, Args{"--port", "p", "--port", "p", "--read", "a"}, Args{"--frobnicate"},
                          Args{"--port", "", "--read", "a"}, Args{"--port", "p", "--read", ""}, Args{"--port", "p", "--read", "a", "--parity", "sometimes"},
                          Args{"--port", "p", "--read", "a", "--baud", "fast"}, Args{"--port", "p", "--read", "a", "--timeout", "0"},
                          Args{"--port", "/dev/pts/0", "--port", "pts/0", "--read", "a"}, Args{"--port", "a", "--port", "b", "--read", "-"}})
    EXPECT_EQ(UsageStatus(bad), bsUsage) << bad[0] << " " << (bad.size() > 1 ? bad[1] : "");
  EXPECT_EQ(UsageStatus({"--version"}), bsSuccess);
  EXPECT_EQ(UsageStatus({"--help"}), bsSuccess);
}

TEST(BatchSignals, CtrlCSigtermSighupAndAClosedPipeSayWhatEachModuleHolds) {
  // The program itself, stopped in the middle of a write to slow modules.
  char dir[] = "/tmp/batch-signal-XXXXXX";
  const fs::path tmp = mkdtemp(dir);
  const std::string file = (tmp / "base.dat").string();
  {
    TSimulator source({});
    std::ostringstream out, err;
    ASSERT_EQ(RunBatch(ParseBatchOptions({"--port", source.Path, "--read", file}), out, err), bsSuccess);
  }
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    TSimulator a({"--late-ack", "200"}), b({"--late-ack", "200"});
    int errPipe[2];
    ASSERT_EQ(pipe(errPipe), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(errPipe[1], 2);
      close(errPipe[0]);
      execl(HRVX3300_APP, HRVX3300_APP, "--port", a.Path.c_str(), "--port", b.Path.c_str(), "--write", file.c_str(), nullptr);
      _exit(127);
    }
    close(errPipe[1]);
    // Once a record has gone out, so that the modules are partly written.
    for (int i = 0; i < 500 && (a.Log().find("channel record") == std::string::npos ||
                                b.Log().find("channel record") == std::string::npos); ++i)
      usleep(10000);
    kill(pid, signal);
    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    std::string err;
    char buffer[4096];
    for (ssize_t n; (n = read(errPipe[0], buffer, sizeof buffer)) > 0;) err.append(buffer, std::size_t(n));
    close(errPipe[0]);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + signal);
    EXPECT_NE(err.find(a.Path + " [SN 20261208 MAC 00:1A:2B:3C:4D:EE]: partly written: CH1"), std::string::npos) << err;
    EXPECT_NE(err.find(b.Path + " [SN 20261208 MAC 00:1A:2B:3C:4D:EE]: partly written: CH1"), std::string::npos) << err;
  }
  // A reader that stops after the first line: the run ends as if stopped,
  // and says on standard error what each module holds.
  {
    TSimulator fast({}), slow({"--late-ack", "200"});
    int outPipe[2], errPipe[2];
    ASSERT_EQ(pipe(outPipe), 0);
    ASSERT_EQ(pipe(errPipe), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(outPipe[1], 1);
      dup2(errPipe[1], 2);
      close(outPipe[0]);
      close(errPipe[0]);
      execl(HRVX3300_APP, HRVX3300_APP, "--port", fast.Path.c_str(), "--port", slow.Path.c_str(), "--write", file.c_str(), nullptr);
      _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    std::string first;
    for (char c; first.find('\n') == std::string::npos && read(outPipe[0], &c, 1) == 1;) first += c;
    close(outPipe[0]);  // as `| head -1` does
    int status = 0;
    waitpid(pid, &status, 0);
    std::string err;
    char buffer[4096];
    for (ssize_t n; (n = read(errPipe[0], buffer, sizeof buffer)) > 0;) err.append(buffer, std::size_t(n));
    close(errPipe[0]);
    EXPECT_NE(first.find(fast.Path + " [SN 20261208 MAC 00:1A:2B:3C:4D:EE]: wrote "), std::string::npos) << first;
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGPIPE);
    EXPECT_NE(err.find(fast.Path + " [SN 20261208 MAC 00:1A:2B:3C:4D:EE]: done\n"), std::string::npos) << err;
    EXPECT_NE(err.find(slow.Path + " [SN 20261208 MAC 00:1A:2B:3C:4D:EE]: "), std::string::npos) << err;
  }
  fs::remove_all(tmp);
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

TEST(Simulator, ItsLinkGoesWhenItIsStoppedAndItRefusesWhatIsNoNumber) {
  const std::string link = "/tmp/sim-link-" + std::to_string(getpid());
  {
    TSimulator sim({"--quiet"}, link);
    ASSERT_FALSE(sim.Path.empty());
    EXPECT_EQ(access(link.c_str(), F_OK), 0);
    sim.Stop();  // SIGTERM, as kill and a closed terminal end it
    EXPECT_NE(access(link.c_str(), F_OK), 0) << link << " was left behind";
  }
  // A value that is no number is refused, with the program's name.
  const std::string command = std::string(HRVX3300_SIM) + " --exit-after x 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[256] = {};
  ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
  const int status = pclose(pipe);
  EXPECT_EQ(std::string(line).rfind("hrvx3300-sim: --exit-after", 0), 0u) << line;
  EXPECT_EQ(WEXITSTATUS(status), 2);
}
