#include "support/terminal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace cdedup::test {

TtyResult run_with_tty(const TtyRun& job, int timeout_seconds) {
  TtyResult r;
  signal(SIGPIPE, SIG_IGN);
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "openpty: " << strerror(errno);
    return r;
  }
  termios raw;
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  int out_pipe[2], err_pipe[2], in_pipe[2] = {-1, -1};
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 ||
      (!job.feed.empty() && pipe2(in_pipe, O_CLOEXEC) != 0)) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return r;
  }
  std::vector<std::string> store = cdedup_argv(job.args);
  std::vector<char*> argv;
  for (std::string& a : store) argv.push_back(a.data());
  argv.push_back(nullptr);

  const double start = now_seconds();
  const pid_t pid = fork();
  if (pid == 0) {
    int in = in_pipe[0];
    if (job.stdin_tty)
      in = slave;
    else if (job.feed.empty())
      in = open(job.stdin_file.c_str(), O_RDONLY);
    dup2(in, STDIN_FILENO);
    dup2(job.stdout_tty ? slave : out_pipe[1], STDOUT_FILENO);
    dup2(job.stderr_tty ? slave : err_pipe[1], STDERR_FILENO);
    signal(SIGPIPE, SIG_DFL);  // as a shell starts it
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(slave);
  close(out_pipe[1]);
  close(err_pipe[1]);
  std::thread feeder;
  if (!job.feed.empty()) {
    close(in_pipe[0]);
    feeder = std::thread([&job, fd = in_pipe[1]] {
      for (const Bytes& piece : job.feed) {
        size_t sent = 0;
        while (sent < piece.size()) {
          const ssize_t n = write(fd, piece.data() + sent, piece.size() - sent);
          if (n < 0 && errno == EINTR) continue;
          if (n <= 0) {
            close(fd);
            return;
          }
          sent += size_t(n);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(job.feed_pause_ms));
      }
      close(fd);
    });
  }

  // A pty master reports EIO once the child's side is closed: that is its end of file.
  int fds[3] = {master, out_pipe[0], err_pipe[0]};
  std::string* sinks[3] = {&r.tty, &r.out, &r.err};
  const double deadline = start + timeout_seconds;
  char buf[65536];
  for (;;) {
    pollfd p[3];
    int idx[3], n = 0;
    for (int i = 0; i < 3; ++i)
      if (fds[i] >= 0) {
        p[n] = {fds[i], POLLIN, 0};
        idx[n++] = i;
      }
    if (n == 0) break;
    const double left = deadline - now_seconds();
    if (left <= 0) {
      kill(pid, SIGKILL);
      r.timed_out = true;
      break;
    }
    if (poll(p, nfds_t(n), int(left * 1000) + 1) < 0 && errno != EINTR) break;
    for (int k = 0; k < n; ++k) {
      if (p[k].revents == 0) continue;
      const int i = idx[k];
      const ssize_t got = read(fds[i], buf, sizeof buf);
      if (got > 0) {
        sinks[i]->append(buf, size_t(got));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        close(fds[i]);
        fds[i] = -1;
      }
    }
  }
  for (int fd : fds)
    if (fd >= 0) close(fd);
  int ws = 0;
  while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
  }
  if (feeder.joinable()) feeder.join();
  r.seconds = now_seconds() - start;
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  EXPECT_FALSE(r.timed_out) << "cdedup did not finish";
  return r;
}

}  // namespace cdedup::test
