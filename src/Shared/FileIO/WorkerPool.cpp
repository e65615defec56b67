// The worker pool: workers sleep on a condition variable until a job is
// posted, take its parts one at a time, and check out when none is left; the
// poster works on the same job and returns once every worker has checked out,
// so nothing of the job outlives the call.
#include "Shared/FileIO/WorkerPool.h"

#include <algorithm>
#include <system_error>

#include "platform/Platform.h"

WorkerPool::WorkerPool(int threads) {
  const int wanted = std::clamp(threads, 1, kMaxWorkerThreads);
  workers_.reserve(static_cast<std::size_t>(wanted - 1));
  for (int i = 1; i < wanted; ++i) {
    try {
      workers_.emplace_back(&WorkerPool::WorkerLoop, this);
    } catch (const std::system_error&) {
      // The system has no more threads to give: the pool works with the
      // workers it has; the results do not depend on their number.
      break;
    }
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void WorkerPool::RunParts(int parts, PartFunction run, void* context) {
  if (parts <= 0) return;
  if (workers_.empty() || parts == 1) {
    for (int part = 0; part < parts; ++part) run(context, part);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    run_ = run;
    context_ = context;
    parts_ = parts;
    nextPart_ = 0;
    busyWorkers_ = static_cast<int>(workers_.size());
    ++generation_;
  }
  wake_.notify_all();
  TakeParts();
  // The job lives in the caller's frame: wait until no worker can touch it.
  std::unique_lock<std::mutex> lock(mutex_);
  finished_.wait(lock, [this] { return busyWorkers_ == 0; });
}

void WorkerPool::TakeParts() {
  for (;;) {
    PartFunction run = nullptr;
    void* context = nullptr;
    int part = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (nextPart_ >= parts_) return;
      part = nextPart_++;
      run = run_;
      context = context_;
    }
    run(context, part);
  }
}

void WorkerPool::WorkerLoop() {
  // Interrupts go to the main thread, which blocks them while it creates a
  // file and registers it for removal.
  platform::KeepInterruptsOffThisThread();
  std::uint64_t seen = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
    if (stopping_) return;
    seen = generation_;
    lock.unlock();
    TakeParts();
    lock.lock();
    if (--busyWorkers_ == 0) finished_.notify_one();
  }
}

int DefaultWorkerThreads() {
  const unsigned cores = std::thread::hardware_concurrency();
  if (cores == 0) return 1;  // the count is not known
  return static_cast<int>(std::min<unsigned>(cores, kMaxWorkerThreads));
}
