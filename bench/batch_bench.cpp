// The command line against simulated modules that take as long over every
// byte as a 115200-baud line would (hrvx3300-sim --pace):
//   batch_write_verify_ms median M spread A..B floor F ratio R
//     one module: read first, write the six groups, read back and check,
//     against the time its bytes alone take on the line
//   batch_modules N seconds S correct C
//     N modules at once, each written and verified
// Five repeats of the single module; the many-module run once.
#include "Batch.h"
#include "Simulator.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int Baud = 115200;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// The bytes of a verified write, both ways: the module read first (load
// image and MAC address), the six groups, the load that checks them.
double FloorMs() {
  const int load = 1 + 464, mac = 2 + 10;
  const int records = 4 * (1 + 1 + 1 + 96) + (1 + 1 + 40) + (1 + 1 + 36);
  return double(load + mac + records + load) * 10 * 1000 / Baud;
}

int Run(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int status = RunBatch(ParseBatchOptions(args), out, err);
  if (status != bsSuccess) std::fprintf(stderr, "%s%s", out.str().c_str(), err.str().c_str());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  int modules = 64;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--modules") modules = std::max(1, std::atoi(argv[i + 1]));
  const std::string pace = std::to_string(Baud);
  char dir[] = "/tmp/batch-bench-XXXXXX";
  const std::filesystem::path tmp = mkdtemp(dir);
  const std::string file = (tmp / "plant.dat").string();
  {
    TSimulator source({"--quiet"});
    if (Run({"--port", source.Path, "--read", file}) != bsSuccess) return 1;
  }

  std::vector<double> ms;
  for (int r = 0; r < 5; ++r) {
    TSimulator sim({"--quiet", "--pace", pace});
    const auto start = Clock::now();
    if (Run({"--port", sim.Path, "--write", file}) != bsSuccess) return 1;
    ms.push_back(Seconds(start, Clock::now()) * 1000);
  }
  std::sort(ms.begin(), ms.end());
  const double floor = FloorMs();
  std::printf("batch_write_verify_ms median %.1f spread %.1f..%.1f floor %.1f ratio %.2f\n", ms[2], ms.front(), ms.back(),
              floor, ms[2] / floor);

  std::vector<std::unique_ptr<TSimulator>> sims;
  std::vector<std::string> args;
  for (int i = 0; i < modules; ++i) {
    sims.push_back(std::make_unique<TSimulator>(std::vector<std::string>{"--quiet", "--pace", pace}));
    args.insert(args.end(), {"--port", sims.back()->Path});
  }
  args.insert(args.end(), {"--write", file, "--json"});
  std::ostringstream out, err;
  const auto start = Clock::now();
  const int status = RunBatch(ParseBatchOptions(args), out, err);
  const double seconds = Seconds(start, Clock::now());
  const std::string json = out.str();
  std::size_t correct = 0;
  for (std::size_t at = 0; (at = json.find("\"verified\":true", at)) != std::string::npos; ++at) ++correct;
  std::printf("batch_modules %d seconds %.2f correct %zu status %d\n", modules, seconds, correct, status);
  std::filesystem::remove_all(tmp);
  return status == bsSuccess && correct == std::size_t(modules) ? 0 : 1;
}
