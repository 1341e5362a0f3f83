// The line's speeds as the kernel holds them, in baud. A sender can set any
// number (BOTHER), e.g. 250000, for which there is no B constant for
// cfgetospeed to return; the kernel's termios2 carries every speed as a
// number.
#pragma once

#include <cstdint>

// 0, or the errno of the failed read. Where TCGETS2 is missing, 0 with the
// speeds left as they are: the caller has them from tcgetattr, with 0 for a
// speed that has no B constant.
int ReadLineSpeeds(int fd, std::uint32_t* outputBaud, std::uint32_t* inputBaud);
