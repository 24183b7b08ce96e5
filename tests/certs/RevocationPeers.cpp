#include "RevocationPeers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern char** environ;

namespace orvo::test {

namespace {

sockaddr_in loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

int boundPort(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("getsockname failed");
  }
  return ntohs(addr.sin_port);
}

std::string readText(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string asn1Time(std::time_t t) {
  char buf[32];
  std::tm tm{};
  gmtime_r(&t, &tm);
  std::strftime(buf, sizeof buf, "%y%m%d%H%M%SZ", &tm);
  return buf;
}

} // namespace

// The loopback TLS test owns port 51203; these peers never take it.
constexpr int kReservedPort = 51203;

int freeLoopbackPort() {
  while (true) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in addr = loopback(0);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      throw std::runtime_error("cannot bind a loopback port");
    }
    const int port = boundPort(fd);
    ::close(fd);
    if (port != kReservedPort) {
      return port;
    }
  }
}

// ---- HttpFileServer -------------------------------------------------------------------------

HttpFileServer::HttpFileServer(Mode mode) : mode_(mode) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in addr = loopback(freeLoopbackPort());
  if (listenFd_ < 0 ||
      ::bind(listenFd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 16) != 0 || ::pipe2(stopPipe_, O_CLOEXEC) != 0) {
    throw std::runtime_error("HTTP test server cannot listen");
  }
  port_ = boundPort(listenFd_);
  thread_ = std::thread([this] { run(); });
}

HttpFileServer::~HttpFileServer() {
  (void)::write(stopPipe_[1], "x", 1);
  thread_.join();
  ::close(listenFd_);
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
}

void HttpFileServer::setBody(std::string body) {
  std::lock_guard lock(mutex_);
  body_ = std::move(body);
}

void HttpFileServer::setBody(const std::string& path, std::string body) {
  std::lock_guard lock(mutex_);
  bodies_[path] = std::move(body);
}

int HttpFileServer::requests(const std::string& path) const {
  std::lock_guard lock(mutex_);
  const auto it = perPath_.find(path);
  return it == perPath_.end() ? 0 : it->second;
}

std::string HttpFileServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void HttpFileServer::run() {
  std::vector<int> held; // Silent mode: connections kept open unanswered
  while (true) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN) != 0) {
      break;
    }
    const int conn = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) {
      continue;
    }
    ++requests_;
    if (mode_ == Mode::Silent) {
      held.push_back(conn);
      continue;
    }
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = ::recv(conn, buf, sizeof buf, 0);
      if (n <= 0) {
        break;
      }
      request.append(buf, static_cast<size_t>(n));
    }
    // "GET /path HTTP/1.0": a body of its own for the path, else the default.
    const auto pathStart = request.find(' ');
    const auto pathEnd = request.find(' ', pathStart + 1);
    const std::string path = pathStart == std::string::npos || pathEnd == std::string::npos
                                 ? std::string()
                                 : request.substr(pathStart + 1, pathEnd - pathStart - 1);
    std::string body;
    {
      std::lock_guard lock(mutex_);
      ++perPath_[path];
      const auto it = bodies_.find(path);
      body = it != bodies_.end() ? it->second : body_;
    }
    const std::string answer = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
                               "Content-Length: " +
                               std::to_string(body.size()) + "\r\n\r\n" + body;
    (void)::send(conn, answer.data(), answer.size(), MSG_NOSIGNAL);
    ::close(conn);
  }
  for (const int fd : held) {
    ::close(fd);
  }
}

// ---- OcspResponder ----------------------------------------------------------------------------

OcspResponder::OcspResponder(int port, const TestCert& ca, const TestCert& signer,
                             const std::vector<OcspEntry>& entries)
    : port_(port) {
  const std::time_t now = std::time(nullptr);
  std::string index;
  for (const auto& e : entries) {
    index += std::string(e.revoked ? "R" : "V") + "\t" + asn1Time(now + 30 * 86400) + "\t" +
             (e.revoked ? asn1Time(now - 3600) : "") + "\t" + e.cert.serialHex() +
             "\tunknown\t/CN=test\n";
  }
  writeFile(dir_ / "index.txt", index);
  writeCertPem(dir_ / "ca.pem", ca);
  writeCertPem(dir_ / "signer.pem", signer);
  writeKey(dir_ / "signer.key", signer, KeyFormat::PemPkcs8);

  const std::string portText = std::to_string(port);
  const std::string paths[] = {(dir_ / "index.txt").string(), (dir_ / "ca.pem").string(),
                               (dir_ / "signer.pem").string(), (dir_ / "signer.key").string()};
  std::vector<const char*> argv = {"openssl",     "ocsp",
                                   "-index",      paths[0].c_str(),
                                   "-CA",         paths[1].c_str(),
                                   "-rsigner",    paths[2].c_str(),
                                   "-rkey",       paths[3].c_str(),
                                   "-port",       portText.c_str(),
                                   "-nmin",       "10",
                                   "-ignore_err", nullptr};
  const std::string log = (dir_ / "responder.log").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(), O_WRONLY | O_CREAT, 0644);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, "openssl", &actions, nullptr,
                              const_cast<char* const*>(argv.data()), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    throw std::runtime_error("cannot start openssl ocsp");
  }
  pid_ = pid;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  // A test connection would block this single-threaded responder, so it is
  // ready when it says so.
  while (readText(log).find("waiting for OCSP client connections") == std::string::npos) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      throw std::runtime_error("openssl ocsp ended at start");
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
      throw std::runtime_error("openssl ocsp did not start listening");
    }
    ::usleep(20000);
  }
}

OcspResponder::~OcspResponder() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::string OcspResponder::url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

} // namespace orvo::test
