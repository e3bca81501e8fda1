#include "BatchReport.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <sstream>

namespace {

using json = nlohmann::ordered_json;  // the keys in the order written

const char* ActionName(TBatchAction action) {
  switch (action) {
    case baRead: return "read";
    case baWrite: return "write";
    case baCompare: return "compare";
    case baCheck: return "check";
    default: return "none";
  }
}

bool ValidUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0 || s.size() - i <= std::size_t(extra)) return false;
    for (int k = 1; k <= extra; ++k)
      if ((static_cast<unsigned char>(s[i + std::size_t(k)]) & 0xC0) != 0x80) return false;
    i += std::size_t(extra) + 1;
  }
  return true;
}

// A line of text for a person: control characters (C0 and C1) shown as
// \xNN, so that one record stays one line whatever a module's name holds.
std::string Printable(const std::string& utf8) {
  std::string out;
  char escape[8];
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x20 || c == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\x%02X", c);
      out += escape;
    } else if (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) < 0xA0) {
      std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(utf8[++i]));
      out += escape;
    } else {
      out += char(c);
    }
  }
  return out;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", seconds);
  return text;
}

// "CH1–CH3, AUX": runs of channels joined.
std::string Groups(const std::vector<TRecordGroup>& groups) {
  std::string out;
  for (std::size_t i = 0; i < groups.size();) {
    std::size_t end = i;
    while (end + 1 < groups.size() && groups[end] <= rgCh4 && groups[end + 1] == groups[end] + 1) ++end;
    if (!out.empty()) out += ", ";
    out += GroupName(groups[i]);
    if (end > i) out += (end == i + 1 ? ", " : "\u2013") + GroupName(groups[end]);
    i = end + 1;
  }
  return out;
}

std::vector<TRecordGroup> Planned(const TBatchOptions& o) {
  std::vector<TRecordGroup> groups = {rgCh1, rgCh2, rgCh3, rgCh4, rgAux, rgSystem};
  if (o.SetClock) groups.push_back(rgClock);
  if (o.WithAddress) groups.insert(groups.end(), {rgNet, rgMac});
  return groups;
}

std::string Who(const TPortResult& r) {
  if (r.Serial.empty() && r.Mac.empty()) return Utf8Text(r.Port);
  if (r.Mac.empty()) return Utf8Text(r.Port) + " [SN " + Utf8FromLatin1(r.Serial) + "]";  // the MAC address not read yet
  return Utf8Text(r.Port) + " [SN " + Utf8FromLatin1(r.Serial) + " MAC " + r.Mac + "]";
}

}  // namespace

std::string Utf8FromLatin1(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      out += char(c);
    } else {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string Utf8Text(const std::string& text) { return ValidUtf8(text) ? text : Utf8FromLatin1(text); }

std::string WrittenState(const TBatchOptions& o, const TPortResult& r) {
  std::vector<TRecordGroup> missing;
  for (TRecordGroup g : Planned(o))
    if (std::find(r.Written.begin(), r.Written.end(), g) == r.Written.end()) missing.push_back(g);
  if (r.Written.empty()) return "nothing written";
  if (missing.empty()) return Groups(r.Written) + " written";
  return Groups(r.Written) + " written; " + Groups(missing) + " not";
}

void ReportText(const TBatchOptions& o, const TPortResult& r, std::ostream& out, std::ostream& err) {
  const std::string who = Printable(Who(r));
  if (!r.Error.empty()) {
    // A message of several lines keeps the port's name on each.
    std::istringstream lines(Utf8Text(r.Error));
    for (std::string line; std::getline(lines, line);) err << who << ": error: " << Printable(line) << "\n";
    if (o.Action == baWrite && !r.Interrupted) err << who << ": " << WrittenState(o, r) << "\n";
    return;
  }
  if (r.Interrupted) return;  // the run's end says what each module holds
  const bool differs = !r.Differences.empty();
  if (o.Quiet && r.Status == bsSuccess) return;
  const int again = r.AnswersAskedAgain;
  const std::string asked = again == 0 ? std::string()
                            : "; " + std::to_string(again) + (again == 1 ? " answer" : " answers") +
                                  " asked for again (the line garbles them)";
  out << who << ": " << Printable(r.Summary) << asked << " in " << Seconds(r.Seconds) << " s\n";
  const char* expected = o.Action == baWrite ? "sent" : "file";
  if (differs)
    for (const TDifference& d : r.Differences)
      out << who << ": " << d.Caption << ": " << expected << " " << Printable(Utf8FromLatin1(d.File)) << ", module "
          << Printable(Utf8FromLatin1(d.Module)) << "\n";
}

std::string InvalidSummary(const TBatchOptions& o, const std::vector<TInvalidValue>& invalid) {
  const std::size_t n = invalid.size();
  return std::to_string(n) + (n == 1 ? " value" : " values") + " the module cannot hold as written" +
         (o.Action == baCheck ? std::string() : "; no module was touched");
}

void ReportInvalid(const TBatchOptions&, const TPortResult& r, std::ostream& err) {
  const std::string name = r.File == "-" ? std::string("standard input") : Utf8Text(r.File);
  for (const TInvalidValue& v : r.Invalid) {
    // A hostile value (thousands of characters, controls) stays one short line.
    std::string value = Utf8Text(v.Value);
    if (value.size() > 40) {
      std::size_t cut = 40;
      while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) --cut;  // a whole character
      value = value.substr(0, cut) + "\u2026";
    }
    err << Printable(name) << ": line " << v.Line << ", " << v.Caption << " \"" << Printable(value) << "\": " << v.Reason
        << "\n";
  }
  err << Printable(name) << ": " << r.Error << "\n";
}

std::string StateLine(const TBatchOptions& o, const TPortResult& r) {
  const std::string state = !r.Interrupted       ? "done"
                            : r.Written.empty() ? "untouched"
                                                : "partly written: " + WrittenState(o, r);
  return Printable(Who(r)) + ": " + state + "\n";
}

std::string JsonRecord(const TBatchOptions& o, const TPortResult& r) {
  json record;
  record["port"] = Utf8Text(r.Port);
  record["module"] = r.Serial.empty() && r.Mac.empty() ? json(nullptr)
                                                       : json{{"serial", Utf8FromLatin1(r.Serial)}, {"mac", r.Mac}};
  record["action"] = ActionName(o.Action);
  record["file"] = Utf8Text(r.File);
  record["result"] = r.Result;
  record["status"] = r.Status;
  json written = json::array();
  for (TRecordGroup g : r.Written) written.push_back(GroupName(g));
  record["written"] = written;
  json unchecked = json::array();
  for (TRecordGroup g : r.Unchecked) unchecked.push_back(GroupName(g));
  record["unchecked"] = unchecked;
  record["verified"] = o.Action == baWrite ? json(r.Verified) : json(nullptr);
  record["failed_step"] = r.Status != bsSuccess && !r.Step.empty() ? json(r.Step) : json(nullptr);
  json differences = json::array();
  const char* expected = o.Action == baWrite ? "sent" : "file";
  for (const TDifference& d : r.Differences)
    differences.push_back({{"field", d.Caption}, {expected, Utf8FromLatin1(d.File)}, {"module", Utf8FromLatin1(d.Module)}});
  record["differences"] = differences;
  json invalid = json::array();
  for (const TInvalidValue& v : r.Invalid)
    invalid.push_back({{"line", v.Line}, {"field", v.Caption}, {"value", Utf8Text(v.Value)}, {"reason", v.Reason}});
  record["invalid"] = invalid;
  record["error"] = r.Error.empty() ? json(nullptr) : json(Utf8Text(r.Error));
  json retries = json::object();
  for (const auto& [what, count] : r.Retries) retries[what] = count;
  record["retries"] = retries;
  record["seconds"] = std::round(r.Seconds * 100) / 100;
  // ASCII out: a module's U+0085 or U+2028 is no line end to a reader.
  return record.dump(-1, ' ', true, json::error_handler_t::replace) + "\n";
}
