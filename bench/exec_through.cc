// The floor of the pass-through: replaces itself with BENCH_TARGET, passing its arguments and
// environment on, and does nothing else.
#include <stdlib.h>
#include <unistd.h>

int main(int, char** argv, char** envp) {
  char* target = getenv("BENCH_TARGET");
  if (target == nullptr) return 126;
  argv[0] = target;
  execve(target, argv, envp);
  return 127;
}
