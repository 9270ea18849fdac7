// Driver modes for the fault tests (tests/faults). The harness starts
// Patch.exe itself, so that it alone decides the program's resource limits
// and can kill it; these modes only work the dialog or hold a file.
//
//   e2e_driver fault_install DESTINATION [--no-wait]
//       waits for a Patch.exe dialog, enters DESTINATION and presses
//       Install; then, unless --no-wait, reports the final box, closes it,
//       presses Close and reports the program's exit code
//   e2e_driver fault_hold FILE
//       holds FILE open for reading and writing without sharing until a line
//       or the end of standard input comes
//
// Reports are lines starting with "@" on standard output. "@waiting" comes
// once the driver has a desktop, before it looks for the dialog: a program
// started after it finds the desktop made (and not under its limits).
// Exit code 0 when every step could be taken; the harness judges the rest.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "dialog_probe.h"

namespace {

void Report(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::printf("@");
  std::vprintf(format, args);
  va_end(args);
  std::printf("\n");
  std::fflush(stdout);
}

BOOL CALLBACK CollectAll(HWND window, LPARAM param) {
  reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
  return TRUE;
}

std::vector<HWND> AllTopLevelWindows() {
  std::vector<HWND> windows;
  EnumWindows(CollectAll, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

bool IsMainDialog(HWND w) { return IsDialogClass(w) && GetDlgItem(w, IDC_INSTALL_PATH); }

bool IsMessageBox(HWND w) {
  return IsDialogClass(w) && IsWindowVisible(w) && GetDlgItem(w, 0xFFFF) && !IsMainDialog(w);
}

DWORD ProcessOf(HWND window) {
  DWORD id = 0;
  GetWindowThreadProcessId(window, &id);
  return id;
}

HWND FindBox(DWORD processId) {
  for (HWND w : TopLevelWindows(processId)) {
    if (IsMessageBox(w)) return w;
  }
  return nullptr;
}

// The visible main dialog of the one Patch.exe running; the box that may
// come before it (the game not found, owned by the dialog still hidden) is
// closed with OK.
HWND FindDialog() {
  HWND dialog = nullptr;
  HWND dismissed = nullptr;
  WaitUntil(
      [&] {
        for (HWND w : AllTopLevelWindows()) {
          if (IsMainDialog(w) && IsWindowVisible(w)) dialog = w;
          HWND owner = GetWindow(w, GW_OWNER);
          if (w != dismissed && IsMessageBox(w) && owner && IsMainDialog(owner) &&
              !IsWindowVisible(owner)) {
            Report("warning %s", StoredTextOf(GetDlgItem(w, 0xFFFF)).c_str());
            PostMessageA(w, WM_COMMAND, IDOK, 0);
            dismissed = w;
          }
        }
        return dialog != nullptr;
      },
      kStartTimeoutMs);
  return dialog;
}

int Install(const std::string& destination, bool wait) {
  // Asking for the windows makes the desktop; say so before the program starts.
  GetDesktopWindow();
  AllTopLevelWindows();
  Report("waiting");
  HWND dialog = FindDialog();
  if (!dialog) {
    Report("error no Patch.exe dialog");
    return 1;
  }
  DWORD processId = ProcessOf(dialog);
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  HWND field = GetDlgItem(dialog, IDC_INSTALL_PATH);
  DWORD_PTR ignored = 0;
  SendMessageTimeoutA(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(destination.c_str()),
                      SMTO_NORMAL, kQuickMs, &ignored);
  if (TextOf(field) != destination) {
    Report("error the path field reads \"%s\"", TextOf(field).c_str());
    if (process) CloseHandle(process);
    return 1;
  }
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_INSTALL, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDC_INSTALL)));
  Report("clicked");
  if (!wait) {
    if (process) CloseHandle(process);
    return 0;
  }
  auto running = [&] { return process && WaitForSingleObject(process, 0) == WAIT_TIMEOUT; };
  HWND box = nullptr;
  WaitUntil([&] { return (box = FindBox(processId)) != nullptr || !running(); }, kInstallTimeoutMs);
  int code = 1;
  if (!box) {
    Report("error %s", running() ? "no box after the installation" : "the program ended");
  } else {
    Report("box-caption %s", StoredTextOf(box).c_str());
    Report("box-text %s", StoredTextOf(GetDlgItem(box, 0xFFFF)).c_str());
    Report("box-owned %d", GetWindow(box, GW_OWNER) == dialog ? 1 : 0);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    HWND cancel = GetDlgItem(dialog, IDCANCEL);
    if (!WaitUntil([&] { return !IsWindow(box) && StoredTextOf(cancel) == "Close"; }, kQuickMs)) {
      Report("error the box did not give way to a Close button");
    } else {
      PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                   reinterpret_cast<LPARAM>(cancel));
      DWORD exitCode = STILL_ACTIVE;
      if (WaitForSingleObject(process, kQuickMs) == WAIT_OBJECT_0 &&
          GetExitCodeProcess(process, &exitCode)) {
        Report("exit %lu", static_cast<unsigned long>(exitCode));
        code = 0;
      } else {
        Report("error the program did not end after Close");
      }
    }
  }
  if (process) CloseHandle(process);
  return code;
}

int Hold(const std::string& path) {
  HANDLE held = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    Report("error cannot open %s (error %lu)", path.c_str(),
           static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  Report("held");
  char line[64];
  std::fgets(line, sizeof line, stdin);
  CloseHandle(held);
  Report("released");
  return 0;
}

}  // namespace

int RunFaultMode(const std::vector<std::string>& args) {
  if (args.empty()) return -1;
  if (args[0] == "fault_install" && (args.size() == 2 || args.size() == 3)) {
    bool wait = args.size() == 2;
    if (!wait && args[2] != "--no-wait") return -1;
    return Install(args[1], wait);
  }
  if (args[0] == "fault_hold" && args.size() == 2) return Hold(args[1]);
  return -1;
}
