#pragma once
// The server product's buffered log writer (unit synclog) and the unit's
// start-up: when the debug switch \software\Tornvale\Orvo Network
// Monitor\Debug, value "buffer", is set, a TSyncLog writes to
// "buffer_core.log" in the program folder. The importer queues no lines, so
// its visible effect is the (empty) numbered log file, created at start-up
// and closed again within the first second.
//
// One thread writes; any thread may queue lines. Lines go to numbered files
// ("name (1).log" .. "name (maxid).log") that rotate once a file outgrows
// Alternate bytes. A new file is created with mode 0644 (never world-writable).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace orvo {

class TSyncLog {
public:
  struct Settings {
    bool adddate = false;             // base name is a format string taking "yyyymmdd" (%s)
    bool ping = false;                // kept for the server's code; nothing reads it here
    int Alternate = 64 * 1024 * 1024; // size limit of one file; <= 0: no numbering, no rotation
    int maxid = 2;                    // number of numbered files
    std::string FirstLine;            // first line of a new file when not empty
    int maxlines = 1000;              // queue limit of log(); 0: unlimited
    bool nocache = false;             // log() waits until the queue is written
  };

  // Creates the writer and starts its thread.
  static std::unique_ptr<TSyncLog> Create(const std::string& aFilename, const Settings& aSettings);
  static std::unique_ptr<TSyncLog> Create(const std::string& aFilename) {
    return Create(aFilename, Settings{});
  }

  // Stops the thread (after the queue is written) and waits for it.
  virtual ~TSyncLog();
  TSyncLog(const TSyncLog&) = delete;
  TSyncLog& operator=(const TSyncLog&) = delete;

  // Queues one line; waits in 10 ms steps while the queue is full, and with
  // nocache until it is written. Does not wait for a writer that has ended.
  void log(const std::string& s);
  // Adds s to the pending line, which is queued once it holds max characters.
  void log(const std::string& s, std::size_t max);
  // Waits until every queued line is written; the file is then closed.
  void flush();

  // Name of file number id: the base name (with the date when adddate),
  // its extension replaced by " (id)" + extension when Alternate > 0; id
  // has as many digits (leading zeros) as maxid.
  std::string getfilenameid(int id) const;
  // Name of the current file.
  std::string filename() const;
  // "yyyy-mm-dd hh:mm:ss.zzz (ttttt) ": local time and the calling thread's id.
  static std::string getLogentryPrefix();

  // "Synclog Error: <message>\r\nFilename: <file>" when the thread ended on
  // an error it could not get past; empty otherwise.
  std::string ErrorMessage() const;
  // True once the thread has ended (after Stop(), or on an error).
  bool Ended() const { return ended_.load(); }

protected:
  TSyncLog(std::string aFilename, Settings aSettings);
  // Starts the thread; Create() calls it once the object is complete.
  void Start();
  // Stops and joins the thread. A subclass that overrides GetHeader() calls
  // it in its own destructor, before its part of the object is gone.
  void Stop() noexcept;
  // Header line written after FirstLine into a new file; none here.
  virtual std::string GetHeader() const { return {}; }

private:
  using Clock = std::chrono::steady_clock;
  class LogFile;

  void Execute() noexcept;
  void RunLoop(LogFile& file);
  void WriteOneLine(LogFile& file);
  void OpenCurrentFile(LogFile& file);
  int ChooseCurrentFile() const;
  bool QueueEmpty();
  void SleepUnlessStopping(std::chrono::milliseconds time);

  const std::string ffilename;
  const Settings settings_;
  std::string line; // pending text of log(s, max)

  mutable std::mutex sync; // guards flogcache, line, falt, lw, error_
  std::condition_variable wake_;
  std::deque<std::string> flogcache;
  int falt = 1;
  Clock::time_point lw{}; // time of the last written line; epoch: none since the last flush
  std::string error_;

  std::atomic<bool> stop_{false};
  std::atomic<bool> ended_{false};
  std::thread thread_;
};

// The debug switch: HKEY_LOCAL_MACHINE\software\Tornvale\Orvo Network
// Monitor\Debug, value "buffer", read through TKavRegistry (so from pod.reg in
// file mode). Off when the key or value is missing or the key cannot be
// opened with full access. Raises ERegistryException in registry mode when
// "buffer" is no 32-bit number.
bool ReadDebugSwitch();

namespace synclog {

// The unit's start-up: reads the debug switch and, when set, starts the log
// writer on programFolder/"buffer_core.log".
void Initialize(const std::filesystem::path& programFolder);
// The unit's shut-down: stops and joins the writer.
void Finalize() noexcept;
// The running writer, or nullptr.
TSyncLog* Writer();

} // namespace synclog

} // namespace orvo
