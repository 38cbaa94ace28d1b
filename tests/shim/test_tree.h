// Helpers for shim tests: real directory trees in a temporary directory, and forked children whose
// standard output and error are captured.
#pragma once

#include <elf.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "shim/marker.h"

namespace larderbox::testing {

// A fresh directory below $TMPDIR (or /tmp), removed afterwards unless the test failed, so that a
// failing case can be looked at.
class TempTree {
 public:
  TempTree() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/larderbox-shim-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) != nullptr) root_ = buffer.data();
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;
  ~TempTree() {
    if (root_.empty()) return;
    if (::testing::Test::HasFailure()) {
      std::fprintf(stderr, "keeping %s\n", root_.c_str());
      return;
    }
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  const std::string& root() const { return root_; }
  std::string path(const std::string& relative) const { return root_ + "/" + relative; }

  // Creates `relative` (and its parent directories) with `content` and `mode`.
  std::string file(const std::string& relative, const std::string& content, mode_t mode) const {
    std::string full = path(relative);
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    {
      std::ofstream out(full, std::ios::binary | std::ios::trunc);
      out << content;
    }
    chmod(full.c_str(), mode);
    return full;
  }

  // An executable shell script that prints its argument 0 and its arguments, one a line.
  std::string script(const std::string& relative) const {
    return file(relative, "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\"\n", 0755);
  }

  // The note that marks a larderbox executable: its header, the name padded to 12 bytes, the
  // marker's 16 bytes.
  static std::string larderboxNote() {
    const unsigned int sizes_and_type[3] = {10, 16, 1};
    std::string note(reinterpret_cast<const char*>(sizes_and_type), sizeof sizes_and_type);
    note.append("larderbox\0\0\0", 12);
    note.append("\x7flarderbox-shim\x01", 16);
    return note;
  }

  // An executable ELF file whose one PT_NOTE segment, `segment_size` bytes at `offset`, starts with
  // the larderbox note; `offset` is at least 120, behind the file header and the program header.
  std::string shim(const std::string& relative, std::size_t offset = 120,
                   std::size_t segment_size = 40) const {
    Elf64_Ehdr header = {};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = ELFCLASS64;
    header.e_phoff = sizeof header;
    header.e_phentsize = sizeof(Elf64_Phdr);
    header.e_phnum = 1;
    Elf64_Phdr segment = {};
    segment.p_type = PT_NOTE;
    segment.p_offset = offset;
    segment.p_filesz = segment_size;
    std::string content(reinterpret_cast<const char*>(&header), sizeof header);
    content.append(reinterpret_cast<const char*>(&segment), sizeof segment);
    content.resize(offset, 'x');
    content.append(larderboxNote());
    content.append(200, 'y');
    return file(relative, content, 0755);
  }

  std::string directory(const std::string& relative, mode_t mode = 0755) const {
    std::string full = path(relative);
    std::filesystem::create_directories(full);
    chmod(full.c_str(), mode);
    return full;
  }

  std::string fifo(const std::string& relative, mode_t mode) const {
    std::string full = path(relative);
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    mkfifo(full.c_str(), 0600);
    chmod(full.c_str(), mode);
    return full;
  }

  std::string symlink(const std::string& target, const std::string& relative) const {
    std::string full = path(relative);
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::filesystem::create_symlink(target, full);
    return full;
  }

  // A separate file (another inode) with the same bytes and mode.
  std::string copy(const std::string& source, const std::string& relative) const {
    std::string full = path(relative);
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::filesystem::copy_file(source, full);
    chmod(full.c_str(), 0755);
    return full;
  }

  std::string hardLink(const std::string& target, const std::string& relative) const {
    std::string full = path(relative);
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::filesystem::create_hard_link(target, full);
    return full;
  }

 private:
  std::string root_;
};

// The marker check of a path as the lookup makes it of an open candidate: only a regular file that
// can be opened is read, so that a FIFO or a device is never consumed from.
inline MarkerCheck checkMarker(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return MarkerCheck::unreadable;
  struct stat status;
  bool regular = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  MarkerCheck verdict = regular ? readMarker(fd) : MarkerCheck::unreadable;
  close(fd);
  return verdict;
}

// Changes the working directory for the lifetime of the object.
class ScopedChdir {
 public:
  explicit ScopedChdir(const std::string& directory) {
    char* here = getcwd(nullptr, 0);
    if (here != nullptr) previous_ = here;
    std::free(here);
    changed_ = chdir(directory.c_str()) == 0;
  }
  ScopedChdir(const ScopedChdir&) = delete;
  ScopedChdir& operator=(const ScopedChdir&) = delete;
  ~ScopedChdir() {
    if (changed_ && !previous_.empty()) (void)!chdir(previous_.c_str());
  }
  bool changed() const { return changed_; }

 private:
  std::string previous_;
  bool changed_ = false;
};

struct ChildOutcome {
  int status = -1;  // as from waitpid
  std::string out;
  std::string err;
  bool exited(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

// Runs `body` in a forked child with descriptors 1 and 2 on pipes. The child ends with status 0 if
// `body` returns; it is killed after `seconds`, so a hang fails the test instead of blocking it.
inline ChildOutcome runInChild(const std::function<void()>& body, int seconds = 20) {
  ChildOutcome outcome;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return outcome;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return outcome;
  }
  pid_t pid = fork();
  if (pid == 0) {
    alarm(static_cast<unsigned>(seconds));
    dup2(out[1], 1);
    dup2(err[1], 2);
    body();
    _exit(0);
  }
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    close(out[0]);
    close(err[0]);
    return outcome;
  }
  struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&outcome.out, &outcome.err};
  int open_count = 2;
  // Each poll waits at most 100 ms and the rounds are counted; the child's alarm ends it sooner.
  for (int round = 0; open_count > 0 && round < (seconds + 5) * 10; ++round) {
    int ready = poll(fds, 2, 100);
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[4096];
      ssize_t got = read(fds[i].fd, chunk, sizeof chunk);
      if (got > 0) {
        sinks[i]->append(chunk, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  for (struct pollfd& fd : fds)
    if (fd.fd >= 0) close(fd.fd);
  if (open_count > 0) kill(pid, SIGKILL);
  while (waitpid(pid, &outcome.status, 0) < 0 && errno == EINTR) {
  }
  return outcome;
}

}  // namespace larderbox::testing
