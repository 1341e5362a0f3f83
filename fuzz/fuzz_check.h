// What the fuzz targets share: a broken property aborts, naming itself, and
// libFuzzer saves the input.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void Check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "property broken: %s\n", what);
  std::abort();
}
