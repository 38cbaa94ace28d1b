// Stands in for the real tool in the benchmark: it ends at once, so that only the cost of reaching
// it is measured. A probe (curl's "-I" or wget's "--spider") of an address holding "/miss/" answers
// no with curl's exit code for an HTTP error; every other call succeeds. The answer comes from the
// arguments alone because the shim gives its probe child an empty environment.
#include <string.h>

int main(int argc, char** argv) {
  bool probe = false;
  bool miss = false;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "-I") == 0 || strcmp(argv[i], "--spider") == 0) probe = true;
    if (strstr(argv[i], "/miss/") != nullptr) miss = true;
  }
  return probe && miss ? 22 : 0;
}
