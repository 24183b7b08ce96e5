#pragma once
// Helpers shared by the benchmark programs: running a command line and
// waiting for it, and the folders of certificates and keys that both our code
// and the OpenSSL command line read in a benchmark pair.

#include "support/TestPki.h"

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace orvo::bench {

// How a finished child process went.
struct ChildResult {
  int exitCode = -1; // -1: killed by a signal or not started
  long peakRssKb = 0;
};

// Runs the program with the arguments (argv[0] is looked up in PATH), with
// stdin, stdout and stderr on /dev/null and `aEnv` added to the environment,
// and waits for it.
ChildResult Run(const std::vector<std::string>& aArgv, const std::vector<std::string>& aEnv = {});

// A child that keeps running while the benchmark talks to it: its stdout is a
// pipe that WaitForLine reads.
class Child {
public:
  explicit Child(const std::vector<std::string>& aArgv);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // Reads stdout until a line starts with `aPrefix`; false at end of output.
  bool WaitForLine(const std::string& aPrefix);
  ChildResult Wait();

private:
  pid_t fPid = -1;
  int fOut = -1;
  std::string fBuffer;
};

// The `openssl` command line on this machine.
std::string OpensslExe();

// A TCP port on 127.0.0.1 that was free a moment ago.
unsigned FreeLoopbackPort();

// Test PKI folders made once per process and removed at its end.
class Folders {
public:
  static Folders& instance();

  // `aCerts` server certificates (the last of them pairs with a key of the
  // folder), the intermediate and root as their own files, and `aKeys` key
  // files of which the last written is the one that pairs.
  const test::Path& Scan(int aCerts, int aKeys);
  // A tree of 10 folders with 100 server certificates each and a key file
  // that pairs with most of them; the folder list for ORVO_MACHINE_STORE.
  const std::string& ServerTree();
  // The files of the tree's folders, links resolved and each once.
  std::vector<std::string> ServerTreeCertFiles();
  // A folder with server.pem (certificate, intermediate, root) and
  // server.key for the verification step.
  // aKey: RSA bits (2048, 4096), 256 for EC P-256 or 25519 for Ed25519.
  const test::Path& Verification(int aKey);
  // An empty folder, for a machine store with nothing in it.
  test::Path Empty();

  test::Path Root() const { return fRoot.path(); }

private:
  Folders() = default;
  const std::vector<test::TestCert>& Certs(int aCount);

  test::TempDir fRoot;
  std::vector<test::TestCert> fCerts;
  std::vector<std::pair<std::pair<int, int>, test::Path>> fScans;
  std::string fTree;
  std::vector<std::pair<int, test::Path>> fVerification;
};

// Distinct plain files of a folder (links to the same file once), sorted.
std::vector<std::string> DistinctFiles(const std::string& aFolder);

} // namespace orvo::bench
