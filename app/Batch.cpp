#include "Batch.h"

#include "CPort.h"
#include "CPortTexts.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <sstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// The answer window of every command, as the window's Timer1 judges it.
constexpr int AnswerWindowMs = 200;

// The window's words, without the blanks that pad them in a message box.
std::string Words(const char* text) {
  std::string s = text;
  while (!s.empty() && s.front() == ' ') s.erase(0, 1);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

std::string JsonText(const std::string& bytes) {
  // Texts of the file and the module are 8-bit characters (Latin-1).
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else if (c < 0x80) {
      out += char(c);
    } else {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out + "\"";
}

const char* ActionName(TBatchAction action) {
  switch (action) {
    case baRead: return "read";
    case baWrite: return "write";
    case baCompare: return "compare";
    default: return "none";
  }
}

struct TPortResult {
  std::string Port;
  std::string File;
  int Status = bsSuccess;
  std::string Summary;  // what happened, for a person
  std::vector<TDifference> Differences;
  std::string Error;
  double Seconds = 0;
};

const char* ResultName(const TPortResult& r) {
  if (r.Status == bsSuccess) return "ok";
  if (!r.Error.empty()) return r.Status == bsModule ? "refused" : "error";
  return "differs";
}

TModuleImage LoadModule(TModuleLink& link, bool addresses) {
  TModuleImage image = link.LoadAll();
  if (addresses) link.LoadAddresses(image);
  return image;
}

// One module: the action, with what it found.
void RunPort(const TBatchOptions& o, const TConfiguration* file, TPortResult& r) {
  const auto start = Clock::now();
  try {
    TModuleLink link(r.Port);
    switch (o.Action) {
      case baRead: {
        TConfiguration::FromModule(LoadModule(link, true)).Save(r.File);
        r.Summary = "read the module into " + r.File;
        break;
      }
      case baWrite: {
        for (int ch = 1; ch <= 4; ++ch) link.SendChannel(ch, file->ChannelRecord(ch));
        link.SendAux(file->AuxRecord());
        link.SendSystem(file->SystemRecord(false));
        if (o.SetClock) {
          TClockRecord clock{};
          const std::time_t now = std::time(nullptr);
          std::tm local{};
          localtime_r(&now, &local);
          EncodeClockRecord(local, clock);
          link.SendClock(clock);
        }
        if (o.WithAddress) {
          link.SetNetAddress(file->NetRecord());
          link.SetMacAddress(file->MacRecord());
        }
        if (!o.Verify) {
          r.Summary = "wrote " + r.File + " (not verified)";
          break;
        }
        r.Differences = Compare(*file, LoadModule(link, o.WithAddress), o.WithAddress ? csSentAddresses : csSent);
        if (r.Differences.empty()) {
          r.Summary = "wrote " + r.File + " and verified it";
        } else {
          r.Status = bsModule;
          r.Summary = "wrote " + r.File + ", but the module differs in " + std::to_string(r.Differences.size()) +
                      (r.Differences.size() == 1 ? " field" : " fields");
        }
        break;
      }
      case baCompare: {
        r.Differences = Compare(*file, LoadModule(link, true), csAll);
        if (r.Differences.empty()) {
          r.Summary = "the module equals " + r.File;
        } else {
          r.Status = bsModule;
          r.Summary = std::to_string(r.Differences.size()) + (r.Differences.size() == 1 ? " field differs" : " fields differ") +
                      " from " + r.File;
        }
        break;
      }
      case baNone: break;
    }
  } catch (const EBatch& e) {
    r.Status = e.Status;
    r.Error = e.what();
  } catch (const EComPort& e) {
    r.Status = bsPort;
    r.Error = ComErrorText(e);
  } catch (const std::exception& e) {
    r.Status = bsPort;  // a file that cannot be saved
    r.Error = e.what();
  }
  r.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
}

void Report(const TBatchOptions& o, const TPortResult& r, std::ostream& out) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.2f", r.Seconds);
  if (o.Json) {
    out << "{\"port\":" << JsonText(r.Port) << ",\"action\":\"" << ActionName(o.Action) << "\",\"file\":" << JsonText(r.File)
        << ",\"result\":\"" << ResultName(r) << "\",\"status\":" << r.Status << ",\"differences\":[";
    for (std::size_t i = 0; i < r.Differences.size(); ++i) {
      const TDifference& d = r.Differences[i];
      out << (i ? "," : "") << "{\"field\":" << JsonText(d.Caption) << ",\"file\":" << JsonText(d.File)
          << ",\"module\":" << JsonText(d.Module) << "}";
    }
    out << "],\"error\":" << (r.Error.empty() ? "null" : JsonText(r.Error));
    out << ",\"seconds\":" << seconds << "}\n";
    return;
  }
  if (!r.Error.empty()) {
    // A message of several lines keeps the port's name on each.
    std::istringstream lines(r.Error);
    for (std::string line; std::getline(lines, line);) out << r.Port << ": error: " << line << "\n";
    return;
  }
  out << r.Port << ": " << r.Summary << " in " << seconds << " s\n";
  for (const TDifference& d : r.Differences)
    out << r.Port << ": " << d.Caption << ": file " << d.File << ", module " << d.Module << "\n";
}

}  // namespace

// ------------------------------------------------------------- arguments

TBatchOptions ParseBatchOptions(const std::vector<std::string>& args) {
  TBatchOptions o;
  const auto value = [&](std::size_t& i) -> std::string {
    if (i + 1 >= args.size()) throw Exception(args[i] + " needs a value");
    return args[++i];
  };
  const auto action = [&](TBatchAction a, std::size_t& i) {
    if (o.Action != baNone) throw Exception("only one of --read, --write and --compare at a time");
    o.Action = a;
    o.File = value(i);
  };
  bool batchOnly = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--port") o.Ports.push_back(value(i));
    else if (a.rfind("--port=", 0) == 0) o.Ports.push_back(a.substr(7));
    else if (a == "--read") action(baRead, i);
    else if (a == "--write") action(baWrite, i);
    else if (a == "--compare") action(baCompare, i);
    else if (a == "--no-verify") o.Verify = false, batchOnly = true;
    else if (a == "--set-clock") o.SetClock = true, batchOnly = true;
    else if (a == "--with-address") o.WithAddress = true, batchOnly = true;
    else if (a == "--json") o.Json = true, batchOnly = true;
    else throw Exception("unknown argument \"" + a + "\"");
  }
  if (o.Action == baNone && batchOnly) throw Exception("--no-verify, --set-clock, --with-address and --json go with --read, --write or --compare");
  if (o.Action != baWrite && (!o.Verify || o.SetClock || o.WithAddress))
    throw Exception("--no-verify, --set-clock and --with-address go with --write");
  if (o.Action != baNone && o.Ports.empty()) throw Exception("name at least one --port");
  if (o.Action == baNone && o.Ports.size() > 1) throw Exception("the window works on one --port");
  for (std::size_t i = 0; i < o.Ports.size(); ++i)
    for (std::size_t j = 0; j < i; ++j)
      if (o.Ports[i] == o.Ports[j]) throw Exception("--port " + o.Ports[i] + " is named twice");
  return o;
}

std::string FileForPort(const std::string& file, const std::string& port, bool severalPorts) {
  if (!severalPorts) return file;
  const std::string name = port.substr(port.rfind('/') == std::string::npos ? 0 : port.rfind('/') + 1);
  const auto slash = file.rfind('/');
  const auto dot = file.rfind('.');
  const std::size_t at = dot != std::string::npos && (slash == std::string::npos || dot > slash) ? dot : file.size();
  return file.substr(0, at) + "-" + name + file.substr(at);
}

// ---------------------------------------------------------------- running

int RunBatch(const TBatchOptions& o, std::ostream& out) {
  // The file is read and every value converted before a module is touched,
  // so a malformed file sends nothing.
  TConfiguration file;
  if (o.Action == baWrite || o.Action == baCompare) {
    try {
      file = TConfiguration::Load(o.File);
      (void)file.ToModule(true);
      if (o.WithAddress && !file.Values.count("Edit_Src_Ip1"))
        throw Exception("\"" + o.File + "\" has no IP and MAC address lines for --with-address");
      if (o.WithAddress) {
        (void)file.NetRecord();
        (void)file.MacRecord();
      }
    } catch (const std::exception& e) {
      if (o.Json)
        out << "{\"port\":null,\"action\":\"" << ActionName(o.Action) << "\",\"file\":" << JsonText(o.File)
            << ",\"result\":\"error\",\"status\":2,\"differences\":[],\"error\":" << JsonText(e.what()) << "}\n";
      else
        out << o.File << ": error: " << e.what() << "\n";
      return bsPort;
    }
  }
  std::vector<TPortResult> results(o.Ports.size());
  std::vector<std::thread> workers;
  for (std::size_t i = 0; i < o.Ports.size(); ++i) {
    results[i].Port = o.Ports[i];
    results[i].File = o.Action == baRead ? FileForPort(o.File, o.Ports[i], o.Ports.size() > 1) : o.File;
    workers.emplace_back([&o, &file, &r = results[i]] { RunPort(o, &file, r); });
  }
  for (std::thread& w : workers) w.join();
  int status = bsSuccess;
  for (const TPortResult& r : results) {
    Report(o, r, out);
    status = std::max(status, r.Status);
  }
  return status;
}

// ------------------------------------------------------------ module link

struct TModuleLink::TPort {
  TComPort Port;
};

TModuleLink::TModuleLink(const std::string& port) : FPort(std::make_unique<TPort>()) {
  TComPort& p = FPort->Port;
  p.SetPort(port);
  p.SetBaudRate(br115200);  // the module's line, as the window sets it
  p.SetDataBits(dbEight);
  p.SetStopBits(sbOneStopBit);
  p.Parity().SetBits(prNone);
  p.SetEvents({});  // no event thread: the exchanges read on their own
  p.Open();
}

TModuleLink::~TModuleLink() {
  try {
    FPort->Port.Close();
  } catch (...) {
  }
}

std::string TModuleLink::Exchange(const std::string& command, std::size_t want, const char* what) {
  TComPort& p = FPort->Port;
  p.ClearBuffer(true, false);  // what came before the command is no answer to it
  p.Write(command.data(), int(command.size()));
  const auto deadline = Clock::now() + std::chrono::milliseconds(AnswerWindowMs);
  std::string answer;
  while (answer.size() < want) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    // Waits for the bytes still wanted, or what is left of the window.
    p.Timeouts().SetReadInterval(0);
    p.Timeouts().SetReadTotalMultiplier(0);
    p.Timeouts().SetReadTotalConstant(int(left));
    std::string bytes;
    p.ReadStr(bytes, int(want - answer.size()));
    answer += bytes;
  }
  if (answer.empty()) throw EBatch(bsPort, Words(" Not Ready ") + ": no answer to the " + what + " within 200 ms");
  return answer;
}

void TModuleLink::Send(const std::string& command, const std::uint8_t* record, std::size_t size, const char* what) {
  Exchange(command, 1, what);  // any answer is the go-ahead
  FPort->Port.Write(record, int(size));
}

TModuleImage TModuleLink::LoadAll() {
  const std::string answer = Exchange("\x23", std::tuple_size_v<TLoadImage>, "load command (23)");
  TModuleImage image;
  if (answer.size() < image.Image.size())
    throw EBatch(bsModule, Words((" Load Error: the module answered " + std::to_string(answer.size()) + " of " +
                                  std::to_string(image.Image.size()) + " bytes ")
                                     .c_str()));
  std::copy_n(answer.begin(), image.Image.size(), image.Image.begin());
  return image;
}

void TModuleLink::LoadAddresses(TModuleImage& image) {
  const std::string net = Exchange(std::string("\x06\x81", 2), 25, "network address request (06 81)");
  if (net.size() < 25)
    throw EBatch(bsModule, "the module answered the network address request with " + std::to_string(net.size()) +
                               " of 25 bytes");
  std::copy_n(net.begin() + 3, 22, image.Net.begin());
  const std::string mac = Exchange(std::string("\x06\x91", 2), 10, "MAC address request (06 91)");
  if (mac.size() < 10)
    throw EBatch(bsModule, "the module answered the MAC address request with " + std::to_string(mac.size()) +
                               " of 10 bytes");
  std::copy_n(mac.begin() + 3, 7, image.Mac.begin());
}

void TModuleLink::SendChannel(int channel, const TChannelRecord& record) {
  std::uint8_t bytes[1 + 96];
  bytes[0] = std::uint8_t(channel);
  std::copy(record.begin(), record.end(), bytes + 1);
  Send("\x24", bytes, sizeof bytes, ("CH" + std::to_string(channel) + " settings command (24)").c_str());
}

void TModuleLink::SendAux(const TAuxRecord& record) { Send("\x26", record.data(), record.size(), "AUX settings command (26)"); }

void TModuleLink::SendSystem(const TSystemRecord& record) {
  Send("\x25", record.data(), record.size(), "SYSTEM settings command (25)");
}

void TModuleLink::SendClock(const TClockRecord& record) { Send("\x40", record.data(), record.size(), "clock command (40)"); }

void TModuleLink::SetNetAddress(const TNetRecord& record) {
  Exchange(AddressFrame(FrameNetAddress, record.data(), int(record.size())), 1, "network address frame");
}

void TModuleLink::SetMacAddress(const TMacRecord& record) {
  Exchange(AddressFrame(FrameMacAddress, record.data(), int(record.size())), 1, "MAC address frame");
}
