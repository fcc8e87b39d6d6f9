#pragma once
// Incremental updates: the package's directory is read from its end by byte ranges,
// compared with the record of the installed files, and only the entries that changed
// are fetched, unpacked beside the client folder and moved into it once all are there.
//
// An update ends at exactly the new release or in the whole-package install: whatever
// the incremental way cannot vouch for (an answer with other bytes than asked, a
// directory that disagrees with the release's file list, a fetched entry that fails its
// check, a change the apply cannot make) drops what was fetched and takes the whole
// install. Only a transfer that did not come through, a held file or a full volume
// fail the update with the old client kept, and the fetched pieces stay for next time.
//
// CUpdater runs one update from start to end on a worker of its own and tells an
// IUpdateObserver what it is doing; whoever shows it (the launcher's window) implements
// the observer. The owner polls `finished`, then reads the outcome; Stop cancels.
#include <json/json.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "update/block_assembly.h"
#include "update/client_files.h"
#include "update/entry_unpacker.h"
#include "update/journal.h"
#include "update/plan.h"
#include "update/range_fetcher.h"
#include "update/update_settings.h"
#include "update/version_answer.h"

enum class UpdatePhase {
  Measure,  // the installed files are measured (the record is made, or files are hashed)
  Fetch,    // the package's directory, its file list and the changed entries come
  Unpack,   // the fetched entries are unpacked, checked and moved into the client folder
};

enum class UpdateResult {
  Done,    // the client is the new release
  Failed,  // the old client stays; `failure` says why
  Whole,   // what was fetched is dropped: the whole-package install it is
};

// Why an update failed, as far as the player is told.
enum class UpdateFailure {
  None,
  Cancelled,     // Stop came (the player left)
  Transfer,      // a transfer did not come through
  Space,         // the volume cannot take the ranges or the unpacked entries
  Held,          // a file to replace is held open by a running program; nothing changed
  Journal,       // the journal could not be written; nothing changed
  Unmeasured,    // installed files could not be measured against the file list
};

struct UpdateOutcome {
  UpdateResult result = UpdateResult::Failed;
  UpdateFailure failure = UpdateFailure::None;
  // Why it ended as it did, for the log; empty when Done.
  std::string cause;
  // What the update fetched and changed.
  std::uint64_t entriesFetched = 0;
  std::uint64_t filesRemoved = 0;
  std::uint64_t requests = 0;
  std::uint64_t bytesFetched = 0;
};

// Called on the updater's worker thread: an implementation queues or flags, nothing more.
class IUpdateObserver {
 public:
  virtual ~IUpdateObserver() = default;
  // A phase begins; Fetch begins again after files were measured in its middle.
  virtual void OnPhaseBegins(UpdatePhase phase) = 0;
  // The phase under way went well and is over.
  virtual void OnPhaseEnds() = 0;
  // `fraction` (0 to 1) of the current step of the phase is done; `bytesFetched` is the
  // update's count of package bytes received so far.
  virtual void OnProgress(double fraction, std::uint64_t bytesFetched) = 0;
};

// Where an update works and what it starts from.
struct UpdateRequest {
  std::string gameRoot;
  std::string clientFolder;
  // Version.json, whose `Version` the update rewrites (other keys are kept).
  std::string versionRecordPath;
  Json::Value versionRecord;
  UpdateSettings settings;
  VersionAnswer answer;
};

class CUpdater : private CRangeFetcherCallback, private CEntryUnpackerCallback {
 public:
  // With a pool (which outlives the updater), the update's requests use the connections
  // of the pool's other users (the version request's among them), one after the other
  // with them, never at once.
  explicit CUpdater(IUpdateObserver* observer, net::ConnectionPool* connections = nullptr)
      : observer_(observer), connections_(connections) {}
  ~CUpdater() override;
  CUpdater(const CUpdater&) = delete;
  CUpdater& operator=(const CUpdater&) = delete;

  void Start(UpdateRequest request);
  // Asks the update to end as soon as it can, without waiting; safe from any thread,
  // the observer's calls included.
  void Cancel();
  // Cancels and waits; once the moves into the client folder began, they are finished.
  void Stop();

  std::atomic<bool> finished{false};
  // Read once `finished` is set.
  const UpdateOutcome& outcome() const { return outcome_; }
  // Version.json as the update left it (the new `Version` once Done).
  const Json::Value& versionRecord() const { return request_.versionRecord; }

 private:
  void Run() noexcept;
  UpdateResult Update();
  UpdateResult Because(UpdateResult result, UpdateFailure failure, const char* cause);
  UpdateResult Whole(const PackageSource& source, const char* cause);
  bool EnsureClientRecord(ClientFiles* record);
  UpdateResult FetchPackageDirectory(PackageSource* source);
  UpdateResult FetchRanges(const PackageSource& source, const std::vector<update::ByteRange>& ranges);
  UpdateResult FetchOutcome(const PackageSource& source, bool fetched);
  bool ReadPackageDirectory(const PackageSource& source, std::vector<PackageEntry>* entries);
  UpdateResult ReadFileList(const PackageSource& source, std::vector<PackageEntry>* entries, ClientFiles* installed);
  bool MeasureUnvouchedFiles(const std::vector<PackageEntry>& entries, ClientFiles* installed);
  bool HasRoomFor(const PackageSource& source, const UpdatePlan& plan) const;
  UpdateResult PlanBlockDeltas(const PackageSource& source, const std::vector<PackageEntry>& entries, UpdatePlan* plan,
                               std::vector<BlockDelta>* deltas);
  bool ReadBlockMap(const PackageSource& source, const PackageEntry& map, std::vector<BlockedFile>* files);
  UpdateResult UnpackEntries(const PackageSource& source, const std::vector<const PackageEntry*>& fetched,
                             const std::vector<BlockDelta>& deltas);
  bool AssembleDeltas(const PackageSource& source, const std::vector<const PackageEntry*>& fetched,
                      const std::vector<BlockDelta>& deltas);
  UpdateResult Apply(const PackageSource& source, const UpdateJournal& journal);
  bool Unpack(const PackageSource& source, std::vector<std::int32_t> indices);
  // Runs `worker`, started already, to its end; false when it failed or Stop came.
  template <typename Worker>
  bool Await(Worker& worker);
  void Report(double fraction);

  void OnRangeFetchProgress(CRangeFetcher* fetcher) override;
  void OnUnpackProgress(CEntryUnpacker* unpacker) override;

  IUpdateObserver* const observer_;
  net::ConnectionPool* const connections_;
  UpdateRequest request_;
  UpdateOutcome outcome_;
  std::unique_ptr<CRangeFetcher> fetcher_;
  std::unique_ptr<CEntryUnpacker> unpacker_;
  std::unique_ptr<std::thread> worker_;
  std::atomic<bool> cancel_{false};
  std::mutex cancelMutex_;
  std::condition_variable cancelSignal_;
  std::atomic<std::uint64_t> bytesBefore_{0};
};

// Finishes an update that a crash interrupted after its journal was written, before
// anything else; Version.json's `Version` in `versionRecord` is then the new one. False
// when one could not be finished: the client is of two versions, and only the whole
// install, once it has emptied the client folder, puts it right.
bool FinishInterruptedUpdate(const std::string& gameRoot, const std::string& clientFolder,
                             const std::string& versionRecordPath, Json::Value* versionRecord);

// Removes "<client folder>.update" and what it holds (a link there as the link).
void RemoveUpdateFolder(const std::string& clientFolder);

// After a whole-package install of `version` into `clientFolder` (BaseDir `baseDir`):
// ClientFiles.json in the game root from the package's directory, with the file list's
// hashes when `listHash` is given (the answer's FileListSha256, when the package's own
// hash was checked).
void RecordInstalledPackage(const std::string& packagePath, const std::string& gameRoot,
                            const std::string& clientFolder, const std::string& version, const std::string& baseDir,
                            const std::string& listHash);
