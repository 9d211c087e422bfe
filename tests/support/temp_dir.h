#pragma once

// The temporary folder of tests and benchmarks (benchmarks include it as
// "tests/support/temp_dir.h"): header-only, so that it needs nothing the benchmarks do not link.

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace zorvel::test {

// A fresh folder "<prefix>-XXXXXX" under the system temporary directory, removed with everything
// in it when the object goes away. Throws std::runtime_error when no folder can be made.
class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "zorvel-test") {
    std::string pattern = (std::filesystem::temp_directory_path() / prefix).string() + "-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }
  // The path of an entry of the folder, as a string.
  std::string file(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace zorvel::test
