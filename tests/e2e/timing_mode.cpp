// Times installations side by side for bench/peer: Patch.exe (or a variant
// of it) worked through its dialog, and installers run silently, taking
// turns in one process so that all meet the same warm prefix.
//
//   e2e_driver timing [--sync] FOLDER ROUNDS RUN...
//
// RUN is dialog:NAME=EXE (driven like Patch.exe: the registry names the
// folder, Install is pressed) or silent:NAME=EXE (run as EXE /S /D=DEST).
// Round 0 warms up, and the script leaves it out; in rounds 1..ROUNDS the
// runs take turns going first. Each run installs into FOLDER\NAME-ROUND,
// which must not exist yet. One line per run on standard output:
//
//   NAME ROUND STARTUP_MS INSTALL_MS DEST   (dialog) STARTUP_MS: from
//       CreateProcess until the dialog is shown and answers messages;
//       INSTALL_MS: from the Install press until the final box shows
//   NAME ROUND RUN_MS DEST                  (silent) from CreateProcess to
//       the exit
//
// With --sync, before each run the driver prints "@sync" and waits for a line
// on standard input: meanwhile the caller writes the cached files to disk
// (sync), so that no run pays for writing back the one before. Exit code 0
// when every run succeeded.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive_check.h"
#include "dialog_probe.h"

namespace {

// Each poll costs the prefix's server a request or a few, taken from the
// program being timed: fine polls for its start-up, which is short, and
// coarser ones for the install, which takes seconds.
const DWORD kStartPollMs = 2;
const DWORD kInstallPollMs = 10;

double Now() {
  static LARGE_INTEGER frequency = {};
  if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool Fail(const std::string& what) {
  Log("FAIL: %s", what.c_str());
  return false;
}

bool Start(Program& program, const std::string& exe, const std::string& arguments) {
  std::string error;
  return program.Start(exe, arguments, nullptr, &error) || Fail(error);
}

// Starts Patch.exe with the registry naming `dest`, installs, and closes it.
bool TimePatch(const std::string& exe, const std::string& dest, double* startMs,
               double* installMs) {
  if (!SetInstallPath(kFirstKey, dest)) return Fail(std::string("cannot set ") + kFirstKey);
  Program patch;
  double start = Now();
  if (!Start(patch, exe, "")) return false;
  HWND dialog = nullptr;
  HWND early = nullptr;
  // Ready: shown, and its modal loop answers (a sent message waits for it).
  bool ready = WaitUntil(
      [&] {
        if ((early = patch.MessageBoxWindow()) != nullptr || !patch.Running()) return true;
        dialog = patch.VisibleDialog();
        DWORD_PTR ignored;
        return dialog &&
               SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_NORMAL, kQuickMs, &ignored);
      },
      kStartTimeoutMs, kStartPollMs);
  *startMs = Now() - start;
  if (!ready || early || !dialog) {
    return Fail(early ? "a message box came before the dialog: " + TextOf(GetDlgItem(early, 0xFFFF))
                      : "the dialog did not come up");
  }
  if (TextOf(GetDlgItem(dialog, IDC_INSTALL_PATH)) != dest)
    return Fail("the path field is not " + dest);

  HWND box = nullptr;
  start = Now();
  Click(dialog, IDC_INSTALL);
  // The box disables its owner first: one cheap request per poll until then.
  bool boxed = WaitUntil(
      [&] {
        if (!patch.Running()) return true;
        if (IsWindowEnabled(dialog)) return false;
        return (box = patch.MessageBoxWindow()) != nullptr;
      },
      kInstallTimeoutMs, kInstallPollMs);
  *installMs = Now() - start;
  if (!boxed || !box) return Fail("no message box after Install");
  std::string text = TextOf(GetDlgItem(box, 0xFFFF));
  if (text != kSuccessBox) return Fail("the installation reported \"" + text + "\"");
  DWORD code = 1;
  std::string error = CloseAfterBox(patch, dialog, box, &code);
  if (!error.empty()) return Fail(error);
  return code == 0 || Fail("Patch.exe ended with exit code " + std::to_string(code));
}

bool TimePeer(const std::string& exe, const std::string& dest, double* runMs) {
  Program peer;
  double start = Now();
  // The peer reads its folder from the rest of the command line after /D=.
  if (!Start(peer, exe, " /S /D=" + dest)) return false;
  DWORD code = 1;
  bool ended = peer.WaitExit(kInstallTimeoutMs, &code);
  *runMs = Now() - start;
  if (!ended) return Fail(exe + " did not end");
  if (code != 0) return Fail(exe + " ended with exit code " + std::to_string(code));
  return Exists(dest) || Fail(exe + " did not create " + dest);
}

struct Run {
  bool dialog;
  std::string name, exe;
};

bool Parse(const std::string& arg, Run* run) {
  std::size_t colon = arg.find(':');
  std::size_t equals = arg.find('=');
  if (colon == std::string::npos || equals == std::string::npos || equals < colon + 2) {
    return false;
  }
  std::string kind = arg.substr(0, colon);
  if (kind != "dialog" && kind != "silent") return false;
  run->dialog = kind == "dialog";
  run->name = arg.substr(colon + 1, equals - colon - 1);
  run->exe = arg.substr(equals + 1);
  return !run->exe.empty();
}

bool RunOnce(const Run& run, const std::string& folder, int round, bool sync) {
  if (sync) {
    Log("@sync");
    char reply[64];
    if (!std::fgets(reply, sizeof reply, stdin)) return Fail("no answer to @sync");
  }
  std::string dest = folder + "\\" + run.name + "-" + std::to_string(round);
  if (Exists(dest)) return Fail(dest + " exists already");
  if (run.dialog) {
    double startMs = 0, installMs = 0;
    if (!TimePatch(run.exe, dest, &startMs, &installMs)) return false;
    Log("%s %d %.1f %.1f %s", run.name.c_str(), round, startMs, installMs, dest.c_str());
  } else {
    double runMs = 0;
    if (!TimePeer(run.exe, dest, &runMs)) return false;
    Log("%s %d %.1f %s", run.name.c_str(), round, runMs, dest.c_str());
  }
  return true;
}

}  // namespace

int TimingMode(std::vector<std::string> args) {
  bool sync = args.size() > 1 && args[1] == "--sync";
  if (sync) args.erase(args.begin() + 1);
  std::vector<Run> runs(args.size() > 3 ? args.size() - 3 : 0);
  bool usable = args.size() > 3 && std::atoi(args[2].c_str()) >= 1;
  for (std::size_t i = 0; usable && i < runs.size(); ++i) usable = Parse(args[i + 3], &runs[i]);
  if (!usable) {
    std::fprintf(stderr,
                 "usage: e2e_driver timing [--sync] FOLDER ROUNDS {dialog|silent}:NAME=EXE...\n");
    return 2;
  }
  int rounds = std::atoi(args[2].c_str());
  for (int round = 0; round <= rounds; ++round) {
    // Each round starts with the next run, so that none always follows another.
    for (std::size_t i = 0; i < runs.size(); ++i) {
      if (!RunOnce(runs[(round + i) % runs.size()], args[1], round, sync)) return 1;
    }
  }
  return 0;
}
