// The processes of the machine, from /proc: which run, and which have a
// file open.
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "doctor/doctor_linux.h"

namespace {

std::vector<pid_t> ProcessIds(const std::string& root) {
  std::vector<pid_t> pids;
  for (const std::string& name : FolderEntries(root + "/proc")) {
    if (IsNumber(name)) pids.push_back(static_cast<pid_t>(std::atol(name.c_str())));
  }
  return pids;
}

}  // namespace

std::string ProcessCommand(const std::string& root, pid_t pid) {
  return FirstLine(root + "/proc/" + std::to_string(pid) + "/comm");
}

bool ProcessRuns(const std::string& root, const std::string& command) {
  for (pid_t pid : ProcessIds(root)) {
    if (ProcessCommand(root, pid) == command) return true;
  }
  return false;
}

std::map<std::string, std::vector<Opener>> Openers(const std::string& root,
                                                   const std::vector<std::string>& paths) {
  std::map<std::string, std::vector<Opener>> found;
  if (paths.empty()) return found;  // no walk through every process for nothing
  const pid_t self = ::getpid();
  for (pid_t pid : ProcessIds(root)) {
    if (pid == self) continue;
    const std::string process = root + "/proc/" + std::to_string(pid);
    for (const std::string& fd : FolderEntries(process + "/fd")) {
      char target[PATH_MAX];
      const ssize_t length = ::readlink((process + "/fd/" + fd).c_str(), target, sizeof target - 1);
      if (length <= 0) continue;
      const std::string path(target, static_cast<std::size_t>(length));
      if (std::find(paths.begin(), paths.end(), path) == paths.end()) continue;
      const std::string info = ReadFile(process + "/fdinfo/" + fd);
      const bool locks = info.find(" FLOCK ") != std::string::npos ||
                         info.find(" POSIX ") != std::string::npos ||
                         info.find(" OFDLCK ") != std::string::npos;
      std::vector<Opener>& openers = found[path];
      const auto same = std::find_if(openers.begin(), openers.end(),
                                     [&](const Opener& o) { return o.pid == pid; });
      if (same == openers.end()) {
        openers.push_back({pid, locks});
      } else {
        same->holdsFlock = same->holdsFlock || locks;
      }
    }
  }
  return found;
}
