#pragma once
// Shows the busy cursor for the lifetime of the guard and restores the
// previous cursor whatever happens (return, exception). Guards nest.

namespace orvo::ui {

class BusyCursor {
public:
  BusyCursor();
  ~BusyCursor();
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;
};

} // namespace orvo::ui
