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
#include <json/json.h>

#include <algorithm>
#include <memory>

#include "app/launcher_app.h"
#include "app/launcher_configuration.h"
#include "app/text.h"
#include "log/log.h"
#include "platform/codepage.h"
#include "platform/disk.h"
#include "platform/file.h"
#include "platform/path.h"
#include "store/files.h"
#include "store/json_file.h"
#include "update/file_list.h"
#include "update/plan.h"
#include "zip/archive.h"

namespace {

// The end record with the longest comment it can have: where the directory is found.
constexpr std::uint64_t kTailLength = 22 + 65535;
constexpr char kSourceRecord[] = "source.json";
// A directory this large lists far more entries than a zip without zip64 can hold: the
// package is not what it claims to be.
constexpr std::uint32_t kMaxDirectorySize = 64 * 1024 * 1024;

struct ArchiveCloser {
  void operator()(Archive* archive) const { ArchiveClose(archive); }
};

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
    pieces.push_back({held.offset, held.length, AnsiToWide(update::PiecePath(folder, held.offset))});
  }
  return pieces;
}

// The pieces kept from an earlier attempt belong to this package only when it is the
// same URL with the same validator and size; otherwise the update folder starts over.
void PrepareUpdateFolder(const UpdateFolders& folders, const std::string& url, const std::string& validator,
                         std::uint64_t size) {
  Json::Value source(Json::objectValue);
  source["Url"] = url;
  source["Validator"] = validator;
  source["Size"] = std::to_string(size);
  Json::Value kept;
  const std::string record = JoinPath(folders.root, kSourceRecord);
  if (platform::IsLink(folders.root)) platform::RemoveLink(platform::NativePath::FromAnsi(folders.root));
  if (validator.empty() || !ReadJsonFile(record, kept) || kept != source) EmptyFolder(folders.root);
  platform::MakeFolder(folders.root);
  RemoveLinksIn(folders.root);
  platform::MakeFolder(folders.pieces);
  platform::MakeFolder(folders.files);
  RemoveLinksIn(folders.pieces);
  // Without a validator nothing is kept for later: the record stays unwritten.
  if (!validator.empty()) WriteJsonFile(record, source);
}

// A staged entry's file: named after its index, so that its path is short whatever
// the entry's name (any name the whole install can place can be staged).
std::string StagedName(std::int32_t index) { return std::to_string(index); }

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

// Whether every fetched entry's unpacked file has the SHA-256 the release's file list
// gives it (entries without one were checked by their CRC-32 alone).
bool StagedFilesMatch(const std::string& stagingFolder, const std::vector<const PackageEntry*>& fetched,
                      const std::atomic<bool>& cancel, const std::function<void(double)>& progress) {
  for (std::size_t i = 0; i < fetched.size(); ++i) {
    if (cancel) return false;
    const PackageEntry& entry = *fetched[i];
    if (!entry.sha256.empty() && FileSha256(JoinPath(stagingFolder, StagedName(entry.index))) != entry.sha256) {
      return false;
    }
    if (progress) progress(static_cast<double>(i + 1) / static_cast<double>(fetched.size()));
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
    if (progress) progress(static_cast<double>(i + 1) / static_cast<double>(names.size()));
  }
  return true;
}

// Every way out of an incremental update but Done says why in the log, and passes its
// result on.
template <typename Incremental>
Incremental Because(Incremental result, const char* reason) {
  applog::Log(std::string(result == Incremental::Whole ? "incremental update gives way to the whole install: "
                                                       : "incremental update failed: ") +
              reason);
  return result;
}

}  // namespace

template <typename Worker, typename Starter>
bool CLauncherApp::RunUpdateWorker(Worker& worker, Starter start) {
  updateProgressPending_.exchange(false);
  updateProgress_ = &worker.progress;
  start();
  WaitForWorker(worker);
  updateProgress_ = nullptr;
  return worker.succeeded && !IsMainWindowDestroyed();
}

CLauncherApp::Incremental CLauncherApp::UpdateIncrementally(const std::string& clientFolder,
                                                            const std::string& serverVersion) {
  // A client folder that is a link may lie on another volume, where nothing can be
  // moved into it: the whole install refills it where it is.
  if (!HasFiles(clientFolder) || platform::IsLink(clientFolder)) {
    return Because(Incremental::Whole, "no installed client, or its folder is a link");
  }
  ClientFiles installed;
  if (!EnsureClientRecord(clientFolder, &installed)) {
    // An unreadable client is repaired by the whole install; a player who left wants nothing.
    return Because(IsMainWindowDestroyed() ? Incremental::Failed : Incremental::Whole,
                   "the installed client could not be measured");
  }
  PackageSource source;
  source.url = answer_.packageUrl;
  source.folders = UpdateFoldersFor(clientFolder);
  Incremental step = FetchPackageDirectory(&source);
  if (step != Incremental::Done) return step;
  std::vector<PackageEntry> entries;
  if (!ReadPackageDirectory(source, &entries)) {
    return Because(InstallWhole(source), "the package directory is damaged, or has links or two entries for one file");
  }

  // With a release key, entries fetched one by one count only when the signed file list
  // vouches for them; a release without one takes the whole install, whose hash is signed.
  // Without a key, a list the answer names is held to all the same.
  const std::string& listHash = answer_.fileListSha256;
  const bool signedRelease = !settings_.update.releasePublicKey.empty();
  if ((answer_.namesFileList || signedRelease) && listHash.empty()) {
    return Because(InstallWhole(source), "the answer names no usable FileListSha256");
  }
  if (!listHash.empty()) {
    step = ReadFileList(source, listHash, clientFolder, &entries, &installed);
    if (step != Incremental::Done) return step;
  }

  const UpdatePlan plan = PlanUpdate(entries, source.directoryOffset, installed, [&](const std::string& name) {
    return FileSizeOf(ClientFilePath(clientFolder, name));
  });
  if (!HasRoomForUpdate(source, plan)) return FailForSpace();
  step = FetchRanges(source, plan.ranges);
  if (step != Incremental::Done) return step;
  if (!EndStage(true, L"")) return Incremental::Failed;

  std::vector<const PackageEntry*> fetched;
  for (const std::int32_t index : plan.fetch) {
    fetched.push_back(&*std::find_if(entries.begin(), entries.end(),
                                     [&](const PackageEntry& e) { return e.index == index; }));
  }
  BeginStage(settings_.texts.extractFile);
  step = StageEntries(source, fetched);
  if (step != Incremental::Done) return step;

  UpdateJournal journal;
  journal.version = serverVersion;
  for (const PackageEntry* entry : fetched) journal.moves.push_back({StagedName(entry->index), entry->name});
  journal.removes = plan.remove;
  journal.record = plan.record;
  journal.record.version = serverVersion;
  journal.record.baseDir = installed.baseDir;
  return ApplyUpdate(clientFolder, source, journal);
}

void CLauncherApp::RemoveUpdateFolder(const std::string& clientFolder) {
  RemoveTree(UpdateFoldersFor(clientFolder).root);
}

CLauncherApp::Incremental CLauncherApp::InstallWhole(const PackageSource& source) {
  RemoveTree(source.folders.root);
  return Incremental::Whole;
}

CLauncherApp::Incremental CLauncherApp::FailForSpace() {
  ShowStageFailure(settings_.texts.notEnoughDiskSpace);
  Report(settings_.reasons.extractFail);
  return Because(Incremental::Failed, "not enough free disk space");
}

void CLauncherApp::FailDownload() {
  if (!IsMainWindowDestroyed()) ShowStageFailure(settings_.texts.downloadLatestVersionFail);
  Report(settings_.reasons.downloadFail);
}

bool CLauncherApp::EnsureClientRecord(const std::string& clientFolder, ClientFiles* record) {
  const std::string& baseDir = settings_.update.baseDir;
  const std::string version = InstalledVersionOf(localVersion_);
  const std::string recordPath = JoinPath(gameRoot_, kClientFilesName);
  if (LoadClientFiles(recordPath, record) && record->baseDir == baseDir && record->version == version) return true;
  BeginStage(settings_.texts.verifyClient);
  ClientFiles scanned;
  const bool ok = RunUpdateWorker(*scanner_, [&] {
    scanner_->Start([&](const std::atomic<bool>& cancel, const std::function<void(double)>& progress) {
      return ScanClientFolder(clientFolder, &scanned, cancel, progress);
    });
  });
  if (!ok) return false;
  EndStage(true, L"");
  scanned.version = version;
  scanned.baseDir = baseDir;
  // Without the record the next update scans again; nothing else depends on it.
  SaveClientFiles(recordPath, scanned);
  *record = std::move(scanned);
  return true;
}

CLauncherApp::Incremental CLauncherApp::FetchOutcome(const PackageSource& source, bool fetched) {
  if (fetched && !fetcher_->rangesRefused()) return Incremental::Done;
  if (IsMainWindowDestroyed()) return Because(Incremental::Failed, "the window was closed");
  // A server that sends whole packages only, or other bytes than asked for: what it
  // sent cannot be pieced together, and the whole install it is.
  if (fetcher_->rangesRefused() || fetcher_->answerRefused()) {
    return Because(InstallWhole(source), "the server answered ranges with the whole package or other bytes");
  }
  FailDownload();
  return Because(Incremental::Failed, "a range transfer did not come through");
}

CLauncherApp::Incremental CLauncherApp::FetchPackageDirectory(PackageSource* source) {
  BeginStage(settings_.texts.downloadLatestVersion);
  const bool fetched = RunUpdateWorker(*fetcher_, [&] { fetcher_->StartTail(source->url, kTailLength); });
  const Incremental tail = FetchOutcome(*source, fetched);
  if (tail != Incremental::Done) return tail;
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
    if (platform::FreeDiskSpace(gameRoot_, &free) && free < kTailLength) return FailForSpace();
    FailDownload();
    return Because(Incremental::Failed, "the package's tail could not be written");
  }
  if (!ArchiveFindCentralDirectory(HeldZipPieces(folders.pieces), source->size, &source->directoryOffset,
                                   &directorySize) ||
      directorySize > kMaxDirectorySize) {
    return Because(InstallWhole(*source), "no central directory in the package's tail, or one too large");
  }
  if (directorySize == 0) return Incremental::Done;
  return FetchRanges(*source, {{source->directoryOffset, directorySize}});
}

CLauncherApp::Incremental CLauncherApp::FetchRanges(const PackageSource& source,
                                                    const std::vector<update::ByteRange>& ranges) {
  const bool fetched = RunUpdateWorker(*fetcher_, [&] {
    fetcher_->Start(source.url, source.validator, source.size, ranges, source.folders.pieces);
  });
  return FetchOutcome(source, fetched);
}

bool CLauncherApp::ReadPackageDirectory(const PackageSource& source, std::vector<PackageEntry>* entries) {
  const std::unique_ptr<Archive, ArchiveCloser> archive(
      ArchiveOpenPieces(HeldZipPieces(source.folders.pieces), source.size));
  std::vector<ArchiveListedEntry> listed;
  if (!archive || ArchiveListEntries(archive.get(), &listed) != ArchiveOk) return false;
  // Links are kept on some systems only.
  if (std::any_of(listed.begin(), listed.end(), [](const ArchiveListedEntry& e) { return e.link; })) return false;
  *entries = ToPackageEntries(listed);
  // Two entries for one file leave the last one unpacked: only the whole install does that.
  return !HasClashingNames(*entries);
}

CLauncherApp::Incremental CLauncherApp::ReadFileList(const PackageSource& source, const std::string& listHash,
                                                     const std::string& clientFolder,
                                                     std::vector<PackageEntry>* entries, ClientFiles* installed) {
  const auto list = std::find_if(entries->begin(), entries->end(),
                                 [](const PackageEntry& e) { return !e.folder && e.name == kFileListName; });
  if (list == entries->end()) return Because(InstallWhole(source), "the package holds no file list");
  const Incremental fetched = FetchRanges(source, {EntryRange(*entries, source.directoryOffset, list->index)});
  if (fetched != Incremental::Done) return fetched;
  const UpdateFolders& folders = source.folders;
  EmptyFolder(folders.files);
  std::map<std::string, std::string> hashes;
  const bool staged = RunUpdateWorker(*unpacker_, [&] {
    unpacker_->Start(HeldZipPieces(folders.pieces), source.size, {list->index}, AnsiToWide(folders.files));
  });
  if (IsMainWindowDestroyed()) return Because(Incremental::Failed, "the window was closed");
  // The list is the truth about the release: a directory that does not agree with it,
  // line for line, is not the release the answer names.
  if (!staged || !LoadFileList(JoinPath(folders.files, StagedName(list->index)), listHash, &hashes) ||
      !AttachFileList(hashes, listHash, entries)) {
    return Because(InstallWhole(source), "the package directory disagrees with the release's file list");
  }
  if (MeasureUnvouchedFiles(clientFolder, *entries, installed)) return Incremental::Done;
  return Because(Incremental::Failed, "installed files could not be measured against the file list");
}

bool CLauncherApp::MeasureUnvouchedFiles(const std::string& clientFolder, const std::vector<PackageEntry>& entries,
                                         ClientFiles* installed) {
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
  BeginStage(settings_.texts.verifyClient);
  std::map<std::string, std::string> measured;
  const bool done = RunUpdateWorker(*scanner_, [&] {
    scanner_->Start([&](const std::atomic<bool>& cancel, const std::function<void(double)>& progress) {
      return MeasureFiles(clientFolder, names, &measured, cancel, progress);
    });
  });
  if (!done) return false;
  for (const auto& [name, hash] : measured) installed->files[name].sha256 = hash;
  BeginStage(settings_.texts.downloadLatestVersion);
  return true;
}

bool CLauncherApp::HasRoomForUpdate(const PackageSource& source, const UpdatePlan& plan) const {
  std::uint64_t needed = plan.unpackedBytes;
  for (const update::ByteRange& range : update::MissingRanges(plan.ranges, update::HeldPieces(source.folders.pieces))) {
    needed += range.length;
  }
  std::uint64_t free = 0;
  // When the free space cannot be told, the writes themselves find out.
  return !platform::FreeDiskSpace(gameRoot_, &free) || needed <= free;
}

CLauncherApp::Incremental CLauncherApp::StageEntries(const PackageSource& source,
                                                     const std::vector<const PackageEntry*>& fetched) {
  const UpdateFolders& folders = source.folders;
  std::vector<std::int32_t> indices;
  for (const PackageEntry* entry : fetched) indices.push_back(entry->index);
  // Entries are unpacked afresh from the fetched pieces: a half-written file of an
  // earlier attempt never moves into the client.
  EmptyFolder(folders.files);
  const bool staged = RunUpdateWorker(*unpacker_, [&] {
    unpacker_->Start(HeldZipPieces(folders.pieces), source.size, indices, AnsiToWide(folders.files));
  });
  const bool vouched = staged && RunUpdateWorker(*scanner_, [&] {
    scanner_->Start([&](const std::atomic<bool>& cancel, const std::function<void(double)>& progress) {
      return StagedFilesMatch(folders.files, fetched, cancel, progress);
    });
  });
  if (IsMainWindowDestroyed()) return Because(Incremental::Failed, "the window was closed");
  if (vouched) return Incremental::Done;
  return Because(InstallWhole(source), "a fetched entry failed its CRC-32 or SHA-256 check");
}

CLauncherApp::Incremental CLauncherApp::ApplyUpdate(const std::string& clientFolder, const PackageSource& source,
                                                    const UpdateJournal& journal) {
  const UpdateFolders& folders = source.folders;
  switch (CheckJournal(folders, clientFolder, journal)) {
    case JournalCheck::Ready:
      break;
    case JournalCheck::Held:
      ShowStageFailure(settings_.texts.emptyBaseDirFail);
      return Because(Incremental::Failed, "a file to replace is held open by a running program");
    case JournalCheck::Conflict:
      return Because(InstallWhole(source), "something that is not the package's is in the way of the update");
  }
  if (!WriteJournal(folders.journal, journal)) {
    ShowStageFailure(settings_.texts.extractFileFail);
    Report(settings_.reasons.extractFail);
    return Because(Incremental::Failed, "the update's journal could not be written");
  }
  // A client left half moved is refilled by the whole install; the journal stays until
  // the install has emptied the client folder, so a crash before then repeats this.
  if (!ApplyJournal(folders, clientFolder, journal)) {
    return Because(Incremental::Whole, "the update's moves could not be finished");
  }
  CompleteUpdate(folders, journal);
  return EndStage(true, L"") ? Incremental::Done : Incremental::Failed;
}

void CLauncherApp::FinishInterruptedUpdate() {
  const std::string& baseDir = settings_.update.baseDir;
  if (!IsSafeBaseDir(baseDir)) return;
  const std::string clientFolder = JoinPath(gameRoot_, baseDir);
  const UpdateFolders folders = UpdateFoldersFor(clientFolder);
  if (platform::IsLink(folders.root) || FileSizeOf(folders.journal) < 0) return;
  UpdateJournal journal;
  // A journal that cannot be read or finished leaves a client of two versions, which
  // only the whole install puts right. So does one beside a missing record: the whole
  // install, which removes the record first, was under way, and the client may be half
  // emptied.
  if (FileSizeOf(JoinPath(gameRoot_, kClientFilesName)) >= 0 && ReadJournal(folders.journal, &journal) &&
      ApplyJournal(folders, clientFolder, journal)) {
    CompleteUpdate(folders, journal);
  } else {
    applog::Log("an interrupted update could not be finished: the whole install follows");
    wholeInstallRequired_ = true;
  }
}

void CLauncherApp::CompleteUpdate(const UpdateFolders& folders, const UpdateJournal& journal) {
  SaveClientFiles(JoinPath(gameRoot_, kClientFilesName), journal.record);
  if (!localVersion_.isObject()) localVersion_ = Json::Value(Json::objectValue);
  localVersion_["Version"] = journal.version;
  WriteJsonFile(localVersionFilePath_, localVersion_);
  platform::RemoveFile(folders.journal);
  RemoveTree(folders.root);
}

void CLauncherApp::RecordInstalledPackage(const std::string& packagePath, const std::string& clientFolder,
                                          const std::string& version, bool packageVerified) {
  const std::unique_ptr<Archive, ArchiveCloser> archive(ArchiveOpen(AnsiToWide(packagePath)));
  std::vector<ArchiveListedEntry> listed;
  if (!archive || ArchiveListEntries(archive.get(), &listed) != ArchiveOk) return;
  std::vector<PackageEntry> entries = ToPackageEntries(listed);
  // The list's hashes describe the installed files only when the package is the one
  // the answer vouched for by its hash, and the list the one it names.
  const std::string& listHash = answer_.fileListSha256;
  std::map<std::string, std::string> hashes;
  if (packageVerified && !listHash.empty() &&
      LoadFileList(ClientFilePath(clientFolder, kFileListName), listHash, &hashes)) {
    AttachFileList(hashes, listHash, &entries);
  }
  ClientFiles record;
  record.version = version;
  record.baseDir = settings_.update.baseDir;
  for (const PackageEntry& entry : entries) {
    if (!entry.folder) record.files[entry.name] = {entry.size, entry.crc, entry.sha256};
  }
  // Without the record the next update scans the client folder instead.
  SaveClientFiles(JoinPath(gameRoot_, kClientFilesName), record);
}
