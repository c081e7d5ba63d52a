// End-to-end tests of the Linux program on a real system: as root, as another user, with extended
// attributes, devices, mounts and kills; the real tarnwk runs on files in a temporary folder, and
// its exit status, its exact output and the files it leaves are checked. (The rows every console
// program passes are in ConsoleProgram_test.cpp.)
#ifndef _WIN32

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

#include "ConsoleProgram.h"

using namespace console_rows;
using testing_files::ModeOf;
using testing_files::RunningAsRoot;
using testing_files::RunProcess;

namespace {

TProcessResult RunTarnwk(std::vector<std::string> arguments,
                         const std::optional<std::string>& input = std::nullopt) {
  return RunConsole(std::move(arguments), input);
}

constexpr const char* SetprivProgram = "/usr/bin/setpriv";

// Runs tarnwk as the unprivileged user 65534 (nobody).
TProcessResult RunTarnwkAsNobody(std::vector<std::string> arguments,
                                 const std::optional<std::string>& input = std::nullopt) {
  const std::vector<std::string> prefix = {SetprivProgram, "--reuid=65534", "--regid=65534",
                                           "--clear-groups", TARNWK_EXE};
  arguments.insert(arguments.begin(), prefix.begin(), prefix.end());
  return RunProcess(arguments, input);
}

} // namespace

// Root may write a file without write permission: the save lifts nothing it does not need to and
// the file keeps its mode.
TEST(LinuxProgram, ReadOnlyFileAsRoot) {
  if (!RunningAsRoot())
    GTEST_SKIP() << "only root may write a read-only file";
  TempFolder folder;
  const fs::path file = folder.File("hosts.txt");
  WriteBytes(file, Input);
  ::chmod(file.c_str(), 0444);
  const TProcessResult result = RunTarnwk({"-b", file.string()});
  EXPECT_EQ(result.Status, 0);
  EXPECT_EQ(result.Out, Optimized);
  EXPECT_EQ(result.Err, "");
  EXPECT_EQ(ReadBytes(file), Merged);
  EXPECT_EQ(ReadBytes(folder.File("hosts.txt.bak")), Input);
  EXPECT_EQ(ModeOf(file), 0444u);
}

constexpr const char* TimeProgram = "/usr/bin/time";

// The backup is copied a piece at a time: it costs the run no memory of the file's size. The peak
// is measured by GNU time, whose child is a fresh process (one started straight from the tests
// would count the test program's memory too).
TEST(LinuxProgram, ABackupTakesNoMemoryOfTheFilesSize) {
  if (::access(TimeProgram, X_OK) != 0)
    GTEST_SKIP() << "GNU time is missing";
  TempFolder folder;
  std::string text;
  for (int i = 0; i < 250000; ++i)
    text += "0.0.0.0 h" + std::to_string(i) + ".example\n";
  const auto peakKiB = [&folder, &text](const std::string& name, bool backup) {
    WriteBytes(folder.File(name), text);
    const std::string peak = folder.File(name + ".peak").string();
    std::vector<std::string> arguments = {TimeProgram, "-f", "%M", "-o", peak, TARNWK_EXE, "-s"};
    if (backup)
      arguments.push_back("-b");
    arguments.push_back(folder.File(name).string());
    EXPECT_EQ(RunProcess(arguments).Status, 0);
    return std::stol("0" + ReadBytes(peak));
  };
  const long plain = peakKiB("plain", false);
  const long backed = peakKiB("backed", true);
  EXPECT_EQ(ReadBytes(folder.File("backed.bak")), text);
  EXPECT_LT(backed - plain, static_cast<long>(text.size() / 1024 / 2))
      << "the backup took " << backed - plain << " KiB more (" << plain << " KiB without it)";
}

// Missing rights, tested as the unprivileged user 65534: the folder and the files belong to root;
// the folder is open to everyone for reading, the files' modes vary by row.
struct PrivilegeRow {
  const char* Name;
  std::vector<std::string> Arguments;
  mode_t FolderMode = 0755;
  mode_t FileMode;
  std::optional<mode_t> OutputMode = {}; // out.txt exists with this mode
  int Status = 0;
  std::string Out = {};
  std::string Err = {};
  std::optional<std::string> After = {};       // hosts.txt; none: as before
  std::optional<std::string> BackupAfter = {}; // hosts.txt.bak; none: absent
  std::optional<std::string> OutputAfter = {}; // none: as before
};

TEST(LinuxProgram, MissingRightsAsAnotherUser) {
  if (!RunningAsRoot())
    GTEST_SKIP() << "needs root to run the program as another user";
  if (::access(SetprivProgram, X_OK) != 0)
    GTEST_SKIP() << "setpriv (util-linux) is missing";
  {
    // The program, the temporary folder and a readable file must be reachable for that user.
    TempFolder probe;
    fs::permissions(probe.Path(), fs::perms(0755));
    WriteBytes(probe.File("hosts.txt"), Input);
    ::chmod(probe.File("hosts.txt").c_str(), 0644);
    // A neutral program checks the setup, so that a fault of tarnwk's own fails the rows.
    const TProcessResult result =
        RunProcess({SetprivProgram, "--reuid=65534", "--regid=65534", "--clear-groups", "/bin/cat",
                    probe.File("hosts.txt").string()});
    if (result.Status != 0 || result.Out != Input || ::access(TARNWK_EXE, R_OK | X_OK) != 0)
      GTEST_SKIP() << "user 65534 cannot read " << probe.Path() << " (status " << result.Status
                   << ": " << result.Err << ")";
  }

  const PrivilegeRow rows[] = {
      {.Name = "read but not change: in place",
       .Arguments = {"-b", "{F}"},
       .FileMode = 0644,
       .Status = 1,
       .Err = "tarnwk: {F}: Permission denied\n"},
      {.Name = "read but not change: silent",
       .Arguments = {"-s", "-b", "{F}"},
       .FileMode = 0644,
       .Status = 1},
      {.Name = "read but not change: -o - works",
       .Arguments = {"-o", "-", "{F}"},
       .FileMode = 0644,
       .Out = Merged},
      {.Name = "not readable: in place",
       .Arguments = {"{F}"},
       .FileMode = 0600,
       .Status = 1,
       .Err = "tarnwk: {F}: Permission denied\n"},
      {.Name = "not readable: -o -",
       .Arguments = {"-o", "-", "{F}"},
       .FileMode = 0600,
       .Status = 1,
       .Err = "tarnwk: {F}: Permission denied\n"},
      {.Name = "output not writable",
       .Arguments = {"-b", "-o", "{O}", "{F}"},
       .FileMode = 0644,
       .OutputMode = 0644,
       .Status = 1,
       .Err = "tarnwk: {O}: Permission denied\n"},
      {.Name = "output in a folder not writable",
       .Arguments = {"-o", "{O}", "{F}"},
       .FileMode = 0644,
       .Status = 1,
       .Err = "tarnwk: {O}: Permission denied\n"},
      {.Name = "backup cannot be made: the run stops, the file untouched",
       .Arguments = {"-b", "{F}"},
       .FileMode = 0666,
       .Status = 1,
       .Err = "tarnwk: {F}: cannot make the backup {F}.bak: Permission denied\n"},
      {.Name = "folder writable: backup made",
       .Arguments = {"-b", "{F}"},
       .FolderMode = 0777,
       .FileMode = 0666,
       .Out = Optimized,
       .After = Merged,
       .BackupAfter = Input},
  };
  for (const PrivilegeRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TempFolder folder;
    const fs::path file = folder.File("hosts.txt");
    const fs::path output = folder.File("out.txt");
    WriteBytes(file, Input);
    ::chmod(file.c_str(), row.FileMode);
    if (row.OutputMode) {
      WriteBytes(output, "old output");
      ::chmod(output.c_str(), *row.OutputMode);
    }
    ::chmod(folder.Path().c_str(), row.FolderMode);
    const TPlaces places{file.string(), output.string(), folder.Path().string()};

    std::vector<std::string> arguments;
    for (const std::string& argument : row.Arguments)
      arguments.push_back(places.Expand(argument));
    const TProcessResult result = RunTarnwkAsNobody(arguments);

    EXPECT_EQ(result.Status, row.Status);
    EXPECT_EQ(result.Out, places.Expand(row.Out));
    EXPECT_EQ(result.Err, places.Expand(row.Err));
    EXPECT_EQ(ReadBytes(file), row.After ? *row.After : Input);
    EXPECT_EQ(ModeOf(file), row.FileMode);
    if (row.BackupAfter) {
      EXPECT_EQ(ReadBytes(folder.File("hosts.txt.bak")), *row.BackupAfter);
    } else {
      EXPECT_FALSE(fs::exists(folder.File("hosts.txt.bak")));
    }
    if (row.OutputMode) {
      EXPECT_EQ(ReadBytes(output), row.OutputAfter ? *row.OutputAfter : "old output");
    } else {
      EXPECT_FALSE(fs::exists(output));
    }
    EXPECT_FALSE(fs::exists(folder.File("out.txt.bak")));
  }
}

namespace {

// A file's extended attributes: name -> value.
std::map<std::string, std::string> AttributesOf(const fs::path& file) {
  std::map<std::string, std::string> attributes;
  std::string names(65536, '\0');
  const ssize_t size = ::listxattr(file.c_str(), names.data(), names.size());
  EXPECT_GE(size, 0) << file;
  names.resize(size < 0 ? 0 : static_cast<size_t>(size));
  for (size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
    const std::string name = names.c_str() + at;
    std::string value(65536, '\0');
    const ssize_t length = ::getxattr(file.c_str(), name.c_str(), value.data(), value.size());
    EXPECT_GE(length, 0) << name;
    value.resize(length < 0 ? 0 : static_cast<size_t>(length));
    attributes[name] = value;
  }
  return attributes;
}

constexpr const char* SetfaclProgram = "/usr/bin/setfacl";

} // namespace

// The new file is swapped in (another inode) and still carries what Linux attached to the old
// one: its user.* attributes and its ACL, and no ACL that the folder would give a new file. An
// attribute the user may see but not set (security.*, for user 65534) cannot go onto a new file:
// the file is then written in place and keeps it.
TEST(LinuxProgram, ExtendedAttributesSurviveTheSave) {
  {
    TempFolder probe;
    const fs::path file = probe.File("probe");
    WriteBytes(file, "x");
    if (::setxattr(file.c_str(), "user.tarnwick", "1", 1, 0) != 0)
      GTEST_SKIP() << "the file system of " << probe.Path() << " keeps no user.* attributes";
    if (::access(SetfaclProgram, X_OK) != 0)
      GTEST_SKIP() << "setfacl (acl) is missing";
    if (RunProcess({SetfaclProgram, "-m", "u:65534:r", file.string()}).Status != 0)
      GTEST_SKIP() << "the file system of " << probe.Path() << " keeps no POSIX ACLs";
  }
  struct Row {
    const char* Name;
    std::vector<std::string> FileAcl;   // setfacl arguments for hosts.txt
    std::vector<std::string> FolderAcl; // setfacl arguments for the folder, after hosts.txt exists
    bool AsAnotherUser = false; // as user 65534, who owns the folder and the file, which also
                                // carries security.tarnwick: written in place
  };
  const Row rows[] = {
      {"a user attribute and an ACL", {"-m", "u:65534:r,g:65534:rw"}, {}},
      {"the folder's default ACL stays off the file", {}, {"-d", "-m", "u:65534:rw"}},
      {"an attribute the user cannot set: written in place", {"-m", "u:0:r"}, {}, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    TempFolder folder;
    const fs::path file = folder.File("hosts.txt");
    WriteBytes(file, Input);
    ASSERT_EQ(::setxattr(file.c_str(), "user.origin", "feed\0list", 9, 0), 0);
    const auto setfacl = [](std::vector<std::string> arguments, const fs::path& path) {
      if (arguments.empty())
        return;
      arguments.insert(arguments.begin(), SetfaclProgram);
      arguments.push_back(path.string());
      const TProcessResult result = RunProcess(arguments);
      ASSERT_EQ(result.Status, 0) << result.Err;
    };
    setfacl(row.FileAcl, file);
    setfacl(row.FolderAcl, folder.Path());
    if (row.AsAnotherUser) {
      if (!RunningAsRoot() || ::access(SetprivProgram, X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv (util-linux) to run the program as another user";
      if (::setxattr(file.c_str(), "security.tarnwick", "x", 1, 0) != 0)
        GTEST_SKIP() << "the file system of " << folder.Path() << " keeps no security.* attribute";
      ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
      ASSERT_EQ(::chown(folder.Path().c_str(), 65534, 65534), 0);
      ::chmod(folder.Path().c_str(), 0755);
      // A neutral program checks the setup, so that a fault of tarnwk's own fails the row.
      const TProcessResult probe = RunProcess({SetprivProgram, "--reuid=65534", "--regid=65534",
                                               "--clear-groups", "/bin/cat", file.string()});
      if (probe.Status != 0 || probe.Out != Input || ::access(TARNWK_EXE, R_OK | X_OK) != 0)
        GTEST_SKIP() << "user 65534 cannot read " << file << " (status " << probe.Status << ": "
                     << probe.Err << ")";
    }
    const auto before = AttributesOf(file);
    const mode_t modeBefore = ModeOf(file);
    struct stat old {};
    ASSERT_EQ(::stat(file.c_str(), &old), 0);

    const TProcessResult result =
        row.AsAnotherUser ? RunTarnwkAsNobody({file.string()}) : RunTarnwk({file.string()});
    EXPECT_EQ(result.Status, 0);
    EXPECT_EQ(result.Out, Optimized);
    EXPECT_EQ(ReadBytes(file), Merged);
    struct stat now {};
    ASSERT_EQ(::stat(file.c_str(), &now), 0);
    if (row.AsAnotherUser)
      EXPECT_EQ(now.st_ino, old.st_ino) << "the file was swapped, not written in place";
    else
      EXPECT_NE(now.st_ino, old.st_ino) << "the file was written in place, not swapped";
    EXPECT_EQ(AttributesOf(file), before);
    EXPECT_EQ(ModeOf(file), modeBefore);
    EXPECT_EQ(now.st_uid, old.st_uid);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.Path()), fs::directory_iterator()), 1);
  }
}

namespace {

// n one-name lines, "0.0.0.0 hNNNNNN.example".
std::string OneNameLines(int n) {
  std::string text;
  char line[40];
  for (int i = 0; i < n; ++i)
    text.append(
        line, static_cast<size_t>(std::snprintf(line, sizeof line, "0.0.0.0 h%06d.example\n", i)));
  return text;
}

} // namespace

// The program as it meets a real system, as root: a kill in the middle of a save, a bind-mounted
// file, a planted link, a full disk, devices and FIFOs, file names that are not UTF-8, hard
// links, and localhost, which on Linux only the file resolves. Each row is a shell script run in a
// fresh folder
// ($T is the program) whose output tells what became of the files; nothing outside the folder
// is touched (mounts only inside `unshare -m`).
TEST(LinuxProgram, OnARealSystem) {
  if (!RunningAsRoot())
    GTEST_SKIP() << "needs root for unshare, mount and mknod";
  const std::string NoLeakCheck = "ASAN_OPTIONS=detect_leaks=0; export ASAN_OPTIONS; ";
  // Text that shrinks to a tenth: comments around a few entries.
  std::string wordy;
  for (int i = 0; i < 500; ++i)
    wordy += "# a comment of the kind that lists sell in bulk, line " + std::to_string(i) +
             "\n0.0.0.0 h" + std::to_string(i) + ".example\n";
  // The random part of the save's names, and which of the save's names comes first, vary.
  const std::string MaskName = "sed \"s/\\.tarnwick-[0-9a-f-]*\\.\\(old\\|tmp\\)/NAME/g\"";
  const std::string MaskRandom = "sed \"s/-[0-9a-f]\\{16\\}\\.\\(old\\|tmp\\)/-R.\\1/g\"";
  const std::string big = OneNameLines(60000);
  const std::string small = OneNameLines(5000);
  struct Row {
    const char* Name;
    std::map<std::string, std::string> Files = {}; // made first (ending in /: a folder)
    std::string Original = {}; // also put in "original", for the script to compare with
    std::string Script;
    std::string Out; // what the script prints
  };
  const std::string longName(245, 'h');
  const Row rows[] = {
      {.Name = "a name of 245 characters, killed while saving: the old file, nothing beside",
       .Files = {{longName, big}},
       .Original = big,
       .Script = "(ulimit -f 64; exec \"$T\" -s " + longName + "); echo $?; cmp -s " + longName +
                 " original && echo old; ls -A | wc -l",
       .Out = "153\nold\n2\n"},
      {.Name = "a bind-mounted file killed while written in place: the old content kept beside, "
               "named by the next run",
       .Files = {{"src", small}, {"ctr/", ""}, {"ctr/hosts", ""}},
       .Original = small,
       .Script = "unshare -m sh -c 'mount --bind src ctr/hosts && "
                 "strace -o trace -f -P \"$PWD/ctr/hosts\" -e trace=ftruncate "
                 "-e inject=ftruncate:signal=KILL:when=1 \"$T\" -s -e utf16le ctr/hosts; "
                 "echo $?; \"$T\" ctr/hosts 2>&1 | sed \"s/-[0-9a-f]\\{16\\}\\.old/-R.old/g\"'; "
                 "cmp -s ctr/.tarnwick-*.old original && echo kept; cmp -s src original || "
                 "echo src-changed",
       .Out = "137\ntarnwk: ctr/hosts: an earlier run was interrupted while it rewrote this file; "
              "its old content is kept in ctr/.tarnwick-d92ec2b435057d1e-R.old (put it back "
              "with: cat ctr/.tarnwick-d92ec2b435057d1e-R.old > ctr/hosts, or delete it; then "
              "run again)\nkept\nsrc-changed\n"},
      {.Name = "a bind-mounted file: written in place, nothing left beside",
       .Files = {{"src", small}, {"ctr/", ""}, {"ctr/hosts", ""}},
       .Original = small,
       .Script = "unshare -m sh -c 'mount --bind src ctr/hosts && \"$T\" -s ctr/hosts'; echo $?; "
                 "cmp -s src original || echo optimized; ls -A ctr",
       .Out = "0\noptimized\nhosts\n"},
      {.Name = "a link planted at the backup's name is replaced, never followed",
       .Files = {{"hosts", small}, {"victim", "secret"}},
       .Original = small,
       .Script = "ln -s victim hosts.bak; \"$T\" -s -b hosts; echo $?; cat victim; echo; "
                 "stat -c %F hosts.bak; cmp -s hosts.bak original && echo backup",
       .Out = "0\nsecret\nregular file\nbackup\n"},
      {.Name = "a full disk keeps the good backup from before",
       .Files = {{"disk/", ""}},
       .Original = big,
       .Script = "unshare -m sh -c 'mount -t tmpfs -o size=64k none disk && cd disk && "
                 "head -c 24000 ../original > hosts && printf good > hosts.bak && "
                 "head -c 20000 /dev/zero > filler && \"$T\" -s -b hosts; echo $?; "
                 "cat hosts.bak; echo; cmp -s hosts ../original; head -c 24000 ../original | "
                 "cmp -s - hosts && echo untouched; ls -A'",
       .Out = "1\ngood\nuntouched\nfiller\nhosts\nhosts.bak\n"},
      {.Name = "the backup has the file's owner and mode",
       .Files = {{"hosts", small}},
       .Script = "chown 65534:65534 hosts; chmod 640 hosts; \"$T\" -s -b hosts; echo $?; "
                 "stat -c '%a %u %g' hosts.bak hosts",
       .Out = "0\n640 65534 65534\n640 65534 65534\n"},
      {.Name = "a device as the output stays a device",
       .Files = {{"hosts", small}},
       .Original = small,
       .Script = "mknod null c 1 3; \"$T\" -s -o null hosts; echo $?; stat -c %F null; "
                 "cmp -s hosts original && echo untouched",
       .Out = "0\ncharacter special file\nuntouched\n"},
      {.Name = "a FIFO as the output stays a FIFO and its reader gets the text",
       .Files = {{"hosts", "0.0.0.0 a\n0.0.0.0 b\n"}},
       .Script = "mkfifo f; cat f > got & \"$T\" -s -o f hosts; echo $?; wait; stat -c %F f; "
                 "cat got",
       .Out = "0\nfifo\n127.0.0.1 localhost\n::1 localhost\n0.0.0.0 a b\n"},
      {.Name = "a pipe as the output gets the text",
       .Files = {{"hosts", "0.0.0.0 a\n0.0.0.0 b\n"}},
       .Script = "\"$T\" -s -r -o /proc/self/fd/1 hosts | cat; echo $?",
       .Out = "0.0.0.0 a b\n0\n"},
      {.Name = "localhost keeps resolving by default",
       .Files = {{"hosts", "# mine\n127.0.0.1 localhost\n"}},
       .Script = "\"$T\" hosts; echo $?; cat hosts",
       .Out = "The hosts file has been optimized.\n0\n127.0.0.1 localhost\n::1 localhost\n"},
      {.Name = "--check warns first when localhost will not resolve",
       .Files = {{"hosts", "127.0.0.1 localhost\n0.0.0.0 a\n"}},
       .Script = "\"$T\" -r -n hosts | head -n 1; \"$T\" -n hosts | head -n 1",
       .Out = "Warning: localhost will not resolve after this run: its lines are dropped and -r "
              "writes none (leave -r out to keep them)\nLines: 2 -> 3\n"},
      {.Name = "--check tells of a file with more than one name",
       .Files = {{"hosts", "0.0.0.0 a\n"}},
       .Script = "ln hosts other; \"$T\" -n hosts | head -n 1",
       .Out = "Warning: the file has 2 names (hard links); the run writes a new file under this "
              "name only, and the others keep the old text\n"},
      {.Name = "a file name that is not UTF-8 opens and is named as typed",
       .Script = "n=$(printf 'caf\\351'); printf '0.0.0.0 a\\n0.0.0.0 b\\n' > \"$n\"; "
                 "\"$T\" -r \"$n\"; cat \"$n\"; \"$T\" \"$n.x\" 2>&1; echo $?",
       .Out = "The hosts file has been optimized.\n0.0.0.0 a b\n"
              "tarnwk: caf\xE9.x: No such file or directory\n1\n"},
      {.Name = "a failed write of standard output is a failure",
       .Files = {{"hosts", "0.0.0.0 a\n"}},
       .Script = "mknod full c 1 7; for a in --version --help -n '-o -'; do \"$T\" $a hosts "
                 ">full 2>err; echo $?; done",
       .Out = "1\n1\n1\n1\n"},
      {.Name = "a FIFO or a device to rewrite is refused",
       .Files = {},
       .Script = "mkfifo f; mknod null c 1 3; \"$T\" f 2>&1; echo $?; \"$T\" null 2>&1; echo $?; "
                 "stat -c %F f null",
       .Out = "tarnwk: f: not a regular file\n1\ntarnwk: null: not a regular file\n1\nfifo\n"
              "character special file\n"},

      // The save against other users, full disks and kills. strace's ptrace stops the leak check
      // of the sanitizer build, so the rows that trace a run that ends by itself switch it off.
      {.Name = "in place for an owner that cannot be given, killed at the first write: the file "
               "whole, a copy of its own beside",
       .Files = {{"hosts", small}},
       .Original = small,
       .Script =
           "chmod 777 .; chown 0:4321 hosts; chmod 664 hosts; strace -f -o /dev/null -P "
           "\"$PWD/hosts\" -e trace=write -e inject=write:signal=KILL:when=1 setpriv --reuid=65534 "
           "--regid=65534 --groups=4321 \"$T\" -s hosts; echo $?; cmp -s hosts original && "
           "echo whole; stat -c '%a %u' .tarnwick-*.old",
       .Out = "137\nwhole\n600 65534\n"},
      {.Name = "in place with no room for a copy of the old content: nothing written",
       .Files = {{"src", wordy}, {"ctr/", ""}},
       .Original = wordy,
       .Script = "unshare -m sh -c 'mount -t tmpfs -o size=64k none ctr && touch ctr/hosts && "
                 "head -c 30000 /dev/zero > ctr/filler && mount --bind src ctr/hosts && "
                 "\"$T\" ctr/hosts 2>&1; echo $?; ls -A ctr'; cmp -s src original && echo whole",
       .Out = "tarnwk: ctr/hosts: no copy of its old content can be kept beside it (No space left "
              "on device); nothing was written\n1\nfiller\nhosts\nwhole\n"},
      {.Name = "a full disk during the write in place: the old content stays, and the copy is "
               "named with the command that puts it back",
       .Files = {{"src", small}, {"ctr/", ""}, {"ctr/hosts", ""}},
       .Original = small,
       .Script = "unshare -m sh -c 'mount --bind src ctr/hosts && " + NoLeakCheck +
                 "strace -f -o /dev/null -P \"$PWD/ctr/hosts\" -e trace=write "
                 "-e inject=write:error=ENOSPC \"$T\" ctr/hosts 2>&1 | " +
                 MaskRandom + "'; cmp -s src original && echo whole",
       .Out = "tarnwk: ctr/hosts: No space left on device; its old content is kept in "
              "ctr/{P}-R.old (put it back with: cat ctr/{P}-R.old > ctr/hosts)\nwhole\n"},
      {.Name = "root's run changes no mode by name",
       .Files = {{"hosts", small}},
       .Script = "chmod 444 hosts; " + NoLeakCheck +
                 "strace -f -o trace -e trace=chmod,fchmodat \"$T\" -s hosts; echo $?; "
                 "grep -c chmod trace; stat -c %a hosts",
       .Out = "0\n0\n444\n"},
      {.Name = "a reader's lock is waited for ten seconds at most",
       .Files = {{"hosts", small}},
       .Original = small,
       .Script = ":; flock -s hosts sleep 60 & p=$!; sleep 0.5; timeout 40 \"$T\" hosts 2>&1; "
                 "echo $?; kill $p; cmp -s hosts original && echo whole",
       .Out = "tarnwk: hosts: another program holds a lock on it; waiting up to 10 seconds\n"
              "tarnwk: hosts: another program holds a lock on it; nothing was written\n1\n"
              "whole\n"},
      {.Name = "twelve runs at once wait for each other",
       .Files = {{"hosts", small}},
       .Script = "for i in 1 2 3 4 5 6 7 8 9 10 11 12; do (\"$T\" hosts >/dev/null 2>>err; "
                 "echo $? >> st) & done; wait; sort st | uniq -c | sed 's/^ *//'; cat err",
       .Out = "12 0\n"},
      {.Name = "a read-only file killed at the swap keeps its mode",
       .Files = {{"hosts", small}},
       .Original = small,
       .Script = "chmod 440 hosts; strace -f -o /dev/null -e trace=rename,renameat,renameat2 "
                 "-e inject=rename,renameat,renameat2:signal=KILL:when=1 \"$T\" -s hosts; "
                 "echo $?; stat -c %a hosts; cmp -s hosts original && echo whole",
       .Out = "137\n440\nwhole\n"},
      {.Name = "the other names of a read-only file keep its mode",
       .Files = {{"hosts", small}},
       .Script =
           "ln hosts other; chmod 444 hosts; \"$T\" -s hosts; echo $?; stat -c %a other hosts",
       .Out = "0\n444\n444\n"},
      {.Name = "a model that cannot be looked at for a moment stops the save",
       .Files = {{"hosts", small}},
       .Original = small,
       .Script = "cp original expected; \"$T\" -s expected; " + NoLeakCheck +
                 "for n in $(seq 1 30); do cp original hosts; chmod 600 hosts; "
                 "setfacl -m u:65534:r hosts; strace -o /dev/null -P \"$PWD/hosts\" "
                 "-e trace=newfstatat "
                 "-e inject=newfstatat:error=EIO:when=$n \"$T\" -s \"$PWD/hosts\"; s=$?; "
                 "if [ $s = 0 ]; then cmp -s hosts expected || echo \"$n: not optimized\"; "
                 "else cmp -s hosts original || echo \"$n: failed and changed\"; fi; "
                 "getfacl -cn hosts 2>/dev/null | grep -q user:65534:r || echo \"$n: ACL lost\"; "
                 "[ $(stat -c %a hosts) = 640 ] || echo \"$n: mode\"; done; echo done",
       .Out = "done\n"},
      {.Name = "another name of the file as the output is refused",
       .Files = {{"hosts", small}},
       .Original = small,
       .Script = "ln hosts out; \"$T\" -o out hosts 2>&1; echo $?; cmp -s hosts original && "
                 "cmp -s out original && echo both-whole",
       .Out = "tarnwk: out: it and hosts are the same file; nothing was written\n1\nboth-whole\n"},
      {.Name = "a link to a missing file as the output is refused",
       .Files = {{"hosts", small}},
       .Script = "ln -s missing out; \"$T\" -o out hosts 2>&1; echo $?; stat -c %F out; "
                 "[ -e missing ] || echo none",
       .Out = "tarnwk: ./out: a symbolic link to a file that does not exist; not written\n1\n"
              "symbolic link\nnone\n"},
      {.Name = "a failed close after the flush is no failure",
       .Files = {{"src", small}, {"ctr/", ""}, {"ctr/hosts", ""}},
       .Script = "unshare -m sh -c 'mount --bind src ctr/hosts && " + NoLeakCheck +
                 "strace -f -o /dev/null -P \"$PWD/ctr/hosts\" -e trace=close "
                 "-e inject=close:error=EIO \"$T\" -s ctr/hosts; echo $?; \"$T\" -s ctr/hosts; "
                 "echo $?'; ls -A ctr",
       .Out = "0\n0\nhosts\n"},
      {.Name = "a copy of the old content that cannot be removed is named",
       .Files = {{"src", small}, {"ctr/", ""}, {"ctr/hosts", ""}},
       .Script = "unshare -m sh -c 'mount --bind src ctr/hosts && " + NoLeakCheck +
                 "strace -f -o /dev/null -e trace=unlink,unlinkat "
                 "-e inject=unlink,unlinkat:error=EPERM \"$T\" ctr/hosts 2>&1 | " +
                 MaskRandom + "'",
       .Out = "The hosts file has been optimized.\ntarnwk: ctr/hosts: the copy of its old content "
              "ctr/{P}-R.old could not be removed: Operation not permitted (delete it)\n"},
      {.Name = "what really failed is named",
       .Files = {{"hosts", small}},
       .Script = NoLeakCheck + "strace -o /dev/null -P \"$PWD/hosts\" -e trace=newfstatat "
                               "-e inject=newfstatat:error=EIO:when=1 \"$T\" \"$PWD/hosts\" "
                               "2>&1 | sed \"s|$PWD/||\"; "
                               "strace -o /dev/null -P \"$PWD/hosts\" -e trace=lseek "
                               "-e inject=lseek:error=EIO:when=3 \"$T\" hosts 2>&1; echo $?; "
                               "ln -s loop loop; \"$T\" loop 2>&1; echo $?; mknod full c 1 7; "
                               "\"$T\" -o - hosts 2>&1 >full; echo $?; "
                               "strace -o /dev/null -P \"$PWD\" -e trace=fsync "
                               "-e inject=fsync:error=EIO \"$T\" hosts 2>&1; echo $?",
       .Out = "tarnwk: hosts: Input/output error\ntarnwk: hosts: Input/output error\n1\n"
              "tarnwk: loop: Too many levels of symbolic links\n1\n"
              "tarnwk: standard output: No space left on device\n1\n"
              "The hosts file has been optimized.\ntarnwk: hosts: the folder could not be "
              "flushed to disk after the save: Input/output error\n1\n"},
      {.Name = "the next run clears what a killed run left, the backup's new file among it",
       .Files = {{"hosts", small}},
       .Script = "strace -f -o /dev/null -e trace=rename,renameat,renameat2 "
                 "-e inject=rename,renameat,renameat2:signal=KILL:when=1 \"$T\" -s -b hosts; "
                 "echo $?; ls -A | grep -c tarnwick; \"$T\" -s hosts; echo $?; ls -A | grep -c "
                 "tarnwick",
       .Out = "137\n1\n0\n0\n"},
      {.Name = "what others planted at the save's names is left alone and never read",
       .Files = {{"hosts", small}},
       .Original = small,
       .Script = "printf theirs > {P}-0123456789abcdef.old; chown 65534 {P}-0123456789abcdef.old; "
                 "chmod 600 {P}-0123456789abcdef.old; truncate -s 1T {P}-fedcba9876543210.old; "
                 "chown 65534 {P}-fedcba9876543210.old; mkdir {P}-00000000000000aa.tmp; "
                 "mkdir hosts.bak; { \"$T\" -b hosts 2>&1; echo $?; } | " +
                 MaskName +
                 "; cmp -s hosts original && echo whole; { \"$T\" hosts 2>&1; echo $?; } | " +
                 MaskName + "; cat {P}-0123456789abcdef.old; echo; ls -A | wc -l",
       .Out = "tarnwk: left alone: NAME and 2 more (not of this program's making)\n"
              "tarnwk: hosts: cannot make the backup hosts.bak: Is a directory\n1\nwhole\n"
              "tarnwk: left alone: NAME and 2 more (not of this program's making)\n"
              "The hosts file has been optimized.\n0\ntheirs\n6\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    TempFolder folder;
    for (const auto& [name, content] : row.Files) {
      if (name.ends_with('/'))
        fs::create_directory(folder.File(name.substr(0, name.size() - 1)));
      else
        WriteBytes(folder.File(name), content);
    }
    if (!row.Original.empty())
      WriteBytes(folder.File("original"), row.Original);
    // {P}: the start of the save's names of "hosts".
    const std::string prefix = Utf16ToFileName(SaveNamePrefix(u"hosts"));
    const std::string script = "cd '" + folder.Path().string() + "' && T='" + TARNWK_EXE +
                               "' && export T && " + Replace(row.Script, "{P}", prefix);
    const TProcessResult result = RunProcess({"/bin/sh", "-c", script});
    EXPECT_EQ(result.Out, Replace(row.Out, "{P}", prefix)) << result.Err;
  }
}

#endif // _WIN32
