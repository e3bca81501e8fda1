// The command line on noisy lines, run as a user runs it (one process a
// round) against simulated modules that flip one random bit of a byte with
// probability P either way (hrvx3300-sim --noise P). Each round is judged
// by what the module then holds, asked of the simulator, not over the line:
//   noise P read rounds N right R honest H false F answers A
//   noise P write rounds N right R honest H false F
//     right: success, and the saved file holds the module (read) or the
//     module holds the file and kept the rest of its records (write);
//     honest: a failure said; false: success said, and not so.
// Then a clean module on a line paced at 115200 baud, read and written
// with verification, by this program and (--baseline PATH) by another
// build of it, their runs alternated:
//   clean read ms median M spread A..B [baseline median M spread A..B ratio R]
// build/bench/noise_bench [--rounds N] [--baseline PATH] [--noise P,P] [--seed N]
// (the simulators' seeds follow from one, printed first, to repeat a run)
#include "ModuleTruth.h"
#include "StopProcess.h"

#include "Stats.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// A round that takes longer than this has hung.
constexpr int RoundLimitSeconds = 60;

// Runs program with args, its output thrown away; the exit status, or -1
// when it had to be killed.
int RunProgram(const std::string& program, const std::vector<std::string>& args) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  const auto deadline = Clock::now() + std::chrono::seconds(RoundLimitSeconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      StopProcess(pid, 1000);
      return -1;
    }
    usleep(2000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct TTally {
  int Rounds = 0, Right = 0, Honest = 0, False = 0, Hung = 0;
  void Print(double noise, const char* action) const {
    std::printf("noise %.3f %s rounds %d right %d honest %d false %d hung %d (%.1f %% right)\n", noise, action, Rounds, Right,
                Honest, False, Hung, 100.0 * Right / std::max(Rounds, 1));
    std::fflush(stdout);
  }
};

// What a write round sends: the simulator's module with values of a plant's
// own, its addresses among them.
std::string PlantFile(const std::string& program, const fs::path& dir) {
  const std::string base = (dir / "base.dat").string(), plant = (dir / "plant.dat").string();
  TSimulator sim({"--quiet"});
  if (RunProgram(program, {"--port", sim.Path, "--read", base}) != 0) return {};
  EditDatFile(base, plant, PlantLines());
  return plant;
}

void NoisyRounds(const std::string& program, const fs::path& dir, const std::string& plant, double noise, int rounds,
                 int firstSeed) {
  TTally read, write;
  const TConfiguration file = TConfiguration::Load(plant);
  const std::string saved = (dir / "read.dat").string();
  char level[32];
  std::snprintf(level, sizeof level, "%g", noise);
  for (int round = 1; round <= rounds; ++round) {
    for (const bool writing : {false, true}) {
      TTally& tally = writing ? write : read;
      const int seed = firstSeed + round * 2 + writing;
      TSimulator sim({"--quiet", "--noise", level, "--seed", std::to_string(seed)});
      TModuleImage before, held;
      if (!HeldBy(sim, before)) {
        std::fprintf(stderr, "the simulator (noise %s, seed %d) did not start\n", level, seed);
        std::exit(1);
      }
      fs::remove(saved);
      const int status = writing ? RunProgram(program, {"--port", sim.Path, "--write", plant, "--with-address"})
                                 : RunProgram(program, {"--port", sim.Path, "--read", saved});
      ++tally.Rounds;
      if (status < 0) {
        ++tally.Hung;
        continue;
      }
      if (!HeldBy(sim, held)) {
        std::fprintf(stderr, "the simulator (noise %s, seed %d) did not say what it holds after the round\n", level, seed);
        std::exit(1);
      }
      const bool right = writing ? HoldsWritten(file, before, held, true) : ReadRight(saved, held);
      if (status != 0) ++tally.Honest;
      else if (right) ++tally.Right;
      else {
        ++tally.False;
        std::fprintf(stderr, "a false OK: %s at noise %s, seed %d\n", writing ? "write" : "read", level, seed);
      }
    }
  }
  read.Print(noise, "read");
  write.Print(noise, "write");
}

// Milliseconds of one clean run of program, or -1 when it failed.
double CleanRun(const std::string& program, const std::vector<std::string>& action) {
  TSimulator sim({"--quiet", "--pace", "115200"});
  std::vector<std::string> args{"--port", sim.Path};
  args.insert(args.end(), action.begin(), action.end());
  const auto start = Clock::now();
  const int status = RunProgram(program, args);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  return status == 0 ? ms : -1;
}

std::string MsSpread(const std::vector<double>& ms) {
  char text[96];
  std::snprintf(text, sizeof text, "median %.0f spread %.0f..%.0f", Median(ms), *std::min_element(ms.begin(), ms.end()),
                *std::max_element(ms.begin(), ms.end()));
  return text;
}

bool CleanTimes(const std::string& program, const std::string& baseline, const fs::path& dir, const std::string& plant) {
  const std::string out = (dir / "clean.dat").string();
  const std::vector<std::pair<const char*, std::vector<std::string>>> actions = {
      {"read", {"--read", out}}, {"write", {"--write", plant}}};
  constexpr int Repeats = 7;
  for (const auto& [name, action] : actions) {
    std::vector<double> ours, theirs;
    for (int r = 0; r < Repeats; ++r) {
      const double a = CleanRun(program, action);
      const double b = baseline.empty() ? 0 : CleanRun(baseline, action);
      if (a < 0 || b < 0) {
        std::fprintf(stderr, "a clean %s failed\n", name);
        return false;
      }
      ours.push_back(a);
      theirs.push_back(b);
    }
    std::printf("clean %s ms %s", name, MsSpread(ours).c_str());
    if (!baseline.empty()) std::printf(" baseline %s ratio %.2f", MsSpread(theirs).c_str(), Median(ours) / Median(theirs));
    std::printf("\n");
    std::fflush(stdout);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 100;
  int seed = int(std::random_device{}() % 500000);
  std::string baseline;
  std::vector<double> levels = {0.002, 0.01};
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
    else if (a == "--baseline") baseline = argv[i + 1];
    else if (a == "--seed") seed = std::max(0, std::min(500000, std::atoi(argv[i + 1])));
    else if (a == "--noise") {
      levels.clear();
      std::stringstream list(argv[i + 1]);
      for (std::string p; std::getline(list, p, ',');) levels.push_back(std::atof(p.c_str()));
    } else {
      std::fprintf(stderr, "usage: noise_bench [--rounds N] [--baseline PATH] [--noise P,P] [--seed N]\n");
      return 2;
    }
  }
  char name[] = "/tmp/noise-bench-XXXXXX";
  const fs::path dir = mkdtemp(name);
  const std::string program = HRVX3300_APP;
  const std::string plant = PlantFile(program, dir);
  if (plant.empty()) {
    std::fprintf(stderr, "the simulator's module could not be read\n");
    return 1;
  }
  std::printf("seed %d\n", seed);
  for (std::size_t level = 0; level < levels.size(); ++level)
    NoisyRounds(program, dir, plant, levels[level], rounds, seed + int(level) * (2 * rounds + 2));
  const bool clean = CleanTimes(program, baseline, dir, plant);
  fs::remove_all(dir);
  return clean ? 0 : 1;
}
