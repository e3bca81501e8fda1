// INI files and atomic writes on POSIX systems: the private-profile meaning
// done by hand.
#include "IniFiles.h"

#include "SysUtils.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <strings.h>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  const auto e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

bool SameName(const std::string& a, const std::string& b) { return ::strcasecmp(a.c_str(), b.c_str()) == 0; }

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The section name of a "[name]" line, or false.
bool SectionOf(const std::string& line, std::string& name) {
  const std::string t = Trim(line);
  if (t.size() < 2 || t.front() != '[' || t.back() != ']') return false;
  name = Trim(t.substr(1, t.size() - 2));
  return true;
}

// The key and value of a "key=value" line, or false.
bool EntryOf(const std::string& line, std::string& key, std::string& value) {
  const std::string t = Trim(line);
  if (t.empty() || t[0] == ';') return false;
  const auto eq = t.find('=');
  if (eq == std::string::npos) return false;
  key = Trim(t.substr(0, eq));
  value = Trim(t.substr(eq + 1));
  return true;
}

}  // namespace

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& fallback) const {
  bool inSection = false;
  for (const std::string& line : ReadLines(FileName)) {
    std::string name, k, v;
    if (SectionOf(line, name))
      inSection = SameName(name, section);
    else if (inSection && EntryOf(line, k, v) && SameName(k, key))
      return v;
  }
  return fallback;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  std::vector<std::string> lines = ReadLines(FileName);
  bool inSection = false, written = false;
  std::size_t sectionEnd = std::string::npos;  // where to add the key if the section lacks it
  for (std::size_t i = 0; i < lines.size() && !written; ++i) {
    std::string name, k, v;
    if (SectionOf(lines[i], name)) {
      if (inSection) break;
      inSection = SameName(name, section);
      if (inSection) sectionEnd = i + 1;
    } else if (inSection) {
      if (EntryOf(lines[i], k, v) && SameName(k, key)) {
        lines[i] = k + "=" + value;
        written = true;
      } else if (!Trim(lines[i]).empty()) {
        sectionEnd = i + 1;
      }
    }
  }
  if (!written) {
    if (sectionEnd == std::string::npos) {
      if (!lines.empty() && !Trim(lines.back()).empty()) lines.push_back("");
      lines.push_back("[" + section + "]");
      lines.push_back(key + "=" + value);
    } else {
      lines.insert(lines.begin() + long(sectionEnd), key + "=" + value);
    }
  }
  std::string data;
  for (const std::string& line : lines) data += line + "\r\n";
  WriteFileAtomically(FileName, data);
}

std::string TryWriteFileAtomically(const std::string& path, const std::string& data) {
  const auto slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  std::string temp = folder + "/.write-XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return std::strerror(errno);
  struct stat st {};
  mode_t mode = 0644;
  if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
  std::size_t done = 0;
  int error = 0;
  while (done < data.size() && error == 0) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno != EINTR) error = errno;
    if (n > 0) done += std::size_t(n);
  }
  if (error == 0 && (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0)) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error == 0) return {};
  ::unlink(temp.c_str());
  return std::strerror(error);
}
