#pragma once
// A job run on a worker thread of its own, in the shape of the other workers: the
// owner polls `finished`, then reads `succeeded`; `progress` runs from 0.0 to 1.0;
// Stop cancels and joins. The job sees the cancel flag and reports progress itself.
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

class CTaskWorker {
 public:
  using Job = std::function<bool(const std::atomic<bool>& cancel, const std::function<void(double)>& progress)>;

  // `onProgress` is called on the worker thread after each progress change.
  explicit CTaskWorker(std::function<void()> onProgress) : onProgress_(std::move(onProgress)) {}
  ~CTaskWorker() { Stop(); }
  CTaskWorker(const CTaskWorker&) = delete;
  CTaskWorker& operator=(const CTaskWorker&) = delete;

  void Start(Job job);
  void Stop();

  std::atomic<bool> finished{false};
  std::atomic<bool> succeeded{false};
  std::atomic<double> progress{0.0};

 private:
  void Run() noexcept;

  std::function<void()> onProgress_;
  Job job_;
  std::unique_ptr<std::thread> worker_;
  std::atomic<bool> cancel_{false};
};
