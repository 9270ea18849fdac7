#include "dialog_probe.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Long enough for a loaded machine, short enough that a hung target fails
// the check instead of the whole run. (Not SMTO_ABORTIFHUNG: a program that
// has just spent seconds installing counts as hung until it catches up.)
const UINT kSendTimeoutMs = 10000;

struct EnumState {
  DWORD processId;
  std::vector<HWND>* windows;
};

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM param) {
  EnumState* state = reinterpret_cast<EnumState*>(param);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == state->processId) state->windows->push_back(window);
  return TRUE;
}

struct FindState {
  const char* className;
  HWND found;
};

BOOL CALLBACK FindByClass(HWND window, LPARAM param) {
  FindState* state = reinterpret_cast<FindState*>(param);
  if (ClassOf(window) == state->className) {
    state->found = window;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK FindIcon(HWND window, LPARAM param) {
  char name[64] = "";
  GetClassNameA(window, name, sizeof name);
  LONG style = GetWindowLongA(window, GWL_STYLE);
  DWORD_PTR icon = 0;
  // Wine keeps an empty icon control in boxes without an icon.
  if (lstrcmpiA(name, "Static") == 0 && (style & SS_TYPEMASK) == SS_ICON &&
      IsWindowVisible(window) &&
      SendMessageTimeoutA(window, STM_GETICON, 0, 0, SMTO_NORMAL, kSendTimeoutMs, &icon) && icon) {
    *reinterpret_cast<bool*>(param) = true;
    return FALSE;
  }
  return TRUE;
}

LPARAM KeyData(UINT virtualKey, bool up) {
  LPARAM data = 1 | (static_cast<LPARAM>(MapVirtualKeyA(virtualKey, MAPVK_VK_TO_VSC)) << 16);
  if (up) data |= static_cast<LPARAM>(3u << 30);
  return data;
}

}  // namespace

void Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::printf("\n");
  std::fflush(stdout);
}

std::vector<HWND> TopLevelWindows(DWORD processId) {
  std::vector<HWND> windows;
  EnumState state = {processId, &windows};
  EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&state));
  return windows;
}

std::string ClassOf(HWND window) {
  char name[256] = "";
  GetClassNameA(window, name, sizeof name);
  return name;
}

bool IsDialogClass(HWND window) { return ClassOf(window) == "#32770"; }

bool IsMainDialog(HWND window) {
  return IsDialogClass(window) && GetDlgItem(window, IDC_INSTALL_PATH);
}

bool IsMessageBox(HWND window) {
  return IsDialogClass(window) && IsWindowVisible(window) && GetDlgItem(window, 0xFFFF) &&
         !GetDlgItem(window, IDC_INSTALL_PATH);
}

Program::~Program() {
  if (!process_) return;
  if (started_ && Running()) {
    Log("ending the program that is still running");
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, kQuickMs);
  }
  CloseHandle(process_);
  if (thread_) CloseHandle(thread_);
}

bool Program::Start(const std::string& exe, const std::string& arguments, const char* folder,
                    std::string* error) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  std::string commandLine = "\"" + exe + "\"" + arguments;
  if (!CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder,
                      &startup, &info)) {
    *error = "cannot start " + exe + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  process_ = info.hProcess;
  thread_ = info.hThread;
  processId_ = info.dwProcessId;
  threadId_ = info.dwThreadId;
  started_ = true;
  return true;
}

void Program::Attach(DWORD processId) {
  processId_ = processId;
  process_ = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
}

bool Program::Running() const {
  return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

bool Program::WaitExit(DWORD timeoutMs, DWORD* code) const {
  *code = STILL_ACTIVE;
  return process_ && WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0 &&
         GetExitCodeProcess(process_, code);
}

HWND Program::Dialog() const {
  for (HWND w : TopLevelWindows(processId_)) {
    if (IsMainDialog(w)) return w;
  }
  return nullptr;
}

HWND Program::VisibleDialog() const {
  HWND dialog = Dialog();
  return dialog && IsWindowVisible(dialog) ? dialog : nullptr;
}

HWND Program::MessageBoxWindow() const {
  for (HWND w : TopLevelWindows(processId_)) {
    if (IsMessageBox(w)) return w;
  }
  return nullptr;
}

HWND Program::Browser() const {
  for (HWND w : TopLevelWindows(processId_)) {
    if (IsWindowVisible(w) && FindDescendant(w, "SysTreeView32")) return w;
  }
  return nullptr;
}

bool SetInstallPath(const char* key, const std::string& folder) {
  HKEY handle;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  LONG status = RegSetValueExA(handle, "InstallPath", 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(folder.c_str()), folder.size() + 1);
  RegCloseKey(handle);
  return status == ERROR_SUCCESS;
}

void Click(HWND dialog, int id) {
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

std::string CloseAfterBox(const Program& patch, HWND dialog, HWND box, DWORD* exitCode) {
  PostMessageA(box, WM_COMMAND, IDOK, 0);
  HWND cancel = GetDlgItem(dialog, IDCANCEL);
  if (!WaitUntil([&] { return !IsWindow(box) && StoredTextOf(cancel) == "Close"; }, kQuickMs)) {
    return "the box did not give way to a Close button";
  }
  Click(dialog, IDCANCEL);
  if (!patch.WaitExit(kQuickMs, exitCode)) return "the program did not end after Close";
  return "";
}

std::string TextOf(HWND window) {
  if (!window) return "<no window>";
  char buffer[1024] = "";
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer),
                           SMTO_NORMAL, kSendTimeoutMs, &copied)) {
    return "<no answer to WM_GETTEXT>";
  }
  return std::string(buffer, copied < sizeof buffer ? copied : sizeof buffer - 1);
}

std::string StoredTextOf(HWND window) {
  char buffer[1024] = "";
  GetWindowTextA(window, buffer, sizeof buffer);
  return buffer;
}

HWND FocusOf(DWORD threadId) {
  GUITHREADINFO info;
  std::memset(&info, 0, sizeof info);
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(threadId, &info)) return nullptr;
  return info.hwndFocus;
}

void PressKey(HWND target, UINT virtualKey) {
  PostMessageA(target, WM_KEYDOWN, virtualKey, KeyData(virtualKey, false));
  PostMessageA(target, WM_KEYUP, virtualKey, KeyData(virtualKey, true));
}

void TypeChars(HWND target, const std::string& text) {
  for (unsigned char c : text) {
    SHORT key = VkKeyScanA(static_cast<CHAR>(c));
    UINT virtualKey = key == -1 ? 0 : LOBYTE(key);
    PostMessageA(target, WM_CHAR, c, KeyData(virtualKey, false));
  }
}

bool TabTo(DWORD threadId, HWND dialog, HWND control) {
  // The dialog has four tab stops; a few more presses cover any start.
  for (int i = 0; i < 8; ++i) {
    HWND focus = FocusOf(threadId);
    if (focus == control) return true;
    PressKey(focus ? focus : dialog, VK_TAB);
    WaitUntil([&] { return FocusOf(threadId) != focus; }, 2000);
  }
  return FocusOf(threadId) == control;
}

bool HasVisibleIcon(HWND window) {
  bool found = false;
  EnumChildWindows(window, FindIcon, reinterpret_cast<LPARAM>(&found));
  return found;
}

HWND FindDescendant(HWND window, const char* className) {
  FindState state = {className, nullptr};
  EnumChildWindows(window, FindByClass, reinterpret_cast<LPARAM>(&state));
  return state.found;
}
