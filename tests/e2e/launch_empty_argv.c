/* Executes a program with an empty argument vector, which Python's subprocess refuses to do.
 *
 *   launch_empty_argv PROGRAM             the launcher's own environment
 *   launch_empty_argv -e PROGRAM ENTRY... exactly these environment entries, in this order, even
 *                                         duplicates and entries without "="
 *
 * Exits with 126 when the exec fails, 2 on a usage error. */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

extern char** environ;

int main(int argc, char** argv) {
  char* empty[] = {NULL};
  char** environment = environ;
  int program = 1;
  if (argc > 1 && strcmp(argv[1], "-e") == 0) program = 2;
  if (program >= argc) {
    fputs("usage: launch_empty_argv [-e] PROGRAM [ENTRY...]\n", stderr);
    return 2;
  }
  /* argv is null-terminated, so the entries after PROGRAM form an environment as they stand. */
  if (program == 2) environment = argv + 3;
  execve(argv[program], empty, environment);
  perror("launch_empty_argv: execve");
  return 126;
}
