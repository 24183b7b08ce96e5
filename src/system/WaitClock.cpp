#include "system/WaitClock.h"

#include <chrono>
#include <numeric>
#include <thread>

namespace orvo {

void RealWaitClock::Sleep(std::uint32_t aMilliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(aMilliseconds));
}

std::uint64_t RealWaitClock::TickCount() const {
  const auto sinceEpoch = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count());
}

WaitClock& SystemWaitClock() {
  static RealWaitClock clock;
  return clock;
}

void FakeWaitClock::Sleep(std::uint32_t aMilliseconds) {
  fSleeps.push_back(aMilliseconds);
  fTicks += aMilliseconds;
  if (OnSleep) {
    OnSleep(aMilliseconds);
  }
}

std::uint64_t FakeWaitClock::TotalSlept() const {
  return std::accumulate(fSleeps.begin(), fSleeps.end(), std::uint64_t{0});
}

} // namespace orvo
