#include "process_test_support.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

namespace larderbox {

void PrintTo(const ChildExit& exit, std::ostream* out) {
  static const char* const kKinds[] = {"exited", "signal", "stopped", "unknown"};
  auto kind = static_cast<unsigned>(exit.kind);
  *out << (kind < 4 ? kKinds[kind] : "invalid-kind") << " " << exit.value;
}

namespace test {

Spawned spawn(RunContext& context, const ChildSpawnOptions& options) {
  Spawned spawned;
  spawned.status = spawnChild(context, options, spawned.child);
  return spawned;
}

TemporaryDirectory::TemporaryDirectory() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "larderbox-process-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed: " << errno;
  path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void writeTextFile(const std::string& path, const std::string& content, unsigned mode) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
  }
  chmod(path.c_str(), mode);
}

std::string readToEnd(int fd) {
  std::string all;
  char chunk[4096];
  for (;;) {
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got > 0) {
      all.append(chunk, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      return all;
    }
  }
}

std::set<int> openDescriptors() {
  std::set<int> fds;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error))
    fds.insert(std::stoi(entry.path().filename().string()));
  // The iterator's own directory descriptor is in the listing but closed by now.
  std::set<int> open;
  for (int fd : fds)
    if (isOpen(fd)) open.insert(fd);
  return open;
}

bool isOpen(int fd) {
  return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

bool hasNoChildren() {
  int status;
  return waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

namespace {
std::atomic<unsigned> signals_delivered{0};
void countSignal(int) {
  signals_delivered.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

SignalRain::SignalRain() {
  struct sigaction action = {};
  action.sa_handler = countSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGIO, &action, &saved_);
  signals_delivered = 0;
  pthread_t target = pthread_self();
  sender_ = std::thread([this, target] {
    while (!stopping_.load()) {
      pthread_kill(target, SIGIO);
      usleep(200);
    }
  });
}

void SignalRain::stop() {
  if (stopped_) return;
  stopped_ = true;
  stopping_ = true;
  sender_.join();
  sigaction(SIGIO, &saved_, nullptr);
}

SignalRain::~SignalRain() {
  stop();
}

unsigned SignalRain::delivered() {
  return signals_delivered.load();
}

}  // namespace test
}  // namespace larderbox
