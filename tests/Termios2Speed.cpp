// Reads the output speed of a terminal through termios2, which also holds
// speeds outside the termios table. Apart: the kernel's headers clash with
// the C library's.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

unsigned Termios2OutputSpeed(int fd) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}

unsigned Termios2InputSpeed(int fd) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return 0;
  return t.c_ispeed;
}
