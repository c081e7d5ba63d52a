// Benchmark files and timings. Each case runs in its own process so that the peak is its own:
//   tarnwick_bench generate-single N FILE    one-name lines "0.0.0.0 hostNNNNNN.example"
//   tarnwick_bench generate-pairs N FILE     N distinct addresses, two lines each
//   tarnwick_bench generate-long N FILE      "0.0.0.0 a", then one line of N names on 0.0.0.0
//   tarnwick_bench run FILE [OUTPUT]         load, optimize, save in this process (UTF-8, no
//                                            localhost lines): time, lines per second, peak
//   tarnwick_bench time RUNS COMMAND...      runs the command RUNS times (its standard output to
//                                            /dev/null) and prints the best wall time in seconds
//                                            and the largest peak memory in KiB
//   tarnwick_bench lookup RUNS NAME HOSTCONF FILE...
//                                            as root in a private mount namespace (unshare -m):
//                                            the time glibc's getaddrinfo takes to answer NAME
//                                            from each FILE bound over /etc/hosts (with
//                                            nsswitch.conf "hosts: files" and HOSTCONF over
//                                            /etc/host.conf), the files taken in turn, one
//                                            lookup a fresh process, RUNS times; prints each
//                                            file's median in milliseconds
#include <fcntl.h>
#include <netdb.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "uHosts.h"

namespace {

std::u16string Widen(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

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

bool Bind(const char* file, const char* over) {
  if (mount(file, over, nullptr, MS_BIND, nullptr) == 0)
    return true;
  std::perror(over);
  return false;
}

// The time of one getaddrinfo of the name (either family), in a fresh process so that nothing
// of the lookup before is reused; -1 when it failed.
double LookupOnce(const char* name) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0)
    return -1;
  const pid_t child = fork();
  if (child == 0) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const auto start = std::chrono::steady_clock::now();
    const int failed = getaddrinfo(name, nullptr, &hints, &found);
    double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (failed != 0)
      ms = -1;
    else
      freeaddrinfo(found);
    _exit(write(pipeEnds[1], &ms, sizeof ms) == sizeof ms ? 0 : 1);
  }
  close(pipeEnds[1]);
  double ms = -1;
  if (child < 0 || read(pipeEnds[0], &ms, sizeof ms) != sizeof ms)
    ms = -1;
  close(pipeEnds[0]);
  int status = 0;
  if (child > 0)
    waitpid(child, &status, 0);
  return ms;
}

int Lookup(int runs, const char* name, const char* hostConf, int fileCount, char** files) {
  char nsswitch[] = "/tmp/tarnwick-bench-nsswitch-XXXXXX";
  const int fd = mkstemp(nsswitch);
  if (fd < 0 || write(fd, "hosts: files\n", 13) != 13)
    return 1;
  close(fd);
  const bool bound = Bind(nsswitch, "/etc/nsswitch.conf") && Bind(hostConf, "/etc/host.conf");
  unlink(nsswitch);
  if (!bound)
    return 1;
  std::vector<std::vector<double>> times(static_cast<size_t>(fileCount));
  for (int r = 0; r < runs; ++r) {
    for (int f = 0; f < fileCount; ++f) {
      if (!Bind(files[f], "/etc/hosts"))
        return 1;
      const double ms = LookupOnce(name);
      umount2("/etc/hosts", MNT_DETACH);
      if (ms < 0) {
        std::fprintf(stderr, "%s: no answer for %s\n", files[f], name);
        return 1;
      }
      times[static_cast<size_t>(f)].push_back(ms);
    }
  }
  for (std::vector<double>& t : times) {
    std::sort(t.begin(), t.end());
    std::printf("%.2f ", t[t.size() / 2]);
  }
  std::printf("\n");
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  if (argc >= 6 && std::strcmp(argv[1], "lookup") == 0)
    return Lookup(std::atoi(argv[2]), argv[3], argv[4], argc - 5, argv + 5);
  if (argc >= 4 && std::strcmp(argv[1], "time") == 0)
    return Time(std::atoi(argv[2]), argv + 3);
  if (argc == 4 && std::strncmp(argv[1], "generate-", 9) == 0)
    return Generate(argv[1], std::atol(argv[2]), argv[3]);
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "run") == 0)
    return Run(argv[2], argc == 4 ? argv[3] : "/dev/null");
  std::fprintf(stderr, "usage: tarnwick_bench generate-single|generate-pairs|generate-long N FILE\n"
                       "       tarnwick_bench run FILE [OUTPUT]\n"
                       "       tarnwick_bench time RUNS COMMAND...\n"
                       "       tarnwick_bench lookup RUNS NAME HOSTCONF FILE...\n");
  return 2;
}
