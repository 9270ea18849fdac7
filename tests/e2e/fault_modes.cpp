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

#include <cstdio>
#include <string>
#include <vector>

#include "dialog_probe.h"

namespace {

BOOL CALLBACK CollectAll(HWND window, LPARAM param) {
  reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
  return TRUE;
}

std::vector<HWND> AllTopLevelWindows() {
  std::vector<HWND> windows;
  EnumWindows(CollectAll, reinterpret_cast<LPARAM>(&windows));
  return windows;
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
            Log("@warning %s", StoredTextOf(GetDlgItem(w, 0xFFFF)).c_str());
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
  Log("@waiting");
  HWND dialog = FindDialog();
  if (!dialog) {
    Log("@error no Patch.exe dialog");
    return 1;
  }
  DWORD processId = 0;
  GetWindowThreadProcessId(dialog, &processId);
  Program patch;
  patch.Attach(processId);
  HWND field = GetDlgItem(dialog, IDC_INSTALL_PATH);
  DWORD_PTR ignored = 0;
  SendMessageTimeoutA(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(destination.c_str()),
                      SMTO_NORMAL, kQuickMs, &ignored);
  if (TextOf(field) != destination) {
    Log("@error the path field reads \"%s\"", TextOf(field).c_str());
    return 1;
  }
  Click(dialog, IDC_INSTALL);
  Log("@clicked");
  if (!wait) return 0;
  HWND box = nullptr;
  WaitUntil([&] { return (box = patch.MessageBoxWindow()) != nullptr || !patch.Running(); },
            kInstallTimeoutMs);
  if (!box) {
    Log("@error %s", patch.Running() ? "no box after the installation" : "the program ended");
    return 1;
  }
  Log("@box-caption %s", StoredTextOf(box).c_str());
  Log("@box-text %s", StoredTextOf(GetDlgItem(box, 0xFFFF)).c_str());
  Log("@box-owned %d", GetWindow(box, GW_OWNER) == dialog ? 1 : 0);
  DWORD exitCode = STILL_ACTIVE;
  std::string error = CloseAfterBox(patch, dialog, box, &exitCode);
  if (!error.empty()) {
    Log("@error %s", error.c_str());
    return 1;
  }
  Log("@exit %lu", static_cast<unsigned long>(exitCode));
  return 0;
}

int Hold(const std::string& path) {
  HANDLE held = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    Log("@error cannot open %s (error %lu)", path.c_str(),
        static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  Log("@held");
  char line[64];
  std::fgets(line, sizeof line, stdin);
  CloseHandle(held);
  Log("@released");
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
