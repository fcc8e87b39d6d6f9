// Incremental updates: the package's directory is read from its end by byte ranges,
// compared with the record of the installed files, and only the entries that changed
// are fetched, unpacked beside the client folder and moved into it once all are there.
#include <json/json.h>

#include <algorithm>
#include <memory>

#include "app/config_helpers.h"
#include "app/file_list.h"
#include "app/launcher_app.h"
#include "app/launcher_configuration.h"
#include "app/text.h"
#include "app/update_plan.h"
#include "platform/codepage.h"
#include "platform/disk.h"
#include "platform/file.h"
#include "platform/path.h"
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

void RemoveTree(const std::string& folder) {
  EmptyFolder(folder);
  platform::RemoveFolder(folder);
}

std::vector<ZipPiece> HeldZipPieces(const std::string& folder) {
  std::vector<ZipPiece> pieces;
  for (const net::ByteRange& held : net::HeldPieces(folder)) {
    pieces.push_back({held.offset, held.length, AnsiToWide(net::PiecePath(folder, held.offset))});
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
  if (validator.empty() || !ReadJsonFile(record, kept) || kept != source) EmptyFolder(folders.root);
  platform::MakeFolder(folders.root);
  platform::MakeFolder(folders.pieces);
  platform::MakeFolder(folders.files);
  // Without a validator nothing is kept for later: the record stays unwritten.
  if (!validator.empty()) WriteJsonFile(record, source);
}

bool ListPackage(std::vector<ZipPiece> pieces, std::uint64_t size, std::vector<ArchiveListedEntry>* entries) {
  const std::unique_ptr<Archive, ArchiveCloser> archive(ArchiveOpenPieces(std::move(pieces), size));
  return archive && ArchiveListEntries(archive.get(), entries) == ArchiveOk;
}

std::vector<PackageEntry> ToPackageEntries(const std::vector<ArchiveListedEntry>& listed) {
  std::vector<PackageEntry> entries;
  for (const ArchiveListedEntry& e : listed) {
    std::string name = platform::WideToNarrow(e.name, platform::CodePage::Utf8);
    std::replace(name.begin(), name.end(), '\\', '/');
    entries.push_back({e.index, std::move(name), e.size, e.crc, e.localHeaderOffset, e.folder});
  }
  return entries;
}

// The staged entries are the ones the signed list names: first the list itself by
// the hash the studio signed, then every other staged file by its line in the list.
bool StagedFilesMatch(const std::string& stagingFolder, std::vector<std::string> names, const std::string& listHash,
                      const std::atomic<bool>& cancel, const std::function<void(double)>& progress) {
  std::map<std::string, std::string> hashes;
  if (!LoadFileList(ClientFilePath(stagingFolder, kFileListName), listHash, &hashes)) return false;
  std::erase(names, kFileListName);
  return FilesMatchList(stagingFolder, names, hashes, cancel, progress);
}

bool HasEntry(const std::vector<PackageEntry>& entries, const std::string& name) {
  return std::any_of(entries.begin(), entries.end(), [&](const PackageEntry& e) { return e.name == name; });
}

// The listed files below `folder` whose SHA-256 is not the listed one (missing files
// included: the plan fetches those anyway).
bool CollectAlteredFiles(const std::string& folder, const std::map<std::string, std::string>& hashes,
                         std::set<std::string>* altered, const std::atomic<bool>& cancel,
                         const std::function<void(double)>& progress) {
  std::size_t done = 0;
  for (const auto& [name, hash] : hashes) {
    if (cancel) return false;
    if (FileSha256(ClientFilePath(folder, name)) != hash) altered->insert(name);
    if (progress) progress(static_cast<double>(++done) / static_cast<double>(hashes.size()));
  }
  return true;
}

std::string LowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

}  // namespace

bool CLauncherApp::IsIncremental() const { return ReadJsonInt(settings_, "IncrementalUpdate") != 0; }

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
  if (!HasFiles(clientFolder)) return Incremental::Unavailable;
  ClientFiles installed;
  if (!EnsureClientRecord(clientFolder, &installed)) {
    // An unreadable client is repaired by the whole install; a player who left wants nothing.
    return IsMainWindowDestroyed() ? Incremental::Failed : Incremental::Unavailable;
  }
  PackageSource source;
  source.url = ReadJsonText(serverVersion_, "PackageUrl");
  source.folders = UpdateFoldersFor(clientFolder);
  bool unavailable = false;
  if (!FetchPackageDirectory(&source, &unavailable)) return unavailable ? Incremental::Unavailable : Incremental::Failed;
  std::vector<ArchiveListedEntry> listed;
  if (!ListPackage(HeldZipPieces(source.folders.pieces), source.size, &listed)) {
    FailExtraction();
    return Incremental::Failed;
  }
  // Links are kept on some systems only; such a package takes the whole install.
  if (std::any_of(listed.begin(), listed.end(), [](const ArchiveListedEntry& e) { return e.link; })) {
    return Incremental::Unavailable;
  }
  // With a release key, entries fetched one by one count only when the signed file list
  // vouches for them; a release without one takes the whole install, whose hash is signed.
  const bool signedRelease = !ReadJsonText(settings_, "ReleasePublicKey").empty();
  const std::string fileListHash = signedRelease ? LowerCase(ReadJsonText(serverVersion_, "FileListSha256")) : "";
  const std::vector<PackageEntry> entries = ToPackageEntries(listed);
  if (signedRelease && (fileListHash.empty() || !HasEntry(entries, kFileListName))) return Incremental::Unavailable;
  std::set<std::string> altered;
  if (signedRelease && installed.scanned &&
      !FindAlteredFiles(source, entries, clientFolder, fileListHash, &altered)) {
    return Incremental::Failed;
  }
  UpdatePlan plan = PlanUpdate(entries, source.directoryOffset, installed, [&](const std::string& name) {
    // The list is fetched whatever is installed: the fetched entries are checked by it.
    if ((signedRelease && name == kFileListName) || altered.count(name)) return std::int64_t{-1};
    return FileSizeOf(ClientFilePath(clientFolder, name));
  });
  if (!FetchEntries(source, plan)) return Incremental::Failed;
  std::uint64_t free = 0;
  if (platform::FreeDiskSpace(gameRoot_, &free) && plan.unpackedBytes > free) {
    ShowStageFailure(NotEnoughDiskSpaceText());
    Report("ReportExtractFileFail");
    return Incremental::Failed;
  }
  UpdateJournal journal;
  journal.version = serverVersion;
  for (std::size_t i = 0; i < plan.fetch.size(); ++i) {
    journal.moves.push_back({std::to_string(plan.fetch[i]), plan.fetchNames[i]});
  }
  journal.removes = std::move(plan.remove);
  journal.record = std::move(plan.record);
  journal.record.version = serverVersion;
  journal.record.baseDir = installed.baseDir;
  return StageAndApply(clientFolder, source, plan.fetch, fileListHash, std::move(journal)) ? Incremental::Done
                                                                                         : Incremental::Failed;
}

void CLauncherApp::FailExtraction() {
  ShowStageFailure(Utf8ToWide(ReadJsonText(settings_, "ExtractFileFail")));
  Report("ReportExtractFileFail");
}

void CLauncherApp::FailDownload() {
  if (!IsMainWindowDestroyed()) ShowStageFailure(Utf8ToWide(ReadJsonText(settings_, "DownloadLatestVersionFail")));
  Report("ReportDownloadLatestVersionFail");
}

bool CLauncherApp::EnsureClientRecord(const std::string& clientFolder, ClientFiles* record) {
  const std::string baseDir = ReadJsonText(settings_, "BaseDir");
  const std::string version = ReadJsonText(localVersion_, "Version");
  const std::string recordPath = JoinPath(gameRoot_, kClientFilesName);
  if (LoadClientFiles(recordPath, record) && record->baseDir == baseDir && record->version == version) return true;
  BeginStage(VerifyClientText());
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

std::wstring CLauncherApp::VerifyClientText() const {
  const std::string text = ReadJsonText(settings_, "VerifyClient");
  return Utf8ToWide(text.empty() ? ReadJsonText(settings_, "CheckLatestVersion") : text);
}

bool CLauncherApp::FetchPackageDirectory(PackageSource* source, bool* unavailable) {
  BeginStage(Utf8ToWide(ReadJsonText(settings_, "DownloadLatestVersion")));
  const bool fetched = RunUpdateWorker(*fetcher_, [&] { fetcher_->StartTail(source->url, kTailLength); });
  if (fetched && fetcher_->rangesRefused()) {
    // The server sends whole packages only: the whole-package install it is.
    *unavailable = true;
    return false;
  }
  if (!fetched) {
    FailDownload();
    return false;
  }
  source->size = fetcher_->totalSize();
  source->validator = fetcher_->validator();
  const UpdateFolders& folders = source->folders;
  PrepareUpdateFolder(folders, source->url, source->validator, source->size);
  const std::string tailPath = net::PiecePath(folders.pieces, fetcher_->tailOffset());
  std::uint32_t directorySize = 0;
  if (!WriteWholeFile(tailPath, fetcher_->tail()) ||
      !ArchiveFindCentralDirectory(HeldZipPieces(folders.pieces), source->size, &source->directoryOffset,
                                   &directorySize) ||
      directorySize > kMaxDirectorySize) {
    FailExtraction();
    return false;
  }
  const std::vector<net::ByteRange> directory{{source->directoryOffset, directorySize}};
  if (directorySize > 0 && !RunUpdateWorker(*fetcher_, [&] {
        fetcher_->Start(source->url, source->validator, source->size, directory, folders.pieces);
      })) {
    FailDownload();
    return false;
  }
  return true;
}

bool CLauncherApp::FetchEntries(const PackageSource& source, const UpdatePlan& plan) {
  if (!RunUpdateWorker(*fetcher_, [&] {
        fetcher_->Start(source.url, source.validator, source.size, plan.ranges, source.folders.pieces);
      })) {
    FailDownload();
    return false;
  }
  return EndStage(true, L"");
}

bool CLauncherApp::FindAlteredFiles(const PackageSource& source, const std::vector<PackageEntry>& entries,
                                    const std::string& clientFolder, const std::string& fileListHash,
                                    std::set<std::string>* altered) {
  const auto list = std::find_if(entries.begin(), entries.end(),
                                 [](const PackageEntry& e) { return e.name == kFileListName; });
  const std::vector<net::ByteRange> range{EntryRange(entries, source.directoryOffset, list->index)};
  if (!RunUpdateWorker(*fetcher_, [&] {
        fetcher_->Start(source.url, source.validator, source.size, range, source.folders.pieces);
      })) {
    FailDownload();
    return false;
  }
  EmptyFolder(source.folders.files);
  std::map<std::string, std::string> hashes;
  if (!RunUpdateWorker(*stager_, [&] {
        stager_->Start(HeldZipPieces(source.folders.pieces), source.size, {list->index},
                       AnsiToWide(source.folders.files));
      }) ||
      !LoadFileList(ClientFilePath(source.folders.files, kFileListName), fileListHash, &hashes)) {
    if (!IsMainWindowDestroyed()) FailExtraction();
    return false;
  }
  BeginStage(VerifyClientText());
  const bool checked = RunUpdateWorker(*scanner_, [&] {
    scanner_->Start([&](const std::atomic<bool>& cancel, const std::function<void(double)>& progress) {
      return CollectAlteredFiles(clientFolder, hashes, altered, cancel, progress);
    });
  });
  BeginStage(Utf8ToWide(ReadJsonText(settings_, "DownloadLatestVersion")));
  return checked;
}

bool CLauncherApp::StageAndApply(const std::string& clientFolder, const PackageSource& source,
                                 const std::vector<std::int32_t>& fetch, const std::string& fileListHash,
                                 UpdateJournal journal) {
  const UpdateFolders& folders = source.folders;
  BeginStage(Utf8ToWide(ReadJsonText(settings_, "ExtractFile")));
  // Entries are unpacked afresh from the fetched pieces: a half-written file of an
  // earlier attempt never moves into the client.
  EmptyFolder(folders.files);
  const bool staged = RunUpdateWorker(*stager_, [&] {
    stager_->Start(HeldZipPieces(folders.pieces), source.size, fetch, AnsiToWide(folders.files));
  });
  const bool vouched = staged && (fileListHash.empty() || RunUpdateWorker(*scanner_, [&] {
                                    scanner_->Start([&](const std::atomic<bool>& cancel,
                                                        const std::function<void(double)>& progress) {
                                      std::vector<std::string> names;
                                      for (const JournalMove& move : journal.moves) names.push_back(move.name);
                                      return StagedFilesMatch(folders.files, names, fileListHash, cancel, progress);
                                    });
                                  }));
  if (!vouched) {
    if (!IsMainWindowDestroyed()) FailExtraction();
    return false;
  }
  const std::wstring inUse = Utf8ToWide(ReadJsonText(settings_, "EmptyBaseDirFail"));
  if (CheckJournal(folders, clientFolder, journal) != JournalCheck::Ready || !WriteJournal(folders.journal, journal) ||
      !ApplyJournal(folders, clientFolder, journal)) {
    ShowStageFailure(inUse);
    return false;
  }
  CompleteUpdate(folders, journal);
  return EndStage(true, L"");
}

void CLauncherApp::FinishInterruptedUpdate() {
  const std::string baseDir = ReadJsonText(settings_, "BaseDir");
  if (!IsSafeBaseDir(baseDir)) return;
  const std::string clientFolder = JoinPath(gameRoot_, baseDir);
  const UpdateFolders folders = UpdateFoldersFor(clientFolder);
  UpdateJournal journal;
  if (!ReadJournal(folders.journal, &journal)) return;
  // What cannot be finished now stays journaled for the next launch; the update
  // itself then starts from the record of the old client.
  if (ApplyJournal(folders, clientFolder, journal)) CompleteUpdate(folders, journal);
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
                                          const std::string& version) {
  RemoveTree(UpdateFoldersFor(clientFolder).root);
  const std::unique_ptr<Archive, ArchiveCloser> archive(ArchiveOpen(AnsiToWide(packagePath)));
  std::vector<ArchiveListedEntry> listed;
  if (!archive || ArchiveListEntries(archive.get(), &listed) != ArchiveOk) return;
  ClientFiles record;
  record.version = version;
  record.baseDir = ReadJsonText(settings_, "BaseDir");
  for (const PackageEntry& entry : ToPackageEntries(listed)) {
    if (!entry.folder) record.files[entry.name] = {entry.size, entry.crc};
  }
  // Without the record the next update scans the client folder instead.
  SaveClientFiles(JoinPath(gameRoot_, kClientFilesName), record);
}
