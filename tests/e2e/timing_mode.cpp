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
  std::printf("FAIL: %s\n", what.c_str());
  std::fflush(stdout);
  return false;
}

template <class Condition>
bool Poll(Condition done, DWORD timeoutMs, DWORD pollMs = kStartPollMs) {
  DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(pollMs);
  }
  return true;
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class Process {
 public:
  ~Process() {
    if (!info_.hProcess) return;
    if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
      TerminateProcess(info_.hProcess, 1);
      WaitForSingleObject(info_.hProcess, kQuickMs);
    }
    CloseHandle(info_.hProcess);
    CloseHandle(info_.hThread);
  }

  bool Start(const std::string& exe, const std::string& arguments) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    std::string commandLine = "\"" + exe + "\"" + arguments;
    if (!CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info_)) {
      info_.hProcess = nullptr;
      return Fail("cannot start " + exe + " (error " + std::to_string(GetLastError()) + ")");
    }
    return true;
  }

  bool Running() const { return WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT; }

  bool WaitExitZero(DWORD timeoutMs, const std::string& what) {
    if (WaitForSingleObject(info_.hProcess, timeoutMs) != WAIT_OBJECT_0) {
      return Fail(what + " did not end");
    }
    DWORD code = 1;
    GetExitCodeProcess(info_.hProcess, &code);
    if (code != 0) return Fail(what + " ended with exit code " + std::to_string(code));
    return true;
  }

  // A visible dialog of this process: the main one (with the path field)
  // or a message box.
  HWND FindDialog(bool messageBox) const {
    for (HWND w : TopLevelWindows(info_.dwProcessId)) {
      if (!IsDialogClass(w) || !IsWindowVisible(w)) continue;
      bool isMain = GetDlgItem(w, IDC_INSTALL_PATH) != nullptr;
      if (messageBox ? !isMain && GetDlgItem(w, 0xFFFF) : isMain) return w;
    }
    return nullptr;
  }

 private:
  PROCESS_INFORMATION info_ = {};
};

bool SetInstallPath(const std::string& folder) {
  HKEY key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kFirstKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return Fail(std::string("cannot create HKCU\\") + kFirstKey);
  }
  LONG status = RegSetValueExA(key, "InstallPath", 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(folder.c_str()), folder.size() + 1);
  RegCloseKey(key);
  return status == ERROR_SUCCESS || Fail("cannot set InstallPath");
}

// Starts Patch.exe with the registry naming `dest`, installs, and closes it.
bool TimePatch(const std::string& exe, const std::string& dest, double* startMs,
               double* installMs) {
  if (!SetInstallPath(dest)) return false;
  Process patch;
  double start = Now();
  if (!patch.Start(exe, "")) return false;
  HWND dialog = nullptr;
  HWND early = nullptr;
  // Ready: shown, and its modal loop answers (a sent message waits for it).
  bool ready = Poll(
      [&] {
        if ((early = patch.FindDialog(true)) != nullptr || !patch.Running()) return true;
        dialog = patch.FindDialog(false);
        DWORD_PTR ignored;
        return dialog &&
               SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_NORMAL, kQuickMs, &ignored);
      },
      kStartTimeoutMs);
  *startMs = Now() - start;
  if (!ready || early || !dialog) {
    return Fail(early ? "a message box came before the dialog: " + TextOf(GetDlgItem(early, 0xFFFF))
                      : "the dialog did not come up");
  }
  if (TextOf(GetDlgItem(dialog, IDC_INSTALL_PATH)) != dest)
    return Fail("the path field is not " + dest);

  HWND box = nullptr;
  start = Now();
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_INSTALL, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDC_INSTALL)));
  // The box disables its owner first: one cheap request per poll until then.
  bool boxed = Poll(
      [&] {
        if (!patch.Running()) return true;
        if (IsWindowEnabled(dialog)) return false;
        return (box = patch.FindDialog(true)) != nullptr;
      },
      kInstallTimeoutMs, kInstallPollMs);
  *installMs = Now() - start;
  if (!boxed || !box) return Fail("no message box after Install");
  std::string text = TextOf(GetDlgItem(box, 0xFFFF));
  if (text != kSuccessBox) return Fail("the installation reported \"" + text + "\"");

  PostMessageA(box, WM_COMMAND, IDOK, 0);
  HWND cancel = GetDlgItem(dialog, IDCANCEL);
  if (!Poll([&] { return !IsWindow(box) && StoredTextOf(cancel) == "Close"; }, kQuickMs)) {
    return Fail("the box did not close");
  }
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
               reinterpret_cast<LPARAM>(cancel));
  return patch.WaitExitZero(kQuickMs, "Patch.exe");
}

bool TimePeer(const std::string& exe, const std::string& dest, double* runMs) {
  Process peer;
  double start = Now();
  // The peer reads its folder from the rest of the command line after /D=.
  if (!peer.Start(exe, " /S /D=" + dest)) return false;
  bool ok = peer.WaitExitZero(kInstallTimeoutMs, exe);
  *runMs = Now() - start;
  return ok && (Exists(dest) || Fail(exe + " did not create " + dest));
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
    std::printf("@sync\n");
    std::fflush(stdout);
    char reply[64];
    if (!std::fgets(reply, sizeof reply, stdin)) return Fail("no answer to @sync");
  }
  std::string dest = folder + "\\" + run.name + "-" + std::to_string(round);
  if (Exists(dest)) return Fail(dest + " exists already");
  if (run.dialog) {
    double startMs = 0, installMs = 0;
    if (!TimePatch(run.exe, dest, &startMs, &installMs)) return false;
    std::printf("%s %d %.1f %.1f %s\n", run.name.c_str(), round, startMs, installMs, dest.c_str());
  } else {
    double runMs = 0;
    if (!TimePeer(run.exe, dest, &runMs)) return false;
    std::printf("%s %d %.1f %s\n", run.name.c_str(), round, runMs, dest.c_str());
  }
  std::fflush(stdout);
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
