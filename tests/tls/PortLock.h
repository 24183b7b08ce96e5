#pragma once
// Holds an exclusive lock on a file named for the port while a test uses
// 127.0.0.1:51203. ctest's RESOURCE_LOCK serialises the tests of one ctest
// run; this lock also serialises test programs of different build trees
// (several checkouts on one machine, a benchmark run beside the tests).

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

namespace orvo::test {

class TPortLock {
public:
  explicit TPortLock(unsigned aPort = 51203)
      : fFd(::open(("/tmp/orvo-port-" + std::to_string(aPort) + ".lock").c_str(),
                   O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
    if (fFd >= 0) {
      ::flock(fFd, LOCK_EX);
    }
  }
  ~TPortLock() {
    if (fFd >= 0) {
      ::close(fFd); // releases the lock
    }
  }
  TPortLock(const TPortLock&) = delete;
  TPortLock& operator=(const TPortLock&) = delete;

private:
  int fFd;
};

} // namespace orvo::test
