// libFuzzer's entry point, the same for every target; the replay calls it too.
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  larderbox::fuzz::fuzzInput(larderbox::fuzz::asBytes(data, size));
  return 0;
}
