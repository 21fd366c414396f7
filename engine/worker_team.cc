#include "engine/worker_team.h"

namespace kestrion {

WorkerTeam::WorkerTeam(int32_t threads) : size_(threads < 1 ? 1 : threads) {
  threads_.reserve(static_cast<size_t>(size_ - 1));
  for (int32_t w = 1; w < size_; ++w) threads_.emplace_back([this, w] { work(w); });
}

WorkerTeam::~WorkerTeam() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void WorkerTeam::take_items(int32_t worker) {
  for (int64_t item = next_.fetch_add(1); item < items_; item = next_.fetch_add(1)) {
    (*job_)(worker, item);
  }
}

void WorkerTeam::run(int64_t items, const std::function<void(int32_t, int64_t)>& job) {
  if (items <= 0) return;
  if (size_ == 1) {
    for (int64_t item = 0; item < items; ++item) job(0, item);
    return;
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    job_ = &job;
    items_ = items;
    next_.store(0);
    busy_ = size_ - 1;
    ++generation_;
  }
  wake_.notify_all();
  take_items(0);
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return busy_ == 0; });
  job_ = nullptr;
}

void WorkerTeam::work(int32_t worker) {
  int64_t seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
      if (stop_) return;
      seen = generation_;
    }
    take_items(worker);
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      --busy_;
    }
    done_.notify_one();
  }
}

}  // namespace kestrion
