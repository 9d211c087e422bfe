#include "support/killed_writer.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace zorvel::test {

KilledWriter runAndKillWriter(const std::string& gtestFilter,
                              const std::vector<std::pair<std::string, std::string>>& environment,
                              const std::string& fdVariable, int reportsBeforeKill) {
  KilledWriter result;
  int fds[2];
  if (pipe(fds) != 0) return result;
  const std::string filter = "--gtest_filter=" + gtestFilter;
  const pid_t child = fork();
  if (child < 0) return result;
  if (child == 0) {
    close(fds[0]);
    for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
    setenv(fdVariable.c_str(), std::to_string(fds[1]).c_str(), 1);
    execl("/proc/self/exe", "/proc/self/exe", filter.c_str(), nullptr);
    std::_Exit(127);
  }
  close(fds[1]);

  std::string received;
  char buffer[4096];
  while (std::count(received.begin(), received.end(), '\n') < reportsBeforeKill) {
    const ssize_t got = read(fds[0], buffer, sizeof buffer);
    if (got <= 0) break;
    received.append(buffer, static_cast<std::size_t>(got));
  }
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  result.killed = WIFSIGNALED(status);
  for (ssize_t got; (got = read(fds[0], buffer, sizeof buffer)) > 0;)
    received.append(buffer, static_cast<std::size_t>(got));
  close(fds[0]);

  std::size_t start = 0;
  for (std::size_t end; (end = received.find('\n', start)) != std::string::npos; start = end + 1)
    result.lastReported = std::stol(received.substr(start, end - start));
  return result;
}

}  // namespace zorvel::test
