// A team of threads for one call of the interval engine: the calling thread and threads - 1 more,
// which take items of a job by number until none is left. Jobs run one at a time, and run()
// returns when every item of its job is done.
//
// The job must not throw and must not use the checked allocation family, whose failure-injection
// seam counts allocations in the order of one thread.
#ifndef KESTRION_ENGINE_WORKER_TEAM_H
#define KESTRION_ENGINE_WORKER_TEAM_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrion {

class WorkerTeam {
 public:
  // A team of one starts no thread.
  explicit WorkerTeam(int32_t threads);
  ~WorkerTeam();
  WorkerTeam(const WorkerTeam&) = delete;
  WorkerTeam& operator=(const WorkerTeam&) = delete;

  int32_t size() const { return size_; }
  // job(worker, item) for item = 0 .. items - 1, each exactly once; worker 0 is the caller.
  void run(int64_t items, const std::function<void(int32_t, int64_t)>& job);

 private:
  void work(int32_t worker);
  void take_items(int32_t worker);

  int32_t size_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  const std::function<void(int32_t, int64_t)>* job_ = nullptr;
  int64_t items_ = 0;
  std::atomic<int64_t> next_{0};
  int64_t generation_ = 0;
  int32_t busy_ = 0;  // helpers still on the current job
  bool stop_ = false;
};

}  // namespace kestrion

#endif  // KESTRION_ENGINE_WORKER_TEAM_H
