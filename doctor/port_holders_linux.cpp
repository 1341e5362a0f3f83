// Who holds a port: the flocks and record locks of /proc/locks, the UUCP
// lock file, the programs that have it open.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "doctor/doctor_linux.h"
#include "serial/uucp_lock_linux.h"

namespace {

// Lines as "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF": the lock holder's
// pid, then the file's filesystem (major:minor in hex) and inode. A waiter's
// line has "->" after the number and holds nothing.
std::vector<pid_t> FlockHolders(const std::string& root, dev_t filesystem, ino_t inode) {
  std::vector<pid_t> pids;
  std::istringstream in(ReadFile(root + "/proc/locks"));
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> words = Words(line);
    // A flock, or a record lock (fcntl, lockf: POSIX; open-file ones: OFDLCK,
    // whose pid /proc shows as -1).
    if (words.size() < 6 || (words[1] != "FLOCK" && words[1] != "POSIX" && words[1] != "OFDLCK"))
      continue;
    unsigned fsMajor = 0, fsMinor = 0;
    unsigned long long fileInode = 0;
    if (std::sscanf(words[5].c_str(), "%x:%x:%llu", &fsMajor, &fsMinor, &fileInode) != 3) continue;
    if (fsMajor != major(filesystem) || fsMinor != minor(filesystem) || fileInode != inode)
      continue;
    pids.push_back(static_cast<pid_t>(std::atol(words[4].c_str())));
  }
  return pids;
}
bool FindLockFile(const std::string& root, const std::string& device, UucpLock* lock) {
  const auto below = [&](const char* const* paths) {
    std::vector<std::string> folders;
    for (const char* const* path = paths; *path != nullptr; ++path) folders.push_back(root + *path);
    return folders;
  };
  const std::vector<std::string> lockFolders = below(kUucpLockPlaces.lockFolders);
  const std::vector<std::string> linkFolders = below(kUucpLockPlaces.linkFolders);
  const auto pointers = [](const std::vector<std::string>& folders) {
    std::vector<const char*> list;
    for (const std::string& folder : folders) list.push_back(folder.c_str());
    list.push_back(nullptr);
    return list;
  };
  const std::vector<const char*> locks = pointers(lockFolders), links = pointers(linkFolders);
  const std::string proc = root + kUucpLockPlaces.proc, dev = root + kUucpLockPlaces.dev;
  return FindUucpLock(device.c_str(), {locks.data(), links.data(), proc.c_str(), dev.c_str()},
                      lock);
}

std::string LockPath(const std::string& root, const UucpLock& lock) {
  return lock.path + std::min(root.size(), std::strlen(lock.path));
}

Holder& HolderFor(PortHolders* holders, pid_t pid, const std::string& command) {
  for (Holder& holder : holders->programs) {
    if (holder.pid == pid) return holder;
  }
  holders->programs.push_back({pid, command});
  return holders->programs.back();
}

}  // namespace

bool IsBoard(const Holder& holder) { return holder.command == "relay-board-sim"; }

// The open file that holds a flock names its process best: the pid in
// /proc/locks is the one that took it, which may have gone since (flock(1)
// running a command, say).
PortHolders FindPortHolders(const std::string& root, const std::string& lockName,
                            const struct stat& node, const std::vector<Opener>& openers) {
  PortHolders holders;
  for (const Opener& opener : openers) {
    if (opener.holdsFlock)
      HolderFor(&holders, opener.pid, ProcessCommand(root, opener.pid)).flock = true;
  }
  for (pid_t pid : FlockHolders(root, node.st_dev, node.st_ino)) {
    holders.locked = true;
    const std::string command = ProcessCommand(root, pid);
    if (pid > 0 && !command.empty()) HolderFor(&holders, pid, command).flock = true;
  }
  holders.hasLockFile = FindLockFile(root, lockName, &holders.lockFile);
  if (holders.hasLockFile) {
    holders.lockPath = LockPath(root, holders.lockFile);
    const pid_t pid = holders.lockFile.pid;
    if (holders.lockFile.held && pid > 0)
      HolderFor(&holders, pid, ProcessCommand(root, pid)).lockFile = true;
  }
  for (const Opener& opener : openers) {
    HolderFor(&holders, opener.pid, ProcessCommand(root, opener.pid)).open = true;
  }
  return holders;
}
