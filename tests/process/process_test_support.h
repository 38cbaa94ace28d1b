// Helpers for the process tests: real files and directories, descriptors, signal rain.
#pragma once

#include <signal.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <ostream>
#include <set>
#include <string>
#include <thread>

#include "process/child.h"
#include "support/watchdog.h"

namespace larderbox {

// Readable failures: "exited 3", "signal 9".
void PrintTo(const ChildExit& exit, std::ostream* out);

namespace test {

// spawnChild's status and the record it fills, held together as the tests use them.
struct Spawned {
  Status status;
  ChildProcess child;

  [[nodiscard]] bool has_value() const { return status.has_value(); }
  [[nodiscard]] Error error() const { return status.error(); }
  explicit operator bool() const { return has_value(); }
  ChildProcess* operator->() { return &child; }
  ChildProcess& operator*() { return child; }
};

Spawned spawn(RunContext& context, const ChildSpawnOptions& options);

// A fresh directory under the system's temporary directory, removed with everything in it.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void writeTextFile(const std::string& path, const std::string& content, unsigned mode);

// Reads `fd` to its end (EINTR repeated); does not close it.
std::string readToEnd(int fd);

// The descriptors open in this process right now.
std::set<int> openDescriptors();

bool isOpen(int fd);

// True when this process has no child at all, neither running nor a zombie.
bool hasNoChildren();

// While it lives, SIGIO is caught by a do-nothing handler without SA_RESTART (as start-up installs
// it) and sent to the constructing thread every 200 microseconds, so that its blocking calls fail
// with EINTR over and over.
class SignalRain {
 public:
  SignalRain();
  ~SignalRain();
  SignalRain(const SignalRain&) = delete;
  SignalRain& operator=(const SignalRain&) = delete;

  // Stops the rain and puts the previous disposition back; the destructor does it otherwise.
  void stop();
  static unsigned delivered();

 private:
  std::atomic<bool> stopping_{false};
  std::thread sender_;
  bool stopped_ = false;
  struct sigaction saved_ = {};
};

}  // namespace test
}  // namespace larderbox
