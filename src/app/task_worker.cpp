#include "app/task_worker.h"

void CTaskWorker::Start(Job job) {
  Stop();
  job_ = std::move(job);
  cancel_ = false;
  finished = false;
  succeeded = false;
  progress = 0.0;
  try {
    worker_ = std::make_unique<std::thread>(&CTaskWorker::Run, this);
  } catch (...) {
    // No thread: the job is over before it began, and failed.
    finished = true;
  }
}

void CTaskWorker::Stop() {
  if (!worker_) return;
  cancel_ = true;
  worker_->join();
  worker_.reset();
}

void CTaskWorker::Run() noexcept {
  try {
    succeeded = job_(cancel_, [this](double fraction) {
      progress = fraction;
      if (onProgress_) onProgress_();
    });
  } catch (...) {
    // Whatever the job threw, it failed.
  }
  finished = true;
}
