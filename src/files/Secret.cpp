#include "files/Secret.h"

#include <string.h>
#include <sys/prctl.h>

#include <mutex>

namespace orvo::files {

namespace {

struct DumpableState {
  std::mutex lock;
  int holders = 0;
  int earlier = 1;
};

DumpableState& State() {
  static DumpableState state;
  return state;
}

} // namespace

void Cleanse(std::string& aText) {
  if (!aText.empty()) {
    ::explicit_bzero(aText.data(), aText.size());
  }
  aText.clear();
}

KeyHeldScope::KeyHeldScope() {
  auto& state = State();
  const std::lock_guard guard(state.lock);
  if (state.holders++ == 0) {
    state.earlier = ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0);
    (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  }
}

KeyHeldScope::~KeyHeldScope() {
  auto& state = State();
  const std::lock_guard guard(state.lock);
  if (--state.holders == 0 && state.earlier > 0) {
    (void)::prctl(PR_SET_DUMPABLE, state.earlier, 0, 0, 0);
  }
}

bool ProcessIsDumpable() {
  return ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) > 0;
}

} // namespace orvo::files
