// Reading and saving a .dat file on POSIX systems.
#include "ConfigFile.h"

#include "SysUtils.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Reason(int error) { return std::strerror(error); }

}  // namespace

std::string ReadConfigText(const std::string& path) {
  const bool input = path == "-";
  const auto fail = [&](const std::string& why) { RaiseCannotOpen(path, why); };
  const auto tooLarge = [&] { RaiseCannotOpen(path, TooLargeReason()); };
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

void SaveConfigFile(const std::string& path, const TConfigFetch& fetch) {
  namespace fs = std::filesystem;
  const auto fail = [&path](int error) { RaiseCannotSave(path, Reason(error)); };
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
