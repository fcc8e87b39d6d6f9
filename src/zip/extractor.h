#pragma once
// The extraction job: unpacks every entry of one zip archive below a target folder on
// a worker thread of its own, in directory order, and can be cancelled between
// entries. Small files are made a few at a time beside the reading, yet the owner
// sees the sequence of one entry after the other: progress before each entry, the
// first failure in directory order, nothing after a failed entry left on disk.
// Symbolic links come last, once every other entry has been written, so that no
// entry is ever written through one.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

struct Archive;
class CZipExtractor;

// Notifications, called on the extractor's worker thread: an implementation must not
// touch window objects from them.
class CZipExtractorCallback {
 public:
  virtual ~CZipExtractorCallback() = default;
  virtual void OnExtractFinished(CZipExtractor*) {}
  virtual void OnExtractProgress(CZipExtractor*) {}
};

// The bytes that the entries of `archivePath` take once unpacked, summed from its
// central directory; false when the archive cannot be read (the extraction itself
// then says what is wrong).
bool ArchiveUnpackedSize(const std::wstring& archivePath, std::uint64_t* bytes);

class CZipExtractor {
 public:
  explicit CZipExtractor(CZipExtractorCallback* callback);
  CZipExtractor(const CZipExtractor&) = delete;
  CZipExtractor& operator=(const CZipExtractor&) = delete;
  virtual ~CZipExtractor();

  // Stops any previous job, then unpacks `archivePath` below `targetFolder` on a new
  // worker thread; returns at once.
  void Start(const std::wstring& archivePath, const std::wstring& targetFolder);
  // Cancels the job and waits for it: the entries started are completed first.
  void Stop();

  // Written by Stop and read by the worker between entries.
  std::atomic<bool> cancel{false};
  // Written by the worker, polled by the owner: finished last, after succeeded.
  std::atomic<bool> finished{false};
  std::atomic<bool> succeeded{false};
  // Fraction of entries started: 0, 1/n, ..., (n-1)/n.
  std::atomic<double> progress{0.0};
  // The entry that stopped the job, written before finished; -1 when none did. With
  // entries in flight it may precede the last entry whose progress was reported.
  std::atomic<std::int32_t> failedEntry{-1};

 private:
  struct DeferredLink {
    std::int32_t index;
    std::wstring name;
  };

  void Run();
  bool Extract() noexcept;
  std::int32_t UnpackAll(Archive* archive);
  std::int32_t UnpackLinks(Archive* archive, const std::vector<DeferredLink>& links);
  void NotifyFinished() noexcept;

  CZipExtractorCallback* callback_;
  std::unique_ptr<std::thread> worker_;
  std::wstring archivePath_;
  std::wstring targetFolder_;
};
