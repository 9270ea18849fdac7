// What both fuzz targets share: a promise checked after each input, and the
// sanitizer's options.
#ifndef TESTS_FUZZ_FUZZ_SUPPORT_H
#define TESTS_FUZZ_FUZZ_SUPPORT_H

#include <stdio.h>
#include <stdlib.h>

inline void Check(bool condition, const char* what) {
  if (condition) return;
  fprintf(stderr, "broken promise: %s\n", what);
  abort();
}

// Oversized table or names claims make the allocator fail fast instead of
// reserving gigabytes per input: that exercises the out-of-memory path.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:max_allocation_size_mb=64:detect_leaks=1";
}

#endif  // TESTS_FUZZ_FUZZ_SUPPORT_H
