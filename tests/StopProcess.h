// Ending a test's child process within a bound.
#pragma once

#include <csignal>

#include <sys/wait.h>
#include <unistd.h>

// Ends a child: SIGTERM, then SIGKILL once it has had grace milliseconds,
// so that a peer that does not end never holds a test up.
inline void StopProcess(pid_t pid, int graceMs = 5000) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int waited = 0; waited < graceMs && waitpid(pid, nullptr, WNOHANG) == 0; waited += 20) usleep(20000);
  if (waitpid(pid, nullptr, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}
