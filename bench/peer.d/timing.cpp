// Times installations side by side for bench/peer: Patch.exe (or a variant
// of it) worked through its dialog, and installers run silently, taking
// turns in one process so that all meet the same warm prefix.
//
//   timing.exe [--sync] FOLDER ROUNDS RUN...
//
// RUN is dialog:NAME=EXE (driven like Patch.exe: the registry names the
// folder, Install is pressed), silent:NAME=EXE (run as EXE /S /D=DEST) or
// check:NAME=EXE (Patch.exe's check of its archive alone, in this process).
// Round 0 warms up, and the script leaves it out; in rounds 1..ROUNDS the
// runs take turns going first. Each run installs into FOLDER\NAME-ROUND,
// which must not exist yet. One line per run on standard output:
//
//   NAME ROUND STARTUP_MS INSTALL_MS DEST   (dialog) STARTUP_MS: from
//       CreateProcess until the dialog is shown and answers messages;
//       INSTALL_MS: from the Install press until the final box shows
//   NAME ROUND RUN_MS DEST                  (silent) from CreateProcess to
//       the exit
//   NAME ROUND CHECK_MS -                   (check) the archive's CRC-32
//       computed and compared with the check resource, as Patch.exe does
//       before it writes anything
//
// With --sync, before each run it prints "@sync" and waits for a line on
// standard input: meanwhile the caller writes the cached files to disk
// (sync), so that no run pays for writing back the one before. Exit code 0
// when every run succeeded.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "payload_check.h"

namespace {

// The installer's own names: its dialog's controls, the game's key, the box
// of a finished installation.
const int kPathField = 1001;
const int kInstallButton = 1003;
const int kBoxText = 0xFFFF;
const char kGameKey[] = "Software\\Kestrova\\Orvantis 3";
const char kSuccessBox[] = "Patch is installed successfully.";

// Wine's first GUI start in a prefix is slow; a busy machine may take many
// times the 5 s the full sample needs.
const DWORD kStartTimeoutMs = 60000;
const DWORD kInstallTimeoutMs = 300000;
const DWORD kQuickMs = 10000;
// Each poll costs the prefix's server a request or a few, taken from the
// program being timed: fine polls for its start-up, which is short, and
// coarser ones for the install, which takes seconds.
const DWORD kStartPollMs = 2;
const DWORD kInstallPollMs = 10;

// One whole line, flushed: the caller reads each as it comes.
void Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::printf("\n");
  std::fflush(stdout);
}

bool Fail(const std::string& what) {
  Log("FAIL: %s", what.c_str());
  return false;
}

double Now() {
  static LARGE_INTEGER frequency = {};
  if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

template <class Condition>
bool WaitUntil(Condition done, DWORD timeoutMs, DWORD pollMs = 20) {
  DWORD start = GetTickCount();
  for (;;) {
    if (done()) return true;
    if (GetTickCount() - start >= timeoutMs) return done();
    Sleep(pollMs);
  }
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Not SMTO_ABORTIFHUNG: a program that has just spent seconds installing
// counts as hung until it catches up.
std::string TextOf(HWND window) {
  char buffer[1024] = "";
  DWORD_PTR copied = 0;
  if (!window ||
      !SendMessageTimeoutA(window, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer),
                           SMTO_NORMAL, kQuickMs, &copied)) {
    return "<no answer>";
  }
  return std::string(buffer, copied < sizeof buffer ? copied : sizeof buffer - 1);
}

// Readable while the owner is busy: the system keeps a button's text.
std::string StoredTextOf(HWND window) {
  char buffer[1024] = "";
  GetWindowTextA(window, buffer, sizeof buffer);
  return buffer;
}

void Click(HWND dialog, int id) {
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

// As the game's installation leaves it.
bool SetInstallPath(const std::string& folder) {
  HKEY key;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kGameKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  LONG status = RegSetValueExA(key, "InstallPath", 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(folder.c_str()), folder.size() + 1);
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

// A started program, ended if it still runs when this goes away, so that a
// failed run leaves nothing behind in the prefix.
class Program {
 public:
  Program() = default;
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  ~Program() {
    if (!info_.hProcess) return;
    if (Running()) {
      Log("ending the program that is still running");
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
    if (CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &info_)) {
      return true;
    }
    return Fail("cannot start " + exe + " (error " + std::to_string(GetLastError()) + ")");
  }
  bool Running() const { return WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT; }
  bool WaitExit(DWORD timeoutMs, DWORD* code) const {
    *code = STILL_ACTIVE;
    return WaitForSingleObject(info_.hProcess, timeoutMs) == WAIT_OBJECT_0 &&
           GetExitCodeProcess(info_.hProcess, code);
  }

  // The installer's dialog has the path field; a message box has a static
  // text and none.
  HWND VisibleDialog() const {
    return Find([](HWND w) { return GetDlgItem(w, kPathField) != nullptr; });
  }
  HWND MessageBoxWindow() const {
    return Find([](HWND w) { return GetDlgItem(w, kBoxText) && !GetDlgItem(w, kPathField); });
  }

 private:
  struct Search {
    DWORD processId;
    bool (*match)(HWND);
    HWND found;
  };

  static BOOL CALLBACK Visit(HWND window, LPARAM param) {
    Search* search = reinterpret_cast<Search*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char name[16] = "";
    GetClassNameA(window, name, sizeof name);
    if (owner != search->processId || lstrcmpA(name, "#32770") != 0 || !IsWindowVisible(window) ||
        !search->match(window)) {
      return TRUE;
    }
    search->found = window;
    return FALSE;
  }

  HWND Find(bool (*match)(HWND)) const {
    Search search = {info_.dwProcessId, match, nullptr};
    EnumWindows(Visit, reinterpret_cast<LPARAM>(&search));
    return search.found;
  }

  PROCESS_INFORMATION info_ = {};
};

// Starts Patch.exe with the registry naming `dest`, installs, and closes it.
bool TimePatch(const std::string& exe, const std::string& dest, double* startMs,
               double* installMs) {
  if (!SetInstallPath(dest)) return Fail(std::string("cannot set ") + kGameKey);
  Program patch;
  double start = Now();
  if (!patch.Start(exe, "")) return false;
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
    return Fail(early
                    ? "a message box came before the dialog: " + TextOf(GetDlgItem(early, kBoxText))
                    : "the dialog did not come up");
  }
  if (TextOf(GetDlgItem(dialog, kPathField)) != dest) return Fail("the path field is not " + dest);

  HWND box = nullptr;
  start = Now();
  Click(dialog, kInstallButton);
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
  std::string text = TextOf(GetDlgItem(box, kBoxText));
  if (text != kSuccessBox) return Fail("the installation reported \"" + text + "\"");

  // OK on the box, then Close once the Cancel button has become it.
  PostMessageA(box, WM_COMMAND, IDOK, 0);
  HWND cancel = GetDlgItem(dialog, IDCANCEL);
  if (!WaitUntil([&] { return !IsWindow(box) && StoredTextOf(cancel) == "Close"; }, kQuickMs)) {
    return Fail("the box did not give way to a Close button");
  }
  Click(dialog, IDCANCEL);
  DWORD code = 1;
  if (!patch.WaitExit(kQuickMs, &code)) return Fail("the program did not end after Close");
  return code == 0 || Fail("Patch.exe ended with exit code " + std::to_string(code));
}

bool TimePeer(const std::string& exe, const std::string& dest, double* runMs) {
  Program peer;
  double start = Now();
  // The peer reads its folder from the rest of the command line after /D=.
  if (!peer.Start(exe, " /S /D=" + dest)) return false;
  DWORD code = 1;
  bool ended = peer.WaitExit(kInstallTimeoutMs, &code);
  *runMs = Now() - start;
  if (!ended) return Fail(exe + " did not end");
  if (code != 0) return Fail(exe + " ended with exit code " + std::to_string(code));
  return Exists(dest) || Fail(exe + " did not create " + dest);
}

// The program mapped as the loader maps it; then what the installer does
// with its two resources.
bool TimeCheck(const std::string& exe, double* checkMs) {
  HMODULE program = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!program) return Fail("cannot map " + exe);
  auto bytes = [&](const char* type, DWORD* size) -> const void* {
    HRSRC found = FindResourceA(program, MAKEINTRESOURCEA(105), type);
    HGLOBAL loaded = found ? LoadResource(program, found) : nullptr;
    *size = found ? SizeofResource(program, found) : 0;
    return loaded ? LockResource(loaded) : nullptr;
  };
  DWORD size = 0, checkSize = 0;
  double start = Now();
  const void* archive = bytes("BINARY", &size);
  const void* check = bytes("CRC32", &checkSize);
  bool holds = archive && check && PayloadCheckHolds(check, checkSize, Crc32(0, archive, size));
  *checkMs = Now() - start;
  FreeLibrary(program);
  return holds || Fail(exe + ": the check of its archive does not hold");
}

struct Run {
  std::string kind, name, exe;
};

bool Parse(const std::string& arg, Run* run) {
  std::size_t colon = arg.find(':');
  std::size_t equals = arg.find('=');
  if (colon == std::string::npos || equals == std::string::npos || equals < colon + 2) {
    return false;
  }
  run->kind = arg.substr(0, colon);
  if (run->kind != "dialog" && run->kind != "silent" && run->kind != "check") return false;
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
  if (run.kind == "check") {
    double checkMs = 0;
    if (!TimeCheck(run.exe, &checkMs)) return false;
    Log("%s %d %.1f -", run.name.c_str(), round, checkMs);
  } else if (run.kind == "dialog") {
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

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  bool sync = !args.empty() && args[0] == "--sync";
  if (sync) args.erase(args.begin());
  std::vector<Run> runs(args.size() > 2 ? args.size() - 2 : 0);
  bool usable = args.size() > 2 && std::atoi(args[1].c_str()) >= 1;
  for (std::size_t i = 0; usable && i < runs.size(); ++i) usable = Parse(args[i + 2], &runs[i]);
  if (!usable) {
    std::fprintf(stderr,
                 "usage: timing [--sync] FOLDER ROUNDS {dialog|silent|check}:NAME=EXE...\n");
    return 2;
  }
  int rounds = std::atoi(args[1].c_str());
  for (int round = 0; round <= rounds; ++round) {
    // Each round starts with the next run, so that none always follows another.
    for (std::size_t i = 0; i < runs.size(); ++i) {
      if (!RunOnce(runs[(round + i) % runs.size()], args[0], round, sync)) return 1;
    }
  }
  return 0;
}
