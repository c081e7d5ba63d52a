// Test helper: running a program and capturing what it writes (POSIX).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace testing_files {

struct TProcessResult {
  int Status = -1; // the exit status; 128 + signal number when a signal ended it
  std::string Out;
  std::string Err;
};

// Runs a program with the given arguments (the first is the program), standard input from
// input (or /dev/null), and captures standard output and standard error.
TProcessResult RunProcess(const std::vector<std::string>& arguments,
                          const std::optional<std::string>& input = std::nullopt);

} // namespace testing_files
