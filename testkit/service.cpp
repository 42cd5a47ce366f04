#include "service.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

Service::~Service() {
  if (pid_ > 0 && status_ < 0) Stop(SIGKILL);
}

void Service::Start(const std::string& args,
                    const std::vector<std::string>& env) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) abort();
  lines_.clear();
  status_ = -1;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(fds[1], 1);
    if (!freopen("/dev/null", "w", stderr) || !freopen("/dev/null", "r", stdin))
      _exit(127);
    for (const std::string& e : env) putenv(strdup(e.c_str()));
    const std::string cmd = "exec stdbuf -oL " + binary_ + " " + args;
    execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  reader_ = std::thread([this, in = fdopen(fds[0], "r")] {
    char* line = nullptr;
    size_t size = 0;
    for (ssize_t n;
         (n = getline(&line, &size, in)) > 0 && line[n - 1] == '\n';) {
      std::lock_guard<std::mutex> lock(mu_);
      lines_.emplace_back(Clock::now(), std::string(line, n - 1));
    }
    free(line);
    fclose(in);
  });
}

bool Service::Await(const std::function<bool()>& done, double seconds) {
  auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (!done() && Clock::now() < deadline) usleep(20000);
  return done();
}

bool Service::AwaitLine(const std::string& line, int n, double seconds) {
  return Await(
      [&] {
        const std::vector<std::string> lines = Lines();
        return std::count(lines.begin(), lines.end(), line) >= n;
      },
      seconds);
}

int Service::Count(const std::string& prefix) {
  int n = 0;
  for (const std::string& l : Lines())
    n += l.compare(0, prefix.size(), prefix) == 0;
  return n;
}

std::vector<std::string> Service::Lines() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> out;
  for (const auto& l : lines_) out.push_back(l.second);
  return out;
}

std::string Service::Text() {
  std::string text;
  for (const std::string& l : Lines()) text += l + "\n";
  return text;
}

double Service::LongestGap(const std::string& prefix) {
  std::lock_guard<std::mutex> lock(mu_);
  double gap = 0;
  Clock::time_point last{};
  for (const auto& [t, text] : lines_) {
    if (text.compare(0, prefix.size(), prefix) != 0) continue;
    if (last != Clock::time_point{})
      gap = std::max(gap, std::chrono::duration<double>(t - last).count());
    last = t;
  }
  return gap;
}

bool Service::Running() {
  if (status_ < 0 && waitpid(pid_, &status_, WNOHANG) == 0) status_ = -1;
  return status_ < 0;
}

int Service::Stop(int sig, double seconds) {
  if (Running()) {
    if (sig) kill(pid_, sig);
    if (!Await([this] { return !Running(); }, seconds)) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status_, 0);
    }
  }
  if (reader_.joinable()) reader_.join();
  return status_;
}
