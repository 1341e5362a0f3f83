#include "sim/line_settings.h"

#include <gtest/gtest.h>
#include <termios.h>

namespace {

TEST(LineSettings, ReadsTheFormatFromTermios) {
  struct FormatCase {
    speed_t speed;
    tcflag_t cflag;
    const char* described;
    bool boardLine;
  };
  const FormatCase cases[] = {
      {B9600, CS8, "9600 8N1", true},           {B38400, CS8, "38400 8N1", false},
      {B9600, CS7 | PARENB, "9600 7E1", false}, {B9600, CS8 | PARENB | PARODD, "9600 8O1", false},
      {B9600, CS8 | CSTOPB, "9600 8N2", false}, {B115200, CS5, "115200 5N1", false},
      {B2000000, CS8, "2000000 8N1", false},
  };
  for (const FormatCase& testCase : cases) {
    SCOPED_TRACE(testCase.described);
    struct termios settings = {};
    settings.c_cflag = testCase.cflag | CREAD;
    cfsetospeed(&settings, testCase.speed);
    cfsetispeed(&settings, testCase.speed);
    const LineSettings line = LineSettingsFromTermios(settings);
    EXPECT_EQ(DescribeLine(line), testCase.described);
    EXPECT_EQ(IsBoardLine(line), testCase.boardLine);
  }
}

}  // namespace
