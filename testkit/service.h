// The real fifodel binary, run by a test or a benchmark: its standard output
// collected line by line with the time each came, through a pipe made line
// buffered with stdbuf.
#ifndef FIFODEL_TESTKIT_SERVICE_H_
#define FIFODEL_TESTKIT_SERVICE_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class Service {
 public:
  using Clock = std::chrono::steady_clock;
  explicit Service(std::string binary) : binary_(std::move(binary)) {}
  // Started at once, as Start says.
  Service(std::string binary, const std::string& args,
          const std::vector<std::string>& env = {})
      : binary_(std::move(binary)) {
    Start(args, env);
  }
  ~Service();

  // Runs `binary args` (`args` as the shell splits them) with `env`
  // ("NAME=VALUE" each) added to the environment, standard input and error
  // on /dev/null.
  void Start(const std::string& args, const std::vector<std::string>& env = {});
  // Waits up to `seconds` for `done`; its last answer.
  static bool Await(const std::function<bool()>& done, double seconds);
  // Waits until a line equal to `line` has come `n` times in all.
  bool AwaitLine(const std::string& line, int n, double seconds);
  int Count(const std::string& prefix);  // lines so far that start with it
  std::vector<std::string> Lines();
  std::string Text();  // the lines so far, each with its "\n"
  // Seconds between consecutive lines that start with `prefix`, longest.
  double LongestGap(const std::string& prefix);
  bool Running();
  // Sends `sig` (none: 0) and reaps it, killing it after `seconds`; its
  // wait status, and the output is complete.
  int Stop(int sig, double seconds = 2);
  pid_t pid() const { return pid_; }

 private:
  std::string binary_;
  pid_t pid_ = -1;
  int status_ = -1;
  std::mutex mu_;
  std::vector<std::pair<Clock::time_point, std::string>> lines_;
  std::thread reader_;
};

#endif  // FIFODEL_TESTKIT_SERVICE_H_
