/* A stand-in for the real curl or wget that misbehaves only when it is called the way the cache
 * probe calls it (with its header-only option, "-I" or "--spider").
 *
 * The probe's call has no environment, so everything this program needs comes from files beside
 * its own path P (argument 0, the real tool path the shim found):
 *   P.behaviour   one line: what the probe call does (see behave() below)
 *   P.probe       written by the probe call: its arguments, descriptors and signal dispositions
 *   P.started     written by the probe call of "gate" once it is running
 *   P.go          created by the test: "gate" ends when it appears
 * Any other call is the hand-over: it writes P.children (every child process of this process, one
 * "pid state" line each; the shim's probe must not be among them), then executes P.recorder with
 * the same argument vector and environment, which records how the real tool was started. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

enum { kChunk = 64 * 1024, kGateLimitMs = 10000 };

static char path_buffer[4096];

static const char* beside(const char* self, const char* suffix) {
  snprintf(path_buffer, sizeof path_buffer, "%s%s", self, suffix);
  return path_buffer;
}

static int isProbeCall(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (strcmp(argv[i], "-I") == 0 || strcmp(argv[i], "--spider") == 0) return 1;
  return 0;
}

static void sleepMs(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

static long nowMs(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

/* Writes all of `size` bytes; 0 when the pipe failed (the reader is gone). */
static int writeAll(int fd, const char* bytes, size_t size) {
  while (size > 0) {
    ssize_t put = write(fd, bytes, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return 0;
    bytes += put;
    size -= (size_t)put;
  }
  return 1;
}

static void touch(const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) close(fd);
}

static const char* disposition(int number) {
  struct sigaction action;
  if (sigaction(number, NULL, &action) != 0) return "unknown";
  if (action.sa_handler == SIG_DFL) return "default";
  if (action.sa_handler == SIG_IGN) return "ignored";
  return "handled";
}

/* What the probe's child was started with: arguments, descriptors, dispositions, environment. */
static void recordProbe(const char* self, int argc, char** argv, char** envp) {
  FILE* out = fopen(beside(self, ".probe"), "we");
  if (out == NULL) return;
  for (int i = 0; i < argc; ++i)
    fprintf(out, "arg %s\n", argv[i]);
  int entries = 0;
  for (char** entry = envp; *entry != NULL; ++entry)
    ++entries;
  fprintf(out, "environment %d\n", entries);
  fprintf(out, "pid %d\n", (int)getpid());
  DIR* dir = opendir("/proc/self/fd");
  if (dir != NULL) {
    struct dirent* entry;
    while ((entry = readdir(dir)) != NULL) {
      if (entry->d_name[0] == '.' || atoi(entry->d_name) == dirfd(dir)) continue;
      if (atoi(entry->d_name) == fileno(out)) continue;
      char link[300], target[4096];
      snprintf(link, sizeof link, "/proc/self/fd/%s", entry->d_name);
      ssize_t length = readlink(link, target, sizeof target - 1);
      target[length < 0 ? 0 : length] = '\0';
      fprintf(out, "fd %s %s\n", entry->d_name, target);
    }
    closedir(dir);
  }
  fprintf(out, "signal SIGPIPE %s\nsignal SIGIO %s\n", disposition(SIGPIPE), disposition(SIGIO));
  fclose(out);
}

/* Bytes that are anything but text: NULs, escape sequences, invalid UTF-8, lone CRs. */
static void fillGarbage(char* bytes, size_t size, unsigned seed) {
  unsigned state = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    bytes[i] = (char)state;
  }
  static const char nasty[] = "\x1b[2J\x1b]0;title\a\r\0\xff\xfe\xc0\x80HTTP/1.1 200 OK\r\n";
  for (size_t i = 0; i + sizeof nasty <= size; i += 4096)
    memcpy(bytes + i, nasty, sizeof nasty);
}

/* Both pipes in turn, a chunk at a time: a reader that drains only one of them leaves this
 * process blocked on the other for ever. */
static int flood(long long total, int garbage) {
  static char chunk[kChunk];
  if (garbage)
    fillGarbage(chunk, sizeof chunk, 7);
  else
    memset(chunk, 'x', sizeof chunk);
  for (long long done = 0; done < total; done += kChunk) {
    size_t size = total - done < kChunk ? (size_t)(total - done) : kChunk;
    if (!writeAll(1, chunk, size) || !writeAll(2, chunk, size)) return 0;
  }
  return 1;
}

/* Keeps writing a little to `fd` for `ms` milliseconds. */
static void trickle(int fd, long ms) {
  long end = nowMs() + ms;
  while (nowMs() < end) {
    if (!writeAll(fd, "still here\n", 11)) return;
    sleepMs(10);
  }
}

static void die(const char* name) {
  if (strcmp(name, "SEGV") == 0) {
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
    signal(SIGSEGV, SIG_DFL);
    *(volatile int*)(unsigned long)0 = 1;
  } else if (strcmp(name, "ABRT") == 0) {
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
    abort();
  }
  raise(SIGKILL);
  _exit(99);
}

/* The behaviour line, word by word:
 *   exit STATUS                    exit at once
 *   flood BYTES STATUS             BYTES of 'x' to each pipe, interleaved, then exit
 *   garbage BYTES STATUS           the same with binary garbage
 *   close-one FD MS STATUS         close FD (1 or 2), keep writing to the other for MS, then exit
 *   die SIGNAL PIPES               write to both pipes, close them first when PIPES is "closed",
 *                                  then end by SIGNAL: KILL, SEGV (a real fault) or ABRT
 *   gate STATUS PIPES              write P.started, then wait (at most 10 s) for P.go; with PIPES
 *                                  "closed" both pipes are closed first, with "open" a line goes to
 *                                  each every 20 ms meanwhile; then exit
 *   linger MS STATUS               a grandchild keeps both pipes open and writing for MS while this
 *                                  process exits at once
 *   hold MS STATUS                 keep both pipes open and writing for MS, then exit */
static int behave(const char* self) {
  char line[256] = "";
  FILE* in = fopen(beside(self, ".behaviour"), "re");
  if (in != NULL) {
    if (fgets(line, sizeof line, in) == NULL) line[0] = '\0';
    fclose(in);
  }
  char word[32] = "", extra[32] = "";
  long long a = 0, b = 0, c = 0;
  sscanf(line, "%31s", word);
  if (strcmp(word, "exit") == 0 && sscanf(line, "%*s %lld", &a) == 1) return (int)a;
  if ((strcmp(word, "flood") == 0 || strcmp(word, "garbage") == 0) &&
      sscanf(line, "%*s %lld %lld", &a, &b) == 2)
    return flood(a, word[0] == 'g') ? (int)b : 3;
  if (strcmp(word, "close-one") == 0 && sscanf(line, "%*s %lld %lld %lld", &a, &b, &c) == 3) {
    close((int)a);
    trickle(a == 1 ? 2 : 1, (long)b);
    return (int)c;
  }
  if (strcmp(word, "die") == 0 && sscanf(line, "%*s %31s %31s", word, extra) == 2) {
    writeAll(1, "partial output\n", 15);
    writeAll(2, "partial errors\n", 15);
    if (strcmp(extra, "closed") == 0) {
      close(1);
      close(2);
      sleepMs(100);  // the shim is in its wait by now, not in its drain
    }
    die(word);
  }
  if (strcmp(word, "gate") == 0 && sscanf(line, "%*s %lld %31s", &a, extra) == 2) {
    int open_pipes = strcmp(extra, "open") == 0;
    if (!open_pipes) {
      close(1);
      close(2);
    }
    touch(beside(self, ".started"));
    long end = nowMs() + kGateLimitMs;
    while (access(beside(self, ".go"), F_OK) != 0 && nowMs() < end) {
      if (open_pipes) {
        writeAll(1, "waiting\n", 8);
        writeAll(2, "waiting\n", 8);
      }
      sleepMs(20);
    }
    return (int)a;
  }
  if (strcmp(word, "hold") == 0 && sscanf(line, "%*s %lld %lld", &a, &b) == 2) {
    long end = nowMs() + (long)a;
    while (nowMs() < end && writeAll(1, "holding\n", 8) && writeAll(2, "holding\n", 8))
      sleepMs(20);
    return (int)b;
  }
  if (strcmp(word, "linger") == 0 && sscanf(line, "%*s %lld %lld", &a, &b) == 2) {
    pid_t grandchild = fork();
    if (grandchild == 0) {
      trickle(1, (long)a);
      _exit(0);
    }
    return (int)b;
  }
  return 2;  // an unknown behaviour: a plain "no"
}

static void listChildren(const char* self) {
  char list[4096] = "";
  snprintf(path_buffer, sizeof path_buffer, "/proc/self/task/%d/children", (int)getpid());
  FILE* in = fopen(path_buffer, "re");
  size_t got = 0;
  if (in != NULL) {
    got = fread(list, 1, sizeof list - 1, in);
    fclose(in);
  }
  list[got] = '\0';
  FILE* out = fopen(beside(self, ".children"), "we");
  if (out == NULL) return;
  for (char* word = strtok(list, " \n"); word != NULL; word = strtok(NULL, " \n")) {
    char stat_path[64], stat[512] = "";
    snprintf(stat_path, sizeof stat_path, "/proc/%s/stat", word);
    FILE* s = fopen(stat_path, "re");
    if (s != NULL) {
      if (fgets(stat, sizeof stat, s) == NULL) stat[0] = '\0';
      fclose(s);
    }
    const char* state = strrchr(stat, ')');
    fprintf(out, "%s %c\n", word, state != NULL && state[1] == ' ' ? state[2] : '?');
  }
  fclose(out);
}

int main(int argc, char** argv, char** envp) {
  if (argc < 1) return 2;
  /* The path it was executed under: argument 0 may be the caller's own ("curl"). */
  const char* self = (const char*)getauxval(AT_EXECFN);
  if (isProbeCall(argc, argv)) {
    /* A test that gives up on the shim must not leave this process blocked on a pipe. */
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    recordProbe(self, argc, argv, envp);
    return behave(self);
  }
  listChildren(self);
  char recorder[4096];
  snprintf(recorder, sizeof recorder, "%s.recorder", self);
  execve(recorder, argv, envp);
  return 126;
}
