#pragma once
// Where the monitoring server's core is installed, from its registry entry
// HKEY_LOCAL_MACHINE\SOFTWARE\Tornvale\Orvo Network Monitor\Server\Core,
// value "Exepath". Nothing else is consulted to find the server.

#include <string>

namespace orvo {

// True when the server's key could be opened; path is then the value
// "Exepath" ("" when the value is missing or empty; an expandable string is
// returned unexpanded). False with an empty path when the key is missing or
// cannot be read. Throws ERegistryException "Invalid data type for 'Exepath'"
// when the value exists but is no string.
[[nodiscard]] bool GetCoreExePath(std::string& path);

// The server's certificate folder below its program folder: path with a
// trailing '/' added when missing, then "cert/". An empty path gives "/cert/".
std::string CoreCertFolder(const std::string& exePath);

} // namespace orvo
