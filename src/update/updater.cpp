#include "update/updater.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <set>

#include "log/log.h"
#include "net/resume_record.h"
#include "platform/codepage.h"
#include "platform/disk.h"
#include "platform/file.h"
#include "platform/path.h"
#include "store/files.h"
#include "store/json_file.h"
#include "update/block_search.h"
#include "update/file_list.h"
#include "zip/archive.h"

namespace {

// The end record with the longest comment it can have: where the directory is found.
constexpr std::uint64_t kTailLength = 22 + 65535;
// A release's package ends with its file list (after the block map, if any) and its
// directory, which grow with its entries: a tail of this share of the package usually
// holds all of them, so that they cost one request, not three. Up to kLongestTail: on a
// slow link, more bytes would cost more than the round trips they save.
constexpr std::int64_t kTailShare = 128;
constexpr std::uint64_t kLongestTail = 512 * 1024;
constexpr char kSourceRecord[] = "source.json";
// A directory this large lists far more entries than a zip without zip64 can hold: the
// package is not what it claims to be.
constexpr std::uint32_t kMaxDirectorySize = 64 * 1024 * 1024;
// A block map this large describes far more than a package can hold.
constexpr std::uint64_t kMaxBlockMapSize = 64 * 1024 * 1024;
// How often a wait on the fetcher or the unpacker looks whether it ended.
constexpr std::chrono::milliseconds kPollInterval{10};

std::int64_t FileSizeOf(const std::string& path) {
  std::uint64_t size = 0;
  return platform::QueryFileSize(path, &size) ? static_cast<std::int64_t>(size) : -1;
}

bool HasFiles(const std::string& folder) {
  platform::FolderSearch search;
  if (!search.Open(platform::NativePath::FromAnsi(folder))) return false;
  platform::FolderEntry entry;
  while (search.Next(&entry)) {
    if (!entry.name.IsSelfOrParent()) return true;
  }
  return false;
}

// Removes a folder and what it holds; a link in its place goes as the link, so nothing
// behind it is emptied.
void RemoveTree(const std::string& folder) {
  if (platform::IsLink(folder)) {
    platform::RemoveLink(platform::NativePath::FromAnsi(folder));
    return;
  }
  EmptyFolder(folder);
  platform::RemoveFolder(folder);
}

// Links in a folder of the update's own go as links: a piece is never written, nor an
// entry read, through one.
void RemoveLinksIn(const std::string& folder) {
  const platform::NativePath native = platform::NativePath::FromAnsi(folder);
  platform::FolderSearch search;
  if (!search.Open(native)) return;
  platform::FolderEntry entry;
  while (search.Next(&entry)) {
    if (entry.isLink) platform::RemoveLink(native.Join(entry.name));
  }
}

std::vector<ZipPiece> HeldZipPieces(const std::string& folder) {
  std::vector<ZipPiece> pieces;
  for (const update::ByteRange& held : update::HeldPieces(folder)) {
    pieces.push_back({held.offset, held.length, platform::AnsiToWide(update::PiecePath(folder, held.offset))});
  }
  return pieces;
}

// The pieces kept from an earlier attempt belong to this package only when it is the
// same URL with the same validator and size; otherwise the update folder starts over.
void PrepareUpdateFolder(const UpdateFolders& folders, const std::string& url, const std::string& validator,
                         std::uint64_t size) {
  const net::ResumeRecord source{url, validator, static_cast<std::int64_t>(size)};
  const bool resumable = net::IsRecordableValidator(validator);
  net::ResumeRecord kept;
  const std::string record = JoinPath(folders.root, kSourceRecord);
  if (platform::IsLink(folders.root)) platform::RemoveLink(platform::NativePath::FromAnsi(folders.root));
  if (!resumable || !net::ReadResumeRecord(record, &kept) || kept != source) EmptyFolder(folders.root);
  platform::MakeFolder(folders.root);
  RemoveLinksIn(folders.root);
  platform::MakeFolder(folders.pieces);
  platform::MakeFolder(folders.files);
  RemoveLinksIn(folders.pieces);
  // Without a validator a later run could hold nothing to: the record stays unwritten.
  if (resumable) net::WriteResumeRecord(record, source);
}

// An unpacked entry's file: named after its index, so that its path is short whatever
// the entry's name (any name the whole install can place can be unpacked).
std::string UnpackedName(std::int32_t index) { return std::to_string(index); }

// An entry name as the extractor places it on this system, '/'-separated: a character
// that the system takes for a separator separates, any other stays part of the name.
std::string RecordNameOf(const std::wstring& name) {
  std::wstring separated = name;
  for (wchar_t& c : separated) {
    if (platform::IsPathSeparator(c)) c = L'/';
  }
  return platform::WideToNarrow(separated, platform::CodePage::Utf8);
}

std::vector<PackageEntry> ToPackageEntries(const std::vector<ArchiveListedEntry>& listed) {
  std::vector<PackageEntry> entries;
  for (const ArchiveListedEntry& e : listed) {
    entries.push_back(
        {e.index, RecordNameOf(e.name), e.size, e.crc, e.localHeaderOffset, e.folder, e.compressedSize, ""});
  }
  return entries;
}

std::uint64_t TailLengthFor(const VersionAnswer& answer) {
  if (answer.fileListSha256.empty() || answer.packageSize <= 0) return kTailLength;
  return std::clamp(static_cast<std::uint64_t>(answer.packageSize / kTailShare), kTailLength, kLongestTail);
}

bool IsDelta(const std::vector<BlockDelta>& deltas, std::int32_t index) {
  return std::any_of(deltas.begin(), deltas.end(), [&](const BlockDelta& d) { return d.index == index; });
}

// Whether every fetched entry's unpacked file has the SHA-256 the release's file list
// gives it (entries without one were checked by their CRC-32 alone).
bool UnpackedFilesMatch(const std::string& unpackFolder, const std::vector<const PackageEntry*>& fetched,
                        const std::atomic<bool>& cancel, const std::function<void(double)>& progress) {
  for (std::size_t i = 0; i < fetched.size(); ++i) {
    if (cancel) return false;
    const PackageEntry& entry = *fetched[i];
    if (!entry.sha256.empty() && FileSha256(JoinPath(unpackFolder, UnpackedName(entry.index))) != entry.sha256) {
      return false;
    }
    progress(static_cast<double>(i + 1) / static_cast<double>(fetched.size()));
  }
  return true;
}

// SHA-256 of the installed files named in `names` (empty for one that cannot be read).
bool MeasureFiles(const std::string& clientFolder, const std::vector<std::string>& names,
                  std::map<std::string, std::string>* hashes, const std::atomic<bool>& cancel,
                  const std::function<void(double)>& progress) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (cancel) return false;
    (*hashes)[names[i]] = FileSha256(ClientFilePath(clientFolder, names[i]));
    progress(static_cast<double>(i + 1) / static_cast<double>(names.size()));
  }
  return true;
}

// The records of a finished update: ClientFiles.json, Version.json, and the update
// folder goes.
void CompleteUpdate(const std::string& gameRoot, const UpdateFolders& folders, const UpdateJournal& journal,
                    const std::string& versionRecordPath, Json::Value* versionRecord) {
  SaveClientFiles(JoinPath(gameRoot, kClientFilesName), journal.record);
  if (!versionRecord->isObject()) *versionRecord = Json::Value(Json::objectValue);
  (*versionRecord)["Version"] = journal.version;
  WriteJsonFile(versionRecordPath, *versionRecord);
  platform::RemoveFile(folders.journal);
  RemoveTree(folders.root);
}

}  // namespace

CUpdater::~CUpdater() { Stop(); }

void CUpdater::Start(UpdateRequest request) {
  Stop();
  request_ = std::move(request);
  outcome_ = UpdateOutcome();
  cancel_ = false;
  finished = false;
  bytesBefore_ = 0;
  try {
    worker_ = std::make_unique<std::thread>(&CUpdater::Run, this);
  } catch (...) {
    // No thread: the update is over before it began, and failed.
    outcome_.cause = "the update's worker could not be started";
    finished = true;
  }
}

void CUpdater::Cancel() {
  {
    const std::lock_guard<std::mutex> lock(cancelMutex_);
    cancel_ = true;
  }
  cancelSignal_.notify_all();
}

void CUpdater::Stop() {
  if (!worker_) return;
  Cancel();
  worker_->join();
  worker_.reset();
}

void CUpdater::Run() noexcept {
  try {
    const ConnectionSettings& c = request_.settings.connection;
    CRangeFetcherCallback* fetchReports = this;
    CEntryUnpackerCallback* unpackReports = this;
    fetcher_ = std::make_unique<CRangeFetcher>(fetchReports, c.Transfers(), connections_);
    fetcher_->SetMirrors(request_.answer.packageUrls);
    unpacker_ = std::make_unique<CEntryUnpacker>(unpackReports);
    outcome_.result = Update();
  } catch (...) {
    // Whatever went wrong, the old client stays.
    outcome_.result = UpdateResult::Failed;
    outcome_.cause = "the update stopped on an unexpected error";
  }
  unpacker_.reset();
  fetcher_.reset();
  finished = true;
}

template <typename Worker>
bool CUpdater::Await(Worker& worker) {
  std::unique_lock<std::mutex> lock(cancelMutex_);
  while (!worker.finished && !cancel_) cancelSignal_.wait_for(lock, kPollInterval);
  lock.unlock();
  // Stop cancels a worker under way and joins one that ended.
  worker.Stop();
  return worker.succeeded && !cancel_;
}

void CUpdater::Report(double fraction) {
  observer_->OnProgress(fraction, bytesBefore_);
}

void CUpdater::OnRangeFetchProgress(CRangeFetcher* fetcher) {
  observer_->OnProgress(fetcher->progress, bytesBefore_ + fetcher->receivedBytes());
}

void CUpdater::OnUnpackProgress(CEntryUnpacker* unpacker) { Report(unpacker->progress); }

// Every way out but Done says why in the log, and passes its result on.
UpdateResult CUpdater::Because(UpdateResult result, UpdateFailure failure, const char* cause) {
  if (cancel_ && result == UpdateResult::Failed) failure = UpdateFailure::Cancelled;
  outcome_.failure = result == UpdateResult::Failed ? failure : UpdateFailure::None;
  outcome_.cause = cause;
  applog::Log(std::string(result == UpdateResult::Whole ? "incremental update gives way to the whole install: "
                                                        : "incremental update failed: ") +
              cause);
  return result;
}

// Drops the update folder: the whole install it is.
UpdateResult CUpdater::Whole(const PackageSource& source, const char* cause) {
  RemoveTree(source.folders.root);
  return Because(UpdateResult::Whole, UpdateFailure::None, cause);
}

UpdateResult CUpdater::Update() {
  const std::string& clientFolder = request_.clientFolder;
  // A client folder that is a link may lie on another volume, where nothing can be
  // moved into it: the whole install refills it where it is.
  if (!HasFiles(clientFolder) || platform::IsLink(clientFolder)) {
    return Because(UpdateResult::Whole, UpdateFailure::None, "no installed client, or its folder is a link");
  }
  ClientFiles installed;
  if (!EnsureClientRecord(&installed)) {
    // An unreadable client is repaired by the whole install; a player who left wants nothing.
    return Because(cancel_ ? UpdateResult::Failed : UpdateResult::Whole, UpdateFailure::Cancelled,
                   "the installed client could not be measured");
  }
  PackageSource source;
  source.url = request_.answer.packageUrl;
  source.folders = UpdateFoldersFor(clientFolder);
  UpdateResult step = FetchPackageDirectory(&source);
  if (step != UpdateResult::Done) return step;
  std::vector<PackageEntry> entries;
  if (!ReadPackageDirectory(source, &entries)) {
    return Whole(source, "the package directory is damaged, or has links or two entries for one file");
  }

  // With a release key, entries fetched one by one count only when the signed file list
  // vouches for them; a release without one takes the whole install, whose hash is signed.
  // Without a key, a list the answer names is held to all the same.
  const VersionAnswer& answer = request_.answer;
  const bool signedRelease = !request_.settings.releasePublicKey.empty();
  if ((answer.namesFileList || signedRelease) && answer.fileListSha256.empty()) {
    return Whole(source, "the answer names no usable FileListSha256");
  }
  if (!answer.fileListSha256.empty()) {
    step = ReadFileList(source, &entries, &installed);
    if (step != UpdateResult::Done) return step;
  }

  UpdatePlan plan = PlanUpdate(entries, source.directoryOffset, installed, [&](const std::string& name) {
    return FileSizeOf(ClientFilePath(clientFolder, name));
  });
  std::vector<BlockDelta> deltas;
  step = PlanBlockDeltas(source, entries, &plan, &deltas);
  if (step != UpdateResult::Done) return step;
  if (!HasRoomFor(source, plan)) {
    return Because(UpdateResult::Failed, UpdateFailure::Space, "not enough free disk space");
  }
  step = FetchRanges(source, plan.ranges);
  if (step != UpdateResult::Done) return step;
  observer_->OnPhaseEnds();

  std::vector<const PackageEntry*> fetched;
  for (const std::int32_t index : plan.fetch) {
    fetched.push_back(&*std::find_if(entries.begin(), entries.end(),
                                     [&](const PackageEntry& e) { return e.index == index; }));
  }
  observer_->OnPhaseBegins(UpdatePhase::Unpack);
  step = UnpackEntries(source, fetched, deltas);
  if (step != UpdateResult::Done) return step;

  UpdateJournal journal;
  journal.version = answer.version;
  for (const PackageEntry* entry : fetched) journal.moves.push_back({UnpackedName(entry->index), entry->name});
  journal.removes = plan.remove;
  journal.record = plan.record;
  journal.record.version = answer.version;
  journal.record.baseDir = installed.baseDir;
  outcome_.entriesFetched = fetched.size();
  outcome_.filesRemoved = plan.remove.size();
  return Apply(source, journal);
}

bool CUpdater::EnsureClientRecord(ClientFiles* record) {
  const std::string& baseDir = request_.settings.baseDir;
  const std::string version = ReadJsonText(request_.versionRecord, "Version");
  const std::string recordPath = JoinPath(request_.gameRoot, kClientFilesName);
  if (LoadClientFiles(recordPath, record) && record->baseDir == baseDir && record->version == version) return true;
  observer_->OnPhaseBegins(UpdatePhase::Measure);
  ClientFiles scanned;
  if (!ScanClientFolder(request_.clientFolder, &scanned, cancel_, [this](double f) { Report(f); }) || cancel_) {
    return false;
  }
  observer_->OnPhaseEnds();
  scanned.version = version;
  scanned.baseDir = baseDir;
  // Without the record the next update scans again; nothing else depends on it.
  SaveClientFiles(recordPath, scanned);
  *record = std::move(scanned);
  return true;
}

UpdateResult CUpdater::FetchOutcome(const PackageSource& source, bool fetched) {
  outcome_.requests += fetcher_->requestCount();
  outcome_.bytesFetched += fetcher_->receivedBytes();
  bytesBefore_ = outcome_.bytesFetched;
  if (fetched && !fetcher_->rangesRefused()) return UpdateResult::Done;
  if (cancel_) return Because(UpdateResult::Failed, UpdateFailure::Cancelled, "the update was cancelled");
  // A server that sends whole packages only, or other bytes than asked for: what it
  // sent cannot be pieced together, and the whole install it is.
  if (fetcher_->rangesRefused() || fetcher_->answerRefused()) {
    return Whole(source, "the server answered ranges with the whole package or other bytes");
  }
  return Because(UpdateResult::Failed, UpdateFailure::Transfer, "a range transfer did not come through");
}

UpdateResult CUpdater::FetchPackageDirectory(PackageSource* source) {
  observer_->OnPhaseBegins(UpdatePhase::Fetch);
  fetcher_->StartTail(source->url, TailLengthFor(request_.answer));
  const UpdateResult tail = FetchOutcome(*source, Await(*fetcher_));
  if (tail != UpdateResult::Done) return tail;
  source->size = fetcher_->totalSize();
  source->validator = fetcher_->validator();
  const UpdateFolders& folders = source->folders;
  PrepareUpdateFolder(folders, source->url, source->validator, source->size);
  const std::string tailPath = update::PiecePath(folders.pieces, fetcher_->tailOffset());
  std::uint32_t directorySize = 0;
  platform::RemoveFile(tailPath);
  if (!WriteWholeFile(tailPath, fetcher_->tail())) {
    // A volume too full for the tail is a full volume, not a failed download.
    std::uint64_t free = 0;
    if (platform::FreeDiskSpace(request_.gameRoot, &free) && free < fetcher_->tail().size()) {
      return Because(UpdateResult::Failed, UpdateFailure::Space, "not enough free disk space");
    }
    return Because(UpdateResult::Failed, UpdateFailure::Transfer, "the package's tail could not be written");
  }
  if (!ArchiveFindCentralDirectory(HeldZipPieces(folders.pieces), source->size, &source->directoryOffset,
                                   &directorySize) ||
      directorySize > kMaxDirectorySize) {
    return Whole(*source, "no central directory in the package's tail, or one too large");
  }
  if (directorySize == 0) return UpdateResult::Done;
  // A release's file list lies just before the directory: as many bytes again before it
  // usually bring the list along in the same request.
  const std::uint64_t before =
      request_.answer.fileListSha256.empty() ? 0 : std::min<std::uint64_t>(source->directoryOffset, directorySize);
  return FetchRanges(*source, {{source->directoryOffset - before, directorySize + before}});
}

UpdateResult CUpdater::FetchRanges(const PackageSource& source, const std::vector<update::ByteRange>& ranges) {
  fetcher_->Start(source.url, source.validator, source.size, ranges, source.folders.pieces);
  return FetchOutcome(source, Await(*fetcher_));
}

bool CUpdater::ReadPackageDirectory(const PackageSource& source, std::vector<PackageEntry>* entries) {
  const ArchiveHandle archive(ArchiveOpenPieces(HeldZipPieces(source.folders.pieces), source.size));
  std::vector<ArchiveListedEntry> listed;
  if (!archive || ArchiveListEntries(archive.get(), &listed) != ArchiveOk) return false;
  // Links are kept on some systems only.
  if (std::any_of(listed.begin(), listed.end(), [](const ArchiveListedEntry& e) { return e.link; })) return false;
  *entries = ToPackageEntries(listed);
  // Two entries for one file leave the last one unpacked: only the whole install does that.
  return !HasClashingNames(*entries);
}

bool CUpdater::Unpack(const PackageSource& source, std::vector<std::int32_t> indices) {
  // Entries are unpacked afresh from the fetched pieces: a half-written file of an
  // earlier attempt never moves into the client.
  EmptyFolder(source.folders.files);
  unpacker_->Start(HeldZipPieces(source.folders.pieces), source.size, std::move(indices),
                   platform::AnsiToWide(source.folders.files));
  return Await(*unpacker_);
}

UpdateResult CUpdater::ReadFileList(const PackageSource& source, std::vector<PackageEntry>* entries,
                                    ClientFiles* installed) {
  const std::string& listHash = request_.answer.fileListSha256;
  const auto list = std::find_if(entries->begin(), entries->end(),
                                 [](const PackageEntry& e) { return !e.folder && e.name == kFileListName; });
  if (list == entries->end()) return Whole(source, "the package holds no file list");
  const UpdateResult fetched = FetchRanges(source, {EntryRange(*entries, source.directoryOffset, list->index)});
  if (fetched != UpdateResult::Done) return fetched;
  std::map<std::string, std::string> hashes;
  const bool unpacked = Unpack(source, {list->index});
  if (cancel_) return Because(UpdateResult::Failed, UpdateFailure::Cancelled, "the update was cancelled");
  // The list is the truth about the release: a directory that does not agree with it,
  // line for line, is not the release the answer names.
  if (!unpacked || !LoadFileList(JoinPath(source.folders.files, UnpackedName(list->index)), listHash, &hashes) ||
      !AttachFileList(hashes, listHash, entries)) {
    return Whole(source, "the package directory disagrees with the release's file list");
  }
  if (MeasureUnvouchedFiles(*entries, installed)) return UpdateResult::Done;
  return Because(UpdateResult::Failed, UpdateFailure::Unmeasured,
                 "installed files could not be measured against the file list");
}

bool CUpdater::MeasureUnvouchedFiles(const std::vector<PackageEntry>& entries, ClientFiles* installed) {
  // Files the record knows by size and CRC-32 only (a record made by measuring the
  // client, or from a package without a list) are hashed once, so a damaged file of the
  // right size and CRC-32 is fetched again.
  std::vector<std::string> names;
  for (const PackageEntry& entry : entries) {
    const auto known = installed->files.find(entry.name);
    if (entry.folder || entry.sha256.empty() || known == installed->files.end() || !known->second.sha256.empty()) {
      continue;
    }
    if (known->second.size == entry.size && known->second.crc == entry.crc) names.push_back(entry.name);
  }
  if (names.empty()) return true;
  observer_->OnPhaseBegins(UpdatePhase::Measure);
  std::map<std::string, std::string> measured;
  if (!MeasureFiles(request_.clientFolder, names, &measured, cancel_, [this](double f) { Report(f); })) return false;
  for (const auto& [name, hash] : measured) installed->files[name].sha256 = hash;
  observer_->OnPhaseBegins(UpdatePhase::Fetch);
  return true;
}

bool CUpdater::HasRoomFor(const PackageSource& source, const UpdatePlan& plan) const {
  std::uint64_t needed = plan.unpackedBytes;
  for (const update::ByteRange& range :
       update::MissingRanges(plan.ranges, update::HeldPieces(source.folders.pieces))) {
    needed += range.length;
  }
  std::uint64_t free = 0;
  // When the free space cannot be told, the writes themselves find out.
  return !platform::FreeDiskSpace(request_.gameRoot, &free) || needed <= free;
}

UpdateResult CUpdater::UnpackEntries(const PackageSource& source, const std::vector<const PackageEntry*>& fetched,
                                     const std::vector<BlockDelta>& deltas) {
  // An assembled file was checked as it was written.
  std::vector<std::int32_t> indices;
  std::vector<const PackageEntry*> unpacked;
  for (const PackageEntry* entry : fetched) {
    if (IsDelta(deltas, entry->index)) continue;
    indices.push_back(entry->index);
    unpacked.push_back(entry);
  }
  const bool vouched = Unpack(source, std::move(indices)) && AssembleDeltas(source, fetched, deltas) &&
                       UnpackedFilesMatch(source.folders.files, unpacked, cancel_, [this](double f) { Report(f); });
  if (cancel_) return Because(UpdateResult::Failed, UpdateFailure::Cancelled, "the update was cancelled");
  if (vouched) return UpdateResult::Done;
  return Whole(source, "a fetched entry failed its CRC-32 or SHA-256 check");
}

// With a block map that the file list vouches for, a changed entry the map describes and
// of which an old copy is installed is fetched as the blocks the old copy lacks. Any
// doubt about the map, the entry's header or the old copy leaves the entry to be
// fetched whole.
UpdateResult CUpdater::PlanBlockDeltas(const PackageSource& source, const std::vector<PackageEntry>& entries,
                                       UpdatePlan* plan, std::vector<BlockDelta>* deltas) {
  const auto map = std::find_if(entries.begin(), entries.end(), [](const PackageEntry& e) {
    return !e.folder && e.name == kBlockMapName && !e.sha256.empty() && e.size <= kMaxBlockMapSize;
  });
  if (map == entries.end()) return UpdateResult::Done;
  const std::set<std::int32_t> changed(plan->fetch.begin(), plan->fetch.end());
  const auto hasOldCopy = [&](const PackageEntry& entry) {
    return changed.count(entry.index) && entry.index != map->index && entry.compressedSize > 0 &&
           FileSizeOf(ClientFilePath(request_.clientFolder, entry.name)) > 0;
  };
  if (std::none_of(entries.begin(), entries.end(), hasOldCopy)) return UpdateResult::Done;
  UpdateResult fetched = FetchRanges(source, {EntryRange(entries, source.directoryOffset, map->index)});
  if (fetched != UpdateResult::Done) return fetched;
  std::vector<BlockedFile> files;
  if (!ReadBlockMap(source, *map, &files)) {
    applog::Log("the release's block map is unusable: changed files are fetched whole");
    return UpdateResult::Done;
  }
  // The changed entries the map describes, with their local headers: where their data begins.
  std::vector<std::pair<const PackageEntry*, const BlockedFile*>> described;
  std::vector<update::ByteRange> headers;
  for (const PackageEntry& entry : entries) {
    const auto file =
        std::find_if(files.begin(), files.end(), [&](const BlockedFile& f) { return f.name == entry.name; });
    if (file == files.end() || !hasOldCopy(entry) || file->size != entry.size ||
        file->CompressedEnd() > entry.compressedSize) {
      continue;
    }
    described.emplace_back(&entry, &*file);
    headers.push_back({entry.localHeaderOffset, kLocalHeaderSize});
  }
  if (described.empty()) return UpdateResult::Done;
  fetched = FetchRanges(source, headers);
  if (fetched != UpdateResult::Done) return fetched;
  const std::vector<ZipPiece> pieces = HeldZipPieces(source.folders.pieces);
  const std::vector<std::uint64_t> ends = EntryEnds(entries, source.directoryOffset);
  std::vector<update::ByteRange> blockRanges;
  for (const auto& [entry, file] : described) {
    BlockDelta delta{entry->index, *file, {}, 0};
    if (!EntryDataOffset(pieces, entry->localHeaderOffset, entry->compressedSize,
                         ends[static_cast<std::size_t>(entry - entries.data())], &delta.dataOffset)) {
      continue;
    }
    if (!FindBlocks(ClientFilePath(request_.clientFolder, entry->name), *file, cancel_, &delta.found)) {
      if (cancel_) return Because(UpdateResult::Failed, UpdateFailure::Cancelled, "the update was cancelled");
      continue;
    }
    const std::vector<update::ByteRange> missing = MissingBlockRanges(*file, delta.found, delta.dataOffset);
    const auto held = file->blocks.size() - std::count(delta.found.begin(), delta.found.end(), kBlockNotFound);
    applog::Log(entry->name + ": " + std::to_string(held) + " of " + std::to_string(file->blocks.size()) +
                " blocks are held by the installed copy");
    blockRanges.insert(blockRanges.end(), missing.begin(), missing.end());
    deltas->push_back(std::move(delta));
  }
  std::vector<std::int32_t> whole;
  for (const std::int32_t index : plan->fetch) {
    if (!IsDelta(*deltas, index)) whole.push_back(index);
  }
  plan->ranges = MergedRanges(entries, source.directoryOffset, whole, std::move(blockRanges));
  plan->fetchBytes = 0;
  for (const update::ByteRange& range : plan->ranges) plan->fetchBytes += range.length;
  return UpdateResult::Done;
}

bool CUpdater::ReadBlockMap(const PackageSource& source, const PackageEntry& map, std::vector<BlockedFile>* files) {
  // Nothing in the map is read before the file list has vouched for its bytes.
  std::string bytes;
  const std::string path = JoinPath(source.folders.files, UnpackedName(map.index));
  return Unpack(source, {map.index}) && FileSha256(path) == map.sha256 && ReadWholeFile(path, &bytes) &&
         ParseBlockMap(bytes, files);
}

bool CUpdater::AssembleDeltas(const PackageSource& source, const std::vector<const PackageEntry*>& fetched,
                              const std::vector<BlockDelta>& deltas) {
  const std::vector<ZipPiece> pieces = HeldZipPieces(source.folders.pieces);
  for (const BlockDelta& delta : deltas) {
    if (cancel_) return false;
    const PackageEntry* entry =
        *std::find_if(fetched.begin(), fetched.end(), [&](const PackageEntry* e) { return e->index == delta.index; });
    if (!AssembleBlockedFile(ClientFilePath(request_.clientFolder, entry->name), delta.file, delta.found, pieces,
                             delta.dataOffset, entry->crc, entry->sha256,
                             JoinPath(source.folders.files, UnpackedName(delta.index)))) {
      return false;
    }
  }
  return true;
}

UpdateResult CUpdater::Apply(const PackageSource& source, const UpdateJournal& journal) {
  const UpdateFolders& folders = source.folders;
  switch (CheckJournal(folders, request_.clientFolder, journal)) {
    case JournalCheck::Ready:
      break;
    case JournalCheck::Held:
      return Because(UpdateResult::Failed, UpdateFailure::Held, "a file to replace is held open by a running program");
    case JournalCheck::Conflict:
      return Whole(source, "something that is not the package's is in the way of the update");
  }
  if (!WriteJournal(folders.journal, journal)) {
    return Because(UpdateResult::Failed, UpdateFailure::Journal, "the update's journal could not be written");
  }
  // From here on Stop waits: a client left half moved is refilled by the whole install,
  // and the journal stays until the install has emptied the client folder, so a crash
  // before then repeats this.
  if (!ApplyJournal(folders, request_.clientFolder, journal)) {
    return Because(UpdateResult::Whole, UpdateFailure::None, "the update's moves could not be finished");
  }
  CompleteUpdate(request_.gameRoot, folders, journal, request_.versionRecordPath, &request_.versionRecord);
  observer_->OnPhaseEnds();
  return UpdateResult::Done;
}

bool FinishInterruptedUpdate(const std::string& gameRoot, const std::string& clientFolder,
                             const std::string& versionRecordPath, Json::Value* versionRecord) {
  const UpdateFolders folders = UpdateFoldersFor(clientFolder);
  if (platform::IsLink(folders.root) || FileSizeOf(folders.journal) < 0) return true;
  UpdateJournal journal;
  // A journal that cannot be read or finished leaves a client of two versions, which
  // only the whole install puts right. So does one beside a missing record: the whole
  // install, which removes the record first, was under way, and the client may be half
  // emptied.
  if (FileSizeOf(JoinPath(gameRoot, kClientFilesName)) >= 0 && ReadJournal(folders.journal, &journal) &&
      ApplyJournal(folders, clientFolder, journal)) {
    CompleteUpdate(gameRoot, folders, journal, versionRecordPath, versionRecord);
    return true;
  }
  applog::Log("an interrupted update could not be finished: the whole install follows");
  return false;
}

void RemoveUpdateFolder(const std::string& clientFolder) { RemoveTree(UpdateFoldersFor(clientFolder).root); }

void RecordInstalledPackage(const std::string& packagePath, const std::string& gameRoot,
                            const std::string& clientFolder, const std::string& version, const std::string& baseDir,
                            const std::string& listHash) {
  const ArchiveHandle archive(ArchiveOpen(platform::AnsiToWide(packagePath)));
  std::vector<ArchiveListedEntry> listed;
  if (!archive || ArchiveListEntries(archive.get(), &listed) != ArchiveOk) return;
  std::vector<PackageEntry> entries = ToPackageEntries(listed);
  // The list's hashes describe the installed files only when the package is the one
  // the answer vouched for by its hash, and the list the one it names.
  std::map<std::string, std::string> hashes;
  if (!listHash.empty() && LoadFileList(ClientFilePath(clientFolder, kFileListName), listHash, &hashes)) {
    AttachFileList(hashes, listHash, &entries);
  }
  ClientFiles record;
  record.version = version;
  record.baseDir = baseDir;
  for (const PackageEntry& entry : entries) {
    if (!entry.folder) record.files[entry.name] = {entry.size, entry.crc, entry.sha256};
  }
  // Without the record the next update scans the client folder instead.
  SaveClientFiles(JoinPath(gameRoot, kClientFilesName), record);
}
