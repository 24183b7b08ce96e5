#include "BenchSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace orvo::bench {

namespace fs = std::filesystem;

namespace {

// Keys that pair with no certificate of the folders start at this slot.
constexpr int kDecoyKeySlot = 300;
// The key of every certificate but the one that pairs in a scan folder.
constexpr int kCommonKeySlot = 3;
constexpr int kMatchKeySlot = 2;

class Argv {
public:
  explicit Argv(const std::vector<std::string>& aArgs) : fArgs(aArgs) {
    for (std::string& arg : fArgs) {
      fPointers.push_back(arg.data());
    }
    fPointers.push_back(nullptr);
  }
  char* const* get() { return fPointers.data(); }

private:
  std::vector<std::string> fArgs;
  std::vector<char*> fPointers;
};

std::vector<std::string> EnvironmentWith(const std::vector<std::string>& aExtra) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    env.emplace_back(*e);
  }
  env.insert(env.end(), aExtra.begin(), aExtra.end());
  return env;
}

ChildResult WaitFor(pid_t aPid) {
  ChildResult result;
  int status = 0;
  rusage usage{};
  if (::wait4(aPid, &status, 0, &usage) == aPid) {
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.peakRssKb = usage.ru_maxrss;
  }
  return result;
}

void Check(int aError, const char* aWhat) {
  if (aError != 0) {
    throw std::runtime_error(std::string(aWhat) + " failed");
  }
}

} // namespace

ChildResult Run(const std::vector<std::string>& aArgv, const std::vector<std::string>& aEnv) {
  posix_spawn_file_actions_t actions;
  Check(posix_spawn_file_actions_init(&actions), "posix_spawn_file_actions_init");
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  Argv argv(aArgv);
  Argv env(EnvironmentWith(aEnv));
  pid_t pid = -1;
  const int error = posix_spawnp(&pid, aArgv.front().c_str(), &actions, nullptr, argv.get(),
                                 aEnv.empty() ? environ : env.get());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    return {};
  }
  return WaitFor(pid);
}

Child::Child(const std::vector<std::string>& aArgv) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  Check(posix_spawn_file_actions_init(&actions), "posix_spawn_file_actions_init");
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  Argv argv(aArgv);
  const int error =
      posix_spawnp(&fPid, aArgv.front().c_str(), &actions, nullptr, argv.get(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  fOut = pipeFds[0];
  if (error != 0) {
    fPid = -1;
  }
}

Child::~Child() {
  if (fPid > 0) {
    ::kill(fPid, SIGTERM);
    (void)WaitFor(fPid);
  }
  if (fOut >= 0) {
    ::close(fOut);
  }
}

bool Child::WaitForLine(const std::string& aPrefix) {
  for (;;) {
    for (std::size_t end; (end = fBuffer.find('\n')) != std::string::npos;) {
      const std::string line = fBuffer.substr(0, end);
      fBuffer.erase(0, end + 1);
      if (line.starts_with(aPrefix)) {
        return true;
      }
    }
    char chunk[512];
    const ssize_t got = ::read(fOut, chunk, sizeof chunk);
    if (got <= 0) {
      return false;
    }
    fBuffer.append(chunk, static_cast<std::size_t>(got));
  }
}

ChildResult Child::Wait() {
  const ChildResult result = fPid > 0 ? WaitFor(fPid) : ChildResult{};
  fPid = -1;
  return result;
}

std::string OpensslExe() {
  const char* exe = std::getenv("ORVO_OPENSSL");
  return exe != nullptr ? exe : "openssl";
}

unsigned FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  unsigned port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  if (fd >= 0) {
    ::close(fd);
  }
  return port;
}

Folders& Folders::instance() {
  static Folders folders;
  return folders;
}

const std::vector<test::TestCert>& Folders::Certs(int aCount) {
  auto& pki = test::TestPki::instance();
  while (static_cast<int>(fCerts.size()) < aCount) {
    test::CertSpec certSpec;
    certSpec.commonName = "bench" + std::to_string(fCerts.size()) + ".test.local";
    certSpec.keySlot = kCommonKeySlot;
    fCerts.push_back(pki.issue(certSpec));
  }
  return fCerts;
}

const test::Path& Folders::Scan(int aCerts, int aKeys) {
  for (const auto& [size, path] : fScans) {
    if (size == std::make_pair(aCerts, aKeys)) {
      return path;
    }
  }
  auto& pki = test::TestPki::instance();
  const test::Path folder =
      fRoot / ("scan-" + std::to_string(aCerts) + "-" + std::to_string(aKeys));
  fs::create_directories(folder);
  const auto& certs = Certs(aCerts - 1);
  for (int i = 0; i < aCerts - 1; ++i) {
    test::writeCertPem(folder / ("cert" + std::to_string(i) + ".crt"),
                       certs[static_cast<std::size_t>(i)]);
  }
  const test::TestCert match = pki.server("match.test.local");
  test::writeCertPem(folder / "match.crt", match);
  test::writeCertPem(folder / "intermediate.crt", pki.intermediate());
  test::writeCertPem(folder / "root.crt", pki.root());
  for (int i = 0; i < aKeys - 1; ++i) {
    test::writeKey(folder / ("key" + std::to_string(i) + ".key"),
                   pki.rsaKey(2048, kDecoyKeySlot + i).get(), test::KeyFormat::PemRsa);
  }
  test::writeKey(folder / "match.key", pki.rsaKey(2048, kMatchKeySlot).get(),
                 test::KeyFormat::PemRsa);
  fScans.emplace_back(std::make_pair(aCerts, aKeys), folder);
  return fScans.back().second;
}

const std::string& Folders::ServerTree() {
  if (!fTree.empty()) {
    return fTree;
  }
  auto& pki = test::TestPki::instance();
  const auto& certs = Certs(1000);
  for (int f = 0; f < 10; ++f) {
    const test::Path folder = fRoot / "tree" / ("site" + std::to_string(f));
    fs::create_directories(folder);
    for (int i = 0; i < 100; ++i) {
      const int n = f * 100 + i;
      test::writeCertPem(folder / ("server" + std::to_string(n) + ".pem"),
                         certs[static_cast<std::size_t>(n)]);
    }
    test::writeKey(folder / "server.key", pki.rsaKey(2048, kCommonKeySlot).get(),
                   test::KeyFormat::PemRsa);
    if (!fTree.empty()) {
      fTree += ':';
    }
    fTree += folder.string();
  }
  return fTree;
}

std::vector<std::string> Folders::ServerTreeCertFiles() {
  std::vector<std::string> files;
  std::string list = ServerTree();
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t end = std::min(list.find(':', start), list.size());
    for (const std::string& file : DistinctFiles(list.substr(start, end - start))) {
      if (file.ends_with(".pem")) {
        files.push_back(file);
      }
    }
    start = end + 1;
  }
  return files;
}

const test::Path& Folders::Verification(int aKey) {
  for (const auto& [key, path] : fVerification) {
    if (key == aKey) {
      return path;
    }
  }
  auto& pki = test::TestPki::instance();
  test::CertSpec certSpec;
  certSpec.commonName = "verify" + std::to_string(aKey) + ".test.local";
  certSpec.keyType = aKey == 256     ? test::KeyType::EcP256
                     : aKey == 25519 ? test::KeyType::Ed25519
                                     : test::KeyType::Rsa;
  certSpec.keyBits = aKey;
  certSpec.keySlot = kMatchKeySlot;
  const test::TestCert server = pki.issue(certSpec);
  // orvo.key as the verification step writes it: RSA PEM for RSA, PKCS#8
  // for the others.
  const test::KeyFormat keyFormat =
      certSpec.keyType == test::KeyType::Rsa ? test::KeyFormat::PemRsa : test::KeyFormat::PemPkcs8;
  const test::Path folder = fRoot / ("verify-" + std::to_string(aKey));
  fs::create_directories(folder);
  test::writeCertsPem(folder / "server.pem", {server, pki.intermediate(), pki.root()});
  test::writeKey(folder / "server.key", server, keyFormat);
  // The three files in the form the verification step writes them, for the
  // OpenSSL peer.
  test::writeCertPem(folder / "orvo.crt", server);
  test::writeCertsPem(folder / "root.pem", {server, pki.intermediate(), pki.root()});
  test::writeKey(folder / "orvo.key", server, keyFormat);
  fVerification.emplace_back(aKey, folder);
  return fVerification.back().second;
}

test::Path Folders::Empty() {
  const test::Path folder = fRoot / "empty";
  fs::create_directories(folder);
  return folder;
}

std::vector<std::string> DistinctFiles(const std::string& aFolder) {
  std::set<std::pair<dev_t, ino_t>> seen;
  std::vector<std::string> files;
  std::error_code ec;
  for (fs::directory_iterator it(aFolder, ec), end; !ec && it != end; it.increment(ec)) {
    struct stat st {};
    if (::stat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      continue;
    }
    if (seen.insert({st.st_dev, st.st_ino}).second) {
      files.push_back(it->path().string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

} // namespace orvo::bench
