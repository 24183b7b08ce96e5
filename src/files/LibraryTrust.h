#pragma once
// Whether a shared library may be loaded into this process: the file and
// every folder above it (of the path as named and of the file it resolves
// to) belong to root or to the user running the program, and nobody else may
// write any of them. A library that anyone else could have replaced would
// run its code with the rights of this process, which is often root.

#include <string>

namespace orvo::files {

// True when aPath may be loaded; otherwise false with the reason, e.g.
// "/opt/x/redist is writable by others".
[[nodiscard]] bool IsTrustedLibrary(const std::string& aPath, std::string& aReason);

} // namespace orvo::files
