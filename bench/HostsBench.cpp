// Benchmark files and timings. Each case runs in its own process so that the peak is its own:
//   tarnwick_bench generate-single N FILE    one-name lines "0.0.0.0 hostNNNNNN.example"
//   tarnwick_bench generate-pairs N FILE     N distinct addresses, two lines each
//   tarnwick_bench generate-long N FILE      "0.0.0.0 a", then one line of N names on 0.0.0.0
//   tarnwick_bench run FILE [OUTPUT]         load, optimize, save in this process (UTF-8, no
//                                            localhost lines): time, lines per second, peak
//   tarnwick_bench time RUNS COMMAND...      runs the command RUNS times (its standard output to
//                                            /dev/null) and prints the best wall time in seconds
//                                            and the largest peak memory in KiB
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "uHosts.h"

namespace {

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

int Generate(const char* kind, long count, const char* file) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", file);
    return 1;
  }
  char line[96];
  if (std::strcmp(kind, "generate-single") == 0) {
    for (long i = 0; i < count; ++i)
      out.write(line, std::snprintf(line, sizeof line, "0.0.0.0 host%06ld.example\n", i));
  } else if (std::strcmp(kind, "generate-long") == 0) {
    out << "0.0.0.0 a\n0.0.0.0";
    for (long i = 0; i < count; ++i)
      out.write(line, std::snprintf(line, sizeof line, " n%ld.x", i));
    out << '\n';
  } else {
    // Each address twice: all of them once, then all of them again.
    for (int round = 0; round < 2; ++round)
      for (long i = 0; i < count; ++i)
        out.write(line, std::snprintf(line, sizeof line, "10.%ld.%ld.%ld pair%ld-%d.example\n",
                                      (i >> 16) & 255, (i >> 8) & 255, i & 255, i, round));
  }
  return out ? 0 : 1;
}

double PeakMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0; // ru_maxrss is in KiB on Linux
}

long CountLines(const char* file) {
  std::ifstream in(file, std::ios::binary);
  long lines = 0;
  char buffer[1 << 16];
  while (in) {
    in.read(buffer, sizeof buffer);
    for (std::streamsize i = 0; i < in.gcount(); ++i)
      lines += buffer[i] == '\n';
  }
  return lines;
}

int Run(const char* file, const char* output) {
  const long inputLines = CountLines(file);
  const auto start = std::chrono::steady_clock::now();
  int kept;
  int written;
  {
    THosts hosts;
    kept = hosts.LoadFromFile(Widen(file));
    if (kept < 0) {
      std::fprintf(stderr, "cannot load %s\n", file);
      return 1;
    }
    hosts.Optimize();
    written = hosts.Count();
    hosts.SaveOptions().IncludeLocalhost = false;
    if (!hosts.SaveToFile(Widen(output), EncodingUtf8)) {
      std::fprintf(stderr, "cannot save %s\n", output);
      return 1;
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%-14s %10ld lines  %9.3f s  %12.0f lines/s  peak %7.1f MiB  (%d kept, %d out)\n",
              std::strrchr(file, '/') ? std::strrchr(file, '/') + 1 : file, inputLines, seconds,
              static_cast<double>(inputLines) / seconds, PeakMiB(), kept, written);
  return 0;
}

// One whole run of a command: its wall time, and its peak memory from the kernel's account.
bool TimeOnce(char** command, double& seconds, long& peakKiB) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child < 0)
    return false;
  if (child == 0) {
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0)
      dup2(null, STDOUT_FILENO);
    execvp(command[0], command);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child)
    return false;
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  peakKiB = usage.ru_maxrss;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int Time(int runs, char** command) {
  double best = 0;
  long peak = 0;
  for (int i = 0; i < runs; ++i) {
    double seconds = 0;
    long kib = 0;
    if (!TimeOnce(command, seconds, kib)) {
      std::fprintf(stderr, "the command failed: %s\n", command[0]);
      return 1;
    }
    if (i == 0 || seconds < best)
      best = seconds;
    if (kib > peak)
      peak = kib;
  }
  std::printf("%.4f %ld\n", best, peak);
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "time") == 0)
    return Time(std::atoi(argv[2]), argv + 3);
  if (argc == 4 && std::strncmp(argv[1], "generate-", 9) == 0)
    return Generate(argv[1], std::atol(argv[2]), argv[3]);
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "run") == 0)
    return Run(argv[2], argc == 4 ? argv[3] : "/dev/null");
  std::fprintf(stderr, "usage: tarnwick_bench generate-single|generate-pairs|generate-long N FILE\n"
                       "       tarnwick_bench run FILE [OUTPUT]\n"
                       "       tarnwick_bench time RUNS COMMAND...\n");
  return 2;
}
