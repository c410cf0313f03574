// Shared by every fuzzer: load the plug-in once, before the first input.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qxfuzz::initialize();
  return 0;
}
