#pragma once
// A child process for the cross-checks with the openssl command-line tool:
// stdin from a pipe that stays open until Wait() (the tool ends at the end of
// its input), stdout and stderr into one pipe. The destructor kills
// and reaps the child, so no test leaves one behind.

#include <chrono>
#include <string>
#include <vector>

#include <sys/types.h>

namespace orvo::test {

class TChildProcess {
public:
  explicit TChildProcess(const std::vector<std::string>& aArguments);
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // Reads output until it contains aText; false when the child ends or aLimit
  // passes first.
  bool WaitForOutput(const std::string& aText, std::chrono::milliseconds aLimit);
  // Closes the child's input, waits for the child to end (killing it after aLimit) and returns its
  // exit status, or -1 when it had to be killed.
  int Wait(std::chrono::milliseconds aLimit);
  [[nodiscard]] const std::string& Output() const { return fOutput; }

private:
  bool ReadSome(std::chrono::milliseconds aLimit);
  void CloseInput();

  pid_t fPid = -1;
  int fOutputFd = -1;
  int fInputFd = -1;
  std::string fOutput;
};

// Full path of a program on PATH, or "" when there is none.
std::string FindProgram(const std::string& aName);

} // namespace orvo::test
