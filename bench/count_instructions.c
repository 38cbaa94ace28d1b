/* Counts the user-space instructions that a program executes before it hands over to another
 * program: it single-steps the process from its first instruction to its next successful execve,
 * and does the same for every child that it forks, each up to the child's own execve or exit. The
 * programs started by those execve calls run untraced, so only the stepped program is counted.
 *
 * count_instructions [--trace FILE] ENV_COUNT ENV... PROGRAM ARGS...
 *
 * With --trace, the address of every instruction that the main process executes goes to FILE, one
 * hexadecimal number a line, for a profile against an unstripped build of the same sources.
 *
 * Prints one line per process: "main" or "child", the instructions, the single steps, and "exec"
 * or "exit" for how the counted part ended. Instructions count a rep-prefixed string instruction
 * once, as a hardware counter of retired instructions does (gcc -Os inlines small copies as
 * rep movsb); the steps count each of its repetitions, as Valgrind does. The execve that ends a
 * process's part is its last counted instruction. (Valgrind itself cannot count this: its tools
 * write their totals when the program exits, never at an execve.) */
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#define MAX_TRACEES 16
#define MAX_STEPS 100000000L /* a run that long is not a shim: stop instead of stepping on */

struct tracee {
  pid_t pid;
  long count; /* instructions, a rep-prefixed string instruction once however often it repeats */
  long steps; /* single steps: every repetition of a rep-prefixed instruction counts */
  unsigned long long last_address;
  int counting;
  const char* ended;
};

static struct tracee tracees[MAX_TRACEES];
static int tracee_count;

static struct tracee* find(pid_t pid) {
  for (int i = 0; i < tracee_count; ++i)
    if (tracees[i].pid == pid) return &tracees[i];
  if (tracee_count == MAX_TRACEES) {
    fprintf(stderr, "count_instructions: too many processes\n");
    exit(1);
  }
  tracees[tracee_count] = (struct tracee){pid, 0, 0, ~0ULL, 1, NULL};
  return &tracees[tracee_count++];
}

static void step(pid_t pid, int signal_number) {
  if (ptrace(PTRACE_SINGLESTEP, pid, 0, (void*)(long)signal_number) != 0 && errno != ESRCH) {
    perror("count_instructions: PTRACE_SINGLESTEP");
    exit(1);
  }
}

static FILE* trace;

/* Accounts for the instruction that the tracee is about to execute. A rep-prefixed string
 * instruction traps after every repetition without moving on, so it is one instruction for as long
 * as the address stays the same, as a hardware counter of retired instructions has it. */
static void account(struct tracee* t) {
  struct user_regs_struct registers;
  if (ptrace(PTRACE_GETREGS, t->pid, 0, &registers) != 0) return;
  ++t->steps;
  if (registers.rip != t->last_address) ++t->count;
  t->last_address = registers.rip;
  if (trace != NULL && t == &tracees[0]) fprintf(trace, "%llx\n", registers.rip);
}

static void finish(struct tracee* t, const char* how) {
  t->counting = 0;
  t->ended = how;
}

int main(int argc, char** argv) {
  if (argc > 2 && strcmp(argv[1], "--trace") == 0) {
    trace = fopen(argv[2], "w");
    if (trace == NULL) {
      perror(argv[2]);
      return 1;
    }
    argc -= 2;
    argv += 2;
  }
  if (argc < 3) {
    fprintf(stderr, "usage: count_instructions [--trace FILE] ENV_COUNT ENV... PROGRAM ARGS...\n");
    return 2;
  }
  long env_count = strtol(argv[1], NULL, 10);
  if (env_count < 0 || env_count > argc - 3) {
    fprintf(stderr, "count_instructions: bad ENV_COUNT\n");
    return 2;
  }
  char** environment = calloc((size_t)env_count + 1, sizeof *environment);
  for (long i = 0; i < env_count; ++i)
    environment[i] = argv[2 + i];
  char** program = argv + 2 + env_count;
  alarm(120); /* a hung tracee must not hang the benchmark */

  pid_t main_pid = fork();
  if (main_pid == 0) {
    ptrace(PTRACE_TRACEME, 0, 0, 0);
    execve(program[0], program, environment);
    _exit(127);
  }
  int status;
  if (waitpid(main_pid, &status, 0) != main_pid || !WIFSTOPPED(status)) {
    fprintf(stderr, "count_instructions: %s did not start under ptrace\n", program[0]);
    return 1;
  }
  long options = PTRACE_O_TRACEEXEC | PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK |
                 PTRACE_O_TRACECLONE | PTRACE_O_EXITKILL;
  if (ptrace(PTRACE_SETOPTIONS, main_pid, 0, (void*)options) != 0) {
    perror("count_instructions: PTRACE_SETOPTIONS");
    return 1;
  }
  struct tracee* main_tracee = find(main_pid);
  account(main_tracee);
  step(main_pid, 0);

  long steps = 0;
  int main_status = -1;
  while (steps++ < MAX_STEPS) {
    pid_t pid = waitpid(-1, &status, __WALL);
    if (pid < 0) {
      if (errno == EINTR) continue;
      break; /* ECHILD: nothing is left to wait for */
    }
    struct tracee* t = find(pid);
    if (WIFEXITED(status) || WIFSIGNALED(status)) {
      if (t->counting) finish(t, "exit");
      if (pid == main_pid) {
        main_status = status;
        break;
      }
      continue;
    }
    if (!WIFSTOPPED(status)) continue;
    int signal_number = WSTOPSIG(status);
    int event = status >> 16;
    if (event == PTRACE_EVENT_EXEC) {
      finish(t, "exec");
      ptrace(PTRACE_DETACH, pid, 0, 0);
      continue;
    }
    if (event != 0) { /* fork, vfork or clone: the new process reports on its own */
      step(pid, 0);
      continue;
    }
    if (signal_number == SIGTRAP) {
      if (t->counting) account(t);
      step(pid, 0);
    } else if (signal_number == SIGSTOP && t->steps == 0 && pid != main_pid) {
      account(t); /* a new child's first stop, before its first instruction */
      step(pid, 0);
    } else {
      step(pid, signal_number); /* a real signal, such as SIGCHLD: deliver it */
    }
  }
  if (main_status < 0 && main_tracee->ended != NULL) {
    while (waitpid(main_pid, &main_status, 0) < 0 && errno == EINTR) {
    }
  }
  if (trace != NULL) fclose(trace);
  for (int i = 0; i < tracee_count; ++i)
    printf("%s %ld %ld %s\n", tracees[i].pid == main_pid ? "main" : "child", tracees[i].count,
           tracees[i].steps, tracees[i].ended != NULL ? tracees[i].ended : "unfinished");
  if (main_status < 0 || !WIFEXITED(main_status)) {
    fprintf(stderr, "count_instructions: the traced program did not end normally\n");
    return 1;
  }
  return WEXITSTATUS(main_status) == 0 ? 0 : 1;
}
