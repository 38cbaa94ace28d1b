/* A stand-in for the real curl or wget: it appends one record of how it was started to the file
 * named by RECORDER_OUT and exits with the status in RECORDER_STATUS (default 0).
 *
 * One record is a run of lines, each "<key> <value>", from "begin" to "end":
 *   exec <hex>                   the path it was executed under (AT_EXECFN)
 *   arg <hex>                    every argv element in order, byte exact
 *   env <hex>                    every environment entry in order, byte exact
 *   fd <n> <hex link target>     every open descriptor; "fds unavailable" without /proc
 *   signal <name> <default|ignored|handled>   SIGPIPE and SIGIO
 *   blocked <name> <yes|no>      the inherited signal mask for the same signals
 *   stack <soft> <hard>          RLIMIT_STACK, "unlimited" for RLIM_INFINITY
 * Descriptors are listed before the output file is opened, so they are the inherited ones only. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/resource.h>
#include <unistd.h>

enum { kMaxDescriptors = 1024 };

struct Descriptor {
  int number;
  char target[4096];
  ssize_t length;
};

static struct Descriptor descriptors[kMaxDescriptors];
static int descriptor_count = -1; /* -1: /proc/self/fd could not be read */

static void listDescriptors(void) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == NULL) return;
  descriptor_count = 0;
  struct dirent* entry;
  while ((entry = readdir(dir)) != NULL && descriptor_count < kMaxDescriptors) {
    if (entry->d_name[0] == '.') continue;
    int number = atoi(entry->d_name);
    if (number == dirfd(dir)) continue;
    struct Descriptor* d = &descriptors[descriptor_count++];
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", number);
    d->number = number;
    d->length = readlink(link, d->target, sizeof d->target);
    if (d->length < 0) d->length = 0;
  }
  closedir(dir);
}

static void putHex(FILE* out, const char* bytes, size_t length) {
  static const char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < length; ++i) {
    unsigned char byte = (unsigned char)bytes[i];
    fputc(digits[byte >> 4], out);
    fputc(digits[byte & 15], out);
  }
}

static void putLine(FILE* out, const char* key, const char* bytes) {
  fprintf(out, "%s ", key);
  putHex(out, bytes, strlen(bytes));
  fputc('\n', out);
}

static void putSignal(FILE* out, const char* name, int number) {
  struct sigaction action;
  const char* disposition = "unknown";
  if (sigaction(number, NULL, &action) == 0) {
    if (action.sa_handler == SIG_DFL)
      disposition = "default";
    else if (action.sa_handler == SIG_IGN)
      disposition = "ignored";
    else
      disposition = "handled";
  }
  fprintf(out, "signal %s %s\n", name, disposition);
  sigset_t blocked;
  sigemptyset(&blocked);
  sigprocmask(SIG_BLOCK, NULL, &blocked);
  fprintf(out, "blocked %s %s\n", name, sigismember(&blocked, number) ? "yes" : "no");
}

static void putLimit(FILE* out, rlim_t value) {
  if (value == RLIM_INFINITY)
    fputs("unlimited", out);
  else
    fprintf(out, "%llu", (unsigned long long)value);
}

int main(int argc, char** argv, char** envp) {
  listDescriptors();
  const char* path = getenv("RECORDER_OUT");
  const char* status = getenv("RECORDER_STATUS");
  int exit_status = status != NULL ? atoi(status) : 0;
  if (path == NULL) return exit_status;
  FILE* out = fopen(path, "ae");
  if (out == NULL) return 100;

  fputs("begin\n", out);
  putLine(out, "exec", (const char*)getauxval(AT_EXECFN));
  for (int i = 0; i < argc; ++i)
    putLine(out, "arg", argv[i]);
  for (char** entry = envp; *entry != NULL; ++entry)
    putLine(out, "env", *entry);
  if (descriptor_count < 0) fputs("fds unavailable\n", out);
  for (int i = 0; i < descriptor_count; ++i) {
    fprintf(out, "fd %d ", descriptors[i].number);
    putHex(out, descriptors[i].target, (size_t)descriptors[i].length);
    fputc('\n', out);
  }
  putSignal(out, "SIGPIPE", SIGPIPE);
  putSignal(out, "SIGIO", SIGIO);
  struct rlimit stack;
  if (getrlimit(RLIMIT_STACK, &stack) == 0) {
    fputs("stack ", out);
    putLimit(out, stack.rlim_cur);
    fputc(' ', out);
    putLimit(out, stack.rlim_max);
    fputc('\n', out);
  }
  fputs("end\n", out);
  if (fclose(out) != 0) return 101;
  return exit_status;
}
