// A small pool of worker threads that splits one piece of work into parts
// and runs them on the workers and on the calling thread together. The
// cipher uses it to transform the 16 MiB chunks of the stream slots on every
// core; the blocks of a chunk are independent, so any split gives the same
// bytes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

// Largest thread count the pool and the -threads option accept.
inline constexpr int kMaxWorkerThreads = 256;

// The threads are started by the constructor and joined by the destructor.
// A pool of n threads starts n - 1 workers: the calling thread of RunParts is
// the n-th. A pool of 1 thread has no workers and runs everything in the
// calling thread.
class WorkerPool {
 public:
  // Runs part `part` of the work described by context.
  using PartFunction = void (*)(void* context, int part);

  explicit WorkerPool(int threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Threads that take part in RunParts, the caller included.
  int Threads() const { return static_cast<int>(workers_.size()) + 1; }

  // Runs run(context, part) once for each part 0 to parts - 1, spread over
  // the threads; returns when every part is done. Called from one thread at
  // a time (the pool serves one job at once).
  void RunParts(int parts, PartFunction run, void* context);

 private:
  void WorkerLoop();
  // Takes parts of the current job until none is left.
  void TakeParts();

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_;      // a job was posted, or the pool stops
  std::condition_variable finished_;  // the last worker left the current job
  // Guarded by mutex_.
  std::uint64_t generation_ = 0;  // counts the jobs posted
  int busyWorkers_ = 0;           // workers still inside the current job
  bool stopping_ = false;
  // The current job; set before a job is posted, read by the workers only
  // between the post and their check-out, so the mutex orders every access.
  PartFunction run_ = nullptr;
  void* context_ = nullptr;
  int parts_ = 0;
  int nextPart_ = 0;  // guarded by mutex_: parts are handed out one by one
};

// The machine's processor count (at least 1, at most kMaxWorkerThreads).
int DefaultWorkerThreads();
