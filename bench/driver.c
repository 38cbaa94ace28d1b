/* Times two commands against each other, A B A B, in one run: each run is spawned, waited for and
 * timed on the monotonic clock; the order alternates from pair to pair so that neither command
 * always runs second on a warm cache. Prints one line "a_ns b_ns" per measured pair.
 *
 * driver PAIRS WARMUP ENV_COUNT ENV... A_COUNT A_ARGV... B_COUNT B_ARGV...
 *
 * Both commands get exactly the ENV entries as their environment and /dev/null as standard input,
 * output and error. A run that does not exit with status 0 stops the driver with status 1. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

struct command {
  char** argv;
  const char* label;
};

static int64_t now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

static posix_spawn_file_actions_t quiet;
static char** environment;

static int64_t timed_run(const struct command* command) {
  int64_t start = now_ns();
  pid_t pid;
  int error = posix_spawn(&pid, command->argv[0], &quiet, NULL, command->argv, environment);
  if (error != 0) {
    fprintf(stderr, "driver: cannot start %s: %s\n", command->argv[0], strerror(error));
    exit(1);
  }
  int status;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      perror("driver: waitpid");
      exit(1);
    }
  }
  int64_t elapsed = now_ns() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "driver: %s (%s) ended with status 0x%x\n", command->label, command->argv[0],
            status);
    exit(1);
  }
  return elapsed;
}

/* Takes COUNT then COUNT arguments from argv at *next; returns them as a NULL-terminated vector. */
static char** take_vector(int argc, char** argv, int* next) {
  if (*next >= argc) return NULL;
  long count = strtol(argv[*next], NULL, 10);
  if (count < 0 || count > argc - *next - 1) return NULL;
  char** vector = calloc((size_t)count + 1, sizeof *vector);
  if (vector == NULL) return NULL;
  for (long i = 0; i < count; ++i)
    vector[i] = argv[*next + 1 + i];
  *next += (int)count + 1;
  return vector;
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: driver PAIRS WARMUP ENV_COUNT ENV... A_COUNT A... B_COUNT B...\n");
    return 2;
  }
  long pairs = strtol(argv[1], NULL, 10);
  long warmup = strtol(argv[2], NULL, 10);
  int next = 3;
  environment = take_vector(argc, argv, &next);
  struct command a = {take_vector(argc, argv, &next), "A"};
  struct command b = {take_vector(argc, argv, &next), "B"};
  if (pairs <= 0 || warmup < 0 || environment == NULL || a.argv == NULL || a.argv[0] == NULL ||
      b.argv == NULL || b.argv[0] == NULL || next != argc) {
    fprintf(stderr, "driver: bad arguments\n");
    return 2;
  }
  /* One descriptor, duplicated onto 0 to 2 in every child: cheaper than three opens per run, and
   * close-on-exec so that the commands hold nothing else of the driver's. */
  int null_device = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_device < 0) {
    perror("driver: /dev/null");
    return 1;
  }
  posix_spawn_file_actions_init(&quiet);
  for (int fd = 0; fd < 3; ++fd)
    posix_spawn_file_actions_adddup2(&quiet, null_device, fd);

  for (long i = 0; i < warmup; ++i) {
    timed_run(&a);
    timed_run(&b);
  }
  for (long i = 0; i < pairs; ++i) {
    int64_t a_ns, b_ns;
    if (i % 2 == 0) {
      a_ns = timed_run(&a);
      b_ns = timed_run(&b);
    } else {
      b_ns = timed_run(&b);
      a_ns = timed_run(&a);
    }
    printf("%lld %lld\n", (long long)a_ns, (long long)b_ns);
  }
  return fflush(stdout) == 0 ? 0 : 1;
}
