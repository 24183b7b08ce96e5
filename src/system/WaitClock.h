#pragma once
// The time that waits for services use: sleeping and a millisecond tick
// count. Every wait of the system goes through a WaitClock so that tests can
// run waits of minutes instantly and count each sleep (FakeWaitClock).

#include <cstdint>
#include <functional>
#include <vector>

namespace orvo {

class WaitClock {
public:
  virtual ~WaitClock() = default;
  // Blocks the calling thread for aMilliseconds.
  virtual void Sleep(std::uint32_t aMilliseconds) = 0;
  // Milliseconds since an arbitrary fixed point; never goes back.
  virtual std::uint64_t TickCount() const = 0;
};

// The real clock: sleeps on the calling thread, ticks from the steady clock.
class RealWaitClock final : public WaitClock {
public:
  void Sleep(std::uint32_t aMilliseconds) override;
  std::uint64_t TickCount() const override;
};

// The process's real clock (lives for the whole run).
WaitClock& SystemWaitClock();

// A clock for tests: Sleep returns at once, records the pause and advances
// the tick count by it; OnSleep (when set) runs after each sleep, so that a
// test can let a scripted service move on while the code under test waits.
class FakeWaitClock final : public WaitClock {
public:
  void Sleep(std::uint32_t aMilliseconds) override;
  std::uint64_t TickCount() const override { return fTicks; }

  const std::vector<std::uint32_t>& Sleeps() const { return fSleeps; }
  std::uint64_t TotalSlept() const;
  void Advance(std::uint64_t aMilliseconds) { fTicks += aMilliseconds; }

  std::function<void(std::uint32_t aMilliseconds)> OnSleep;

private:
  std::uint64_t fTicks = 0;
  std::vector<std::uint32_t> fSleeps;
};

} // namespace orvo
