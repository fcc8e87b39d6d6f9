// A client file held open without sharing by another thread, as a virus scanner or an
// indexer holds one it reads: while a HeldFileWait lives, what an update does to the
// file waits the hold out when it ends within the limit, and fails as it always did,
// with the file unchanged, when it lasts longer.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "platform/file.h"
#include "store/files.h"
#include "temp_folder.h"
#include "zip/extractor.h"
#include "zip_builder.h"

namespace {

using namespace std::chrono_literals;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;

// Holds a file open without sharing it, on a thread of its own, until `hold` has
// passed or Release.
class Holder {
 public:
  Holder(const std::wstring& path, std::chrono::milliseconds hold) {
    std::promise<bool> opened;
    std::future<bool> result = opened.get_future();
    thread_ = std::thread([this, path, hold, &opened] {
      const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                      nullptr);
      opened.set_value(file != INVALID_HANDLE_VALUE);
      std::unique_lock lock(mutex_);
      released_.wait_for(lock, hold, [this] { return release_; });
      if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    });
    holding_ = result.get();
  }
  ~Holder() { Release(); }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;

  bool holding() const { return holding_; }
  // Lets go of the file at once; it is closed on return.
  void Release() {
    {
      std::lock_guard lock(mutex_);
      release_ = true;
    }
    released_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool release_ = false;
  bool holding_ = false;
  std::thread thread_;
};

class Finished : public CZipExtractorCallback {};

// Unpacks a package that holds client/data.bin anew; true when it all went in.
bool Extract(const TempFolder& temp) {
  zip_testing::Zip package;
  package.entries.push_back(zip_testing::File("data.bin", "new"));
  WriteFile(temp.path() / "package.zip", package.Build());
  Finished callback;
  CZipExtractor extractor(&callback);
  extractor.Start(temp.Wide("package.zip"), temp.Wide("client"));
  // The bound only keeps a broken build from hanging.
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!extractor.finished && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  return extractor.finished && extractor.succeeded;
}

struct HeldCase {
  const char* name;
  // What the update does to client/data.bin, which holds "old"; true when it worked.
  std::function<bool(const TempFolder&)> operation;
  // client/data.bin once it worked; nullptr: gone.
  const char* after;
};
void PrintTo(const HeldCase& c, std::ostream* os) { *os << c.name; }

const HeldCase kCases[] = {
    {"Delete", [](const TempFolder& t) { return platform::RemoveFile(t.Narrow("client/data.bin")); }, nullptr},
    {"EmptyTheClientFolder", [](const TempFolder& t) { return EmptyFolder(t.Narrow("client")); }, nullptr},
    {"MoveOver",
     [](const TempFolder& t) {
       WriteFile(t.path() / "staged.bin", "new");
       return platform::RenameOver(t.Narrow("staged.bin"), t.Narrow("client/data.bin"));
     },
     "new"},
    {"MoveAway",
     [](const TempFolder& t) { return platform::RenameOver(t.Narrow("client/data.bin"), t.Narrow("moved.bin")); },
     nullptr},
    {"CreateAnew",
     [](const TempFolder& t) {
       platform::File file = platform::File::Create(t.Wide("client/data.bin"), platform::kAttributeNormal, 0);
       return file.IsOpen() && file.Write("new", 3);
     },
     "new"},
    {"Open",
     [](const TempFolder& t) {
       char buffer[8] = {};
       std::uint32_t n = 0;
       platform::File file = platform::File::OpenRead(t.Wide("client/data.bin"));
       return file.IsOpen() && file.Read(buffer, sizeof buffer, &n) && std::string(buffer, n) == "old";
     },
     "old"},
    {"CheckReplaceable", [](const TempFolder& t) { return platform::CanReplaceFile(t.Narrow("client/data.bin")); },
     "old"},
    {"UnpackAPackage", Extract, "new"},
};

class HeldFile : public testing::TestWithParam<HeldCase> {
 protected:
  void SetUp() override { WriteFile(Held(), "old"); }

  // The case's operation, with client/data.bin held for `hold` and a HeldFileWait
  // living; the file is let go on return.
  bool OperateWhileHeldFor(std::chrono::milliseconds hold) {
    Holder holder(temp_.Wide("client/data.bin"), hold);
    EXPECT_TRUE(holder.holding());
    const platform::HeldFileWait wait;
    return GetParam().operation(temp_);
  }
  std::filesystem::path Held() const { return temp_.path() / "client" / "data.bin"; }

  TempFolder temp_;
};

TEST_P(HeldFile, ForASecondIsWaitedOut) {
  EXPECT_TRUE(OperateWhileHeldFor(1s));
  if (GetParam().after) {
    EXPECT_EQ(ReadFile(Held()), GetParam().after);
  } else {
    EXPECT_FALSE(std::filesystem::exists(Held()));
  }
}

TEST_P(HeldFile, ForTenSecondsFailsAsBeforeWithTheFileUnchanged) {
  EXPECT_FALSE(OperateWhileHeldFor(10s));
  EXPECT_EQ(ReadFile(Held()), "old");
}

INSTANTIATE_TEST_SUITE_P(Operations, HeldFile, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
