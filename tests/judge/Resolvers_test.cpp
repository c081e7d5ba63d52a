// The system's own readers of hosts files judge a run of the Linux program: glibc (getaddrinfo
// through the files backend, in a private mount namespace over private copies of the hosts file,
// nsswitch.conf and host.conf) and dnsmasq (addn-hosts, on 127.0.0.1 only). Every name of a
// document gets the same answers from the result as from the input, except what the run tells:
// the names --check lists as moved by the merge (each with the answers glibc gives before and
// after), and the names it drops (localhost names, names with forbidden characters, and the names
// of a first line behind a byte-order mark, which neither reader could read).
#ifndef _WIN32

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "OptimizeOracle.h"
#include "TestFiles.h"
#include "TestProcess.h"
#include "uHosts.h"

using testing_files::CorpusFolder;
using testing_files::ReadBytes;
using testing_files::RunningAsRoot;
using testing_files::RunProcess;
using testing_files::TempFolder;
using testing_files::WriteBytes;

namespace fs = std::filesystem;

namespace {

const std::string Mark = "\xEF\xBB\xBF";

// One document and the options of its run.
struct TDocument {
  std::string Name;
  std::string Bytes;
  std::vector<std::string> Options = {};
  size_t NameLimit = 0; // ask for at most about this many names (0: every one)
};

bool IsBlank(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r'); // isspace() in the C locale
}

std::string Folded(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c + ('a' - 'A'));
  return text;
}

// The names of a text as glibc reads them: lines end at LF, a '#' ends the line, fields are
// separated by blanks, and every field after the first is a name. The names of the first line
// come apart when the text starts with a byte-order mark, which hides that line from the readers.
void NamesOf(const std::string& text, std::set<std::string>& names,
             std::set<std::string>* hidden = nullptr) {
  size_t at = 0;
  bool first = true;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos)
      end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    line = line.substr(0, line.find('#'));
    std::vector<std::string> fields;
    for (size_t i = 0; i < line.size();) {
      while (i < line.size() && IsBlank(line[i]))
        ++i;
      size_t j = i;
      while (j < line.size() && !IsBlank(line[j]))
        ++j;
      if (j > i)
        fields.push_back(line.substr(i, j - i));
      i = j;
    }
    const bool behindMark = first && text.starts_with(Mark);
    first = false;
    for (size_t k = 1; k < fields.size(); ++k) {
      names.insert(fields[k]);
      if (behindMark && hidden)
        hidden->insert(Folded(fields[k]));
    }
  }
}

// A name the run drops by its rules: "localhost" (the run writes its own lines for it or none),
// or a name with a character that names may not hold.
bool DroppedByRule(const std::string& name) {
  return Folded(name) == "localhost" || name.find_first_of("*/=?\\") != std::string::npos;
}

// The answers of one reader: name, then lookup ("4", "6", "u"), then the addresses as given.
using TAnswers = std::map<std::pair<std::string, std::string>, std::string>;

TAnswers ReadAnswers(const std::string& text) {
  TAnswers answers;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t a = line.find('\t'), b = line.find('\t', a + 1);
    if (a != std::string::npos && b != std::string::npos)
      answers[{line.substr(0, a), line.substr(a + 1, b - a - 1)}] = line.substr(b + 1);
  }
  return answers;
}

std::string SortedSet(const std::string& answer) {
  std::set<std::string> items;
  std::istringstream words(answer);
  for (std::string word; words >> word;)
    items.insert(word);
  std::string out;
  for (const std::string& item : items)
    out += item + " ";
  return out;
}

// An address text as glibc writes the answer it gives from a line of that text: for an IPv4
// lookup, IPv4 (an IPv6 line of a mapped address answers that address, the IPv6 loopback
// 127.0.0.1); otherwise the address as it is.
std::string AnswerOf(const std::string& text, bool ipv4Lookup) {
  unsigned char bytes[16] = {};
  char out[INET6_ADDRSTRLEN] = {};
  if (inet_pton(AF_INET, text.c_str(), bytes) == 1)
    return inet_ntop(AF_INET, bytes, out, sizeof out);
  if (inet_pton(AF_INET6, text.c_str(), bytes) != 1)
    return "?";
  if (ipv4Lookup) {
    static const unsigned char Mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    static const unsigned char Loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    if (std::equal(Mapped, Mapped + 12, bytes))
      return inet_ntop(AF_INET, bytes + 12, out, sizeof out);
    if (std::equal(Loopback, Loopback + 16, bytes))
      return "127.0.0.1";
  }
  return inet_ntop(AF_INET6, bytes, out, sizeof out);
}

// The names --check lists as moved by the merge: (folded name, lookup) -> (before, after), the
// answers glibc gives from the addresses the report names.
using TMoves = std::map<std::pair<std::string, std::string>, std::pair<std::string, std::string>>;

TMoves ReadMoves(const std::string& report) {
  static const std::regex Line(
      R"(^    (\S+) \((IPv4|IPv6|either family)\): (\S+) \(line \d+\) -> (\S+) \(line \d+\)$)");
  TMoves moves;
  std::istringstream lines(report);
  std::string line;
  bool inMoves = false;
  while (std::getline(lines, line)) {
    if (line.starts_with("Names the merge makes resolve to another address:")) {
      inMoves = true;
      continue;
    }
    std::smatch match;
    if (!inMoves || !std::regex_match(line, match, Line))
      continue;
    const std::string lookup = match[2] == "IPv4" ? "4" : match[2] == "IPv6" ? "6" : "u";
    moves[{Folded(match[1]), lookup}] = {AnswerOf(match[3], lookup == "4"),
                                         AnswerOf(match[4], lookup == "4")};
  }
  return moves;
}

// A document run through the program, with the files the readers are asked about.
struct TCase {
  TDocument Document;
  fs::path Input, Output, NamesFile;
  std::vector<std::string> Names;
  std::set<std::string> Hidden; // behind a byte-order mark in the input, folded
  std::string Report;
  TMoves Moves;
};

// Writes the document, runs --check and the program on it, and picks the names to ask for.
void Prepare(TCase& c, const fs::path& folder, size_t index) {
  c.Input = folder / ("in" + std::to_string(index));
  c.Output = folder / ("out" + std::to_string(index));
  c.NamesFile = folder / ("names" + std::to_string(index));
  WriteBytes(c.Input, c.Document.Bytes);
  std::vector<std::string> check = {TARNWK_EXE, "--check"};
  check.insert(check.end(), c.Document.Options.begin(), c.Document.Options.end());
  check.push_back(c.Input.string());
  const auto checked = RunProcess(check);
  ASSERT_EQ(checked.Status, 0) << checked.Err;
  c.Report = checked.Out;
  c.Moves = ReadMoves(c.Report);
  std::vector<std::string> run = {TARNWK_EXE, "-s", "-o", c.Output.string()};
  run.insert(run.end(), c.Document.Options.begin(), c.Document.Options.end());
  run.push_back(c.Input.string());
  const auto ran = RunProcess(run);
  ASSERT_EQ(ran.Status, 0) << ran.Err;

  std::set<std::string> names;
  NamesOf(c.Document.Bytes, names, &c.Hidden);
  NamesOf(ReadBytes(c.Output), names);
  std::vector<std::string> all(names.begin(), names.end());
  if (c.Document.NameLimit != 0 && all.size() > c.Document.NameLimit) {
    // Every name that may be in question (listed again, moved, dropped), and an even sample of
    // the others.
    std::map<std::string, int> listed;
    std::istringstream words(c.Document.Bytes);
    for (std::string word; words >> word;)
      ++listed[Folded(word)];
    const size_t step = all.size() / c.Document.NameLimit + 1;
    std::vector<std::string> sample;
    for (size_t i = 0; i < all.size(); ++i) {
      const std::string& name = all[i];
      bool moved = false;
      for (const std::string lookup : {"4", "6", "u"})
        moved = moved || c.Moves.contains({Folded(name), lookup});
      if (i % step == 0 || listed[Folded(name)] > 1 || moved || DroppedByRule(name))
        sample.push_back(name);
    }
    all.swap(sample);
  }
  c.Names = all;
  std::string text;
  for (const std::string& name : c.Names)
    text += name + "\n";
  WriteBytes(c.NamesFile, text);
}

// glibc's answers for every case, before and after, with "multi off" (the first listing
// answers) and "multi on" (every listing): one private mount namespace for all.
struct TGlibcAnswers {
  TAnswers Before, After, BeforeAll, AfterAll;
};

std::vector<TGlibcAnswers> AskGlibc(const std::vector<TCase>& cases, const fs::path& folder) {
  WriteBytes(folder / "nsswitch.conf", "hosts: files\n");
  WriteBytes(folder / "host.conf.off", "multi off\n");
  WriteBytes(folder / "host.conf.on", "multi on\n");
  std::string jobs;
  for (size_t i = 0; i < cases.size(); ++i)
    for (const char* multi : {"off", "on"}) {
      jobs += cases[i].Input.string() + "\t" + multi + "\t" + cases[i].NamesFile.string() + "\t" +
              (folder / ("g-in-" + std::string(multi) + std::to_string(i))).string() + "\n";
      jobs += cases[i].Output.string() + "\t" + multi + "\t" + cases[i].NamesFile.string() + "\t" +
              (folder / ("g-out-" + std::string(multi) + std::to_string(i))).string() + "\n";
    }
  WriteBytes(folder / "jobs", jobs);
  const auto probe = RunProcess(
      {"/bin/sh", "-c",
       "exec unshare -m --propagation private \"$0\" glibc \"$1\" \"$2\" \"$3\" <\"$4\"",
       TARNWICK_PROBE, (folder / "nsswitch.conf").string(), (folder / "host.conf.off").string(),
       (folder / "host.conf.on").string(), (folder / "jobs").string()});
  EXPECT_EQ(probe.Status, 0) << probe.Err;
  std::vector<TGlibcAnswers> answers(cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto read = [&](const std::string& name) {
      return ReadAnswers(ReadBytes(folder / (name + std::to_string(i))));
    };
    answers[i] = {read("g-in-off"), read("g-out-off"), read("g-in-on"), read("g-out-on")};
  }
  return answers;
}

// Checks one case against glibc's answers; returns the faults found, one a line.
std::string JudgeByGlibc(const TCase& c, const TGlibcAnswers& a) {
  std::ostringstream faults;
  for (const std::string& name : c.Names) {
    const bool dropped = DroppedByRule(name) || c.Hidden.contains(Folded(name));
    for (const std::string lookup : {"4", "6", "u"}) {
      const std::pair<std::string, std::string> key{name, lookup};
      const std::string before = a.Before.at(key), after = a.After.at(key);
      const auto listed = c.Moves.find({Folded(name), lookup});
      // Asked for either family, a move within one family is told by that family's lookup.
      auto told = listed;
      if (told == c.Moves.end() && lookup == "u" && before != "-" && after != "-" &&
          (before.find(':') == std::string::npos) == (after.find(':') == std::string::npos))
        told = c.Moves.find({Folded(name), before.find(':') == std::string::npos ? "4" : "6"});
      if (before != after && !dropped) {
        if (told == c.Moves.end())
          faults << name << " (" << lookup << "): " << before << " -> " << after
                 << ", not told by --check\n";
        else if (told->second != std::pair{before, after})
          faults << name << " (" << lookup << "): " << before << " -> " << after
                 << ", but --check tells " << told->second.first << " -> " << told->second.second
                 << "\n";
      }
      if (listed != c.Moves.end() && before == after)
        faults << name << " (" << lookup << "): --check tells a move, glibc answers " << before
               << " before and after\n";
      if (!dropped && SortedSet(a.BeforeAll.at(key)) != SortedSet(a.AfterAll.at(key)))
        faults << name << " (" << lookup << ", multi on): " << a.BeforeAll.at(key) << " -> "
               << a.AfterAll.at(key) << "\n";
    }
  }
  return faults.str();
}

// ---- dnsmasq ----

constexpr const char* Dnsmasq = "/usr/sbin/dnsmasq";

// A port on 127.0.0.1 that is free for UDP and TCP just now.
int FreePort() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int udp = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(udp, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      port = ntohs(address.sin_port);
    close(udp);
    const int tcp = socket(AF_INET, SOCK_STREAM, 0);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool free =
        port >= 1024 && bind(tcp, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(tcp);
    if (free)
      return port;
  }
  return 0;
}

// One dnsmasq on 127.0.0.1 that serves one hosts file at a time: the file is replaced and read
// again on SIGHUP. Stopped by its process id when it goes.
class TDnsmasq {
public:
  explicit TDnsmasq(const fs::path& folder)
      : FHosts(folder / "dnsmasq.hosts"), FLog(folder / "dnsmasq.log") {
    WriteBytes(FHosts, "");
    WriteBytes(FLog, "");
    // It runs as its own user: the folder and the files must be readable to it, the log writable.
    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(FLog, fs::perms::all);
    for (int attempt = 0; attempt < 5 && FPid <= 0; ++attempt) {
      FPort = FreePort();
      const std::vector<std::string> arguments = {Dnsmasq,
                                                  "--keep-in-foreground",
                                                  "--no-hosts",
                                                  "--no-resolv",
                                                  "--no-poll",
                                                  "--conf-file=/dev/null",
                                                  "--bind-interfaces",
                                                  "--listen-address=127.0.0.1",
                                                  "--port=" + std::to_string(FPort),
                                                  "--addn-hosts=" + FHosts.string(),
                                                  "--log-facility=" + FLog.string(),
                                                  "--pid-file"};
      FPid = fork();
      if (FPid == 0) {
        std::vector<char*> argv;
        for (const std::string& argument : arguments)
          argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(Dnsmasq, argv.data());
        _exit(127);
      }
      if (!WaitFor("read " + FHosts.string())) {
        Stop();
        FPid = -1;
      }
    }
  }
  ~TDnsmasq() { Stop(); }
  TDnsmasq(const TDnsmasq&) = delete;
  TDnsmasq& operator=(const TDnsmasq&) = delete;

  bool Running() const { return FPid > 0; }

  // Serves the bytes as its hosts file; returns what its log says of them.
  std::string Serve(const std::string& bytes) {
    const size_t from = ReadBytes(FLog).size();
    WriteBytes(FHosts, bytes);
    fs::permissions(FHosts, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                fs::perms::others_read);
    kill(FPid, SIGHUP);
    EXPECT_TRUE(WaitFor("read " + FHosts.string(), from)) << "dnsmasq read no hosts file";
    return ReadBytes(FLog).substr(from);
  }

  TAnswers Ask(const fs::path& namesFile) const {
    const auto asked = RunProcess({"/bin/sh", "-c", "exec \"$0\" dns \"$1\" <\"$2\"",
                                   TARNWICK_PROBE, std::to_string(FPort), namesFile.string()});
    EXPECT_EQ(asked.Status, 0) << asked.Err;
    return ReadAnswers(asked.Out);
  }

private:
  // Waits until the log holds the text after the offset; false after ten seconds.
  bool WaitFor(const std::string& text, size_t from = 0) const {
    for (int i = 0; i < 10000; ++i) {
      const std::string log = ReadBytes(FLog);
      if (log.size() > from && log.find(text, from) != std::string::npos)
        return true;
      int status = 0;
      if (FPid > 0 && waitpid(FPid, &status, WNOHANG) == FPid)
        return false; // it ended
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }
  void Stop() {
    if (FPid <= 0)
      return;
    kill(FPid, SIGTERM);
    int status = 0;
    waitpid(FPid, &status, 0);
    FPid = -1;
  }

  fs::path FHosts, FLog;
  int FPort = 0;
  pid_t FPid = -1;
};

// The lines dnsmasq refused in a log ("bad address at FILE line N", "bad name at ..."), by
// number.
std::set<size_t> RefusedLines(const std::string& log) {
  static const std::regex Refused(R"(bad (address|name) at \S+ line (\d+))");
  std::set<size_t> lines;
  for (auto it = std::sregex_iterator(log.begin(), log.end(), Refused);
       it != std::sregex_iterator(); ++it)
    lines.insert(std::stoul((*it)[2]));
  return lines;
}

// The line of the text (from 1), as dnsmasq counts lines (at LF).
std::string LineOf(const std::string& text, size_t number) {
  size_t at = 0;
  for (size_t n = 1; n < number && at != std::string::npos; ++n)
    at = text.find('\n', at) == std::string::npos ? std::string::npos : text.find('\n', at) + 1;
  if (at == std::string::npos)
    return "";
  return text.substr(at, text.find('\n', at) - at);
}

std::string JudgeByDnsmasq(const TCase& c, TDnsmasq& server) {
  std::ostringstream faults;
  const std::string output = ReadBytes(c.Output);
  const std::string logBefore = server.Serve(c.Document.Bytes);
  const TAnswers before = server.Ask(c.NamesFile);
  const std::string logAfter = server.Serve(output);
  const TAnswers after = server.Ask(c.NamesFile);
  for (const std::string& name : c.Names) {
    if (DroppedByRule(name) || c.Hidden.contains(Folded(name)))
      continue;
    for (const std::string type : {"4", "6"}) {
      const std::string was = SortedSet(before.at({name, type}));
      const std::string is = SortedSet(after.at({name, type}));
      if (was != is)
        faults << name << " (" << type << "): " << was << "-> " << is << "\n";
    }
  }
  // A line refused after the run holds names only where the same text was refused before.
  std::set<std::string> refusedBefore;
  for (const size_t line : RefusedLines(logBefore)) {
    std::istringstream fields(LineOf(c.Document.Bytes, line));
    for (std::string word; fields >> word;)
      refusedBefore.insert(word);
  }
  for (const size_t line : RefusedLines(logAfter)) {
    std::istringstream fields(LineOf(output, line));
    std::vector<std::string> words;
    for (std::string word; fields >> word;)
      words.push_back(word);
    if (words.size() < 2)
      continue; // a line of no names loses none (the byte-order mark's own line)
    bool known = false;
    for (const std::string& word : words)
      known = known || refusedBefore.contains(word);
    if (!known)
      faults << "line " << line << " refused after the run, read before: " << LineOf(output, line)
             << "\n";
  }
  return faults.str();
}

// ---- The documents ----

// Every form the readers read otherwise than a simple reading would: addresses inet_pton refuses,
// IPv6 lines that answer IPv4, lines of more than nine names, lone CRs, form feeds and vertical
// tabs, a byte-order mark, names under two families.
std::vector<TDocument> TableDocuments() {
  std::string many = "0.0.0.0";
  for (int i = 0; i < 25; ++i)
    many += " many" + std::to_string(i) + ".test";
  return {
      {"addresses inet_pton refuses take no part",
       "0 a.test\n0.0.0.0 b.test\n127.000.000.001 c.test\n127.0.0.1 d.test\n127.0.0.01 e.test\n"
       "010.0.0.1 f.test\n10.0.0.1 f.test g.test\n127.1 h.test\n0x7f.0.0.1 i.test\n"
       "127.0.0.1 c.test e.test h.test i.test\n000.0.0.0 b.test\n0.0.0.0 a.test\n"},
      {"IPv4 from mapped and loopback IPv6 lines",
       "10.0.0.1 a\n::ffff:10.0.0.2 x\n10.0.0.1 x\n127.0.0.1 b\n0:0::1 y\n127.0.0.1 y\n"
       "::ffff:a00:3 z\n10.0.0.3 w\n::ffff:10.0.0.3 w z\n"},
      {"either family: the first line of either decides",
       "127.0.0.1 localhost\n::1 localhost\n127.0.0.1 a\n::1 myapp.test\n127.0.0.1 myapp.test\n"
       "fd00::1 v6first\n10.0.0.1 v6first\nfd00::1 b\n"},
      {"lines of more than nine names", many + "\n0.0.0.0 after.test\n0 " + many.substr(8) + "\n"},
      {"lone CR, form feed and vertical tab as glibc reads them",
       "0.0.0.0 a\n1.2.3.4 b\r0.0.0.0 c\n0.0.0.0\fd.test\n0.0.0.0 e\vf\r\n0.0.0.0 g\r\r\n"},
      {"a byte-order mark: the first line is the readers' loss",
       Mark + "127.0.0.1 localhost\n0.0.0.0 a.test\n0.0.0.0 b.test\n"},
      {"a byte-order mark before an entry", Mark + "0.0.0.0 hidden.test\n0.0.0.0 b.test\n"},
      {"names that are address texts, a '#' inside a name, forbidden characters, case",
       "10.0.0.1 a 1.2.3.4 web#frag\n10.0.0.2 1.2.3.4 Mixed.Case bad*name\n10.0.0.1 mixed.case "
       "web\n"},
      {"names moved between IPv4 addresses", "10.0.0.1 a\n10.0.0.2 x X2\n10.0.0.1 x x2\n", {"-r"}},
  };
}

// Seeded documents of every form above, mixed.
std::vector<TDocument> GeneratedDocuments(size_t count) {
  static const char* const Addresses[] = {
      "0.0.0.0",      "0.0.0.0",   "0.0.0.0",         "0",
      "000.0.0.0",    "127.0.0.1", "127.0.0.1",       "127.000.000.001",
      "127.0.0.01",   "010.0.0.1", "10.0.0.1",        "10.0.0.2",
      "::1",          "0:0::1",    "0:0:0:0:0:0:0:1", "::ffff:10.0.0.2",
      "::ffff:a00:1", "::",        "fe80::1",         "1.2.3.4.",
      "face"};
  static const char* const Odd[] = {"localhost", "LocalHost", "bad*name.test",   "web#frag.test",
                                    "1.2.3.4",   "127.1",     "caf\xC3\xA9.test"};
  std::mt19937 random(20261210);
  const auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
  std::vector<TDocument> documents;
  for (size_t d = 0; d < count; ++d) {
    std::string text = pick(8) == 0 ? Mark : "";
    const std::string end = pick(3) == 0 ? "\r\n" : "\n";
    const size_t lines = 1 + pick(30);
    for (size_t l = 0; l < lines; ++l) {
      const size_t kind = pick(12);
      if (kind == 0) {
        text += "# a comment" + end;
        continue;
      }
      if (kind == 1) {
        text += end;
        continue;
      }
      if (kind == 2) {
        text += "not an entry" + end;
        continue;
      }
      std::string line = kind == 3 ? "#" : (pick(6) == 0 ? "\t" : "");
      line += Addresses[pick(std::size(Addresses))];
      const size_t names = pick(10) == 0 ? 10 + pick(15) : pick(4);
      for (size_t n = 0; n < names; ++n) {
        static const char* const Blanks[] = {" ", " ", " ", "\t", "\f", "\v", "\r"};
        line += Blanks[pick(std::size(Blanks))];
        if (pick(12) == 0) {
          line += Odd[pick(std::size(Odd))];
        } else {
          std::string name = "n" + std::to_string(pick(14)) + ".test";
          if (pick(10) == 0)
            std::transform(name.begin(), name.end(), name.begin(),
                           [](char c) { return static_cast<char>(std::toupper(c)); });
          line += name;
        }
      }
      if (pick(6) == 0)
        line += " # trailing";
      text += line + end;
    }
    std::vector<std::string> options;
    if (d % 3 == 1)
      options.push_back("-r");
    documents.push_back({"generated document " + std::to_string(d), text, options});
  }
  return documents;
}

std::vector<TDocument> SampleAndCorpus() {
  std::vector<TDocument> documents;
  documents.push_back({"samples/hosts-sample.txt",
                       ReadBytes(fs::path(TARNWICK_SOURCE_DIR) / "samples/hosts-sample.txt")});
  const fs::path corpus = CorpusFolder();
  if (!corpus.empty())
    for (const char* file :
         {"stevenblack-hosts", "stevenblack-alternates-fakenews-gambling-social-only-hosts"})
      documents.push_back({file, ReadBytes(corpus / file), {}, 60});
  return documents;
}

// The documents of one kind, each run through the program once for both judges, in a folder that
// lasts as long as the tests.
enum class TKind { Table, SampleAndCorpus, Generated };
constexpr size_t GeneratedCount = 240;

const std::vector<TCase>& Cases(TKind kind) {
  static TempFolder folder;
  static std::map<TKind, std::vector<TCase>> prepared;
  if (const auto found = prepared.find(kind); found != prepared.end())
    return found->second;
  const std::vector<TDocument> documents = kind == TKind::Table ? TableDocuments()
                                           : kind == TKind::SampleAndCorpus
                                               ? SampleAndCorpus()
                                               : GeneratedDocuments(GeneratedCount);
  std::vector<TCase> cases(documents.size());
  const fs::path place = folder.File(std::to_string(static_cast<int>(kind)));
  fs::create_directories(place);
  for (size_t i = 0; i < documents.size(); ++i) {
    cases[i].Document = documents[i];
    Prepare(cases[i], place, i);
  }
  return prepared[kind] = std::move(cases);
}

void JudgeByGlibc(TKind kind) {
  const std::vector<TCase>& cases = Cases(kind);
  ASSERT_FALSE(::testing::Test::HasFatalFailure());
  TempFolder folder;
  const std::vector<TGlibcAnswers> answers = AskGlibc(cases, folder.Path());
  for (size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(JudgeByGlibc(cases[i], answers[i]), "")
        << cases[i].Document.Name << "\n--- input:\n"
        << cases[i].Document.Bytes.substr(0, 2000) << "\n--- result:\n"
        << ReadBytes(cases[i].Output).substr(0, 2000) << "\n--- report:\n"
        << cases[i].Report;
}

#define SKIP_UNLESS_ROOT()                                                                         \
  if (!RunningAsRoot())                                                                            \
  GTEST_SKIP() << "needs root: a private mount namespace, and dnsmasq's own user"

} // namespace

TEST(GlibcJudge, TheTableAnswersAsBefore) {
  SKIP_UNLESS_ROOT();
  JudgeByGlibc(TKind::Table);
}

TEST(GlibcJudge, TheSampleAndTheCorpusAnswerAsBefore) {
  SKIP_UNLESS_ROOT();
  JudgeByGlibc(TKind::SampleAndCorpus);
}

TEST(GlibcJudge, GeneratedDocumentsAnswerAsBefore) {
  SKIP_UNLESS_ROOT();
  JudgeByGlibc(TKind::Generated);
}

TEST(DnsmasqJudge, EveryDocumentServesTheSameAddresses) {
  SKIP_UNLESS_ROOT();
  TempFolder folder;
  TDnsmasq server(folder.Path());
  ASSERT_TRUE(server.Running()) << "dnsmasq did not start";
  for (const TKind kind : {TKind::Table, TKind::SampleAndCorpus, TKind::Generated})
    for (const TCase& c : Cases(kind))
      EXPECT_EQ(JudgeByDnsmasq(c, server), "")
          << c.Document.Name << "\n--- input:\n"
          << c.Document.Bytes.substr(0, 2000) << "\n--- result:\n"
          << ReadBytes(c.Output).substr(0, 2000);
}

// The program's result is, byte for byte, what the merge written the slow and literal way makes
// of the same lines (read as glibc reads them).
TEST(LiteralModel, TheProgramWritesWhatTheModelMakes) {
  TempFolder folder;
  const fs::path input = folder.File("in"), output = folder.File("out");
  for (const TDocument& document : GeneratedDocuments(GeneratedCount)) {
    WriteBytes(input, document.Bytes);
    const auto ran = RunProcess(
        {TARNWK_EXE, "-s", "-r", "-e", "utf8", "--crlf", "-o", output.string(), input.string()});
    ASSERT_EQ(ran.Status, 0) << ran.Err;
    THosts hosts;
    hosts.LoadOptions().LineRules = TLineRules::Glibc;
    hosts.LoadFromBytes(document.Bytes);
    OptimizeLiterally(hosts);
    hosts.SaveOptions().IncludeLocalhost = false;
    hosts.SaveOptions().LineBreak = TLineBreak::CrLf;
    ASSERT_EQ(ReadBytes(output), hosts.SaveToBytes(EncodingUtf8)) << document.Bytes;
  }
}

#endif
