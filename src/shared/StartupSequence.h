#pragma once
// The shared units' start-up as a table of steps run in order, with their
// shut-down in reverse order. A step's error ends the start-up: the steps
// that had started are shut down again and the error leaves, with the unit's
// prefix when it has one ("init KavTimezone: ", "Init Globals: ").

#include "shared/SharedUnits.h"

#include <functional>
#include <string>
#include <vector>

namespace orvo {

struct StartupStep {
  std::string unit;
  std::string errorPrefix;      // empty: the error leaves as it is
  std::function<void()> start;  // may be empty
  std::function<void()> finish; // may be empty; must not throw
};

class StartupSequence {
public:
  explicit StartupSequence(std::vector<StartupStep> steps) : steps_(std::move(steps)) {}
  ~StartupSequence() { Finish(); }
  StartupSequence(const StartupSequence&) = delete;
  StartupSequence& operator=(const StartupSequence&) = delete;

  // Runs every step's start. Throws what a step threw (std::runtime_error
  // with the step's prefix and the message when the step has a prefix).
  void Start();
  // Runs the finish of every started step, last first. Idempotent.
  void Finish() noexcept;

  const std::vector<StartupStep>& steps() const { return steps_; }

private:
  std::vector<StartupStep> steps_;
  std::size_t started_ = 0;
};

// The product's steps, in link order (steps that only build in-memory objects
// that nothing in this program reads have no entry).
std::vector<StartupStep> SharedUnitSteps(const SharedUnitsConfig& config);

} // namespace orvo
