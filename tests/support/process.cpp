// Child processes for the command-line tests.  Plain fork/exec and poll: the
// three pipes are serviced together so that neither side blocks on a full
// pipe, and a deadline kills a child that hangs instead of hanging the suite.
#include "support/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace cdedup::test {

double now_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

namespace {

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Threads of a running process, from /proc; 0 once it has gone.
int threads_of(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return 0;
  char line[256];
  int n = 0;
  while (std::fgets(line, sizeof line, f) != nullptr)
    if (std::sscanf(line, "Threads: %d", &n) == 1) break;
  std::fclose(f);
  return n;
}

// How often a running child's threads are counted.
constexpr int SAMPLE_MS = 5;

}  // namespace

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args, const Bytes& stdin_bytes,
                          int timeout_seconds) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_process(argv, stdin_bytes, timeout_seconds);
}

ProcessResult run_process(const std::vector<std::string>& argv_in, const Bytes& stdin_bytes, int timeout_seconds) {
  ProcessResult r;
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return r;
  }
  std::vector<std::string> argv_store = argv_in;
  std::vector<char*> argv;
  for (std::string& a : argv_store) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << strerror(errno);
    return r;
  }
  if (pid == 0) {
    dup2(in_pipe[0], STDIN_FILENO);
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    // As a shell starts it: the test's own disposition is not the child's.
    signal(SIGPIPE, SIG_DFL);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  int to_child = in_pipe[1], from_out = out_pipe[0], from_err = err_pipe[0];
  // A child that stops reading must not kill the test with SIGPIPE (the
  // child itself starts with the default disposition, as users run it).
  signal(SIGPIPE, SIG_IGN);
  fcntl(to_child, F_SETFL, O_NONBLOCK);

  size_t sent = 0;
  if (stdin_bytes.empty()) close_fd(to_child);
  const double deadline = now_seconds() + timeout_seconds;
  char buf[65536];
  while (to_child >= 0 || from_out >= 0 || from_err >= 0) {
    const double left = deadline - now_seconds();
    if (left <= 0) {
      kill(pid, SIGKILL);
      r.timed_out = true;
      break;
    }
    pollfd fds[3];
    int nfds = 0;
    if (to_child >= 0) fds[nfds++] = {to_child, POLLOUT, 0};
    if (from_out >= 0) fds[nfds++] = {from_out, POLLIN, 0};
    if (from_err >= 0) fds[nfds++] = {from_err, POLLIN, 0};
    r.max_threads = std::max(r.max_threads, threads_of(pid));
    const int ready = poll(fds, nfds_t(nfds), std::min(int(left * 1000) + 1, SAMPLE_MS));
    if (ready < 0 && errno == EINTR) continue;
    for (int i = 0; i < nfds; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == to_child) {
        const ssize_t w = write(to_child, stdin_bytes.data() + sent, stdin_bytes.size() - sent);
        if (w > 0) sent += size_t(w);
        if (w < 0 && errno != EAGAIN && errno != EINTR) close_fd(to_child);  // the child closed its end
        if (sent == stdin_bytes.size()) close_fd(to_child);
      } else {
        int& fd = fds[i].fd == from_out ? from_out : from_err;
        std::string& sink = fds[i].fd == from_out ? r.out : r.err;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
          sink.append(buf, size_t(n));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
          close_fd(fd);
      }
    }
  }
  close_fd(to_child);
  close_fd(from_out);
  close_fd(from_err);
  // Its pipes are closed, but it may still run (its threads winding down):
  // go on counting until it has exited, without reaping it yet.
  for (siginfo_t info{}; !r.timed_out; info = {}) {
    if (waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0) break;
    if (now_seconds() >= deadline) {
      kill(pid, SIGKILL);
      r.timed_out = true;
      break;
    }
    r.max_threads = std::max(r.max_threads, threads_of(pid));
    usleep(1000);
  }
  int wstatus = 0;
  rusage usage{};
  while (wait4(pid, &wstatus, 0, &usage) < 0 && errno == EINTR) {
  }
  r.peak_rss_kib = usage.ru_maxrss;
  if (WIFEXITED(wstatus))
    r.status = WEXITSTATUS(wstatus);
  else if (WIFSIGNALED(wstatus))
    r.status = 128 + WTERMSIG(wstatus);
  return r;
}

std::vector<std::string> cdedup_emulator() {
  std::vector<std::string> words;
  if (const char* emulator = std::getenv("CDEDUP_EMULATOR")) {
    std::istringstream in(emulator);
    for (std::string w; in >> w;) words.push_back(w);
  }
  return words;
}

std::vector<std::string> cdedup_argv(const std::vector<std::string>& args) {
  std::vector<std::string> argv = cdedup_emulator();
  argv.push_back(CDEDUP_BIN);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

std::string cdedup_shell() {
  std::string command;
  for (const std::string& w : cdedup_argv()) {
    if (!command.empty()) command += ' ';
    command += shell_quote(w);
  }
  return command;
}

ProcessResult run_cdedup(const std::vector<std::string>& args, const Bytes& stdin_bytes) {
  ProcessResult r = run_process(cdedup_argv(args), stdin_bytes);
  EXPECT_FALSE(r.timed_out) << "cdedup did not finish";
  return r;
}

ProcessResult run_bash(const std::string& script) {
  ProcessResult r = run_process("/bin/bash", {"-c", script});
  EXPECT_FALSE(r.timed_out) << script;
  return r;
}

std::string shell_quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

int messages_in(const std::string& err) {
  int n = 0;
  for (const std::string& line : split_lines(err))
    if (line.rfind("cdedup: ", 0) == 0) ++n;
  return n;
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/cdedup-test-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    return;
  }
  path_ = templ;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& name) const { return path_ + "/" + name; }

void write_file(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  if (!f) ADD_FAILURE() << "cannot write " << path;
}

Bytes read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  if (!f) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  // In one read where the size is known: tests read files of tens of MiB.
  const std::streamoff size = f.tellg();
  if (size >= 0 && f.seekg(0)) {
    Bytes b(size_t(size), 0);
    if (f.read(reinterpret_cast<char*>(b.data()), std::streamsize(size))) return b;
    f.clear();
    f.seekg(0);
  }
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

Bytes to_bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string to_string(const Bytes& b) { return std::string(b.begin(), b.end()); }

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

Bytes random_bytes(size_t n, uint64_t seed) {
  Bytes out(n);
  uint64_t x = seed;
  for (size_t i = 0; i < n; i += 8) {
    x += 0x9E3779B97F4A7C15ull;
    uint64_t z = x;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    for (size_t k = 0; k < 8 && i + k < n; ++k) out[i + k] = uint8_t(z >> (8 * k));
  }
  return out;
}

}  // namespace cdedup::test
