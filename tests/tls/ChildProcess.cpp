#include "tls/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace orvo::test {

TChildProcess::TChildProcess(const std::vector<std::string>& aArguments) {
  int pipeFds[2];
  int inputFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  if (::pipe2(inputFds, O_CLOEXEC) != 0) {
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inputFds[0], 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  std::vector<char*> argv;
  for (const std::string& argument : aArguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  const int spawned = ::posix_spawn(&fPid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  ::close(inputFds[0]);
  fOutputFd = pipeFds[0];
  fInputFd = inputFds[1];
  if (spawned != 0) {
    ::close(fOutputFd);
    CloseInput();
    throw std::runtime_error("cannot start " + aArguments.front());
  }
}

TChildProcess::~TChildProcess() {
  if (fPid > 0) {
    ::kill(fPid, SIGKILL);
    ::waitpid(fPid, nullptr, 0);
  }
  if (fOutputFd >= 0) {
    ::close(fOutputFd);
  }
  CloseInput();
}

void TChildProcess::CloseInput() {
  if (fInputFd >= 0) {
    ::close(fInputFd);
    fInputFd = -1;
  }
}

bool TChildProcess::ReadSome(std::chrono::milliseconds aLimit) {
  pollfd entry{fOutputFd, POLLIN, 0};
  if (::poll(&entry, 1, static_cast<int>(aLimit.count())) <= 0) {
    return false;
  }
  char buffer[4096];
  const ssize_t count = ::read(fOutputFd, buffer, sizeof(buffer));
  if (count <= 0) {
    return false;
  }
  fOutput.append(buffer, static_cast<std::size_t>(count));
  return true;
}

bool TChildProcess::WaitForOutput(const std::string& aText, std::chrono::milliseconds aLimit) {
  const auto deadline = std::chrono::steady_clock::now() + aLimit;
  while (fOutput.find(aText) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !ReadSome(left)) {
      return fOutput.find(aText) != std::string::npos;
    }
  }
  return true;
}

int TChildProcess::Wait(std::chrono::milliseconds aLimit) {
  CloseInput();
  const auto deadline = std::chrono::steady_clock::now() + aLimit;
  // Drain the output until the child closes it (it ends) or time runs out.
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !ReadSome(left)) {
      break;
    }
  }
  int status = 0;
  pid_t ended = ::waitpid(fPid, &status, WNOHANG);
  while (ended == 0 && std::chrono::steady_clock::now() < deadline) {
    pollfd none{-1, 0, 0};
    ::poll(&none, 0, 10);
    ended = ::waitpid(fPid, &status, WNOHANG);
  }
  if (ended != fPid) {
    return -1; // the destructor kills it
  }
  fPid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string FindProgram(const std::string& aName) {
  const char* const path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= folders.size()) {
    const std::size_t end = std::min(folders.find(':', start), folders.size());
    const std::filesystem::path candidate =
        std::filesystem::path(folders.substr(start, end - start)) / aName;
    if (::access(candidate.c_str(), X_OK) == 0) {
      return candidate.string();
    }
    start = end + 1;
  }
  return {};
}

} // namespace orvo::test
