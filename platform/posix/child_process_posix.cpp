// SPDX-License-Identifier: MIT
#include "platform/child_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

extern char** environ;

namespace brelvane::platform {

OsError SpawnProcess(const std::vector<std::string>& argv,
                     const std::vector<std::pair<std::string, std::string>>& extra_env,
                     ProcessId* out) {
  if (argv.empty()) return EINVAL;
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> env_text;
  for (const auto& [name, value] : extra_env) env_text.push_back(name + "=" + value);
  std::vector<char*> env;
  for (std::string& text : env_text) env.push_back(text.data());
  for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
  env.push_back(nullptr);
  pid_t pid = 0;
  const int err = ::posix_spawn(&pid, argv[0].c_str(), nullptr, nullptr, args.data(), env.data());
  if (err != 0) return err;
  *out = pid;
  return 0;
}

OsError KillProcess(ProcessId pid) {
  return ::kill(static_cast<pid_t>(pid), SIGKILL) == 0 ? 0 : errno;
}

OsError StopProcess(ProcessId pid) {
  return ::kill(static_cast<pid_t>(pid), SIGTERM) == 0 ? 0 : errno;
}

OsError WaitProcess(ProcessId pid, int* exit_code) {
  int status = 0;
  pid_t rc;
  do {
    rc = ::waitpid(static_cast<pid_t>(pid), &status, 0);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return errno;
  *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return 0;
}

std::string CurrentExecutablePath() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

}  // namespace brelvane::platform
