#include "zip/extractor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "log/log.h"
#include "platform/fault.h"
#include "platform/os.h"
#include "temp_folder.h"
#include "zip_builder.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;
using zip_testing::Zip;

constexpr double kFinished = -1.0;  // marks the finished notification in the event list

bool IsWindows() { return std::string(platform::OsName()) == "Windows"; }

// Records the notifications in order; a hook may hold the worker inside one.
class Recorder : public CZipExtractorCallback {
 public:
  void OnExtractProgress(CZipExtractor* extractor) override {
    const double progress = extractor->progress;
    std::function<void(CZipExtractor*, double)> hook;
    {
      std::lock_guard lock(mutex_);
      events_.push_back(progress);
      hook = onProgress;
    }
    changed_.notify_all();
    if (hook) hook(extractor, progress);
  }

  void OnExtractFinished(CZipExtractor* extractor) override {
    EXPECT_TRUE(extractor->finished) << "finished is set before the notification";
    {
      std::lock_guard lock(mutex_);
      events_.push_back(kFinished);
    }
    changed_.notify_all();
  }

  // Waits (bounded) until `count` notifications have arrived.
  bool WaitForEvents(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return events_.size() >= count; });
  }

  std::vector<double> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

  std::function<void(CZipExtractor*, double)> onProgress;  // set before Start

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<double> events_;
};

// Holds the worker until the owner has asked it to stop (bounded, so a fault cannot
// hang the suite).
void WaitForCancel(CZipExtractor* extractor) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!extractor->cancel && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
}

class ExtractorTest : public testing::Test {
 protected:
  std::wstring Package(const Zip& zip, const std::string& name = "package.zip") {
    WriteFile(temp.path() / name, zip.Build());
    return temp.Wide(name);
  }

  static Zip Numbered(int count) {
    Zip zip;
    for (int i = 0; i < count; ++i) {
      zip.entries.push_back(zip_testing::File("dir/f" + std::to_string(i), "content " + std::to_string(i)));
    }
    return zip;
  }

  void RunToEnd(CZipExtractor& extractor, const std::wstring& archive) {
    extractor.Start(archive, temp.Wide("out"));
    ASSERT_TRUE(recorder.WaitForEvents(1));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!extractor.finished && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(extractor.finished);
    extractor.Stop();
  }

  bool OnDisk(int index) const { return fs::exists(temp.path() / "out" / "dir" / ("f" + std::to_string(index))); }

  // Entries "dir/entry-<i>" holding "data <i>": names that no other path contains, for
  // the faults and holds.
  static Zip Distinct(int count) {
    Zip zip;
    for (int i = 0; i < count; ++i) {
      zip.entries.push_back(zip_testing::File("dir/entry-" + std::to_string(i), "data " + std::to_string(i)));
    }
    return zip;
  }

  fs::path Unpacked(const std::string& name) const { return temp.path() / "out" / name; }

  // Waits (bounded) until every one of `names` is on disk below the target folder.
  bool AppearOnDisk(const std::vector<std::string>& names) const {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    const auto all = [&] {
      return std::all_of(names.begin(), names.end(), [&](const std::string& name) { return fs::exists(Unpacked(name)); });
    };
    while (!all() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    return all();
  }

  static void WaitForEnd(CZipExtractor& extractor) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!extractor.finished && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(extractor.finished);
    extractor.Stop();
  }

  // Progress for each of `count` entries, then the end.
  static std::vector<double> AllEntriesThenFinished(int count) {
    std::vector<double> events;
    for (int i = 0; i < count; ++i) events.push_back(static_cast<double>(i) / count);
    events.push_back(kFinished);
    return events;
  }

  TempFolder temp;
  Recorder recorder;
};

TEST_F(ExtractorTest, ProgressRunsFromZeroToTheLastEntryThenFinishes) {
  CZipExtractor extractor(&recorder);
  RunToEnd(extractor, Package(Numbered(5)));
  EXPECT_TRUE(extractor.succeeded);
  EXPECT_EQ(recorder.events(), (std::vector<double>{0.0, 0.2, 0.4, 0.6, 0.8, kFinished}));
  EXPECT_EQ(extractor.progress.load(), 0.8) << "completion is the owner's to show";
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(ReadFile(temp.path() / "out" / "dir" / ("f" + std::to_string(i))), "content " + std::to_string(i));
  }
}

TEST_F(ExtractorTest, EmptyArchiveOneEntryAndMissingFile) {
  {
    CZipExtractor extractor(&recorder);
    RunToEnd(extractor, Package(Zip{}, "empty.zip"));
    EXPECT_TRUE(extractor.succeeded);
    EXPECT_EQ(recorder.events(), std::vector<double>{kFinished});
  }
  Recorder one;
  {
    CZipExtractor extractor(&one);
    extractor.Start(Package(Numbered(1), "one.zip"), temp.Wide("out"));
    ASSERT_TRUE(one.WaitForEvents(2));
    extractor.Stop();
    EXPECT_TRUE(extractor.succeeded);
    EXPECT_EQ(one.events(), (std::vector<double>{0.0, kFinished}));
  }
  Recorder missing;
  CZipExtractor extractor(&missing);
  extractor.Start(temp.Wide("missing.zip"), temp.Wide("out2"));
  ASSERT_TRUE(missing.WaitForEvents(1));
  extractor.Stop();
  EXPECT_TRUE(extractor.finished);
  EXPECT_FALSE(extractor.succeeded);
  EXPECT_EQ(missing.events(), std::vector<double>{kFinished});
  EXPECT_FALSE(fs::exists(temp.path() / "out2"));
}

TEST_F(ExtractorTest, CancelIsSeenBetweenEntries) {
  CZipExtractor extractor(&recorder);
  // The owner asks to stop while entry 3 is unpacked: the worker sees it when it
  // reaches entry 4.
  recorder.onProgress = [](CZipExtractor* e, double progress) {
    if (progress == 0.4) WaitForCancel(e);
  };
  extractor.Start(Package(Numbered(10)), temp.Wide("out"));
  ASSERT_TRUE(recorder.WaitForEvents(5));
  extractor.Stop();
  EXPECT_TRUE(extractor.finished);
  EXPECT_FALSE(extractor.succeeded);
  EXPECT_EQ(recorder.events(), (std::vector<double>{0.0, 0.1, 0.2, 0.3, 0.4, kFinished}));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(OnDisk(i), i <= 3) << i;
}

TEST_F(ExtractorTest, DamagedEntryEndsTheJobAndKeepsEarlierEntries) {
  Zip zip = Numbered(5);
  zip.entries[2].crc = zip.entries[2].localCrc = 1;
  CZipExtractor extractor(&recorder);
  RunToEnd(extractor, Package(zip));
  EXPECT_FALSE(extractor.succeeded);
  EXPECT_EQ(recorder.events(), (std::vector<double>{0.0, 0.2, 0.4, kFinished}));
  EXPECT_TRUE(OnDisk(0));
  EXPECT_TRUE(OnDisk(1));
  EXPECT_FALSE(OnDisk(3));
  EXPECT_FALSE(OnDisk(4));
}

TEST_F(ExtractorTest, TheLogNamesTheEntryThatStoppedTheJobAndWhy) {
  struct Case {
    const char* entry;
    bool damaged;
    const char* reason;
  };
  const Case cases[] = {
      {"../outside.txt", false, "its path is refused"},
      {"dir/broken.dat", true, "its data is unreadable, damaged or cut short"},
  };
  for (const Case& c : cases) {
    TempFolder logFolder;
    {
      applog::LogSession log(logFolder.Narrow());
      Zip zip = Numbered(1);
      zip.entries.push_back(zip_testing::File(c.entry, "payload"));
      if (c.damaged) zip.entries.back().crc = zip.entries.back().localCrc = 1;
      CZipExtractor extractor(&recorder);
      RunToEnd(extractor, Package(zip));
      EXPECT_FALSE(extractor.succeeded);
    }
    const std::string logged = ReadFile(logFolder.path() / "launcher.log");
    EXPECT_NE(logged.find(std::string("extraction stopped at entry \"") + c.entry + "\": " + c.reason),
              std::string::npos)
        << logged;
  }
}

// The owner stops the job while a large first entry is being unpacked: that entry is
// completed and whole before the next notification, and nothing after it is written.
TEST_F(ExtractorTest, CancelDuringALargeEntryCompletesItFirst) {
  Zip zip = Numbered(3);
  const std::string big = zip_testing::Text(8 << 20);
  zip.entries[0] = zip_testing::File("dir/f0", big);
  const fs::path first = temp.path() / "out" / "dir" / "f0";
  bool wholeBeforeNext = false;
  recorder.onProgress = [&](CZipExtractor* e, double progress) {
    if (progress == 0.0) return;
    wholeBeforeNext = ReadFile(first) == big;
    WaitForCancel(e);
  };
  CZipExtractor extractor(&recorder);
  extractor.Start(Package(zip), temp.Wide("out"));
  // The file appears once the worker is inside the entry; the notification for the
  // next entry holds the worker if the entry is already done.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!fs::exists(first) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  extractor.Stop();
  EXPECT_FALSE(extractor.succeeded);
  EXPECT_EQ(recorder.events(), (std::vector<double>{0.0, 1.0 / 3, kFinished}));
  EXPECT_TRUE(wholeBeforeNext);
  EXPECT_TRUE(ReadFile(first) == big);
  EXPECT_FALSE(OnDisk(1));
  EXPECT_FALSE(OnDisk(2));
}

// A write failure inside a large entry ends the job there, with the file released.
TEST_F(ExtractorTest, WriteFailureInALargeEntryEndsTheJob) {
  Zip zip = Numbered(3);
  zip.entries[1] = zip_testing::File("dir/f1", zip_testing::NoiseBytes(3 << 20, 4));
  platform::fault::Inject(platform::fault::Op::Write, "f1");
  CZipExtractor extractor(&recorder);
  RunToEnd(extractor, Package(zip));
  platform::fault::Clear();
  EXPECT_FALSE(extractor.succeeded);
  EXPECT_EQ(recorder.events(), (std::vector<double>{0.0, 1.0 / 3, kFinished}));
  EXPECT_TRUE(OnDisk(0));
  EXPECT_FALSE(OnDisk(2));
  std::error_code ec;
  fs::remove_all(temp.path() / "out", ec);  // Windows refuses while a handle is open
  EXPECT_FALSE(ec) << ec.message();
}

// Entry 1 fails only after entries 2 to 5 have been made beside it: the job ends at
// entry 1, and the files and folders the later entries made are gone.
TEST_F(ExtractorTest, AFailureTakesBackTheLaterEntriesInFlight) {
  Zip zip;
  zip.entries = {zip_testing::File("dir/first", "1"), zip_testing::File("dir/failing", "2"),
                 zip_testing::File("dir/later", "3"), zip_testing::Folder("made/"),
                 zip_testing::File("new/deeper/inner", "5"), zip_testing::File("new/outer", "6")};
  platform::fault::Hold(platform::fault::Op::Create, "failing");
  platform::fault::Inject(platform::fault::Op::Create, "failing");
  CZipExtractor extractor(&recorder);
  extractor.Start(Package(zip), temp.Wide("out"));
  const bool laterInFlight = AppearOnDisk({"dir/later", "made", "new/deeper/inner", "new/outer"});
  platform::fault::Release();
  WaitForEnd(extractor);
  platform::fault::Clear();
  ASSERT_TRUE(laterInFlight);
  EXPECT_FALSE(extractor.succeeded);
  EXPECT_EQ(extractor.failedEntry, 1);
  EXPECT_EQ(recorder.events(), AllEntriesThenFinished(6));
  EXPECT_EQ(ReadFile(Unpacked("dir/first")), "1");
  for (const char* gone : {"dir/failing", "dir/later", "made", "new"}) EXPECT_FALSE(fs::exists(Unpacked(gone))) << gone;
}

// The owner stops the job while entry 2 is still being created and entries 3 and 4 are
// done: every entry started is completed, nothing after them is written, and no file
// is left open.
TEST_F(ExtractorTest, CancelWithEntriesInFlightCompletesThemFirst) {
  recorder.onProgress = [](CZipExtractor* e, double progress) {
    if (progress == 0.5) WaitForCancel(e);
  };
  platform::fault::Hold(platform::fault::Op::Create, "entry-2");
  CZipExtractor extractor(&recorder);
  extractor.Start(Package(Distinct(10)), temp.Wide("out"));
  ASSERT_TRUE(recorder.WaitForEvents(6));
  const bool laterInFlight = AppearOnDisk({"dir/entry-3", "dir/entry-4"});
  std::thread owner([&extractor] { extractor.Stop(); });
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!extractor.cancel && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  platform::fault::Release();
  owner.join();
  platform::fault::Clear();
  EXPECT_TRUE(laterInFlight);
  EXPECT_FALSE(extractor.succeeded);
  EXPECT_EQ(extractor.failedEntry, -1) << "a cancelled job names no entry";
  EXPECT_EQ(recorder.events(), (std::vector<double>{0.0, 0.1, 0.2, 0.3, 0.4, 0.5, kFinished}));
  for (int i = 0; i < 10; ++i) {
    const fs::path file = Unpacked("dir/entry-" + std::to_string(i));
    EXPECT_EQ(fs::exists(file), i < 5) << i;
    if (i < 5) {
      EXPECT_EQ(ReadFile(file), "data " + std::to_string(i));
    }
  }
  std::error_code ec;
  fs::remove_all(temp.path() / "out", ec);  // Windows refuses while a handle is open
  EXPECT_FALSE(ec) << ec.message();
}

// Entry 2's write fails while entry 1 is still being made: entry 1 is completed, the
// job ends at entry 2 (reported only now that every entry before it succeeded), and
// the entries after it are gone.
TEST_F(ExtractorTest, AWriteFailureWaitsForTheEarlierEntriesInFlight) {
  TempFolder logFolder;
  {
    applog::LogSession log(logFolder.Narrow());
    platform::fault::Hold(platform::fault::Op::Create, "entry-1");
    platform::fault::Inject(platform::fault::Op::Write, "entry-2");
    CZipExtractor extractor(&recorder);
    extractor.Start(Package(Distinct(5)), temp.Wide("out"));
    const bool laterInFlight = AppearOnDisk({"dir/entry-2", "dir/entry-3", "dir/entry-4"});
    platform::fault::Release();
    WaitForEnd(extractor);
    platform::fault::Clear();
    EXPECT_TRUE(laterInFlight);
    EXPECT_FALSE(extractor.succeeded);
    EXPECT_EQ(extractor.failedEntry, 2);
  }
  EXPECT_EQ(recorder.events(), AllEntriesThenFinished(5));
  EXPECT_EQ(ReadFile(Unpacked("dir/entry-0")), "data 0");
  EXPECT_EQ(ReadFile(Unpacked("dir/entry-1")), "data 1");
  EXPECT_FALSE(fs::exists(Unpacked("dir/entry-3")));
  EXPECT_FALSE(fs::exists(Unpacked("dir/entry-4")));
  const std::string logged = ReadFile(logFolder.path() / "launcher.log");
  EXPECT_NE(logged.find("extraction stopped at entry \"dir/entry-2\": writing its file failed"), std::string::npos)
      << logged;
}

// Where links are kept, they come after every other entry; Windows unpacks them as
// regular files in directory order.
TEST_F(ExtractorTest, LinksAreCreatedLast) {
  Zip zip;
  zip.entries = {zip_testing::SymbolicLink("game.so", "lib/game.so.1"), zip_testing::File("lib/game.so.1", "elf")};
  const fs::path link = temp.path() / "out" / "game.so";
  bool linkBeforeLastEntry = true;
  recorder.onProgress = [&](CZipExtractor*, double progress) {
    if (progress == 0.5) linkBeforeLastEntry = fs::exists(fs::symlink_status(link));
  };
  CZipExtractor extractor(&recorder);
  RunToEnd(extractor, Package(zip));
  EXPECT_TRUE(extractor.succeeded);
  EXPECT_EQ(recorder.events(), (std::vector<double>{0.0, 0.5, kFinished}));
  EXPECT_EQ(linkBeforeLastEntry, IsWindows());
  EXPECT_EQ(ReadFile(link), IsWindows() ? "lib/game.so.1" : "elf");
}

TEST_F(ExtractorTest, NoEntryIsWrittenThroughALink) {
  Zip zip;
  zip.entries = {zip_testing::Folder("real/"), zip_testing::SymbolicLink("l", "real"),
                 zip_testing::File("l/x.txt", "through the link")};
  CZipExtractor extractor(&recorder);
  RunToEnd(extractor, Package(zip));
  EXPECT_FALSE(extractor.succeeded) << "a link where an entry already stands is refused";
  EXPECT_TRUE(fs::is_empty(temp.path() / "out" / "real"));
  EXPECT_FALSE(fs::is_symlink(temp.path() / "out" / "l"));
}

// Throws from the notifications the worker sends.
class Thrower : public CZipExtractorCallback {
 public:
  void OnExtractProgress(CZipExtractor*) override { throw std::runtime_error("progress"); }
  void OnExtractFinished(CZipExtractor*) override {
    ++finishedCalls;
    throw std::runtime_error("finished");
  }
  std::atomic<int> finishedCalls{0};
};

TEST_F(ExtractorTest, AnExceptionOnTheWorkerEndsTheJobAsAFailure) {
  Thrower thrower;
  CZipExtractor extractor(&thrower);
  extractor.Start(Package(Numbered(3)), temp.Wide("out"));
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!extractor.finished && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  extractor.Stop();
  EXPECT_TRUE(extractor.finished);
  EXPECT_FALSE(extractor.succeeded);
  EXPECT_EQ(thrower.finishedCalls, 1);
  EXPECT_FALSE(OnDisk(0));
}

TEST_F(ExtractorTest, StartWhileRunningStopsTheRunningJobFirst) {
  CZipExtractor extractor(&recorder);
  std::atomic<bool> held{false};
  recorder.onProgress = [&held](CZipExtractor* e, double) {
    if (!held.exchange(true)) WaitForCancel(e);
  };
  extractor.Start(Package(Numbered(3), "first.zip"), temp.Wide("first"));
  ASSERT_TRUE(recorder.WaitForEvents(1));
  Zip second;
  second.entries = {zip_testing::File("second.txt", "2")};
  extractor.Start(Package(second, "second.zip"), temp.Wide("second"));
  ASSERT_TRUE(recorder.WaitForEvents(4));
  extractor.Stop();
  EXPECT_TRUE(extractor.succeeded);
  EXPECT_EQ(recorder.events(), (std::vector<double>{0.0, kFinished, 0.0, kFinished}))
      << "the first job still reports that it finished";
  EXPECT_FALSE(fs::exists(temp.path() / "first"));
  EXPECT_EQ(ReadFile(temp.path() / "second" / "second.txt"), "2");
}

TEST_F(ExtractorTest, DestroyingARunningJobJoinsIt) {
  {
    CZipExtractor extractor(&recorder);
    recorder.onProgress = [](CZipExtractor* e, double) { WaitForCancel(e); };
    extractor.Start(Package(Numbered(3)), temp.Wide("out"));
    ASSERT_TRUE(recorder.WaitForEvents(1));
  }
  EXPECT_EQ(recorder.events(), (std::vector<double>{0.0, kFinished}));
  CZipExtractor idle(nullptr);
  idle.Stop();
  EXPECT_FALSE(idle.finished);
}

TEST_F(ExtractorTest, RunsWithoutCallbackAndRestartsAfterDone) {
  CZipExtractor extractor(nullptr);
  for (int round = 0; round < 2; ++round) {
    extractor.Start(Package(Numbered(2)), temp.Wide("out"));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!extractor.finished && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(extractor.succeeded) << round;
  }
}

// What the entries take once unpacked is read from the central directory alone.
TEST(ArchiveUnpackedSizeTest, SumsTheEntriesSizesAndRefusesWhatIsNoArchive) {
  TempFolder temp;
  Zip zip;
  zip.entries.push_back(zip_testing::File("a.bin", std::string(70000, 'a')));
  zip.entries.push_back(zip_testing::File("dir/b.txt", "twelve bytes"));
  zip.entries.push_back(zip_testing::File("empty", ""));
  const std::wstring archive = temp.Wide("sizes.zip");
  WriteFile(temp.path() / "sizes.zip", zip.Build());
  std::uint64_t bytes = 7;
  EXPECT_TRUE(ArchiveUnpackedSize(archive, &bytes));
  EXPECT_EQ(bytes, 70012u);

  WriteFile(temp.path() / "notzip.zip", "not an archive");
  EXPECT_FALSE(ArchiveUnpackedSize(temp.Wide("notzip.zip"), &bytes));
  EXPECT_FALSE(ArchiveUnpackedSize(temp.Wide("missing.zip"), &bytes));
}

}  // namespace
