// What Wine does not show of kavnori-switch.exe, through its process calls:
// a job that refuses breakaway, and a console that closes.
#include <windows.h>

#include <gtest/gtest.h>

#include <utility>

#include "switch/process_calls_win32.h"
#include "switch/release.h"
#include "switch/run_guard.h"

namespace {

int starts = 0;
DWORD askedFlags[2] = {};
UINT exitStatus = 0;

// As in a job without JOB_OBJECT_LIMIT_BREAKAWAY_OK: breakaway is refused,
// a start within the job goes (this process's handles stand for the new one's).
BOOL WINAPI StartInAJobThatKeepsItsProcesses(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES,
                                             LPSECURITY_ATTRIBUTES, BOOL, DWORD flags, LPVOID,
                                             LPCWSTR, LPSTARTUPINFOW,
                                             LPPROCESS_INFORMATION process) {
  if (starts < 2) askedFlags[starts] = flags;
  ++starts;
  if ((flags & CREATE_BREAKAWAY_FROM_JOB) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const HANDLE self = GetCurrentProcess();
  DuplicateHandle(self, self, self, &process->hProcess, 0, FALSE, DUPLICATE_SAME_ACCESS);
  DuplicateHandle(self, GetCurrentThread(), self, &process->hThread, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  return TRUE;
}

void WINAPI NoteExit(UINT status) { exitStatus = status; }

}  // namespace

TEST(SwitchProcessCalls, ReleaseLeavesTheCallersJobOrStaysWhereTheJobRefuses) {
  switchProcessCalls.createProcess = StartInAJobThatKeepsItsProcesses;
  ReleasePlan plan = {};
  plan.port = "COM12";
  plan.finalCommand.address = 1;
  plan.finalCommand.relayNumber = 3;
  plan.holdMs = 500;
  plan.timeLimitMs = 5000;
  Release release;
  const bool started = StartRelease(plan, &release);
  LeaveRelease(&release);
  switchProcessCalls = kRealSwitchProcessCalls;
  EXPECT_TRUE(started);
  ASSERT_EQ(starts, 2);
  // Never the caller's console, Ctrl+C or process group.
  const DWORD apart = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP;
  EXPECT_EQ(askedFlags[0] & (apart | CREATE_BREAKAWAY_FROM_JOB), apart | CREATE_BREAKAWAY_FROM_JOB);
  EXPECT_EQ(askedFlags[1] & (apart | CREATE_BREAKAWAY_FROM_JOB), apart);
}

// The console's window closed, a logoff or a shutdown ends a run as a
// hang-up does on Linux; Ctrl+C and Ctrl+Break as INT and TERM.
TEST(SwitchProcessCalls, ConsoleEventsEndTheRunAsTheirSignalsDo) {
  switchProcessCalls.exitProcess = NoteExit;
  InstallRunGuard("COM12");
  SetGuardStage(GuardStage::kHolding, -1);
  const std::pair<DWORD, UINT> rows[] = {{CTRL_CLOSE_EVENT, 129u},
                                         {CTRL_LOGOFF_EVENT, 129u},
                                         {CTRL_SHUTDOWN_EVENT, 129u},
                                         {CTRL_C_EVENT, 130u},
                                         {CTRL_BREAK_EVENT, 143u}};
  for (const auto& row : rows) {
    exitStatus = 0;
    EXPECT_TRUE(OnConsoleEvent(row.first));
    EXPECT_EQ(exitStatus, row.second) << "event " << row.first;
  }
  SetGuardStage(GuardStage::kBeforeFrame, -1);
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  switchProcessCalls = kRealSwitchProcessCalls;
}
