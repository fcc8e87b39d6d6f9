#pragma once
// Unpacks chosen entries of an archive of which only some byte ranges are at hand
// (ArchiveOpenPieces) into a folder, on a worker thread, in the order given; cancel
// is seen between entries. Each entry's file is named after the entry's index ("12"),
// so its path stays short whatever the entry's name. Every check of ArchiveUnpackEntry applies, the CRC-32
// included, so a fetched entry that is not what the directory says fails the job.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "zip/piece.h"

class CEntryUnpacker;

// Called on the worker thread: an implementation only raises a flag.
class CEntryUnpackerCallback {
 public:
  virtual ~CEntryUnpackerCallback() = default;
  virtual void OnUnpackProgress(CEntryUnpacker* /*unpacker*/) {}
};

class CEntryUnpacker {
 public:
  explicit CEntryUnpacker(CEntryUnpackerCallback* callback) : callback_(callback) {}
  ~CEntryUnpacker();
  CEntryUnpacker(const CEntryUnpacker&) = delete;
  CEntryUnpacker& operator=(const CEntryUnpacker&) = delete;

  // Unpacks `indices` of the archive made of `pieces` into `targetFolder`.
  void Start(std::vector<ZipPiece> pieces, std::uint64_t archiveSize, std::vector<std::int32_t> indices,
             const std::wstring& targetFolder);
  // Cancels the job and waits for it: the entry being unpacked is completed first.
  void Stop();

  std::atomic<bool> finished{false};
  std::atomic<bool> succeeded{false};
  // Fraction of the chosen entries done.
  std::atomic<double> progress{0.0};
  // The archive layer's result of the entry that failed (ArchiveOk otherwise).
  std::atomic<std::int32_t> result{0};

 private:
  void Run() noexcept;
  std::int32_t UnpackAll();

  CEntryUnpackerCallback* const callback_;
  std::unique_ptr<std::thread> worker_;
  std::atomic<bool> cancel_{false};
  std::vector<ZipPiece> pieces_;
  std::uint64_t archiveSize_ = 0;
  std::vector<std::int32_t> indices_;
  std::wstring targetFolder_;
};
