#include "support/address_space.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

size_t address_space_in_use() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7)) * 1024;
  return 0;
}

bool limit_address_space(size_t extra) {
  const size_t in_use = address_space_in_use();
  const rlimit limit{in_use + extra, in_use + extra};
  return in_use != 0 && setrlimit(RLIMIT_AS, &limit) == 0;
}

static bool probe_limit() {
  const pid_t pid = fork();
  if (pid == 0) {
    if (!limit_address_space(size_t{512} << 20)) _exit(1);
    void* p = mmap(nullptr, size_t{1} << 30, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    _exit(p == MAP_FAILED ? 0 : 1);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool address_space_limit_holds() {
  static const bool holds = probe_limit();
  return holds;
}
