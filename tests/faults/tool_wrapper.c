/* Stands between the shim and a machine's real curl or wget: appends one record of how it was
 * started (argv and every open descriptor, in the recorder's format) to "<own path>.records" and
 * then executes "<own path>.real" with the same arguments and environment. It finds its own path
 * through /proc/self/exe because the probe's child starts with no environment at all.
 *
 * The record goes out in one write, so a child terminated meanwhile leaves no half record. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { kRecordSize = 1 << 20 };

static char record[kRecordSize];
static size_t used;

static void put(const char* bytes, size_t length) {
  if (length > kRecordSize - used) length = kRecordSize - used;
  memcpy(record + used, bytes, length);
  used += length;
}

static void putText(const char* text) {
  put(text, strlen(text));
}

static void putHex(const char* bytes, size_t length) {
  static const char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < length; ++i) {
    unsigned char byte = (unsigned char)bytes[i];
    char pair[2] = {digits[byte >> 4], digits[byte & 15]};
    put(pair, 2);
  }
}

static void putDescriptors(void) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == NULL) {
    putText("fds unavailable\n");
    return;
  }
  struct dirent* entry;
  while ((entry = readdir(dir)) != NULL) {
    if (entry->d_name[0] == '.') continue;
    int number = atoi(entry->d_name);
    if (number == dirfd(dir)) continue;
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", number);
    ssize_t length = readlink(link, target, sizeof target);
    char line[32];
    snprintf(line, sizeof line, "fd %d ", number);
    putText(line);
    putHex(target, length > 0 ? (size_t)length : 0);
    putText("\n");
  }
  closedir(dir);
}

int main(int argc, char** argv, char** envp) {
  (void)argc;
  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 16);
  if (length <= 0) return 120;
  self[length] = '\0';

  putText("begin\n");
  for (char** arg = argv; *arg != NULL; ++arg) {
    putText("arg ");
    putHex(*arg, strlen(*arg));
    putText("\n");
  }
  putDescriptors();
  putText("end\n");

  char path[4096 + 16];
  snprintf(path, sizeof path, "%s.records", self);
  int out = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (out < 0) return 121;
  if (write(out, record, used) != (ssize_t)used) return 122;
  close(out);

  snprintf(path, sizeof path, "%s.real", self);
  execve(path, argv, envp);
  return 123;
}
