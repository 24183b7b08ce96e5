#include "shared/SyncLog.h"

#include "shared/SharedTestSupport.h"
#include "system/ScratchDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

namespace orvo {
namespace {

using test::Eventually;
using test::IsOpenInThisProcess;
using test::ReadFile;
using test::ScratchDir;
using test::WriteFile;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

class SyncLogTest : public ::testing::Test {
protected:
  std::string Base() const { return (dir_ / "buffer_core.log").string(); }
  std::filesystem::path Numbered(int id) const {
    return dir_ / ("buffer_core (" + std::to_string(id) + ").log");
  }

  ScratchDir dir_;
};

struct FileNameCase {
  const char* name;
  TSyncLog::Settings settings;
  const char* base;
  int id;
  const char* expected;
};

class FileNameTest : public ::testing::TestWithParam<FileNameCase> {};

// A subclass that only exposes the naming of a writer that never starts.
class NamingLog : public TSyncLog {
public:
  NamingLog(const std::string& base, const TSyncLog::Settings& settings)
      : TSyncLog(base, settings) {}
};

TEST_P(FileNameTest, NumbersTheBaseName) {
  const NamingLog log(GetParam().base, GetParam().settings);
  EXPECT_EQ(log.getfilenameid(GetParam().id), GetParam().expected);
}

TSyncLog::Settings With(int alternate, int maxid) {
  TSyncLog::Settings settings;
  settings.Alternate = alternate;
  settings.maxid = maxid;
  return settings;
}

INSTANTIATE_TEST_SUITE_P(
    Names, FileNameTest,
    ::testing::Values(
        FileNameCase{"Defaults", {}, "/p/buffer_core.log", 1, "/p/buffer_core (1).log"},
        FileNameCase{"PaddedToDigitsOfMaxid", With(100, 10), "/p/a.log", 3, "/p/a (03).log"},
        FileNameCase{"NoExtension", {}, "/p.d/log", 2, "/p.d/log (2)"},
        FileNameCase{"NoNumbersWithoutAlternate", With(0, 2), "/p/a.log", 2, "/p/a.log"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SyncLogNames, DateGoesIntoTheBaseName) {
  TSyncLog::Settings settings;
  settings.adddate = true;
  const NamingLog log("/p/core_%s.log", settings);
  EXPECT_THAT(log.getfilenameid(1), MatchesRegex("/p/core_20[0-9]{6} \\(1\\)\\.log"));
}

TEST(SyncLogNames, EntryPrefixHasTimeAndThreadId) {
  EXPECT_THAT(TSyncLog::getLogentryPrefix(),
              MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} "
                           "\\([0-9]{5,}\\) "));
}

TEST_F(SyncLogTest, CreatesTheFirstFileEmptyWithMode0644AndClosesItAtOnce) {
  const mode_t old = ::umask(077);
  auto log = TSyncLog::Create(Base());
  ::umask(old);
  ASSERT_TRUE(Eventually([&] { return std::filesystem::exists(Numbered(1)); }));
  // No line was written, so the writer closes the file on its first idle pass.
  EXPECT_TRUE(Eventually([&] { return !IsOpenInThisProcess(Numbered(1)); },
                         std::chrono::milliseconds(1000)));
  EXPECT_EQ(ReadFile(Numbered(1)), "");
  struct stat st {};
  ASSERT_EQ(::stat(Numbered(1).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_FALSE(std::filesystem::exists(Numbered(2)));
  log.reset();
  EXPECT_FALSE(std::filesystem::exists(Base()));
}

TEST_F(SyncLogTest, NewFileStartsWithTheFirstLine) {
  TSyncLog::Settings settings;
  settings.FirstLine = "-- start --";
  auto log = TSyncLog::Create(Base(), settings);
  log->log("one");
  log.reset(); // stopping writes what is queued
  EXPECT_EQ(ReadFile(Numbered(1)), "-- start --\none\n");
}

TEST_F(SyncLogTest, ContinuesInTheFileAccessedLast) {
  WriteFile(Numbered(1), "old\n");
  WriteFile(Numbered(2), "older\n");
  const auto setAccess = [](const std::filesystem::path& file, time_t seconds) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  };
  setAccess(Numbered(1), 1000000);
  setAccess(Numbered(2), 2000000);
  auto log = TSyncLog::Create(Base());
  log->log("new");
  log->flush();
  EXPECT_EQ(log->filename(), Numbered(2).string());
  log.reset();
  EXPECT_EQ(ReadFile(Numbered(2)), "older\nnew\n");

  // On equal times the lower number wins.
  setAccess(Numbered(1), 3000000);
  setAccess(Numbered(2), 3000000);
  log = TSyncLog::Create(Base());
  log->log("again");
  log.reset();
  EXPECT_EQ(ReadFile(Numbered(1)), "old\nagain\n");
}

TEST_F(SyncLogTest, RotatesThroughTheNumberedFilesOnceOneOutgrowsTheLimit) {
  auto log = TSyncLog::Create(Base(), With(10, 2));
  for (const char* line : {"aaaaaaa", "bbbbbbb", "ccccccc", "ddddddd", "eeeeeee"}) {
    log->log(line);
  }
  log.reset();
  // (1) passed 10 bytes with b: on to (2); (2) passed them with d: back to
  // (1), which is emptied first, so e starts it afresh.
  EXPECT_EQ(ReadFile(Numbered(1)), "eeeeeee\n");
  EXPECT_EQ(ReadFile(Numbered(2)), "ccccccc\nddddddd\n");
}

TEST_F(SyncLogTest, FlushWritesTheQueueAndTheFileIsClosedAgain) {
  auto log = TSyncLog::Create(Base());
  log->log("x");
  log->log("part-", 8);
  log->log("two", 8); // "part-two" reaches 8 characters and is queued
  log->flush();
  EXPECT_EQ(ReadFile(Numbered(1)), "x\npart-two\n");
  EXPECT_TRUE(Eventually([&] { return !IsOpenInThisProcess(Numbered(1)); },
                         std::chrono::milliseconds(1500)));
}

TEST_F(SyncLogTest, EndsWithAMessageWhenTheFileCannotBeMade) {
  WriteFile(dir_ / "plain", "a file, not a folder");
  TSyncLog::Settings settings;
  settings.maxlines = 1;
  settings.nocache = true;
  auto log = TSyncLog::Create((dir_ / "plain" / "buffer_core.log").string(), settings);
  ASSERT_TRUE(Eventually([&] { return log->Ended(); }));
  EXPECT_THAT(log->ErrorMessage(), StartsWith("Synclog Error: "));
  EXPECT_THAT(
      log->ErrorMessage(),
      ::testing::EndsWith("\r\nFilename: " + (dir_ / "plain" / "buffer_core (1).log").string()));
  // Nobody writes any more: queueing must neither block nor wait.
  log->log("lost");
  log->log("lost");
  log->flush();
}

} // namespace
} // namespace orvo
