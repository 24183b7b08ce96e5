#include "shared/SyncLog.h"

#include "shared/KavRegistry.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <optional>
#include <system_error>

namespace orvo {

namespace {

constexpr const char* kDebugKey = "\\software\\Tornvale\\Orvo Network Monitor\\Debug";
constexpr const char* kDebugValue = "buffer";
constexpr const char* kLogFileName = "buffer_core.log";
constexpr auto kCloseAfter = std::chrono::milliseconds(1000);
constexpr auto kIdleSleep = std::chrono::milliseconds(100);
constexpr auto kErrorSleep = std::chrono::milliseconds(1000);

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

std::string Today() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[48];
  std::snprintf(text, sizeof text, "%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday);
  return text;
}

int Digits(int number) {
  int digits = 1;
  while (number >= 10) {
    number /= 10;
    ++digits;
  }
  return digits;
}

} // namespace

// The current log file, open for appending.
class TSyncLog::LogFile {
public:
  LogFile() = default;
  ~LogFile() { Close(); }
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  const std::string& name() const { return name_; }

  void OpenAppend(const std::string& name) {
    Close();
    fd_ = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd_ < 0) {
      ThrowErrno("cannot open " + name);
    }
    name_ = name;
  }

  // Creates a missing file with its first lines. False when it already exists.
  static bool CreateNew(const std::string& name, const std::string& firstLines) {
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (errno == EEXIST) {
        return false;
      }
      ThrowErrno("cannot create " + name);
    }
    LogFile file;
    file.fd_ = fd;
    file.name_ = name;
    file.Write(firstLines);
    // Readable by everyone, writable by the owner only, whatever the umask.
    (void)::fchmod(fd, 0644);
    file.Close();
    return true;
  }

  void Write(const std::string& text) {
    std::string_view rest = text;
    while (!rest.empty()) {
      const ssize_t n = ::write(fd_, rest.data(), rest.size());
      if (n < 0) {
        if (errno == EINTR) {
          continue;
        }
        ThrowErrno("cannot write " + name_);
      }
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  std::uint64_t Size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
      ThrowErrno("cannot stat " + name_);
    }
    return static_cast<std::uint64_t>(st.st_size);
  }

  void Close() noexcept {
    if (fd_ >= 0) {
      (void)::close(fd_); // errors while closing are ignored
      fd_ = -1;
    }
  }

private:
  int fd_ = -1;
  std::string name_;
};

std::unique_ptr<TSyncLog> TSyncLog::Create(const std::string& aFilename,
                                           const Settings& aSettings) {
  std::unique_ptr<TSyncLog> log(new TSyncLog(aFilename, aSettings));
  log->Start();
  return log;
}

TSyncLog::TSyncLog(std::string aFilename, Settings aSettings)
    : ffilename(std::move(aFilename)), settings_(std::move(aSettings)) {}

TSyncLog::~TSyncLog() {
  Stop();
}

void TSyncLog::Start() {
  thread_ = std::thread([this] { Execute(); });
}

void TSyncLog::Stop() noexcept {
  {
    std::lock_guard lock(sync);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
}

void TSyncLog::log(const std::string& s) {
  if (settings_.maxlines > 0) {
    for (;;) {
      {
        std::lock_guard lock(sync);
        if (flogcache.size() < static_cast<std::size_t>(settings_.maxlines)) {
          break;
        }
      }
      if (ended_) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (ended_) {
    return; // no writer any more: queueing would only grow memory
  }
  {
    std::lock_guard lock(sync);
    flogcache.push_back(s);
  }
  wake_.notify_all();
  if (settings_.nocache) {
    while (!ended_ && !QueueEmpty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

void TSyncLog::log(const std::string& s, std::size_t max) {
  std::string full;
  {
    std::lock_guard lock(sync);
    line += s;
    if (line.size() < max) {
      return;
    }
    full.swap(line);
  }
  log(full);
}

void TSyncLog::flush() {
  {
    std::lock_guard lock(sync);
    lw = Clock::time_point{};
  }
  while (!ended_ && !QueueEmpty()) {
    std::this_thread::sleep_for(kIdleSleep);
  }
}

std::string TSyncLog::getfilenameid(int id) const {
  std::string name = ffilename;
  if (settings_.adddate) {
    const auto at = name.find("%s");
    if (at != std::string::npos) {
      name.replace(at, 2, Today());
    }
  }
  if (settings_.Alternate <= 0) {
    return name;
  }
  std::string number = std::to_string(id);
  const int width = Digits(std::max(settings_.maxid, 1));
  if (static_cast<int>(number.size()) < width) {
    number.insert(0, static_cast<std::size_t>(width) - number.size(), '0');
  }
  const auto slash = name.rfind('/');
  const auto dot = name.rfind('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  const auto stem = hasExtension ? name.substr(0, dot) : name;
  const auto extension = hasExtension ? name.substr(dot) : std::string();
  return stem + " (" + number + ")" + extension;
}

std::string TSyncLog::filename() const {
  int current = 1;
  {
    std::lock_guard lock(sync);
    current = falt;
  }
  return getfilenameid(current);
}

std::string TSyncLog::getLogentryPrefix() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[160];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d (%05ld) ",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(millis), static_cast<long>(::gettid()));
  return text;
}

std::string TSyncLog::ErrorMessage() const {
  std::lock_guard lock(sync);
  return error_;
}

bool TSyncLog::QueueEmpty() {
  std::lock_guard lock(sync);
  return flogcache.empty();
}

void TSyncLog::SleepUnlessStopping(std::chrono::milliseconds time) {
  std::unique_lock lock(sync);
  wake_.wait_for(lock, time, [this] { return stop_.load() || !flogcache.empty(); });
}

int TSyncLog::ChooseCurrentFile() const {
  int chosen = 1;
  std::optional<struct timespec> newest;
  for (int id = 1; id <= settings_.maxid; ++id) {
    struct stat st {};
    if (::stat(getfilenameid(id).c_str(), &st) != 0) {
      continue;
    }
    const auto& at = st.st_atim;
    // Strictly newer only: on equal times the lower number stays.
    if (!newest || at.tv_sec > newest->tv_sec ||
        (at.tv_sec == newest->tv_sec && at.tv_nsec > newest->tv_nsec)) {
      newest = at;
      chosen = id;
    }
  }
  return chosen;
}

void TSyncLog::OpenCurrentFile(LogFile& file) {
  const auto name = filename();
  const auto folder = std::filesystem::path(name).parent_path();
  if (!folder.empty()) {
    std::filesystem::create_directories(folder); // throws when it cannot
  }
  std::string firstLines;
  if (!settings_.FirstLine.empty()) {
    firstLines += settings_.FirstLine + "\n";
  }
  if (const auto header = GetHeader(); !header.empty()) {
    firstLines += header + "\n";
  }
  (void)LogFile::CreateNew(name, firstLines);
  file.OpenAppend(name);
}

void TSyncLog::WriteOneLine(LogFile& file) {
  std::string next;
  {
    std::lock_guard lock(sync);
    next = flogcache.front();
  }
  if (!file.IsOpen()) {
    OpenCurrentFile(file);
  }
  file.Write(next + "\n");
  {
    // Removed only once written: a line whose write failed is tried again.
    std::lock_guard lock(sync);
    flogcache.pop_front();
    lw = Clock::now();
  }
  if (settings_.Alternate > 0 && file.Size() > static_cast<std::uint64_t>(settings_.Alternate)) {
    file.Close();
    int next_id = 1;
    {
      std::lock_guard lock(sync);
      falt = falt >= settings_.maxid ? 1 : falt + 1;
      next_id = falt;
    }
    std::error_code ec;
    std::filesystem::remove(getfilenameid(next_id), ec);
  }
}

void TSyncLog::RunLoop(LogFile& file) {
  while (!(stop_ && QueueEmpty())) {
    try {
      if (QueueEmpty()) {
        Clock::time_point last;
        {
          std::lock_guard lock(sync);
          last = lw;
        }
        if (file.IsOpen() && (last == Clock::time_point{} || Clock::now() - last > kCloseAfter ||
                              file.name() != filename())) {
          file.Close();
        }
        SleepUnlessStopping(kIdleSleep);
      } else {
        WriteOneLine(file);
      }
    } catch (const std::exception&) {
      file.Close();
      if (stop_) {
        // Shutting down with lines that cannot be written: give up on them
        // rather than keep the process from ending.
        break;
      }
      SleepUnlessStopping(kErrorSleep);
    }
  }
  file.Close();
}

void TSyncLog::Execute() noexcept {
  (void)pthread_setname_np(pthread_self(), "Sysnclog");
  LogFile file;
  try {
    if (settings_.Alternate > 0) {
      const int chosen = ChooseCurrentFile();
      std::lock_guard lock(sync);
      falt = chosen;
    }
    OpenCurrentFile(file);
    RunLoop(file);
  } catch (const std::exception& e) {
    file.Close();
    std::string message;
    try {
      message = std::string("Synclog Error: ") + e.what() + "\r\nFilename: " + filename();
    } catch (...) {
      message = "Synclog Error";
    }
    std::lock_guard lock(sync);
    error_ = std::move(message);
  }
  ended_ = true;
}

bool ReadDebugSwitch() {
  TKavRegistry registry(KEY_ALL_ACCESS | KEY_WOW64_32KEY);
  registry.SetRootkey(RootKey::LocalMachine);
  if (!registry.OpenKey(kDebugKey, false) || !registry.ValueExists(kDebugValue)) {
    return false;
  }
  return registry.ReadBool(kDebugValue);
}

namespace synclog {

namespace {
std::mutex gWriterLock;
std::unique_ptr<TSyncLog> gWriter;
} // namespace

void Initialize(const std::filesystem::path& programFolder) {
  if (!ReadDebugSwitch()) {
    return;
  }
  auto writer = TSyncLog::Create((programFolder / kLogFileName).string());
  std::lock_guard lock(gWriterLock);
  gWriter = std::move(writer);
}

void Finalize() noexcept {
  std::unique_ptr<TSyncLog> writer;
  {
    std::lock_guard lock(gWriterLock);
    writer.swap(gWriter);
  }
  writer.reset(); // stops and joins the thread
}

TSyncLog* Writer() {
  std::lock_guard lock(gWriterLock);
  return gWriter.get();
}

} // namespace synclog

} // namespace orvo
