#pragma once
// The data folder beside the program holds scratch copies of private keys
// while step 3 runs. Before anything is written into it, it must be a real
// folder (not a link) of the user running the program, closed to everybody
// else; scratch files a killed run left behind are removed.

#include <string>
#include <vector>

namespace orvo::files {

// Scratch files of the verification step.
inline const std::vector<std::string> kScratchFileNames = {"orvo.crt", "root.pem", "orvo.key"};

struct DataFolderResult {
  bool safe = false;
  // Why the folder is not safe, e.g. "it is a link"; empty when safe.
  std::string reason;
  // The folder could not be created; not an error at start (later writes into
  // it fail and are reported where they happen).
  bool missing = false;
};

// Creates aPath (with its parents) when missing, with mode 0700; an existing
// folder must not be a link and must belong to the effective user; its mode
// becomes 0700 and leftover scratch files (and their temporary names) are
// removed, links among them as links.
[[nodiscard]] DataFolderResult PrepareDataFolder(const std::string& aPath);

// "The data folder " + path + " is not safe to use: " + reason
[[nodiscard]] std::string DataFolderMessage(const std::string& aPath, const std::string& aReason);

} // namespace orvo::files
