// Running the command line's modules: one worker a port, each reported as
// soon as it is done; Ctrl-C and SIGTERM end the exchanges under way.
#include "Batch.h"

#include "BatchReport.h"
#include "ConfigRules.h"
#include "CPortTexts.h"
#include "SysUtils.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <stdexcept>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#ifndef SIGHUP
#define SIGHUP 1  // the console window closed: told as a closed terminal is
#endif
#else
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

// The signal that interrupted the run, or 0.
std::atomic<int> InterruptSignal{0};

#ifdef _WIN32
// Ctrl-C, Ctrl-Break and a closed console window set InterruptSignal while a
// run is under way (as SIGINT, SIGTERM and SIGHUP do elsewhere).
BOOL WINAPI OnConsoleEvent(DWORD event) {
  const int signal = event == CTRL_C_EVENT ? SIGINT : event == CTRL_CLOSE_EVENT ? SIGHUP : SIGTERM;
  // A second one ends the program at once.
  if (InterruptSignal.exchange(signal) != 0) ExitProcess(128 + signal);
  return TRUE;
}

class TInterruptGuard {
public:
  TInterruptGuard() {
    InterruptSignal = 0;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  }
  ~TInterruptGuard() { SetConsoleCtrlHandler(OnConsoleEvent, FALSE); }
};
#else
extern "C" void OnInterrupt(int signal) {
  // A second one ends the program at once.
  if (InterruptSignal.exchange(signal) != 0) _exit(128 + signal);
}

// A reader that went away (`| head -1`) stops the run as SIGTERM does; the
// writes that follow fail (EPIPE) instead of killing the program, so every
// module is left cleanly and its state is said on standard error.
extern "C" void OnBrokenPipe(int signal) {
  int none = 0;
  InterruptSignal.compare_exchange_strong(none, signal);
}

// Ctrl-C, SIGTERM, a closed terminal (SIGHUP) and a closed standard output
// (SIGPIPE) set InterruptSignal while a run is under way.
class TInterruptGuard {
public:
  TInterruptGuard() {
    InterruptSignal = 0;
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = OnInterrupt;
    for (std::size_t i = 0; i < std::size(Signals); ++i) {
      if (Signals[i] == SIGPIPE) sa.sa_handler = OnBrokenPipe;
      sigaction(Signals[i], &sa, &Old[i]);
    }
  }
  ~TInterruptGuard() {
    for (std::size_t i = 0; i < std::size(Signals); ++i) sigaction(Signals[i], &Old[i], nullptr);
  }

private:
  static constexpr int Signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
  struct sigaction Old[std::size(Signals)] {};
};
#endif

std::string SerialOf(const TModuleImage& module) {
  const char* text = reinterpret_cast<const char*>(module.Image.data() + LoadSystemOffset);
  return std::string(text, strnlen(text, TextFieldSize));
}

std::string MacText(const TMacRecord& mac) {
  char text[20];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return text;
}

template <std::size_t N>
std::array<std::uint8_t, N> Slice(const TLoadImage& image, int offset) {
  std::array<std::uint8_t, N> record;
  std::copy_n(image.begin() + offset, N, record.begin());
  return record;
}

// The reports of the workers, one at a time.
struct TReporter {
  TReporter(const TBatchOptions& options, std::ostream& out, std::ostream& err) : Options(options), Out(out), Err(err) {}
  const TBatchOptions& Options;
  std::ostream& Out;
  std::ostream& Err;
  std::mutex Mutex;
  Clock::time_point Start = Clock::now();

  // --read - writes the module to standard output: the results go aside.
  std::ostream& Results() { return Options.Action == baRead && Options.File == "-" ? Err : Out; }

  void Report(const TPortResult& r) {
    std::lock_guard lock(Mutex);
    if (Options.Json)
      Results() << JsonRecord(Options, r) << std::flush;
    else
      ReportText(Options, r, Results(), Err);
    Results().flush();
    Err.flush();
  }

  // --verbose: an exchange in hex with its time, as the simulator logs them.
  void Log(const std::string& port, const char* direction, const std::string& bytes, const char* what) {
    std::string hex;
    char b[4];
    for (unsigned char c : bytes) {
      std::snprintf(b, sizeof b, "%02X ", c);
      hex += b;
    }
    char head[64];
    std::snprintf(head, sizeof head, "%8.3f %s ", std::chrono::duration<double>(Clock::now() - Start).count(), direction);
    std::lock_guard lock(Mutex);
    Err << Utf8Text(port) << ": " << head << what << "(" << bytes.size() << ") " << hex << "\n" << std::flush;
  }
};

// How many times in all a group is sent when it keeps coming back different.
constexpr int MostSends = 3;

// "CH2 was sent twice (the first record came back different)"; groups
// that came back different every time "... and came back different each time".
std::string SentAgainText(const std::vector<std::pair<TRecordGroup, int>>& sends, const std::vector<TRecordGroup>& differing) {
  std::string text;
  for (const bool stillDiffer : {false, true})
    for (int count = 2; count <= MostSends; ++count) {
      std::vector<std::string> names;
      for (const auto& [group, sent] : sends)
        if (sent == count && (std::find(differing.begin(), differing.end(), group) != differing.end()) == stillDiffer)
          names.push_back(GroupName(group));
      if (names.empty()) continue;
      std::string list = names.back();
      if (names.size() > 1) {
        list = names.front();
        for (std::size_t i = 1; i + 1 < names.size(); ++i) list += ", " + names[i];
        list += " and " + names.back();
      }
      const std::string first = count == 3 ? "the first two records" : names.size() == 1 ? "the first record" : "the first records";
      text += "; " + list + (names.size() == 1 ? " was" : " were") + " sent " + (count == 2 ? "twice" : "three times") +
              (stillDiffer ? " and came back different each time" : " (" + first + " came back different)");
    }
  return text;
}

void WriteModule(const TBatchOptions& o, const TConfiguration& file, TModuleLink& link, const TModuleImage& module,
                 TPortResult& r) {
  // Each record over the module's own: what the file does not hold stays.
  const TModuleImage expected = file.Over(module, o.WithAddress);
  std::vector<std::pair<TRecordGroup, int>> sends;
  // A serial number the line changed on the way is sent back as it was; the
  // first time none is sent, and the module keeps its own.
  bool sendSerial = false;
  const auto send = [&](TRecordGroup group) {
    r.Step = GroupName(group);
    switch (group) {
      case rgCh1:
      case rgCh2:
      case rgCh3:
      case rgCh4: {
        const int ch = int(group - rgCh1) + 1;
        link.SendChannel(ch, Slice<ChannelRecordSize>(expected.Image, LoadChannelOffsetOf(ch - 1)));
        break;
      }
      case rgAux: link.SendAux(Slice<40>(expected.Image, LoadAuxOffset)); break;
      case rgSystem: {
        TSystemRecord system = Slice<36>(expected.Image, LoadSystemOffset);
        if (!sendSerial) system[0] = 0;  // no serial number: the module keeps its own
        link.SendSystem(system);
        break;
      }
      case rgClock: {
        TClockRecord clock{};
        EncodeClockRecord(LocalTime(std::time(nullptr)), clock);
        link.SendClock(clock);
        break;
      }
      case rgNet: link.SetNetAddress(expected.Net); break;
      case rgMac: link.SetMacAddress(expected.Mac); break;
    }
    const auto sent = std::find_if(sends.begin(), sends.end(), [&](const auto& s) { return s.first == group; });
    if (sent != sends.end()) {
      ++sent->second;
      return;
    }
    sends.emplace_back(group, 1);
    r.Written.push_back(group);
  };
  for (TRecordGroup group : {rgCh1, rgCh2, rgCh3, rgCh4, rgAux, rgSystem}) send(group);
  if (o.SetClock) send(rgClock);
  if (o.WithAddress) {
    send(rgNet);
    send(rgMac);
  }
  const std::string name = Utf8Text(o.File);
  // What went out but is not read back is said so, never called verified.
  const std::string clock = o.SetClock ? "; clock sent (a module's clock cannot be read back)" : "";
  if (!o.Verify) {
    r.Result = "unverified";
    r.Unchecked = r.Written;
    r.Summary = name + " written, not verified" + clock;
    return;
  }
  // Every byte sent, as the module reads it back; what came back different
  // (a record the line changed on the way) is sent again and read again.
  std::vector<TRecordGroup> check;
  for (TRecordGroup g : r.Written)
    if (g != rgClock) check.push_back(g);
  std::vector<TRecordGroup> differing;
  for (int round = 1;; ++round) {
    r.Step = "verify";
    TModuleImage back = link.LoadAll(false);
    if (o.WithAddress) {
      back.Net = link.LoadNet();
      back.Mac = link.LoadMac();
    }
    r.Differences = RecordDifferences(expected, back, check);
    differing.clear();
    for (TRecordGroup g : check)
      if (!RecordDifferences(expected, back, {g}).empty()) differing.push_back(g);
    if (differing.empty() || round == MostSends) break;
    sendSerial = !std::equal(back.Image.begin() + LoadSystemOffset, back.Image.begin() + LoadSystemOffset + TextFieldSize,
                             expected.Image.begin() + LoadSystemOffset);
    for (TRecordGroup g : differing) send(g);
  }
  for (const auto& [group, sent] : sends)
    if (sent > 1) r.Retries.emplace_back(GroupName(group), sent - 1);
  const std::string again = SentAgainText(sends, differing);
  r.Verified = r.Differences.empty();
  if (o.SetClock) r.Unchecked = {rgClock};
  if (r.Verified) {
    r.Summary = "wrote " + name + " and verified it" + again + clock;
    return;
  }
  r.Status = bsModule;
  r.Result = "differs";
  r.Summary = "wrote " + name + ", but the module differs in " + std::to_string(r.Differences.size()) +
              (r.Differences.size() == 1 ? " field" : " fields") + again;
}

// One module: the action, with what it found.
void RunPort(const TBatchOptions& o, const TConfiguration& file, TReporter& reporter, TPortResult& r) {
  const auto start = Clock::now();
  TLinkOptions line = o.Line;
  line.Interrupted = [] { return InterruptSignal != 0; };
  if (o.Verbose)
    line.Log = [&](const char* direction, const std::string& bytes, const char* what) {
      reporter.Log(r.Port, direction, bytes, what);
    };
  r.Result = "ok";
  std::optional<TModuleLink> opened;
  try {
    r.Step = "open";
    TModuleLink& link = opened.emplace(r.Port, line);
    r.Step = "load";
    TModuleImage module = link.LoadAll();
    r.Serial = SerialOf(module);
    r.Step = "MAC";
    module.Mac = link.LoadMac();
    r.Mac = MacText(module.Mac);
    switch (o.Action) {
      case baRead: {
        r.Step = "IP";
        module.Net = link.LoadNet();
        r.Step = "save";
        const TConfiguration read = TConfiguration::FromModule(module);
        // A file that cannot keep every value as the module holds it is no
        // copy of the module: nothing is saved, and what it would lose is said.
        r.Differences = ValuesAFileCannotKeep(module);
        if (!r.Differences.empty()) {
          const std::size_t n = r.Differences.size();
          r.Status = bsModule;
          r.Result = "differs";
          r.Summary = "the module holds " + std::to_string(n) + (n == 1 ? " value" : " values") +
                      " that a .dat file cannot keep as the module has " + (n == 1 ? "it" : "them") + "; nothing saved";
          break;
        }
        if (r.File == "-") {
          std::lock_guard lock(reporter.Mutex);
          read.Write(reporter.Out);
          // A closed or full standard output took nothing: never "read".
          if (!reporter.Out.flush())
            throw std::runtime_error("standard output did not take the configuration (closed, or its disk full)");
        } else {
          read.Save(r.File);
        }
        if (o.OnRead) o.OnRead(r.Port, read);
        r.Summary = "read the module into " + (r.File == "-" ? std::string("standard output") : Utf8Text(r.File));
        break;
      }
      case baWrite: WriteModule(o, file, link, module, r); break;
      case baCompare: {
        r.Step = "IP";
        module.Net = link.LoadNet();
        r.Step = "compare";
        r.Differences = Compare(file, module, csAll);
        const std::string name = Utf8Text(r.File);
        if (r.Differences.empty()) {
          r.Summary = "the module equals " + name;
        } else {
          r.Status = bsModule;
          r.Result = "differs";
          r.Summary = std::to_string(r.Differences.size()) + (r.Differences.size() == 1 ? " field differs" : " fields differ") +
                      " from " + name;
        }
        break;
      }
      case baNone:
      case baCheck:
      case baReport: break;
    }
  } catch (const EInterrupted&) {
    r.Interrupted = true;
    r.Result = "interrupted";
    r.Status = bsPort;
  } catch (const EBatch& e) {
    r.Status = e.Status;
    r.Result = e.Status == bsModule ? "refused" : "error";
    r.Error = e.what();
  } catch (const EComPort& e) {
    r.Status = bsPort;
    r.Result = "error";
    r.Error = ComErrorText(e);
  } catch (const std::exception& e) {
    r.Status = bsPort;  // a file that cannot be saved
    r.Result = "error";
    r.Error = e.what();
  }
  // The answers a noisy line made the reads ask for again, also when the
  // run failed.
  if (opened)
    for (const auto& [read, answers] : opened->AskedAgain()) {
      r.Retries.emplace_back(read, answers);
      r.AnswersAskedAgain += answers;
    }
  r.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
  reporter.Report(r);
}

// Modules of one run that share a serial number or a MAC address are one
// module met twice, or a MAC address copied from a file (a .dat saved
// before the window loaded the module holds the boxes' defaults). One
// warning for each shared value, naming its ports in the order given.
void WarnOfTwins(const std::vector<TPortResult>& results, std::ostream& err) {
  const auto warn = [&](const char* what, std::string TPortResult::*key, bool latin1) {
    std::vector<std::string> seen;
    for (std::size_t i = 0; i < results.size(); ++i) {
      const std::string& value = results[i].*key;
      if (value.empty() || std::find(seen.begin(), seen.end(), value) != seen.end()) continue;
      seen.push_back(value);
      std::string ports;
      int count = 0;
      for (const TPortResult& r : results)
        if (r.*key == value) ports += (count++ ? ", " : "") + Utf8Text(r.Port);
      if (count > 1)
        err << "hrvx3300: warning: " << count << " modules hold the same " << what << " "
            << (latin1 ? Utf8FromLatin1(value) : value) << ": " << ports << "\n";
    }
  };
  warn("serial number", &TPortResult::Serial, true);
  warn("MAC address", &TPortResult::Mac, false);
}

// A file that holds a value the module cannot hold as written.
class EInvalidFile : public Exception {
public:
  explicit EInvalidFile(std::vector<TInvalidValue> invalid) : Exception("invalid values"), Invalid(std::move(invalid)) {}
  std::vector<TInvalidValue> Invalid;
};

// The file, read and every value checked before a module is touched, so
// that a file that is no configuration, or one the module would keep other
// than written, sends nothing.
TConfiguration LoadFile(const TBatchOptions& o) {
  TConfiguration file = TConfiguration::Load(o.File);
  std::vector<TInvalidValue> invalid = InvalidValues(file);
  if (!invalid.empty()) throw EInvalidFile(std::move(invalid));
  (void)file.ToModule(true);
  const bool addresses = file.Values.count("Edit_Src_Ip1") != 0;
  if (o.WithAddress && !addresses)
    throw Exception("\"" + o.File + "\" has no IP and MAC address lines for --with-address");
  return file;
}

}  // namespace

int RunBatch(const TBatchOptions& o, std::ostream& out, std::ostream& err) {
  TReporter reporter(o, out, err);
  std::vector<TPortResult> results(o.Ports.size());
  for (std::size_t i = 0; i < o.Ports.size(); ++i) {
    results[i].Port = o.Ports[i];
    results[i].File = o.Action == baRead ? o.Files.at(i) : o.File;
  }
  TConfiguration file;
  if (o.Action == baWrite || o.Action == baCompare || o.Action == baCheck) {
    try {
      file = LoadFile(o);
    } catch (const std::exception& e) {
      // Every module is reported: none was touched.
      const auto* invalid = dynamic_cast<const EInvalidFile*>(&e);
      if (o.Ports.empty()) results.push_back(TPortResult{});
      for (TPortResult& r : results) {
        if (o.Ports.empty()) r.File = o.File;
        r.Status = invalid ? bsModule : bsPort;
        r.Result = invalid ? "invalid" : "error";
        r.Step = "file";
        if (invalid) {
          r.Invalid = invalid->Invalid;
          r.Error = InvalidSummary(o, invalid->Invalid);
        } else {
          r.Error = e.what();
        }
        if (o.Json)
          out << JsonRecord(o, r);
        else if (invalid)
          ReportInvalid(o, r, err);
        else
          err << (o.File == "-" ? std::string("standard input") : Utf8Text(o.File)) << ": error: " << Utf8Text(e.what()) << "\n";
        if (!o.Json) break;  // in text, the file's error once
      }
      return invalid ? bsModule : bsPort;
    }
    if (o.Action == baCheck) {
      const std::string name = o.File == "-" ? "standard input" : Utf8Text(o.File);
      if (o.Json) {
        TPortResult r;
        r.File = o.File;
        r.Result = "ok";
        out << JsonRecord(o, r);
      } else if (!o.Quiet) {
        out << name << ": a configuration that can be sent ("
            << (file.Values.count("Edit_Src_Ip1") ? "with" : "without") << " IP and MAC addresses)\n";
      }
      return bsSuccess;
    }
  }

  int status = bsSuccess;
  {
    TInterruptGuard guard;
    std::vector<std::thread> workers;
    for (TPortResult& r : results) workers.emplace_back([&o, &file, &reporter, &r] { RunPort(o, file, reporter, r); });
    for (std::thread& w : workers) w.join();
    for (const TPortResult& r : results) status = std::max(status, r.Status);
    WarnOfTwins(results, err);
    // Results that did not reach standard output are a failure of their own.
    if (!out.flush()) {
      err << "hrvx3300: standard output did not take the results (closed, or its disk full)\n";
      status = std::max(status, int(bsPort));
    }
    if (const int signal = InterruptSignal.load()) {
      // What each module holds now, for the person who stopped the run
      // (standard output may be the pipe that went away).
      for (const TPortResult& r : results) err << StateLine(o, r);
      status = 128 + signal;
    }
  }
  return status;
}
