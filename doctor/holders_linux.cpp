#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "doctor/doctor_linux.h"

namespace {

std::vector<Holder> HoldersBy(const PortHolders& holders, bool Holder::*how) {
  std::vector<Holder> those;
  for (const Holder& holder : holders.programs) {
    if (holder.*how) those.push_back(holder);
  }
  return those;
}

std::string DescribeHolders(const std::vector<Holder>& holders) {
  std::vector<std::string> names;
  for (const Holder& holder : holders) names.push_back(DescribeProcess(holder.pid, holder.command));
  return Joined(names);
}

void AddHolderDetails(Problem* problem, const std::vector<Holder>& holders) {
  if (holders.size() == 1) {
    problem->details.push_back(NumberDetail("pid", holders.front().pid));
    problem->details.push_back(TextDetail("command", holders.front().command));
  } else {
    problem->details.push_back(TextDetail("holders", DescribeHolders(holders)));
  }
}

// A lock file that names no holder this user can see: whose file it is.
void AddLockDetails(Problem* problem, const std::string& path, const std::string& owner) {
  problem->details.push_back(TextDetail("lock", path));
  problem->details.push_back(TextDetail("owner", owner));
}

// A holder this user cannot see: only root can tell which program it is.
void AddUnseenHolder(CheckedPort* checked, ProblemCode code, const std::string& what) {
  AddProblem(checked->report, code, what + "; this user cannot see which.",
             "sudo kavnori-doctor " + ShellWord(checked->given) + " names it");
}

}  // namespace

// Read from /proc/locks, not by taking a lock: a lock of the doctor's own,
// however short, would turn away a Kavnori run or picocom started meanwhile.
void CheckFlock(CheckedPort* checked, const PortHolders& holders) {
  if (!holders.locked && HoldersBy(holders, &Holder::flock).empty()) return;
  const std::string what = checked->device + " locked (flock)";
  const std::vector<Holder> lockers = HoldersBy(holders, &Holder::flock);
  if (lockers.empty()) {
    AddUnseenHolder(checked, ProblemCode::kHeldByLock, "Another program holds " + what);
    return;
  }
  AddHolderDetails(&AddProblem(checked->report, ProblemCode::kHeldByLock,
                               DescribeHolders(lockers) +
                                   (lockers.size() == 1 ? " holds " : " hold ") + what + ".",
                               StopFix(lockers, checked->given)),
                   lockers);
}

// TIOCEXCL turns away every later opener, root too. Nothing tells which of
// the programs that have the port open set it, so all of them are named. The
// virtual board never sets it, but its own end of its terminal keeps a mark
// that a program left behind: the board is no holder to stop.
void CheckExclusive(CheckedPort* checked, const PortHolders& holders) {
  const std::string what = checked->device +
                           " was made exclusive (TIOCEXCL): only root may open it, and Kavnori "
                           "turns it away even as root";
  std::vector<Holder> openers = HoldersBy(holders, &Holder::open);
  const auto board = std::find_if(openers.begin(), openers.end(), IsBoard);
  const std::string boardName =
      board == openers.end() ? "" : DescribeProcess(board->pid, board->command);
  openers.erase(std::remove_if(openers.begin(), openers.end(), IsBoard), openers.end());
  if (openers.empty() && !boardName.empty()) {
    AddProblem(checked->report, ProblemCode::kExclusive,
               what + "; only the virtual board " + boardName +
                   " has it open, whose terminal keeps the mark after the program that set it "
                   "has gone.",
               "start relay-board-sim anew for a terminal without the mark (sudo kavnori-doctor " +
                   ShellWord(checked->given) + " names any other program that has it open)");
    return;
  }
  if (openers.empty()) {
    AddUnseenHolder(checked, ProblemCode::kExclusive,
                    what + "; no program that this user can see has it open");
    return;
  }
  AddHolderDetails(&AddProblem(checked->report, ProblemCode::kExclusive,
                               what + "; open by " + DescribeHolders(openers) + ".",
                               StopFix(openers, checked->given)),
                   openers);
}

// A lock file this user may not read counts as held, as Kavnori counts it:
// only its owner or root can tell whose it is, and it is never to be removed
// unseen.
void CheckUucpLock(CheckedPort* checked, const PortHolders& holders) {
  if (!holders.hasLockFile) return;
  const UucpLock& lock = holders.lockFile;
  const std::string& path = holders.lockPath;
  if (!lock.readable) {
    const std::string owner = UserName(checked->root, lock.owner);
    AddLockDetails(
        &AddProblem(checked->report, ProblemCode::kUucpLock,
                    "The lock file " + path + " of user " + owner + " marks " + checked->device +
                        " as held; this user may not read which program holds it.",
                    "ask " + owner +
                        " to close the program that uses the port (sudo kavnori-doctor " +
                        ShellWord(checked->given) + " names it)"),
        path, owner);
    return;
  }
  if (!lock.judged) {
    const std::string owner = UserName(checked->root, lock.owner);
    const long long minutes =
        std::max(0LL, static_cast<long long>(::time(nullptr) - lock.written) / 60);
    AddLockDetails(
        &AddProblem(
            checked->report, ProblemCode::kUucpLock,
            std::string(lock.isFile ? "The lock file " : "Something other than a lock file, at ") +
                path + (lock.isFile ? ", " : " (") + "of user " + owner + ", " +
                std::to_string(minutes) + " minutes old" + (lock.isFile ? ", names no pid" : ")") +
                ": Kavnori and minicom take " + checked->device + " as held.",
            "if no program uses the port (sudo kavnori-doctor " + ShellWord(checked->given) +
                " names those that have it open): sudo rm -r " + ShellWord(path)),
        path, owner);
    return;
  }
  if (!lock.held) {
    AddProblem(checked->report, ProblemCode::kUucpLockStale,
               "The lock file " + path + " names pid " + std::to_string(lock.pid) +
                   ", which has ended; minicom and others refuse the port while it is there.",
               "sudo rm " + ShellWord(path));
    return;
  }
  // A live pid holds, as minicom and ser2net count it, also when it has no
  // file of the port open (minicom locks first and opens after). But after a
  // crash its pid may have gone to another program: kill is advised only for
  // one shown to have the port open.
  const std::vector<Holder> holder = {{lock.pid, ProcessCommand(checked->root, lock.pid)}};
  const auto opener = std::find_if(holders.programs.begin(), holders.programs.end(),
                                   [&](const Holder& h) { return h.pid == lock.pid && h.open; });
  const int files = ::open((checked->root + "/proc/" + std::to_string(lock.pid) + "/fd").c_str(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (files >= 0) ::close(files);
  const std::string program = ProgramWord(holder.front().command);
  const std::string remove = "sudo rm " + ShellWord(path);
  std::string message = DescribeHolders(holder) + " holds " + checked->device +
                        " by its lock file " + path,
              fix = StopFix(holder, checked->given);
  if (opener == holders.programs.end() && files >= 0) {
    message +=
        ", but has no file of the port open: the lock may be left by a program that "
        "ended; its pid now belongs to " +
        (holder.front().command.empty() ? "another program" : holder.front().command) +
        ". Kavnori and minicom take the port as held while it runs";
    fix = "if " + program + " is no program that uses the port: " + remove;
  } else if (opener == holders.programs.end()) {
    message += "; this user cannot see whether it has the port open";
    fix = "close " + program + " if it uses the port, else: " + remove + " (sudo kavnori-doctor " +
          ShellWord(checked->given) + " tells which)";
  }
  Problem& problem = AddProblem(checked->report, ProblemCode::kUucpLock, message + ".", fix);
  AddHolderDetails(&problem, holder);
  problem.details.push_back(TextDetail("lock", path));
}

// Kavnori takes a lock file of its own only where this user may write; with
// none, minicom or ser2net started during a run cannot see that it has the
// port.
void CheckLockFolder(CheckedPort* checked) {
  std::vector<std::string> folders;
  for (const char* const* folder = kUucpLockPlaces.lockFolders; *folder != nullptr; ++folder) {
    if (::access((checked->root + *folder).c_str(), W_OK | X_OK) == 0) return;
    folders.push_back(*folder);
  }
  AddProblem(checked->report, ProblemCode::kLockFolder,
             "This user may write in no lock folder (" + Joined(folders) +
                 "): Kavnori switches without a lock file of its own, so minicom or ser2net "
                 "started during a run would not see that it has the port.",
             "sudo chmod 1777 /run/lock (Debian's mode), or run Kavnori as a member of the "
             "folder's group");
}

// A program beside the run reads what the board sends and may send on the
// line itself: a board that switches by itself. The virtual board keeps its
// own end open; holders a problem that blocks names are not named twice.
void CheckOtherOpeners(CheckedPort* checked, const TtyDevice& tty, const PortHolders& holders) {
  const auto& problems = checked->report->problems;
  if (std::any_of(problems.begin(), problems.end(),
                  [](const Problem& p) { return p.code == ProblemCode::kExclusive; }))
    return;
  for (const Holder& holder : holders.programs) {
    if (!holder.open || holder.flock || holder.lockFile || IsBoard(holder)) continue;
    const std::string who = DescribeProcess(holder.pid, holder.command);
    const bool modemManager = holder.command == "ModemManager";
    AddHolderDetails(
        &AddProblem(checked->report,
                    modemManager ? ProblemCode::kModemManager : ProblemCode::kOpenByOther,
                    modemManager ? who + " has " + checked->device +
                                       " open: it sends AT commands on the board's line and "
                                       "reads what comes back."
                                 : who + " has " + checked->device +
                                       " open too: it may read or send on the same line, so the "
                                       "board may switch by itself.",
                    modemManager ? ModemManagerFix(tty) : StopFix({holder}, checked->given)),
        {holder});
  }
}
