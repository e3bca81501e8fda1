// Speeds outside the termios table, through termios2 and BOTHER. Kept apart
// because the kernel's termios headers clash with the C library's.
#include "PosixTermios2.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>

int SetTermiosWithSpeed(int fd, const TTermiosFields& line, unsigned speed) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return errno;
  t.c_iflag = line.Iflag;
  t.c_oflag = line.Oflag;
  t.c_cflag = line.Cflag;
  t.c_lflag = line.Lflag;
  std::memcpy(t.c_cc, line.Cc, sizeof t.c_cc < sizeof line.Cc ? sizeof t.c_cc : sizeof line.Cc);
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = speed;
  t.c_ospeed = speed;
  if (ioctl(fd, TCSETS2, &t) != 0) return errno;
  return 0;
}
