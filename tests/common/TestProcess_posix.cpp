#include "TestProcess.h"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TestFiles.h"

extern char** environ;

namespace testing_files {

TProcessResult RunProcess(const std::vector<std::string>& arguments,
                          const std::optional<std::string>& input) {
  TempFolder capture;
  const std::string outName = capture.File("stdout").string();
  const std::string errName = capture.File("stderr").string();

  int pipeEnds[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input) {
    // The input is small: it fits the pipe's buffer, so it is written before the child starts.
    EXPECT_LT(input->size(), 60000u);
    EXPECT_EQ(::pipe(pipeEnds), 0);
    size_t done = 0;
    while (done < input->size()) {
      const ssize_t moved = ::write(pipeEnds[1], input->data() + done, input->size() - done);
      if (moved <= 0)
        break;
      done += static_cast<size_t>(moved);
    }
    ::close(pipeEnds[1]);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outName.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errName.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);

  std::vector<char*> argv;
  for (const std::string& argument : arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  TProcessResult result;
  pid_t child = -1;
  const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (input)
    ::close(pipeEnds[0]);
  EXPECT_EQ(spawned, 0) << "cannot start " << arguments[0];
  if (spawned != 0)
    return result;

  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status))
    result.Status = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    result.Status = 128 + WTERMSIG(status);
  result.Out = ReadBytes(outName);
  result.Err = ReadBytes(errName);
  return result;
}

} // namespace testing_files
