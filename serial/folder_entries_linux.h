// The entries of a folder, read with getdents64 into a buffer on the stack
// (readdir allocates): /proc/PID/fd, the lock folders, /dev/serial/by-id.
#pragma once

// Calls visit(folder, name, context) for each entry of the open folder whose
// name does not start with '.', until it returns true. 1 when it stopped
// there, 0 at the end, -1 when the folder could not be read.
int VisitEntries(int folder, bool (*visit)(int folder, const char* name, void* context),
                 void* context);
