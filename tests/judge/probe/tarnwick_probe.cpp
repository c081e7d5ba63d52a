// tarnwick_probe: asks the system's own readers of hosts files how they answer names, for the
// tests that judge a run by them.
//
//   tarnwick_probe glibc NSSWITCH HOSTCONF_OFF HOSTCONF_ON <JOBS
//     Run inside a private mount namespace (unshare -m): binds NSSWITCH over /etc/nsswitch.conf,
//     then for each job line "HOSTS<TAB>on|off<TAB>NAMES<TAB>ANSWERS" binds HOSTS over /etc/hosts
//     and the host.conf of that "multi" setting over /etc/host.conf, and writes to ANSWERS what
//     getaddrinfo answers for each name of NAMES (one a line), asked for IPv4, IPv6 and either.
//     Each job runs in a process of its own, so that glibc reads host.conf afresh. Where one of
//     the three files is missing, /etc is first covered by an overlay (in the namespace only) that
//     holds an empty one to bind over.
//   tarnwick_probe dns PORT <NAMES
//     Asks the DNS server on 127.0.0.1:PORT for the A and AAAA records of each name.
//
// Every answer is a line "NAME<TAB>4|6|u<TAB>ADDRESS ADDRESS ...", "-" for none, addresses in
// the order given.
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Die(const std::string& what) {
  std::cerr << "tarnwick_probe: " << what << ": " << std::strerror(errno) << "\n";
  std::exit(2);
}

std::vector<std::string> Split(const std::string& line, char separator) {
  std::vector<std::string> fields;
  size_t at = 0;
  for (;;) {
    const size_t end = line.find(separator, at);
    fields.push_back(line.substr(at, end - at));
    if (end == std::string::npos)
      return fields;
    at = end + 1;
  }
}

std::string Text(int family, const void* address) {
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(family, address, text, sizeof text);
  return text;
}

// What getaddrinfo answers for the name, asked for one family (AF_UNSPEC: either).
std::string Answer(const std::string& name, int family) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM; // one answer an address
  addrinfo* found = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0)
    return "-";
  std::string answer;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (!answer.empty())
      answer += ' ';
    if (a->ai_family == AF_INET)
      answer += Text(AF_INET, &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr);
    else
      answer += Text(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr);
  }
  freeaddrinfo(found);
  return answer;
}

void Bind(const std::string& file, const char* over) {
  if (mount(file.c_str(), over, nullptr, MS_BIND, nullptr) != 0)
    Die(std::string("bind ") + file + " over " + over);
}

void Unbind(const char* over) {
  if (umount2(over, MNT_DETACH) != 0)
    Die(std::string("unmount ") + over);
}

// Where /etc lacks a file to bind over, an overlay over /etc holds an empty one; the overlay's
// folders are under scratch.
void ProvideTargets(const std::string& scratch) {
  const char* const targets[] = {"/etc/hosts", "/etc/nsswitch.conf", "/etc/host.conf"};
  bool missing = false;
  struct stat st {};
  for (const char* target : targets)
    missing = missing || stat(target, &st) != 0;
  if (!missing)
    return;
  const std::string upper = scratch + "/upper", work = scratch + "/work";
  if ((mkdir(upper.c_str(), 0700) != 0 && errno != EEXIST) ||
      (mkdir(work.c_str(), 0700) != 0 && errno != EEXIST))
    Die("make the overlay's folders");
  const std::string options = "lowerdir=/etc,upperdir=" + upper + ",workdir=" + work;
  if (mount("overlay", "/etc", "overlay", 0, options.c_str()) != 0)
    Die("cover /etc with an overlay");
  for (const char* target : targets)
    if (stat(target, &st) != 0 && !std::ofstream(target))
      Die(std::string("make ") + target);
}

int Glibc(const std::string& nsswitch, const std::string& multiOff, const std::string& multiOn) {
  // The namespace is private (unshare -m); nothing here reaches the machine's own mounts.
  char scratch[] = "/tmp/tarnwick-probe-XXXXXX";
  if (mkdtemp(scratch) == nullptr)
    Die("make a scratch folder");
  ProvideTargets(scratch);
  Bind(nsswitch, "/etc/nsswitch.conf");
  std::string job;
  while (std::getline(std::cin, job)) {
    const std::vector<std::string> fields = Split(job, '\t');
    if (fields.size() != 4)
      continue;
    Bind(fields[0], "/etc/hosts");
    Bind(fields[1] == "on" ? multiOn : multiOff, "/etc/host.conf");
    const pid_t child = fork();
    if (child == 0) {
      std::ifstream names(fields[2]);
      std::ofstream answers(fields[3]);
      std::string name;
      while (std::getline(names, name))
        answers << name << "\t4\t" << Answer(name, AF_INET) << "\n"
                << name << "\t6\t" << Answer(name, AF_INET6) << "\n"
                << name << "\tu\t" << Answer(name, AF_UNSPEC) << "\n";
      answers.close();
      _exit(answers ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
      Die("look up the names of " + fields[0]);
    Unbind("/etc/host.conf");
    Unbind("/etc/hosts");
  }
  Unbind("/etc/nsswitch.conf");
  rmdir(scratch);
  return 0;
}

// The records of one type that the server answers for the name.
std::string Records(res_state state, const std::string& name, int type) {
  unsigned char reply[65536];
  const int length = res_nquery(state, name.c_str(), ns_c_in, type, reply, sizeof reply);
  if (length < 0)
    return "-";
  ns_msg message;
  if (ns_initparse(reply, length, &message) < 0)
    return "?";
  std::string answer;
  for (int i = 0; i < ns_msg_count(message, ns_s_an); ++i) {
    ns_rr record;
    if (ns_parserr(&message, ns_s_an, i, &record) != 0 || ns_rr_type(record) != type)
      continue;
    if (!answer.empty())
      answer += ' ';
    answer += Text(type == ns_t_a ? AF_INET : AF_INET6, ns_rr_rdata(record));
  }
  return answer.empty() ? "-" : answer;
}

int Dns(int port) {
  struct __res_state state {};
  if (res_ninit(&state) != 0)
    Die("res_ninit");
  // The one server asked: 127.0.0.1 on the port given, and no search domains.
  state.nscount = 1;
  state.nsaddr_list[0].sin_family = AF_INET;
  state.nsaddr_list[0].sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &state.nsaddr_list[0].sin_addr);
  state.retrans = 1;
  state.retry = 3;
  state.options &= ~static_cast<unsigned long>(RES_DNSRCH | RES_DEFNAMES);
  std::string name;
  while (std::getline(std::cin, name))
    std::cout << name << "\t4\t" << Records(&state, name, ns_t_a) << "\n"
              << name << "\t6\t" << Records(&state, name, ns_t_aaaa) << "\n";
  res_nclose(&state);
  return std::cout ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 4 && args[0] == "glibc")
    return Glibc(args[1], args[2], args[3]);
  if (args.size() == 2 && args[0] == "dns")
    return Dns(std::atoi(args[1].c_str()));
  std::cerr << "usage: tarnwick_probe glibc NSSWITCH HOSTCONF_OFF HOSTCONF_ON <JOBS\n"
               "       tarnwick_probe dns PORT <NAMES\n";
  return 2;
}
