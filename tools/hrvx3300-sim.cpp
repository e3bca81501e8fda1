// A simulated HRVX3300 module on a pseudo-terminal (or a given serial
// device), so that the configuration program can be tried and tested
// without hardware. It keeps a configuration, answers the load command with
// the 464-byte image, takes the records that follow the send commands, and
// logs every exchange in hex on stderr.
#include "ChannelFields.h"
#include "Configuration.h"
#include "Protocol.h"
#include "SimLine.h"
#include "SysUtils.h"
#include "Version.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

const char* const Usage =
    "Usage: hrvx3300-sim [options]\n"
    "Plays an HRVX3300 module on a new pseudo-terminal, whose path it prints\n"
    "as the line \"PORT <path>\", or on a given serial device (on Windows a\n"
    "COM port, which it must be given).\n"
    "  --device PATH     use this serial device instead of a pseudo-terminal\n"
    "  --port NAME       the same (COM5 on Windows)\n"
    "  --link PATH       also make PATH a symbolic link to the pseudo-terminal\n"
    "  --config FILE     start with the configuration of a .dat file\n"
    "  --image FILE      start with what a --state file holds, byte for byte\n"
    "  --silent          never answer\n"
    "  --slow            answer 300 ms late, after the program has given up\n"
    "  --short           answer the load command with 100 bytes only\n"
    "  --garbage         answer every command with 7 random bytes\n"
    "  --exit-after N    exit after N commands, as a pulled cable would\n"
    "  --swallow N       take the Nth command (from 1) for the start of a\n"
    "                    record and swallow what follows until a second\n"
    "                    passes without a byte, as with a command the line\n"
    "                    changed\n"
    "  --long N          answer the load command with N bytes more than 464\n"
    "  --late-ack MS     acknowledge every record once more, MS ms after it\n"
    "  --busy MS         ignore commands that come within MS ms of a record\n"
    "  --round           keep the channels' values rounded to one decimal\n"
    "  --forget          acknowledge every record and keep none\n"
    "  --spoil N         keep the Nth record taken (from 1) with a bit of one\n"
    "                    byte changed, as a noisy line would have it\n"
    "  --spoil-byte B    that byte, from 0 (a channel's counted after its\n"
    "                    number); the record's first by default\n"
    "  --long-mac N      answer the MAC address request with N bytes more than 10\n"
    "  --addr-header H   the first three bytes of an address answer: reply\n"
    "                    (06, the command, the record's length: the default),\n"
    "                    frame (02, the set frame's length, the command) or\n"
    "                    random (three random bytes)\n"
    "  --random-tail     fill the load image's four unused bytes anew in every\n"
    "                    answer\n"
    "  --never-set       the address records hold neither the end marker nor\n"
    "                    the 7s that Set puts there\n"
    "  --noise P         flip one random bit of each byte sent or received with\n"
    "                    probability P (0 to 1), as a noisy line does\n"
    "  --seed N          start the noise and the random bytes from N, to repeat\n"
    "                    a run (the seed used is logged)\n"
    "  --state FILE      on SIGUSR1, write what the module holds to FILE: the\n"
    "                    load image, the network and the MAC record (497 bytes)\n"
    "  --trail N         send N stray bytes 10 ms after the load answer, as an\n"
    "                    adapter's latency timer delivers a long answer's end\n"
    "  --millivolt       the temperature input is of the 10 mV/degree kind\n"
    "  --serial TEXT     the module's serial number\n"
    "  --pace BAUD       take as long over every byte as a line at BAUD would\n"
    "  --quiet           do not log the exchanges\n"
    "  --help            show this text\n"
    "  --version         show the version\n";

enum TAddressHeader { ahReply, ahFrame, ahRandom };

struct TOptions {
  std::string Device, Link, Config, Serial, State, Image;
  bool Silent = false, Slow = false, Short = false, Garbage = false, Quiet = false, Round = false, Millivolt = false,
       Forget = false, NeverSet = false, RandomTail = false;
  int ExitAfter = -1, Swallow = 0, Long = 0, LateAckMs = 0, BusyMs = 0, Pace = 0, Trail = 0, LongMac = 0, Spoil = 0, SpoilByte = 0;
  TAddressHeader AddressHeader = ahReply;
  double Noise = 0;
  unsigned Seed = 0;
  bool SeedGiven = false;
};

#ifndef _WIN32
// SIGUSR1 asks for the module's state (--state); the loop writes it.
volatile std::sig_atomic_t StateAsked = 0;
extern "C" void OnStateAsked(int) { StateAsked = 1; }
#endif

bool Quiet = false;

void Log(const char* direction, const std::string& bytes, const char* what = "") {
  if (Quiet) return;
  std::string hex;
  char b[4];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, "%02X ", c);
    hex += b;
  }
  std::fprintf(stderr, "%s %s(%zu) %s\n", direction, what, bytes.size(), hex.c_str());
}

// A plausible module: a motor and a pump, each with two bearings.
TModuleImage DefaultModule() {
  TConfiguration config;
  auto& v = config.Values;
  const auto text = [&](const std::string& name, const std::string& value) { v[name].Text = value; };
  const auto number = [&](const std::string& name, int value) { v[name].Number = value; };
  const char* names[] = {"Motor DE", "Motor NDE", "Pump DE", "Pump NDE"};
  const int units[] = {0, 0, 8, 16};
  for (int ch = 0; ch < 4; ++ch) {
    const std::string d = std::to_string(ch + 1);
    const bool pt100 = ch == 3;
    text("Edit_Name_Ch" + d, names[ch]);
    number("ComboBox_Used_Ch" + d, 0);
    number("CheckBox_Inp_Type" + d, 0);
    number("CheckBox_SS_Ch" + d, ch >= 2);
    number("ComboBox_Unit_Ch" + d, units[ch]);
    number("ComboBox_VChk_Ch" + d, 0);
    text("Edit_Damger_Ch" + d, pt100 ? "90.0" : "7.1");
    text("Edit_Alert_Ch" + d, pt100 ? "80.0" : "4.5");
    number("ComboBox_Relay_Ch" + d, ch % 2);
    number("ComboBox_Atype_Ch" + d, 1);
    text("Edit_Dtyme_Ch" + d, "3.0");
    number("ComboBox_Ttype_Ch" + d, 0);
    text("Edit_Ttyme_Ch" + d, "2.0");
    text("Edit_Max_Ch" + d, pt100 ? "127.0" : "25.0");
    text("Edit_Min_Ch" + d, pt100 ? "-41.0" : "0.0");
    text("Edit_Scale_Ch" + d, pt100 ? "120.0" : "15.0");
    text("Edit_Offset_Ch" + d, pt100 ? "-20.0" : "0.0");
    text("Edit_Curr_Max_Ch" + d, pt100 ? "20.8" : "20.0");
    text("Edit_Curr_Min_Ch" + d, pt100 ? "1.5" : "4.0");
  }
  number("ComboBox_Used_Temp", 0);
  number("ComboBox_Used_Rpm", 0);
  number("ComboBox_Cnt_Rpm", 1);
  text("Edit_Speed_H1", "3600.0");
  text("Edit_Speed_L1", "300.0");
  number("ComboBox_EvCnt", 2);
  text("Edit_Node1", "7");
  number("ComboBox_Com_Baud_S1", 0);
  number("ComboBox_Com_Data_S1", 0);
  number("ComboBox_Com_Stop_S1", 0);
  number("ComboBox_Com_Parity_S1", 2);
  text("Edit_Serial_Nu_Ch1", "20261208");
  const char* ip[] = {"192", "168", "0", "40"};
  for (int k = 0; k < 4; ++k) text("Edit_Src_Ip" + std::to_string(k + 1), ip[k]);
  const char* mac[] = {"00", "1A", "2B", "3C", "4D", "EE"};
  for (int k = 0; k < 6; ++k) text("Edit_Mac" + std::to_string(k + 1), mac[k]);
  return config.ToModule();
}

class TSimulator {
public:
  TSimulator(TSimLine& line, TModuleImage module, const TOptions& options)
      : Line(line), Module(module), Options(options), Random(options.Seed), Noise(options.Seed ^ 0x9E3779B9u) {}

  int Run() {
    int commands = 0;
    for (;;) {
      // Waits in slices: a signal that came just before the wait (a checking
      // build may hold it back until the wait ends) is acted on within one.
      int c = ReadByte(100);
      WriteStateIfAsked();
      if (c == -2) return 0;  // the line has gone
      if (c < 0) continue;
      if (Options.ExitAfter >= 0 && commands >= Options.ExitAfter) {
        std::fprintf(stderr, "exiting after %d commands\n", commands);
        return 0;
      }
      if (Options.BusyMs > 0 && Clock::now() < LastRecord + std::chrono::milliseconds(Options.BusyMs)) {
        Log("<-", std::string(1, char(c)), "command while busy, ignored");
        continue;
      }
      ++commands;
      if (commands == Options.Swallow) {
        std::string swallowed(1, char(c));
        for (int b; (b = ReadByte(1000)) >= 0;) swallowed += char(b);
        Log("<-", swallowed, "swallowed");
        continue;
      }
      Handle(std::uint8_t(c));
    }
  }

private:
  // A byte within timeoutMs; -1 on time-out, -2 when the line is gone.
  int ReadByte(int timeoutMs) {
    const int c = Line.ReadByte(timeoutMs);
    return c < 0 ? c : Noisy(std::uint8_t(c));
  }

  // With --noise, one random bit of the byte flipped now and then.
  std::uint8_t Noisy(std::uint8_t byte) {
    if (Options.Noise <= 0) return byte;
    if (std::uniform_real_distribution<double>(0, 1)(Noise) >= Options.Noise) return byte;
    ++Flipped;
    return std::uint8_t(byte ^ (1u << std::uniform_int_distribution<int>(0, 7)(Noise)));
  }

  void WriteStateIfAsked() {
#ifndef _WIN32
    if (!StateAsked) return;
    StateAsked = 0;
    // Written beside the file and renamed, so a reader never sees half of it.
    const std::string temporary = Options.State + ".part";
    FILE* f = std::fopen(temporary.c_str(), "wb");
    bool written = f && std::fwrite(Module.Image.data(), 1, Module.Image.size(), f) == Module.Image.size() &&
                   std::fwrite(Module.Net.data(), 1, Module.Net.size(), f) == Module.Net.size() &&
                   std::fwrite(Module.Mac.data(), 1, Module.Mac.size(), f) == Module.Mac.size();
    if (f && std::fclose(f) != 0) written = false;
    if (!written || std::rename(temporary.c_str(), Options.State.c_str()) != 0)
      std::fprintf(stderr, "hrvx3300-sim: %s: %s\n", Options.State.c_str(), std::strerror(errno));
#endif
  }

  // The next count bytes, each within a second of the one before.
  bool ReadBytes(std::size_t count, std::string& bytes) {
    bytes.clear();
    while (bytes.size() < count) {
      const int c = ReadByte(1000);
      if (c < 0) return false;
      bytes += char(c);
    }
    Pace(count);
    return true;
  }

  // With --pace, the time count bytes take on the line (ten bits each).
  void Pace(std::size_t count) const {
    if (Options.Pace > 0) std::this_thread::sleep_for(std::chrono::microseconds(count * 10'000'000 / std::size_t(Options.Pace)));
  }

  void Answer(const std::string& bytes, const char* what) {
    if (Options.Silent) return;
    std::string out = bytes;
    if (Options.Garbage) {
      std::uniform_int_distribution<int> any(0, 255);
      out.clear();
      for (int i = 0; i < 7; ++i) out += char(any(Random));
      what = "garbage";
    }
    if (Options.Slow) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Pace(out.size());
    const int before = Flipped;
    for (char& c : out) c = char(Noisy(std::uint8_t(c)));
    Log("->", out, Flipped > before ? (std::string(what) + ", " + std::to_string(Flipped - before) + " flipped").c_str() : what);
    Line.Write(out);
  }

  // Acknowledges a send command, then takes the record that follows.
  void TakeRecord(TModuleCommand command, std::size_t offset, const char* what) {
    const std::size_t size = CommandRecordSize(command);
    Answer(std::string(1, char(ModuleAck)), "ack");
    std::string record;
    if (!ReadBytes(size, record)) {
      Log("<-", record, "incomplete record");
      return;
    }
    Log("<-", record, what);
    Spoiled(record, std::size_t(Options.SpoilByte) + (command == mcChannel ? 1 : 0));
    Taken(record);
    if (Options.Forget) return;
    if (command == mcChannel) {
      const int channel = std::uint8_t(record[0]);
      if (channel < 1 || channel > 4) {
        std::fprintf(stderr, "   channel %d out of range, record dropped\n", channel);
        return;
      }
      std::uint8_t* stored = Module.Image.data() + LoadChannelOffsetOf(channel - 1);
      std::copy(record.begin() + 1, record.end(), stored);
      if (Options.Round) RoundFloats(stored);
    } else if (command == mcSystem && record[0] == 0) {
      // An empty serial number (the window's SN box left locked) keeps the
      // module's own.
      std::copy(record.begin() + TextFieldSize, record.end(), Module.Image.begin() + offset + TextFieldSize);
    } else if (command != mcClock) {
      std::copy(record.begin(), record.end(), Module.Image.begin() + offset);
    }
  }

  // With --spoil, one record is kept with a bit of its byte at changed.
  void Spoiled(std::string& record, std::size_t at) {
    if (++Records != Options.Spoil || at >= record.size()) return;
    record[at] = char(record[at] ^ 0x10);
    std::fprintf(stderr, "   record %d spoiled\n", Records);
  }

  // A record has come: some modules acknowledge it once more, a moment
  // later, or need that moment before the next command.
  void Taken(const std::string&) {
    if (Options.LateAckMs > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(Options.LateAckMs));
      Answer(std::string(1, char(ModuleAck)), "late ack");
    }
    LastRecord = Clock::now();
  }

  // A module that keeps its values to one decimal.
  static void RoundFloats(std::uint8_t* channel) {
    for (const TChannelField& field : ChannelFields()) {
      if (field.Kind != cfFloat && field.Kind != cfCurrentMin) continue;
      float value;
      std::memcpy(&value, channel + field.Offset, sizeof value);
      value = float(std::round(double(value) * 10) / 10);
      std::memcpy(channel + field.Offset, &value, sizeof value);
    }
  }

  // The answer to an address request: three bytes of the module's own
  // choosing, then the record's first bytes.
  std::string AddressAnswer(std::uint8_t kind, const std::uint8_t* record) {
    const std::size_t size = AddressAnswerRecord(kind);
    std::string header;
    switch (Options.AddressHeader) {
      case ahReply: header = {char(FrameReply), char(kind), char(size)}; break;
      case ahFrame: header = {char(FrameStart), char(kind == FrameNetAddress ? 24 : 9), char(kind)}; break;
      case ahRandom:
        for (int i = 0; i < 3; ++i) header += char(std::uniform_int_distribution<int>(0, 255)(Random));
        break;
    }
    return header + std::string(reinterpret_cast<const char*>(record), size);
  }

  void Handle(std::uint8_t command) {
    Log("<-", std::string(1, char(command)), "command");
    std::string bytes;
    switch (command) {
      case mcLoad: {
        const std::size_t size = Options.Short ? 100 : Module.Image.size();
        std::string image(reinterpret_cast<const char*>(Module.Image.data()), size);
        if (Options.RandomTail && size == Module.Image.size())
          for (std::size_t i = LoadImageUsedSize; i < size; ++i) image[i] = char(std::uniform_int_distribution<int>(0, 255)(Random));
        if (Options.Long > 0) image += std::string(std::size_t(Options.Long), char(ModuleAck));
        Answer(image, "load image");
        if (Options.Trail > 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
          Answer(std::string(std::size_t(Options.Trail), char(ModuleAck)), "stray bytes");
        }
        break;
      }
      case mcChannel: TakeRecord(mcChannel, 0, "channel record"); break;
      case mcSystem: TakeRecord(mcSystem, LoadSystemOffset, "system record"); break;
      case mcAux: TakeRecord(mcAux, LoadAuxOffset, "aux record"); break;
      case mcClock: TakeRecord(mcClock, 0, "clock record"); break;
      case FrameStart: {
        std::string header;
        if (!ReadBytes(2, header)) return;
        const std::size_t length = std::uint8_t(header[0]);
        const std::uint8_t kind = std::uint8_t(header[1]);
        if (!ReadBytes(length + 1, bytes)) return;
        Log("<-", header + bytes, "address frame");
        unsigned sum = 0;
        for (std::size_t i = 0; i < length; ++i) sum += std::uint8_t(bytes[i]);
        if ((sum & 0xFF) != std::uint8_t(bytes[length])) {
          std::fprintf(stderr, "   check byte wrong: frame refused, no answer\n");
          return;
        }
        if (length > 0) {
          std::string record = bytes.substr(0, length);
          Spoiled(record, std::size_t(Options.SpoilByte));
          bytes.replace(0, length, record);
        }
        if (Options.Forget)
          ;  // acknowledged, and kept nowhere
        else if (kind == FrameNetAddress && length == Module.Net.size())
          std::copy(bytes.begin(), bytes.begin() + long(length), Module.Net.begin());
        else if (kind == FrameMacAddress && length == Module.Mac.size())
          std::copy(bytes.begin(), bytes.begin() + long(length), Module.Mac.begin());
        Answer(std::string(1, char(ModuleAck)), "ack");
        Taken(bytes);
        break;
      }
      case FrameReply: {
        const int kind = ReadByte(1000);
        if (kind == FrameNetAddress)
          Answer(AddressAnswer(FrameNetAddress, Module.Net.data()), "network address");
        else if (kind == FrameMacAddress)
          Answer(AddressAnswer(FrameMacAddress, Module.Mac.data()) + std::string(std::size_t(Options.LongMac), char(ModuleAck)),
                 "MAC address");
        break;
      }
      default: std::fprintf(stderr, "   unknown command ignored\n"); break;
    }
  }

  using Clock = std::chrono::steady_clock;
  TSimLine& Line;
  TModuleImage Module;
  TOptions Options;
  std::mt19937 Random;  // garbage and random headers
  std::mt19937 Noise;   // the line's flipped bits
  int Flipped = 0;
  int Records = 0;  // taken so far
  Clock::time_point LastRecord{};
};

}  // namespace

// A whole non-negative number, or the program ends with a usage error.
int Number(const std::string& option, const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < 0 || value > 1000000) {
    std::fprintf(stderr, "hrvx3300-sim: %s takes a whole number from 0, not \"%s\"\n%s", option.c_str(), text.c_str(), Usage);
    std::exit(2);
  }
  return int(value);
}

// A probability from 0 to 1, or the program ends with a usage error.
double Probability(const std::string& option, const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !(value >= 0 && value <= 1)) {
    std::fprintf(stderr, "hrvx3300-sim: %s takes a probability from 0 to 1, not \"%s\"\n%s", option.c_str(), text.c_str(), Usage);
    std::exit(2);
  }
  return value;
}

// Ended by a signal (Ctrl-C, kill, a closed terminal), the simulator takes
// its link away as it does when it ends by itself.
namespace {

#ifndef _WIN32
char LinkToRemove[4096];

void RemoveLinkAndDie(int signal) {
  unlink(LinkToRemove);  // async-signal-safe
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void RemoveLinkOnSignal(const std::string& link) {
  std::snprintf(LinkToRemove, sizeof LinkToRemove, "%s", link.c_str());
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, RemoveLinkAndDie);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  TOptions o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "hrvx3300-sim: %s needs a value\n%s", a.c_str(), Usage);
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(Usage, stdout);
      return 0;
    } else if (a == "--version") {
      std::printf("hrvx3300-sim %s%s%s%s\n", HRVX3300_VERSION, *HRVX3300_COMMIT ? " (commit " : "", HRVX3300_COMMIT,
                  *HRVX3300_COMMIT ? ")" : "");
      return 0;
    } else if (a == "--device" || a == "--port") o.Device = value();
    else if (a == "--link") o.Link = value();
    else if (a == "--config") o.Config = value();
    else if (a == "--image") o.Image = value();
    else if (a == "--silent") o.Silent = true;
    else if (a == "--slow") o.Slow = true;
    else if (a == "--short") o.Short = true;
    else if (a == "--garbage") o.Garbage = true;
    else if (a == "--quiet") o.Quiet = true;
    else if (a == "--exit-after") o.ExitAfter = Number(a, value());
    else if (a == "--swallow") o.Swallow = Number(a, value());
    else if (a == "--long") o.Long = Number(a, value());
    else if (a == "--late-ack") o.LateAckMs = Number(a, value());
    else if (a == "--busy") o.BusyMs = Number(a, value());
    else if (a == "--round") o.Round = true;
    else if (a == "--forget") o.Forget = true;
    else if (a == "--spoil") o.Spoil = Number(a, value());
    else if (a == "--spoil-byte") o.SpoilByte = Number(a, value());
    else if (a == "--long-mac") o.LongMac = Number(a, value());
    else if (a == "--never-set") o.NeverSet = true;
    else if (a == "--random-tail") o.RandomTail = true;
    else if (a == "--addr-header") {
      const std::string h = value();
      if (h == "reply") o.AddressHeader = ahReply;
      else if (h == "frame") o.AddressHeader = ahFrame;
      else if (h == "random") o.AddressHeader = ahRandom;
      else {
        std::fprintf(stderr, "hrvx3300-sim: --addr-header takes reply, frame or random, not \"%s\"\n%s", h.c_str(), Usage);
        return 2;
      }
    } else if (a == "--noise") o.Noise = Probability(a, value());
    else if (a == "--seed") {
      o.Seed = unsigned(Number(a, value()));
      o.SeedGiven = true;
    } else if (a == "--state") o.State = value();
    else if (a == "--trail") o.Trail = Number(a, value());
    else if (a == "--millivolt") o.Millivolt = true;
    else if (a == "--serial") o.Serial = value();
    else if (a == "--pace") o.Pace = Number(a, value());
    else {
      std::fprintf(stderr, "hrvx3300-sim: unknown option %s\n%s", a.c_str(), Usage);
      return 2;
    }
  }
  Quiet = o.Quiet;
  if (!o.SeedGiven) o.Seed = std::random_device{}();
  if (o.Noise > 0 || o.AddressHeader == ahRandom || o.Garbage || o.RandomTail) std::fprintf(stderr, "seed %u\n", o.Seed);
#ifdef _WIN32
  if (!o.State.empty()) {
    std::fprintf(stderr, "hrvx3300-sim: --state needs SIGUSR1, which Windows has not\n");
    return 2;
  }
#else
  if (!o.State.empty()) {
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = OnStateAsked;  // no SA_RESTART: the wait for a byte ends
    sigaction(SIGUSR1, &sa, nullptr);
  }
#endif

  TModuleImage module = DefaultModule();
  if (!o.Config.empty()) {
    // Address lines the file lacks keep the defaults.
    try {
      TConfiguration config = TConfiguration::Load(o.Config);
      const TModuleImage defaults = module;
      module = config.ToModule();
      if (!config.Values.count("Edit_Src_Ip1")) module.Net = defaults.Net;
      if (!config.Values.count("Edit_Mac1")) module.Mac = defaults.Mac;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "hrvx3300-sim: %s\n", e.what());
      return 1;
    }
  }
  if (!o.Image.empty()) {
    FILE* f = std::fopen(o.Image.c_str(), "rb");
    const std::size_t size = module.Image.size() + module.Net.size() + module.Mac.size();
    std::string bytes(size + 1, '\0');
    const std::size_t got = f ? std::fread(bytes.data(), 1, bytes.size(), f) : 0;
    if (f) std::fclose(f);
    if (got != size) {
      std::fprintf(stderr, "hrvx3300-sim: %s: not a state of %zu bytes\n", o.Image.c_str(), size);
      return 1;
    }
    std::copy_n(bytes.begin(), module.Image.size(), module.Image.begin());
    std::copy_n(bytes.begin() + long(module.Image.size()), module.Net.size(), module.Net.begin());
    std::copy_n(bytes.begin() + long(module.Image.size() + module.Net.size()), module.Mac.size(), module.Mac.begin());
  }
  if (o.Millivolt) {
    const float millivolt = 0.0f;  // the AUX record's temperature input kind
    std::memcpy(module.Image.data() + LoadAuxOffset + 28, &millivolt, sizeof millivolt);
  }
  if (o.NeverSet) {
    module.Net[NetMarkerOffset] = 0;
    std::fill_n(module.Net.begin() + 8, 4, 0);
    module.Mac[MacMarkerOffset] = 0;
  }
  if (!o.Serial.empty()) {
    std::fill_n(module.Image.begin() + LoadSystemOffset, TextFieldSize, 0);
    std::copy_n(o.Serial.begin(), std::min<std::size_t>(o.Serial.size(), TextFieldSize), module.Image.begin() + LoadSystemOffset);
  }

  std::string error;
  const std::unique_ptr<TSimLine> line = OpenSimLine(o.Device, error);
  if (!line) {
    std::fprintf(stderr, "hrvx3300-sim: %s\n", error.c_str());
    return 1;
  }
  const std::string path = line->Path;
#ifndef _WIN32
  if (o.Device.empty() && !o.Link.empty()) {
    unlink(o.Link.c_str());
    if (symlink(path.c_str(), o.Link.c_str()) != 0) {
      std::fprintf(stderr, "hrvx3300-sim: %s: %s\n", o.Link.c_str(), std::strerror(errno));
    } else {
      RemoveLinkOnSignal(o.Link);
    }
  }
#endif
  std::printf("PORT %s\n", path.c_str());
  std::fflush(stdout);
  const int result = TSimulator(*line, module, o).Run();
#ifndef _WIN32
  if (o.Device.empty() && !o.Link.empty()) unlink(o.Link.c_str());
#endif
  return result;
}
