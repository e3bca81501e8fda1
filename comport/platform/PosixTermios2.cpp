// Speeds outside the termios table, through termios2 and BOTHER. Kept apart
// because the kernel's termios headers clash with the C library's.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

int SetCustomSpeed(int fd, unsigned speed) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return errno;
  t.c_cflag &= ~CBAUD;
  t.c_cflag |= BOTHER;
  t.c_cflag &= ~(CBAUD << IBSHIFT);
  t.c_cflag |= BOTHER << IBSHIFT;
  t.c_ispeed = speed;
  t.c_ospeed = speed;
  if (ioctl(fd, TCSETS2, &t) != 0) return errno;
  return 0;
}
