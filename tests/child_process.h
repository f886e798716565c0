// Runs a function in a forked child with its standard output on a pipe; used by
// tests of reports that end the process.
#pragma once
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

struct ChildResult {
  std::string out;
  bool exited = false;
  int status = -1;  // exit status when exited
};

// Everything that can still be read from `fd`, until its end.
inline std::string read_all(int fd) {
  std::string all;
  char buf[4096];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) all.append(buf, static_cast<size_t>(n));
  return all;
}

inline ChildResult run_in_child(const std::function<void()>& fn) {
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    fn();
    std::fflush(stdout);
    _exit(0);
  }
  close(fds[1]);
  ChildResult r;
  r.out = read_all(fds[0]);
  close(fds[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  r.exited = WIFEXITED(st);
  r.status = r.exited ? WEXITSTATUS(st) : -1;
  return r;
}
