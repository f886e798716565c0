// Runs a function in a forked child and returns what it wrote to standard
// output and how it ended; used by tests of reports that end the process.
#pragma once
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

struct ChildResult {
  std::string out;
  bool exited = false;
  int status = -1;  // exit status when exited
};

namespace child_process_detail {
// Reads the child's standard output from `fd` until it closes, then waits for it.
inline ChildResult collect(pid_t pid, int fd) {
  ChildResult r;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) r.out.append(buf, static_cast<size_t>(n));
  close(fd);
  int st = 0;
  waitpid(pid, &st, 0);
  r.exited = WIFEXITED(st);
  r.status = r.exited ? WEXITSTATUS(st) : -1;
  return r;
}

// Forks; the child, with its standard output on a pipe, runs `body` and exits.
template <typename Body>
ChildResult fork_with_pipe(const Body& body) {
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    body();
  }
  close(fds[1]);
  return collect(pid, fds[0]);
}
}  // namespace child_process_detail

inline ChildResult run_in_child(const std::function<void()>& fn) {
  return child_process_detail::fork_with_pipe([&] {
    fn();
    std::fflush(stdout);
    _exit(0);
  });
}

// Runs the program `path` with `args` (argv[1] onwards) in a child process.
inline ChildResult run_program(const std::string& path, const std::vector<std::string>& args) {
  return child_process_detail::fork_with_pipe([&] {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
  });
}
