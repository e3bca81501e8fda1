#include "ConfigFile.h"

#include "SysUtils.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::vector<TConfigLine> MakeLayout() {
  static const TConfigLine ChannelBlock[] = {
      {"Edit_Name_Ch", ckText},      {"ComboBox_Used_Ch", ckIndex}, {"CheckBox_Inp_Type", ckCheck},
      {"CheckBox_SS_Ch", ckCheck},   {"ComboBox_Unit_Ch", ckIndex}, {"ComboBox_VChk_Ch", ckIndex},
      {"Edit_Damger_Ch", ckText},    {"Edit_Alert_Ch", ckText},     {"ComboBox_Relay_Ch", ckIndex},
      {"ComboBox_Atype_Ch", ckIndex}, {"Edit_Dtyme_Ch", ckText},    {"ComboBox_Ttype_Ch", ckIndex},
      {"Edit_Ttyme_Ch", ckText},     {"Edit_Max_Ch", ckText},       {"Edit_Min_Ch", ckText},
      {"Edit_Scale_Ch", ckText},     {"Edit_Offset_Ch", ckText},    {"Edit_Curr_Max_Ch", ckText},
      {"Edit_Curr_Min_Ch", ckText},
  };
  std::vector<TConfigLine> layout;
  for (int channel = 1; channel <= 4; ++channel)
    for (const TConfigLine& line : ChannelBlock) layout.push_back({line.Control + std::to_string(channel), line.Kind});
  const TConfigLine Rest[] = {
      {"ComboBox_Used_Temp", ckIndex},     {"ComboBox_Used_Rpm", ckIndex},     {"ComboBox_Cnt_Rpm", ckIndex},
      {"Edit_Speed_H1", ckText},           {"Edit_Speed_L1", ckText},          {"ComboBox_EvCnt", ckIndex},
      {"Edit_Node1", ckText},              {"ComboBox_Com_Baud_S1", ckIndex},  {"ComboBox_Com_Data_S1", ckIndex},
      {"ComboBox_Com_Stop_S1", ckIndex},   {"ComboBox_Com_Parity_S1", ckIndex}, {"Edit_Serial_Nu_Ch1", ckText},
      {"Edit_Src_Ip1", ckText},            {"Edit_Src_Ip2", ckText},           {"Edit_Src_Ip3", ckText},
      {"Edit_Src_Ip4", ckText},            {"Edit_Mac1", ckText},              {"Edit_Mac2", ckText},
      {"Edit_Mac3", ckText},               {"Edit_Mac4", ckText},              {"Edit_Mac5", ckText},
      {"Edit_Mac6", ckText},
  };
  layout.insert(layout.end(), std::begin(Rest), std::end(Rest));
  return layout;
}

std::string Reason(int error) { return std::strerror(error); }

}  // namespace

const std::vector<TConfigLine>& ConfigLayout() {
  static const std::vector<TConfigLine> layout = MakeLayout();
  return layout;
}

bool ReadConfigLine(std::istream& in, TLineClass lineClass, std::string& line) {
  line.clear();
  std::streambuf* buf = in.rdbuf();
  constexpr int eof = std::char_traits<char>::eof();
  for (;;) {
    int c = buf->sbumpc();
    if (c == eof) return !line.empty();
    if (c == '\r') {
      const int next = buf->sgetc();
      if (next == '\n' || next == eof) {  // CR LF, or a CR cut off from its LF
        if (next == '\n') buf->sbumpc();
        return true;
      }
    } else if (c == '\n') {
      return true;
    }
    if (lineClass == lcNumber && line.size() == NumberLineLength) return false;
    line += static_cast<char>(c);
  }
}

void ReadConfig(std::istream& in, const TConfigApply& apply) {
  const auto& layout = ConfigLayout();
  for (int i = 0; i < static_cast<int>(layout.size()); ++i) {
    const TConfigLine& item = layout[i];
    std::string line;
    if (!ReadConfigLine(in, item.Kind == ckText ? lcText : lcNumber, line)) {
      if (i < ConfigOptionalFrom) return;
      continue;
    }
    TConfigValue value;
    if (item.Kind == ckText)
      value.Text = line;
    else
      value.Number = StrToInt(line);
    apply(item, value);
  }
}

void WriteConfig(std::ostream& out, const TConfigFetch& fetch) {
  for (const TConfigLine& item : ConfigLayout()) {
    const TConfigValue value = fetch(item);
    if (item.Kind == ckText)
      out << value.Text;
    else
      out << value.Number;
    out << "\r\n";
  }
}

std::string ReadConfigText(const std::string& path) {
  const bool input = path == "-";
  const std::string name = input ? "standard input" : "\"" + path + "\"";
  const auto fail = [&](const std::string& why) -> std::string { throw Exception("Cannot open " + name + ": " + why); };
  const auto tooLarge = [&] {
    fail("it holds more than " + std::to_string(MaxConfigFileSize >> 20) + " MiB, and a configuration holds about 1 KiB");
  };
  int fd = STDIN_FILENO;
  if (!input) {
    // Looked at before it is opened: opening a FIFO would wait for a writer.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) fail(Reason(errno));
    if (S_ISDIR(st.st_mode)) fail(Reason(EISDIR));
    if (!S_ISREG(st.st_mode)) fail("it is not a regular file");
    if (std::size_t(st.st_size) > MaxConfigFileSize) tooLarge();
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) fail(Reason(errno));
  }
  std::string text;
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      if (!input) ::close(fd);
      fail(Reason(error));
    }
    if (n == 0) break;
    text.append(chunk, std::size_t(n));
    if (text.size() > MaxConfigFileSize) {
      if (!input) ::close(fd);
      tooLarge();
    }
  }
  if (!input) ::close(fd);
  return text;
}

void LoadConfigFile(const std::string& path, const TConfigApply& apply) {
  std::istringstream in(ReadConfigText(path));
  ReadConfig(in, apply);
}

void SaveConfigFile(const std::string& path, const TConfigFetch& fetch) {
  namespace fs = std::filesystem;
  const auto fail = [&path](int error) {
    throw Exception("Cannot save \"" + path + "\": " + Reason(error) + ". The previous file is unchanged.");
  };
  std::ostringstream text;
  WriteConfig(text, fetch);
  const std::string data = text.str();

  // Replace what a symbolic link points to, not the link.
  std::error_code ec;
  fs::path target = path;
  if (fs::is_symlink(target, ec)) target = fs::weakly_canonical(target, ec);
  if (fs::is_directory(target, ec)) fail(EISDIR);

  // A new file gets the usual mode; a replaced one keeps its own.
  mode_t mode = 0666;
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode &= ~mask;
  }

  fs::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  std::string temp = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) fail(errno);
  const auto abandon = [&](int error) {
    ::close(fd);
    ::unlink(temp.c_str());
    fail(error);
  };
  for (std::size_t done = 0; done < data.size();) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      abandon(errno);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) abandon(errno);
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    fail(error);
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    fail(error);
  }
}
