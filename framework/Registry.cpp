#include "Registry.h"

#include "IniFiles.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <strings.h>

namespace {

std::string RootFiles[2];

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

// Values are kept one a line: backslashes and line ends are escaped.
std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

std::string Unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    const char c = s[++i];
    out += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
  }
  return out;
}

// A value's name also escapes "=", which ends it, and a leading "[", which
// would make its line read as a key. Any name round-trips, the empty one
// (the key's default value) among them.
std::string EscapeName(const std::string& name) {
  std::string out = name.rfind('[', 0) == 0 ? "\\" : "";
  for (char c : name) {
    if (c == '=') out += "\\=";
    else if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

// Reads a name up to its "="; a backslash before any other character stays,
// as names were written before they were escaped. Returns the position of
// the "=", or npos.
std::size_t UnescapeName(const std::string& line, std::string& name) {
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '=') return i;
    if (c != '\\' || i + 1 == line.size()) {
      name += c;
      continue;
    }
    const char next = line[i + 1];
    if (next == '=' || next == '\\' || next == '[') name += next, ++i;
    else if (next == 'n') name += '\n', ++i;
    else if (next == 'r') name += '\r', ++i;
    else name += c;
  }
  return std::string::npos;
}

// A key path separates its parts with single backslashes and has no empty
// parts, so a doubled backslash never occurs in it: "\\n" and "\\r" stand
// for line ends inside a part.
std::string EscapeKey(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '\n') out += "\\\\n";
    else if (c == '\r') out += "\\\\r";
    else out += c;
  }
  return out;
}

std::string UnescapeKey(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 2 < text.size() && text[i + 1] == '\\' && (text[i + 2] == 'n' || text[i + 2] == 'r')) {
      out += text[i + 2] == 'n' ? '\n' : '\r';
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

struct TValue {
  std::string Name;  // as first written
  bool Integer = false;
  std::string Data;
};

// The store: key path (lower case) -> its spelling and values (by lower-case name).
struct TKey {
  std::string Path;
  std::map<std::string, TValue> Values;
};
using TStore = std::map<std::string, TKey>;

// The file format: a "[path]" line per key, then "name=s:text" or
// "name=i:123" lines; blank lines are allowed and CR LF line ends read like
// LF. Any other line makes the store unreadable: it raises, and since every
// write reads the store first, a store that cannot be read is never
// overwritten (and so never loses keys it could not read).
TStore Load(const std::string& file) {
  TStore store;
  std::ifstream in(file, std::ios::binary);
  std::string line;
  TKey* key = nullptr;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      const std::string path = UnescapeKey(line.substr(1, line.size() - 2));
      key = &store[Lower(path)];
      key->Path = path;
      continue;
    }
    TValue v;
    const auto eq = UnescapeName(line, v.Name);
    if (!key || eq == std::string::npos || line.size() < eq + 3 || line[eq + 2] != ':' ||
        (line[eq + 1] != 's' && line[eq + 1] != 'i'))
      throw ERegistryException("The settings store \"" + file + "\" cannot be read: line " + std::to_string(number) +
                               " is not a key or a value");
    v.Integer = line[eq + 1] == 'i';
    v.Data = Unescape(line.substr(eq + 3));
    key->Values[Lower(v.Name)] = v;
  }
  return store;
}

// A stored integer: decimal digits with an optional minus, in 32 bits.
bool ParseInteger(const std::string& text, int& value) {
  std::size_t i = text.size() > 1 && text[0] == '-' ? 1 : 0;
  if (i == text.size()) return false;
  long long n = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    n = n * 10 + (text[i] - '0');
    if (n > 2147483648LL) return false;
  }
  if (text[0] == '-') n = -n;
  if (n < INT32_MIN || n > INT32_MAX) return false;
  value = int(n);
  return true;
}

void Save(const std::string& file, const TStore& store) {
  std::string data;
  for (const auto& [_, key] : store) {
    data += "[" + EscapeKey(key.Path) + "]\n";
    for (const auto& [__, v] : key.Values)
      data += EscapeName(v.Name) + "=" + (v.Integer ? "i:" : "s:") + Escape(v.Data) + "\n";
  }
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ec);
  WriteFileAtomically(file, data);
}

std::string Normal(std::string path) {
  // Backslashes separate the parts; empty parts are dropped.
  std::string out, part;
  path += '\\';
  for (char c : path) {
    if (c != '\\') {
      part += c;
    } else if (!part.empty()) {
      out += (out.empty() ? "" : "\\") + part;
      part.clear();
    }
  }
  return out;
}

}  // namespace

std::string TRegistry::RootFile(THKey root) {
  if (!RootFiles[root].empty()) return RootFiles[root];
  if (root == HKEY_LOCAL_MACHINE) return "/etc/hrvx3300/registry";
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  const std::string base = config && *config ? config : std::string(home ? home : ".") + "/.config";
  return base + "/hrvx3300/registry";
}

void TRegistry::SetRootFile(THKey root, const std::string& path) { RootFiles[root] = path; }

bool TRegistry::OpenKey(const std::string& path, bool canCreate) {
  const std::string key = Normal(path);
  TStore store = Load(RootFile(RootKey));
  const bool exists = key.empty() || store.count(Lower(key)) != 0;
  if (!exists) {
    if (!canCreate) return false;
    // The key and every missing parent.
    std::string partial;
    for (std::size_t i = 0; i <= key.size(); ++i) {
      if (i == key.size() || key[i] == '\\') {
        partial = key.substr(0, i);
        TKey& k = store[Lower(partial)];
        if (k.Path.empty()) k.Path = partial;
      }
    }
    try {
      Save(RootFile(RootKey), store);
    } catch (const Exception&) {
      return false;
    }
  }
  FCurrentKey = key;
  FOpen = true;
  return true;
}

void TRegistry::CheckOpen() const {
  if (!FOpen) throw ERegistryException("No registry key is open");
}

void TRegistry::Write(const std::string& name, bool integer, const std::string& data) {
  CheckOpen();
  TStore store = Load(RootFile(RootKey));
  TKey& key = store[Lower(FCurrentKey)];
  if (key.Path.empty()) key.Path = FCurrentKey;
  const bool known = key.Values.count(Lower(name)) != 0;
  TValue& v = key.Values[Lower(name)];
  if (!known) v.Name = name;
  v.Integer = integer;
  v.Data = data;
  Save(RootFile(RootKey), store);
}

void TRegistry::WriteString(const std::string& name, const std::string& value) { Write(name, false, value); }

void TRegistry::WriteInteger(const std::string& name, int value) { Write(name, true, std::to_string(value)); }

std::string TRegistry::ReadString(const std::string& name) {
  if (!FOpen) return "";  // no key: nothing is found
  const TStore store = Load(RootFile(RootKey));
  const auto key = store.find(Lower(FCurrentKey));
  if (key == store.end()) return "";
  const auto v = key->second.Values.find(Lower(name));
  if (v == key->second.Values.end()) return "";
  if (v->second.Integer) throw ERegistryException("Invalid data type for '" + name + "'");
  return v->second.Data;
}

int TRegistry::ReadInteger(const std::string& name) {
  const TValue* v = nullptr;
  TStore store;
  if (FOpen) {
    store = Load(RootFile(RootKey));
    const auto key = store.find(Lower(FCurrentKey));
    if (key != store.end()) {
      const auto it = key->second.Values.find(Lower(name));
      if (it != key->second.Values.end()) v = &it->second;
    }
  }
  int value = 0;
  if (!v || !v->Integer) throw ERegistryException("Invalid data type for '" + name + "'");
  if (!ParseInteger(v->Data, value)) throw ERegistryException("Invalid integer value for '" + name + "'");
  return value;
}

bool TRegistry::ValueExists(const std::string& name) {
  if (!FOpen) return false;
  const TStore store = Load(RootFile(RootKey));
  const auto key = store.find(Lower(FCurrentKey));
  return key != store.end() && key->second.Values.count(Lower(name)) != 0;
}
