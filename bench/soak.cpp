// A production line left running: 16 simulated modules on noisy lines,
// written with verification, read and compared round after round by the
// command line's own code in this one process, while the modules are
// killed and started again at random (a cable pulled, a module powered off
// and on). Every success is judged by what the module then holds, asked of
// its simulator. Fails on a false OK, on a round that hangs, and on
// descriptors or memory of this process that grow from round to round:
//   soak seconds S rounds R results N ok K restarts T false 0 hangs 0
//        descriptors A..B memory A..B KiB
// build/bench/soak [--seconds S] [--modules N] [--noise P]
#include "Batch.h"
#include "BatchReport.h"
#include "ModuleTruth.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include <dirent.h>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// A round that takes longer than this has hung.
constexpr int RoundLimitSeconds = 90;
// Memory this process may gain over the whole run (the allocator keeps
// some of what it was given).
constexpr long MemorySlackKiB = 8 * 1024;

int OpenDescriptors() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir)) ++count;
    closedir(dir);
  }
  return count - 3;  // ".", ".." and the listing's own
}

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// One module: its simulator, started again under the same link when it
// was killed; Generation counts its starts.
struct TModule {
  std::string Link;
  std::unique_ptr<TSimulator> Sim;
  int Generation = 0;
};

class TLine {
public:
  TLine(int count, double noise, const fs::path& dir) : Noise(noise) {
    for (int i = 0; i < count; ++i) {
      Modules.push_back({(dir / ("module" + std::to_string(i + 1))).string(), nullptr, 0});
      Start(Modules.back());
    }
  }

  // The modules' names on the command line.
  std::vector<std::string> Ports() const {
    std::vector<std::string> ports;
    for (const TModule& m : Modules) ports.push_back(m.Link);
    return ports;
  }

  // Kills a module now and then and starts it again a moment later.
  void Unplug(std::mt19937& random, const std::atomic<bool>& stop) {
    std::uniform_int_distribution<int> pause(500, 4000), which(0, int(Modules.size()) - 1), off(50, 800);
    while (!stop) {
      Sleep(pause(random), stop);
      if (stop) break;
      std::lock_guard lock(Mutex);
      TModule& m = Modules[std::size_t(which(random))];
      kill(m.Sim->Pid, SIGKILL);
      m.Sim.reset();  // reaps it
      std::this_thread::sleep_for(std::chrono::milliseconds(off(random)));
      Start(m);
      ++Restarts;
    }
  }

  // What each module holds, with its generation; a module that does not
  // say is given generation -1.
  std::vector<std::pair<int, TModuleImage>> Held() {
    std::lock_guard lock(Mutex);
    std::vector<std::pair<int, TModuleImage>> held;
    for (TModule& m : Modules) {
      TModuleImage image;
      held.emplace_back(HeldBy(*m.Sim, image) ? m.Generation : -1, image);
    }
    return held;
  }

  std::atomic<int> Restarts{0};

private:
  void Start(TModule& m) {
    std::ostringstream noise;
    noise << Noise;
    m.Sim = std::make_unique<TSimulator>(std::vector<std::string>{"--quiet", "--noise", noise.str()}, m.Link);
    ++m.Generation;
  }
  static void Sleep(int ms, const std::atomic<bool>& stop) {
    for (int slept = 0; slept < ms && !stop; slept += 20) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

  double Noise;
  std::mutex Mutex;
  std::vector<TModule> Modules;
};

// The result of each port ("ok", "error", ...), from the run's JSON lines,
// which come as the modules are done.
using TRun = std::map<std::string, std::string>;

std::string JsonText(const std::string& line, const std::string& key) {
  const std::string head = "\"" + key + "\":\"";
  const auto at = line.find(head);
  if (at == std::string::npos) return {};
  return line.substr(at + head.size(), line.find('"', at + head.size()) - at - head.size());
}

TRun RunRound(const std::vector<std::string>& args) {
  // A round is bounded: one that does not end is a hang, and ends the soak.
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock lock(mutex);
    if (!ended.wait_for(lock, std::chrono::seconds(RoundLimitSeconds), [&] { return done; })) {
      std::fprintf(stderr, "soak: a round did not end within %d s: hangs 1\n", RoundLimitSeconds);
      std::_Exit(1);
    }
  });
  std::ostringstream out, err;
  RunBatch(ParseBatchOptions(args), out, err);
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  ended.notify_one();
  watchdog.join();
  TRun run;
  std::istringstream lines(out.str());
  for (std::string line; std::getline(lines, line);) run[JsonText(line, "port")] = JsonText(line, "result");
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60, modules = 16;
  double noise = 0.002;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--seconds") seconds = std::max(1, std::atoi(argv[i + 1]));
    else if (a == "--modules") modules = std::max(1, std::atoi(argv[i + 1]));
    else if (a == "--noise") noise = std::atof(argv[i + 1]);
    else {
      std::fprintf(stderr, "usage: soak [--seconds S] [--modules N] [--noise P]\n");
      return 2;
    }
  }
  char name[] = "/tmp/soak-XXXXXX";
  const fs::path dir = mkdtemp(name);
  const std::string base = (dir / "base.dat").string(), plant = (dir / "plant.dat").string(), read = (dir / "read.dat").string();
  {
    TSimulator sim({"--quiet"});
    std::ostringstream out, err;
    if (RunBatch(ParseBatchOptions({"--port", sim.Path, "--read", base}), out, err) != bsSuccess) {
      std::fprintf(stderr, "soak: the simulator's module could not be read: %s", err.str().c_str());
      return 1;
    }
  }
  EditDatFile(base, plant, PlantLines());
  const TConfiguration file = TConfiguration::Load(plant);

  TLine line(modules, noise, dir);
  const std::vector<std::string> ports = line.Ports();
  std::vector<std::string> portArgs;
  for (const std::string& p : ports) portArgs.insert(portArgs.end(), {"--port", p});
  const std::vector<std::string> readFiles = FilesForPorts(read, ports);

  std::atomic<bool> stop{false};
  std::mt19937 random(std::random_device{}());
  std::thread unplugger([&] { line.Unplug(random, stop); });

  const auto start = Clock::now();
  int rounds = 0, results = 0, ok = 0, falseOk = 0, judged = 0;
  int descriptorsFirst = -1, descriptorsLast = -1;
  long memoryFirst = -1, memoryLast = -1;
  // A false OK is told with what differs, and whether the module itself
  // changed during the round (a command the line turned into a write).
  const auto judge = [&](const char* action, std::size_t i, bool right, const std::vector<TDifference>& differences,
                         const TModuleImage& before, const TModuleImage& after) {
    ++judged;
    if (right) return;
    ++falseOk;
    std::fprintf(stderr, "soak: a false OK: %s of %s in round %d\n", action, ports[i].c_str(), rounds);
    for (const TDifference& d : differences)
      std::fprintf(stderr, "soak:   %s: said %s, module %s\n", d.Caption.c_str(), d.File.c_str(), d.Module.c_str());
    for (std::size_t at = 0; at < before.Image.size(); ++at)
      if (before.Image[at] != after.Image[at])
        std::fprintf(stderr, "soak:   during the round the module's byte %zu went from %02X to %02X\n", at, before.Image[at],
                     after.Image[at]);
  };
  while (Clock::now() - start < std::chrono::seconds(seconds)) {
    ++rounds;
    for (const char* action : {"--write", "--read", "--compare"}) {
      const auto before = line.Held();
      std::vector<std::string> args = portArgs;
      args.insert(args.end(), {action, std::string(action) == "--read" ? read : plant, "--json"});
      const TRun run = RunRound(args);
      const auto after = line.Held();
      results += int(run.size());
      for (std::size_t i = 0; i < ports.size(); ++i) {
        const auto result = run.find(ports[i]);
        if (result == run.end() || result->second != "ok") continue;
        ++ok;
        // A module started again during the round holds what it started with.
        if (after[i].first < 0 || after[i].first != before[i].first) continue;
        const TModuleImage& held = after[i].second;
        const TModuleImage& was = before[i].second;
        if (std::string(action) == "--write") {
          judge("write", i, HoldsWritten(file, was, held, false),
                RecordDifferences(file.Over(was, false), held, {rgCh1, rgCh2, rgCh3, rgCh4, rgAux, rgSystem}), was, held);
        } else if (std::string(action) == "--read") {
          std::vector<TDifference> differences;
          try {
            differences = Compare(TConfiguration::Load(readFiles[i]), held, csAll);
          } catch (const std::exception& e) {
            differences.push_back({"the saved file", e.what(), "-"});
          }
          judge("read", i, differences.empty(), differences, was, held);
        } else {
          const std::vector<TDifference> differences = Compare(file, held, csAll);
          judge("compare", i, differences.empty(), differences, was, held);
        }
      }
    }
    // What this process holds once a round is over, from the second on
    // (the first sets up what every later one reuses).
    descriptorsLast = OpenDescriptors();
    memoryLast = ResidentKiB();
    if (rounds == 2) {
      descriptorsFirst = descriptorsLast;
      memoryFirst = memoryLast;
    }
    if (rounds % 25 == 0) {
      std::printf("soak round %d seconds %.0f ok %d judged %d restarts %d false %d descriptors %d memory %ld KiB\n", rounds,
                  std::chrono::duration<double>(Clock::now() - start).count(), ok, judged, line.Restarts.load(), falseOk,
                  descriptorsLast, memoryLast);
      std::fflush(stdout);
    }
  }
  stop = true;
  unplugger.join();
  if (descriptorsFirst < 0) {
    descriptorsFirst = descriptorsLast;
    memoryFirst = memoryLast;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("soak seconds %.0f rounds %d results %d ok %d judged %d restarts %d false %d hangs 0 "
              "descriptors %d..%d memory %ld..%ld KiB\n",
              elapsed, rounds, results, ok, judged, line.Restarts.load(), falseOk, descriptorsFirst, descriptorsLast, memoryFirst,
              memoryLast);
  fs::remove_all(dir);
  bool failed = falseOk > 0;
  if (descriptorsLast > descriptorsFirst) {
    std::fprintf(stderr, "soak: open descriptors grew from %d to %d\n", descriptorsFirst, descriptorsLast);
    failed = true;
  }
  if (memoryLast > memoryFirst + MemorySlackKiB) {
    std::fprintf(stderr, "soak: memory grew from %ld to %ld KiB\n", memoryFirst, memoryLast);
    failed = true;
  }
  if (judged == 0) {
    std::fprintf(stderr, "soak: no success was judged\n");
    failed = true;
  }
  return failed ? 1 : 0;
}
