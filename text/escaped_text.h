// Text that another program or user wrote (port and link names, process
// names, sysfs strings such as a USB serial number), made safe to show. A
// name may hold any bytes: ESC and CSI or OSC sequences that a terminal
// would obey, a newline that would start a line of its own, bytes that are
// not UTF-8. Shared by kavnori-doctor and relay-board-sim.
#pragma once

#include <string>

// A C0 control character or DEL: a byte a terminal may obey rather than show.
bool IsControlByte(unsigned char byte);

// For a person's terminal: each control character (C0, DEL, and C1 in its
// UTF-8 form) and each byte that is not part of well-formed UTF-8 is written
// \xHH, byte by byte; everything else stands as it is, backslashes too, so
// that a Windows name such as \\.\COM12 still reads as one.
std::string EscapedText(const std::string& text);

// A quoted JSON string: '"' and '\' escaped, control characters (C0, DEL,
// C1) as \u00XX, and each byte that is not part of well-formed UTF-8 as
// \uFFFD, since JSON text may hold only Unicode.
std::string JsonString(const std::string& text);
