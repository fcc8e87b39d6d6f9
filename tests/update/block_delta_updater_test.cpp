// Updates of a large file deflated in blocks: real packages with a block map served by
// the loopback server, whose log shows which bytes were asked for.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <thread>

#include "blocked_package.h"
#include "loopback_server.h"
#include "platform/sha256.h"
#include "store/json_file.h"
#include "temp_folder.h"
#include "update/block_map.h"
#include "update/file_list.h"
#include "update/updater.h"
#include "zip_builder.h"

namespace {

using namespace std::chrono_literals;
using block_testing::DeflateInBlocks;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;

using Files = std::map<std::string, std::string>;
using MapChange = std::function<void(std::vector<BlockedFile>*)>;

constexpr std::uint32_t kBlock = 16 * 1024;
// Files at least this large are deflated in blocks, as the publisher does it.
constexpr std::size_t kThreshold = 4 * kBlock;
const std::string kPack = zip_testing::NoiseBytes(128 * kBlock, 11);
const Files kRelease1 = {{"data/pack.bin", kPack}, {"readme.txt", "one"}};

std::string Sha256Of(const std::string& bytes) {
  platform::Sha256 hash;
  hash.Update(bytes.data(), bytes.size());
  return hash.FinishHex();
}

std::string Splice(const std::string& bytes, std::size_t at, std::size_t removed, const std::string& inserted) {
  return bytes.substr(0, at) + inserted + bytes.substr(at + removed);
}

// A release as tools/publish writes it: large files in blocks, the block map and the
// file list that covers it. `listHash` gets the list's SHA-256.
std::string Package(const Files& files, std::string* listHash, const MapChange& lie = nullptr) {
  zip_testing::Zip zip;
  std::vector<BlockedFile> blocked;
  std::string list;
  for (const auto& [name, data] : files) {
    zip_testing::Entry entry = zip_testing::File(name, data);
    if (data.size() >= kThreshold) {
      block_testing::Blocked b = DeflateInBlocks(name, data, kBlock);
      entry.rawData = b.data;
      blocked.push_back(b.file);
    }
    zip.entries.push_back(entry);
    list += Sha256Of(data) + "  " + name + "\n";
  }
  if (lie) lie(&blocked);
  const std::string map = block_testing::EncodeBlockMap(blocked);
  zip.entries.push_back(zip_testing::File(kBlockMapName, map));
  list += Sha256Of(map) + "  " + kBlockMapName + "\n";
  zip.entries.push_back(zip_testing::File(kFileListName, list));
  *listHash = Sha256Of(list);
  return zip.Build();
}

Files Hashed(Files files) {
  for (auto& [name, data] : files) data = Sha256Of(data);
  return files;
}

Files Snapshot(const std::filesystem::path& folder) {
  Files files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) {
      files[entry.path().lexically_relative(folder).generic_string()] = ReadFile(entry.path());
    }
  }
  return files;
}

class Quiet : public IUpdateObserver {
  void OnPhaseBegins(UpdatePhase) override {}
  void OnPhaseEnds() override {}
  void OnProgress(double, std::uint64_t) override {}
};

// Release 1 installed from a package with its map and list.
class BlockUpdateTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string listHash;
    const std::string installed = temp_.Narrow("installed.zip");
    WriteFile(installed, Package(kRelease1, &listHash));
    for (const auto& [name, data] : kRelease1) WriteFile(temp_.path() / "client" / name, data);
    RecordInstalledPackage(installed, temp_.Narrow(), temp_.Narrow("client"), "1.0", "client", "");
    std::filesystem::remove(installed);
    Json::Value record(Json::objectValue);
    record["Version"] = "1.0";
    WriteJsonFile(temp_.Narrow("Version.json"), record);
  }

  UpdateOutcome Update(const std::string& package, const std::string& listHash, const std::string& query = "") {
    server_.Store("client_2.zip", package);
    UpdateRequest request;
    request.gameRoot = temp_.Narrow();
    request.clientFolder = temp_.Narrow("client");
    request.versionRecordPath = temp_.Narrow("Version.json");
    ReadJsonFile(request.versionRecordPath, request.versionRecord);
    request.settings.baseDir = "client";
    request.settings.incremental = true;
    request.settings.connection.timeout = 5;
    request.answer.version = "2.0";
    request.answer.packageUrl = server_.Url("ranged?file=client_2.zip&etag=r2" + query);
    request.answer.namesFileList = !listHash.empty();
    request.answer.fileListSha256 = listHash;
    CUpdater updater(&observer_);
    updater.Start(request);
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!updater.finished && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(updater.finished) << "the update did not end";
    updater.Stop();
    return updater.outcome();
  }

  // The client files but the release's own records, each by its SHA-256.
  Files Client() const {
    Files files = Snapshot(temp_.path() / "client");
    files.erase(kBlockMapName);
    files.erase(kFileListName);
    return Hashed(files);
  }

  // Package bytes the server sent for ranges within [from, to), the tail excepted.
  std::uint64_t BytesSentWithin(std::size_t firstRequest, std::uint64_t from, std::uint64_t to) const {
    std::uint64_t sent = 0;
    const auto requests = server_.Requests();
    for (std::size_t i = firstRequest; i < requests.size(); ++i) {
      unsigned long long first = 0;
      unsigned long long last = 0;
      if (std::sscanf(requests[i].range.c_str(), "bytes=%llu-%llu", &first, &last) != 2) continue;
      const std::uint64_t end = first + requests[i].bytesSent;
      if (end > from && first < to) sent += std::min<std::uint64_t>(end, to) - std::max<std::uint64_t>(first, from);
    }
    return sent;
  }

  TempFolder temp_;
  net_testing::ServerSession server_;
  Quiet observer_;
};

constexpr std::size_t kWhole = 0xFFFF;
// The tail the update asks for first: the end record with the longest comment.
constexpr std::size_t kTailLength = 22 + 65535;

struct BlockCase {
  const char* name;
  std::string pack;                                                 // the new release's pack
  std::function<void(const std::filesystem::path& client)> player;  // what the player did to the old copy
  bool withList;
  // How many blocks' worth of the pack's data may be fetched at most; kWhole: the whole
  // entry is fetched.
  std::size_t blocksFetched;
};

void PrintTo(const BlockCase& c, std::ostream* out) { *out << c.name; }

class BlockUpdate : public BlockUpdateTest, public testing::WithParamInterface<BlockCase> {};

TEST_P(BlockUpdate, FetchesOnlyTheBlocksTheOldCopyLacks) {
  const BlockCase& c = GetParam();
  if (c.player) c.player(temp_.path() / "client");
  const Files release2 = {{"data/pack.bin", c.pack}, {"readme.txt", "two"}};
  std::string listHash;
  const std::string package = Package(release2, &listHash);
  const UpdateOutcome outcome = Update(package, c.withList ? listHash : "");
  ASSERT_EQ(outcome.result, UpdateResult::Done) << outcome.cause;
  EXPECT_EQ(Client(), Hashed(release2));
  const std::uint64_t sent = BytesSentWithin(1, 0, package.size());
  if (c.blocksFetched == kWhole) {
    // Less what the tail brought.
    EXPECT_GE(sent, c.pack.size() - kTailLength);
  } else {
    EXPECT_LE(sent, c.blocksFetched * (kBlock + 32) + kRangeMergeGap);
  }
}

const std::string kRewritten = Splice(kPack, 60 * kBlock + 100, 20000, zip_testing::NoiseBytes(20000, 12));
const std::string kInserted = Splice(kPack, 5000, 0, zip_testing::Text(50000));

INSTANTIATE_TEST_SUITE_P(
    Changes, BlockUpdate,
    testing::Values(BlockCase{"RewrittenInTheMiddle", kRewritten, nullptr, true, 3},
                    BlockCase{"InsertedNearTheStart", kInserted, nullptr, true, 5},
                    BlockCase{"RemovedFromTheEnd", kPack.substr(0, kPack.size() - 70000), nullptr, true, 1},
                    // A block the player changed is fetched like a changed one.
                    BlockCase{"OldCopyAlteredByThePlayer", kRewritten,
                              [](const std::filesystem::path& client) {
                                WriteFile(client / "data/pack.bin", Splice(kPack, 100 * kBlock, 10, "0123456789"));
                              },
                              true, 4},
                    // The map counts only when a file list vouches for it.
                    BlockCase{"WithoutAFileList", kRewritten, nullptr, false, kWhole},
                    BlockCase{
                        "NoOldCopy", kRewritten,
                        [](const std::filesystem::path& client) { std::filesystem::remove(client / "data/pack.bin"); },
                        true, kWhole},
                    BlockCase{"ShrunkToNothing", "", nullptr, true, 0}),
    [](const testing::TestParamInfo<BlockCase>& info) { return std::string(info.param.name); });

struct LyingMap {
  const char* name;
  MapChange lie;
};

void PrintTo(const LyingMap& c, std::ostream* out) { *out << c.name; }

class BlockMapLies : public BlockUpdateTest, public testing::WithParamInterface<LyingMap> {};

TEST_P(BlockMapLies, TheWholeFileCheckRefusesItAndNothingMoves) {
  std::string listHash;
  const std::string package =
      Package({{"data/pack.bin", kRewritten}, {"readme.txt", "two"}}, &listHash, GetParam().lie);
  const UpdateOutcome outcome = Update(package, listHash);
  EXPECT_EQ(outcome.result, UpdateResult::Whole) << outcome.cause;
  EXPECT_EQ(Client(), Hashed(kRelease1));
  EXPECT_FALSE(std::filesystem::exists(temp_.path() / "client.update"));
}

INSTANTIATE_TEST_SUITE_P(Lies, BlockMapLies,
                         testing::Values(
                             // The changed block's bytes said to start a few bytes late.
                             LyingMap{"WrongOffsets",
                                      [](std::vector<BlockedFile>* files) {
                                        (*files)[0].blocks[59].compressedLength += 5;
                                        (*files)[0].blocks[60].compressedLength -= 5;
                                      }},
                             // A changed block said to be the old copy's block before it.
                             LyingMap{"WrongHashes",
                                      [](std::vector<BlockedFile>* files) {
                                        BlockInfo& block = (*files)[0].blocks[60];
                                        block.weak = (*files)[0].blocks[59].weak;
                                        block.strong = (*files)[0].blocks[59].strong;
                                      }}),
                         [](const testing::TestParamInfo<LyingMap>& info) { return std::string(info.param.name); });

TEST_F(BlockUpdateTest, BlocksFetchedBeforeAFailureAreKeptForTheNextRun) {
  const std::string pack = Splice(kPack, 30 * kBlock, 200000, zip_testing::NoiseBytes(200000, 13));
  const Files release2 = {{"data/pack.bin", pack}, {"readme.txt", "two"}};
  std::string listHash;
  const std::string package = Package(release2, &listHash);
  // Every answer ends after this many bytes: the tail and the small entries come whole,
  // the changed blocks (13 of them) do not, and what is left of them comes whole.
  constexpr std::uint64_t kCut = 150000;
  const std::string cut = "&cut=" + std::to_string(kCut);
  const UpdateOutcome first = Update(package, listHash, cut);
  ASSERT_EQ(first.result, UpdateResult::Failed) << first.cause;
  EXPECT_EQ(first.failure, UpdateFailure::Transfer);
  EXPECT_EQ(Client(), Hashed(kRelease1));
  const auto requests = server_.Requests();
  const auto cutShort = std::find_if(requests.begin(), requests.end(),
                                     [&](const net_testing::LoggedRequest& r) { return r.bytesSent == kCut; });
  ASSERT_NE(cutShort, requests.end());
  unsigned long long cutStart = 0;
  ASSERT_EQ(std::sscanf(cutShort->range.c_str(), "bytes=%llu-", &cutStart), 1);

  const UpdateOutcome second = Update(package, listHash, cut);
  ASSERT_EQ(second.result, UpdateResult::Done) << second.cause;
  EXPECT_EQ(Client(), Hashed(release2));
  EXPECT_EQ(BytesSentWithin(requests.size(), cutStart, cutStart + kCut), 0u) << "the kept bytes were fetched again";
}

}  // namespace
