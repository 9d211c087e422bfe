#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zorvel::test {

// Runs this test program again as a writer process: only the tests `gtestFilter` selects, with
// `environment` set and the write end of a pipe named by the variable `fdVariable`. The writer
// reports each step it has finished as a decimal number on its own line. Once `reportsBeforeKill`
// reports have come (or the pipe closed), the writer is killed with SIGKILL.
struct KilledWriter {
  long lastReported = 0;  // the last number read from the pipe, after the kill too
  bool killed = false;    // false: the writer ended on its own
};
KilledWriter runAndKillWriter(const std::string& gtestFilter,
                              const std::vector<std::pair<std::string, std::string>>& environment,
                              const std::string& fdVariable, int reportsBeforeKill);

}  // namespace zorvel::test
