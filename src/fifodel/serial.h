// A thread of its own that runs jobs one after another, in the order they
// were sent: the pass's database work, so that its round trips overlap with
// the removal of files instead of adding to it.
#ifndef FIFODEL_SERIAL_H_
#define FIFODEL_SERIAL_H_

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

class Serial {
 public:
  Serial() : thread_([this] { Loop(); }) {}
  Serial(const Serial&) = delete;
  Serial& operator=(const Serial&) = delete;
  // Waits for every job sent.
  ~Serial() {
    Send([this] { fDone_ = true; });
    thread_.join();
  }
  template <typename F>
  std::future<std::invoke_result_t<F>> Send(F job) {
    auto task = std::make_shared<std::packaged_task<std::invoke_result_t<F>()>>(
        std::move(job));
    std::lock_guard<std::mutex> lock(mu_);
    jobs_.push_back([task] { (*task)(); });
    cv_.notify_one();
    return task->get_future();
  }

 private:
  void Loop() {
    while (!fDone_) {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [this] { return !jobs_.empty(); });
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
    }
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  bool fDone_ = false;  // only the thread's own last job sets it
  std::thread thread_;
};

#endif  // FIFODEL_SERIAL_H_
