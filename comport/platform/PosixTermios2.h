// A termios block with a speed outside the termios table, set through
// termios2 (PosixTermios2.cpp). Plain numbers here: the kernel's termios
// header clashes with the C library's.
#pragma once

struct TTermiosFields {
  unsigned Iflag = 0, Oflag = 0, Cflag = 0, Lflag = 0;
  unsigned char Cc[19] = {};
};

// Sets the block and the speed (both directions) in one call, so the line
// never runs at another speed in between: 0 or the error.
int SetTermiosWithSpeed(int fd, const TTermiosFields& line, unsigned speed);
