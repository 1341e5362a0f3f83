// The one failure line of a serial stage.
#pragma once

#include <cstdint>

// Prints "<callName> failed with error <errorCode>.\n" to standard output.
// callName is the Win32 name of the stage's call on every platform.
void ReportPlatformFailure(const char* callName, std::uint32_t errorCode);
