#include "serial/platform_failure.h"

#include <cstdio>

void ReportPlatformFailure(const char* callName, std::uint32_t errorCode) {
  // Scripts match this line with a signed decimal code.
  std::printf("%s failed with error %d.\n", callName, static_cast<int>(errorCode));
}
