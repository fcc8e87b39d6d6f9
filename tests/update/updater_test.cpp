// An incremental update from start to end, without a window: real packages served by
// the loopback server, a client folder on disk, and what the updater reports.
#include "update/updater.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <ostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loopback_server.h"
#include "platform/file.h"
#include "platform/sha256.h"
#include "store/json_file.h"
#include "temp_folder.h"
#include "update/file_list.h"
#include "zip_builder.h"

namespace {

// Phases by name, in the cases' names and in what the updater told.
const char* PhaseName(UpdatePhase phase) {
  return phase == UpdatePhase::Measure ? "Measure" : phase == UpdatePhase::Fetch ? "Fetch" : "Unpack";
}

}  // namespace

void PrintTo(UpdatePhase phase, std::ostream* out) { *out << PhaseName(phase); }

namespace {

using namespace std::chrono_literals;
using net_testing::ServerSession;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;

using Files = std::map<std::string, std::string>;

// A large file that stays, and small ones that change, come and go: an update fetches
// far less than the package, whose tail holds no more than the large file's end.
const std::string kGame = zip_testing::NoiseBytes(300000, 7);
const Files kRelease1 = {{"game.bin", kGame}, {"data/a.txt", "alpha"}, {"data/b.txt", "bravo"}};
const Files kRelease2 = {{"game.bin", kGame}, {"data/b.txt", "bravo two"}, {"data/c.txt", "charlie"}};

std::string Sha256Of(const std::string& bytes) {
  platform::Sha256 hash;
  hash.Update(bytes.data(), bytes.size());
  return hash.FinishHex();
}

// The release's file list, as tools/publish writes it; `wrong` gets another file's hash.
std::string FileList(const Files& files, const std::string& wrong = "") {
  std::string list;
  for (const auto& [name, data] : files) list += Sha256Of(name == wrong ? data + "!" : data) + "  " + name + "\n";
  return list;
}

std::string Package(const Files& files, const std::string& list = "") {
  zip_testing::Zip zip;
  for (const auto& [name, data] : files) zip.entries.push_back(zip_testing::File(name, data));
  if (!list.empty()) zip.entries.push_back(zip_testing::File(kFileListName, list));
  return zip.Build();
}

// Everything below `folder`, by '/'-separated name.
Files Snapshot(const std::filesystem::path& folder) {
  Files files;
  if (!std::filesystem::exists(folder)) return files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) {
      files[entry.path().lexically_relative(folder).generic_string()] = ReadFile(entry.path());
    }
  }
  return files;
}

// What the updater told, in order: "Fetch", "Measure", "Unpack", "end".
class Recorder : public IUpdateObserver {
 public:
  // Cancels `updater` as soon as `phase` begins.
  void CancelAt(CUpdater* updater, UpdatePhase phase) {
    cancelled_ = updater;
    cancelPhase_ = phase;
  }
  std::vector<std::string> Phases() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return phases_;
  }
  std::uint64_t LastBytes() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return lastBytes_;
  }
  bool FractionsInRange() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return fractionsInRange_;
  }

  void OnPhaseBegins(UpdatePhase phase) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    phases_.push_back(PhaseName(phase));
    if (cancelled_ && phase == cancelPhase_) cancelled_->Cancel();
  }
  void OnPhaseEnds() override {
    const std::lock_guard<std::mutex> lock(mutex_);
    phases_.push_back("end");
  }
  void OnProgress(double fraction, std::uint64_t bytesFetched) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (fraction < 0.0 || fraction > 1.0) fractionsInRange_ = false;
    lastBytes_ = bytesFetched;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> phases_;
  std::uint64_t lastBytes_ = 0;
  bool fractionsInRange_ = true;
  CUpdater* cancelled_ = nullptr;
  UpdatePhase cancelPhase_ = UpdatePhase::Fetch;
};

// Release 1 installed in "client" below a game root, with its record and Version.json.
class UpdaterTest : public testing::Test {
 protected:
  void SetUp() override { Install(kRelease1); }

  void Install(const Files& release) {
    for (const auto& [name, data] : release) WriteFile(temp_.path() / "client" / name, data);
    const std::string installed = temp_.Narrow("installed.zip");
    WriteFile(installed, Package(release));
    RecordInstalledPackage(installed, temp_.Narrow(), Client(), "1.0", "client", "");
    std::filesystem::remove(temp_.path() / "installed.zip");
    Json::Value record(Json::objectValue);
    record["Version"] = "1.0";
    record["Serial"] = 7;
    WriteJsonFile(temp_.Narrow("Version.json"), record);
  }

  std::string Client() const { return temp_.Narrow("client"); }

  // Serves `package` as release 2 and runs the update to its end.
  UpdateOutcome Update(const std::string& package, const std::string& query = "",
                       const std::string& listHash = "", std::int64_t packageSize = -1) {
    server_.Store("client_2.zip", package);
    return Run(server_.Url("ranged?file=client_2.zip&etag=r2" + query), listHash, packageSize);
  }

  UpdateOutcome Run(const std::string& url, const std::string& listHash, std::int64_t packageSize = -1) {
    UpdateRequest request;
    request.gameRoot = temp_.Narrow();
    request.clientFolder = Client();
    request.versionRecordPath = temp_.Narrow("Version.json");
    ReadJsonFile(request.versionRecordPath, request.versionRecord);
    request.settings.baseDir = "client";
    request.settings.incremental = true;
    request.settings.connection.timeout = 5;
    request.answer.version = "2.0";
    request.answer.packageUrl = url;
    request.answer.namesFileList = !listHash.empty();
    request.answer.fileListSha256 = listHash;
    request.answer.packageSize = packageSize;
    updater_.Start(request);
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!updater_.finished && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(updater_.finished) << "the update did not end";
    updater_.Stop();
    return updater_.outcome();
  }

  Files ClientContent() const { return Snapshot(temp_.path() / "client"); }
  std::string InstalledVersion() const {
    Json::Value record;
    ReadJsonFile(temp_.Narrow("Version.json"), record);
    return ReadJsonText(record, "Version");
  }
  bool UpdateFolderExists() const { return std::filesystem::exists(temp_.path() / "client.update"); }

  // The client and its records are those of release 1, untouched.
  void ExpectRelease1() const {
    EXPECT_EQ(ClientContent(), kRelease1);
    EXPECT_EQ(InstalledVersion(), "1.0");
  }

  TempFolder temp_;
  ServerSession server_;
  Recorder recorder_;
  CUpdater updater_{&recorder_};
};

TEST_F(UpdaterTest, FetchesOnlyWhatChangedAndEndsAtTheNewRelease) {
  const std::string package = Package(kRelease2);
  const UpdateOutcome outcome = Update(package);
  ASSERT_EQ(outcome.result, UpdateResult::Done) << outcome.cause;
  EXPECT_EQ(ClientContent(), kRelease2);
  EXPECT_EQ(InstalledVersion(), "2.0");
  // Version.json keeps its other keys; the record describes the new release.
  Json::Value record;
  ReadJsonFile(temp_.Narrow("Version.json"), record);
  EXPECT_EQ(record["Serial"].asInt(), 7);
  EXPECT_EQ(ReadJsonText(updater_.versionRecord(), "Version"), "2.0");
  ClientFiles files;
  ASSERT_TRUE(LoadClientFiles(temp_.Narrow(kClientFilesName), &files));
  EXPECT_EQ(files.version, "2.0");
  EXPECT_EQ(files.files.size(), kRelease2.size());
  EXPECT_FALSE(UpdateFolderExists());

  EXPECT_EQ(recorder_.Phases(), (std::vector<std::string>{"Fetch", "end", "Unpack", "end"}));
  EXPECT_EQ(outcome.entriesFetched, 2u);
  EXPECT_EQ(outcome.filesRemoved, 1u);
  // The tail (which holds the directory) and one request for the two changed entries,
  // which lie side by side.
  EXPECT_EQ(outcome.requests, 2u);
  EXPECT_LT(outcome.bytesFetched, package.size() / 2);
  EXPECT_EQ(recorder_.LastBytes(), outcome.bytesFetched);
  EXPECT_TRUE(recorder_.FractionsInRange());
}

TEST_F(UpdaterTest, WithoutARecordTheClientIsMeasuredFirst) {
  std::filesystem::remove(temp_.path() / kClientFilesName);
  const UpdateOutcome outcome = Update(Package(kRelease2));
  ASSERT_EQ(outcome.result, UpdateResult::Done) << outcome.cause;
  EXPECT_EQ(recorder_.Phases(), (std::vector<std::string>{"Measure", "end", "Fetch", "end", "Unpack", "end"}));
  // A measured record cannot tell the package's files from the player's: nothing goes.
  Files expected = kRelease2;
  expected["data/a.txt"] = "alpha";
  EXPECT_EQ(ClientContent(), expected);
  EXPECT_EQ(outcome.filesRemoved, 0u);
}

TEST_F(UpdaterTest, FilesTheListVouchesForAreMeasuredInTheMiddleOfTheFetch) {
  const std::string list = FileList(kRelease2);
  const UpdateOutcome outcome = Update(Package(kRelease2, list), "", Sha256Of(list));
  ASSERT_EQ(outcome.result, UpdateResult::Done) << outcome.cause;
  EXPECT_EQ(recorder_.Phases(),
            (std::vector<std::string>{"Fetch", "Measure", "Fetch", "end", "Unpack", "end"}));
  Files expected = kRelease2;
  expected[kFileListName] = list;
  EXPECT_EQ(ClientContent(), expected);
}

// A release whose directory and file list outgrow the smallest tail (many entries) in a
// package large enough for a longer one: they come with the tail when the answer gives
// the package's size, else with the directory's own request, never a request each.
class UpdaterTailTest : public UpdaterTest, public testing::WithParamInterface<bool> {
 protected:
  static Files WithMany(Files files) {
    for (int i = 0; i < 900; ++i) files["pad/" + std::to_string(10000 + i) + ".txt"] = std::to_string(i);
    files["pack.bin"] = zip_testing::NoiseBytes(28 * 1024 * 1024, 3);
    return files;
  }
};

TEST_P(UpdaterTailTest, TheDirectoryAndFileListComeWithTheTailOrTogether) {
  const bool sized = GetParam();
  std::filesystem::remove_all(temp_.path() / "client");
  Install(WithMany(kRelease1));
  const Files release2 = WithMany(kRelease2);
  const std::string list = FileList(release2);
  const std::string package = Package(release2, list);
  const UpdateOutcome outcome =
      Update(package, "", Sha256Of(list), sized ? static_cast<std::int64_t>(package.size()) : -1);
  ASSERT_EQ(outcome.result, UpdateResult::Done) << outcome.cause;
  Files expected = release2;
  expected[kFileListName] = list;
  EXPECT_EQ(ClientContent(), expected);
  // The tail, the directory with the list unless the tail held both, and the two
  // changed entries side by side.
  EXPECT_EQ(outcome.requests, sized ? 2u : 3u);
  EXPECT_LT(outcome.bytesFetched, package.size() / 4);
}

INSTANTIATE_TEST_SUITE_P(Answers, UpdaterTailTest, testing::Bool(),
                         [](const auto& info) { return info.param ? "WithPackageSize" : "WithoutPackageSize"; });

// Each point where the update cannot go on: what it ends in, and why.
struct FailureCase {
  const char* name;
  UpdateResult result;
  UpdateFailure failure;
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class UpdaterFailureTest : public UpdaterTest, public testing::WithParamInterface<FailureCase> {
 protected:
  UpdateOutcome UpdateFor(const std::string& name) {
    if (name == "DirectoryDamaged") {
      std::string package = Package(kRelease2);
      // The end record's signature: no directory can be found.
      package[package.size() - 22] = 'X';
      return Update(package);
    }
    if (name == "RangesAnsweredWhole") return Update(Package(kRelease2), "&ranges=0");
    // Every answer after the tail's holds a byte more than asked.
    if (name == "PieceRefused") return Update(Package(kRelease2), "&extra=0,1");
    if (name == "TransferFails") return Run(net_testing::ClosedPortUrl() + "/client_2.zip", "");
    if (name == "UnpackedFileFailsItsCheck") {
      const std::string list = FileList(kRelease2, "data/c.txt");
      return Update(Package(kRelease2, list), "", Sha256Of(list));
    }
    ADD_FAILURE() << "no such case";
    return {};
  }
};

TEST_P(UpdaterFailureTest, LeavesTheOldClientAndSaysWhy) {
  const FailureCase& c = GetParam();
  const UpdateOutcome outcome = UpdateFor(c.name);
  EXPECT_EQ(outcome.result, c.result) << outcome.cause;
  EXPECT_EQ(outcome.failure, c.failure);
  EXPECT_FALSE(outcome.cause.empty());
  ExpectRelease1();
  // The whole install drops what was fetched; a failed transfer keeps it for next time.
  if (c.result == UpdateResult::Whole) {
    EXPECT_FALSE(UpdateFolderExists());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Points, UpdaterFailureTest,
    testing::Values(FailureCase{"DirectoryDamaged", UpdateResult::Whole, UpdateFailure::None},
                    FailureCase{"RangesAnsweredWhole", UpdateResult::Whole, UpdateFailure::None},
                    FailureCase{"PieceRefused", UpdateResult::Whole, UpdateFailure::None},
                    FailureCase{"TransferFails", UpdateResult::Failed, UpdateFailure::Transfer},
                    FailureCase{"UnpackedFileFailsItsCheck", UpdateResult::Whole, UpdateFailure::None}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(UpdaterTest, AFileHeldOpenByARunningProgramFailsBeforeAnythingChanges) {
  const std::string probe = temp_.Narrow("probe.txt");
  WriteFile(probe, "p");
  bool heldFilesRefuseReplacing = false;
  {
    const platform::File held = platform::File::OpenRead(temp_.Wide("probe.txt"));
    heldFilesRefuseReplacing = !platform::RemoveFile(probe);
  }
  if (!heldFilesRefuseReplacing) GTEST_SKIP() << "only Windows keeps a program from replacing a file held open";
  const platform::File held = platform::File::OpenRead(temp_.Wide("client/data/b.txt"));
  ASSERT_TRUE(held.IsOpen());
  const UpdateOutcome outcome = Update(Package(kRelease2));
  EXPECT_EQ(outcome.result, UpdateResult::Failed) << outcome.cause;
  EXPECT_EQ(outcome.failure, UpdateFailure::Held);
  ExpectRelease1();
}

TEST_F(UpdaterTest, MovesCutShortAreFinishedByTheNextRun) {
  SetAfterStepHookForTesting([](std::size_t done) { return done < 1; });
  const UpdateOutcome outcome = Update(Package(kRelease2));
  SetAfterStepHookForTesting(nullptr);
  // The run that was cut short hands over to the whole install, and its journal stays.
  EXPECT_EQ(outcome.result, UpdateResult::Whole) << outcome.cause;
  EXPECT_NE(ClientContent(), kRelease2);

  Json::Value record;
  ReadJsonFile(temp_.Narrow("Version.json"), record);
  ASSERT_TRUE(FinishInterruptedUpdate(temp_.Narrow(), Client(), temp_.Narrow("Version.json"), &record));
  EXPECT_EQ(ClientContent(), kRelease2);
  EXPECT_EQ(InstalledVersion(), "2.0");
  EXPECT_EQ(ReadJsonText(record, "Version"), "2.0");
  EXPECT_FALSE(UpdateFolderExists());
}

class UpdaterCancelTest : public UpdaterTest, public testing::WithParamInterface<UpdatePhase> {};

TEST_P(UpdaterCancelTest, ACancelInAnyPhaseLeavesTheOldClient) {
  // Without a record the update measures the client first.
  std::filesystem::remove(temp_.path() / kClientFilesName);
  recorder_.CancelAt(&updater_, GetParam());
  const UpdateOutcome outcome = Update(Package(kRelease2));
  EXPECT_EQ(outcome.result, UpdateResult::Failed) << outcome.cause;
  EXPECT_EQ(outcome.failure, UpdateFailure::Cancelled);
  ExpectRelease1();
  EXPECT_EQ(recorder_.Phases().back(), PhaseName(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Phases, UpdaterCancelTest,
                         testing::Values(UpdatePhase::Measure, UpdatePhase::Fetch, UpdatePhase::Unpack),
                         [](const testing::TestParamInfo<UpdatePhase>& info) { return PhaseName(info.param); });

}  // namespace
