#include "serial/platform_failure.h"

#include "serial/fixed_text.h"
#include "serial/standard_output.h"

void ReportPlatformFailure(const char* callName, std::uint32_t errorCode) {
  // Scripts match this line with a signed decimal code.
  const long long code = static_cast<int>(errorCode);
  char line[96];
  std::size_t length = Append(line, sizeof line, 0, callName);
  length =
      Append(line, sizeof line, length, code < 0 ? " failed with error -" : " failed with error ");
  length = AppendNumber(line, sizeof line, length,
                        static_cast<unsigned long long>(code < 0 ? -code : code), 1);
  WriteOutput(line, Append(line, sizeof line, length, ".\n"));
}
