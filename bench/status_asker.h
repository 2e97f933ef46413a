// Asks a quorreld for its status at a steady rate, on a thread of its own,
// as a monitoring script or a health check would, while the bench measures
// the relay beside it.
#ifndef QUORREL_BENCH_STATUS_ASKER_H_
#define QUORREL_BENCH_STATUS_ASKER_H_

#include <atomic>
#include <string>
#include <thread>

namespace quorrel_bench {

class StatusAsker {
 public:
  StatusAsker() = default;
  ~StatusAsker() { stop(); }
  StatusAsker(const StatusAsker&) = delete;
  StatusAsker& operator=(const StatusAsker&) = delete;

  // Starts asking the daemon at the stream socket `path`, `per_second`
  // times a second.
  void start(const std::string& path, double per_second);
  // Stops and waits for the thread.
  void stop();
  // Whole answers received, and requests that got none.
  unsigned answered() const { return answered_.load(); }
  unsigned failed() const { return failed_.load(); }

 private:
  void run(std::string path, double per_second);

  std::atomic<bool> stop_{false};
  std::atomic<unsigned> answered_{0};
  std::atomic<unsigned> failed_{0};
  std::thread thread_;
};

}  // namespace quorrel_bench

#endif  // QUORREL_BENCH_STATUS_ASKER_H_
