// The end-to-end tests' hands and eyes on Windows: works the program under
// test through its windows as a player does. One command a line on stdin,
// words separated by tabs; one answer a line on stdout: "ok" and fields
// (name=value, tab-separated), or "fail" and why.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

// E2E_TIME_SCALE stretches every time limit, for machines that emulate the CPU.
const DWORD kScale = std::getenv("E2E_TIME_SCALE") ? std::atoi(std::getenv("E2E_TIME_SCALE")) : 1;
const DWORD kStartMs = 60000 * kScale, kInstallMs = 300000 * kScale, kQuickMs = 10000 * kScale;
const int kPath = 1001, kBrowse = 1002, kInstall = 1003, kBar = 1007, kStatus = 1008, kHint = 1009,
          kStatic = 0xFFFF;

PROCESS_INFORMATION g_program = {};
HANDLE g_held = INVALID_HANDLE_VALUE;

template <class Condition>
bool WaitUntil(Condition done, DWORD timeoutMs) {
  for (DWORD start = GetTickCount(); !done(); Sleep(20)) {
    if (GetTickCount() - start >= timeoutMs) return done();
  }
  return true;
}

bool Running() { return WaitForSingleObject(g_program.hProcess, 0) == WAIT_TIMEOUT; }

DWORD_PTR Send(HWND window, UINT message, WPARAM w = 0, LPARAM l = 0) {
  DWORD_PTR result = 0;
  SendMessageTimeoutA(window, message, w, l, SMTO_NORMAL, kQuickMs, &result);
  return result;
}

// Text: what a control answers to WM_GETTEXT, which needs its owner's
// message loop. Stored: what the system keeps of a button's or static's
// text, readable while the program is busy installing.
std::string Text(HWND window, bool stored = false) {
  char text[1024] = "";
  stored ? GetWindowTextA(window, text, sizeof text)
         : Send(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  return text;
}

std::string ClassOf(HWND window) {
  char name[64] = "";
  GetClassNameA(window, name, sizeof name);
  return name;
}

BOOL CALLBACK Collect(HWND window, LPARAM list) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process == g_program.dwProcessId)
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
  return TRUE;
}

// The program's windows: top-level ones, or the children of parent.
std::vector<HWND> Windows(HWND parent = nullptr) {
  std::vector<HWND> found;
  LPARAM list = reinterpret_cast<LPARAM>(&found);
  parent ? EnumChildWindows(parent, Collect, list) : EnumWindows(Collect, list);
  return found;
}

bool HasChild(HWND window, const char* className, bool icon = false) {
  for (HWND c : Windows(window)) {
    // An icon-less box may keep an empty icon control.
    bool shows = (GetWindowLongA(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON && Send(c, STM_GETICON);
    if (ClassOf(c) == className && IsWindowVisible(c) && (shows || !icon)) return true;
  }
  return false;
}

enum Kind { kDialog, kBox, kBrowser };

// The program's top-level window of a kind (the dialog even when hidden).
HWND Find(Kind kind) {
  for (HWND w : Windows()) {
    bool dialog = ClassOf(w) == "#32770", main = dialog && GetDlgItem(w, kPath);
    if (kind == kDialog       ? main
        : !IsWindowVisible(w) ? false
        : kind == kBox        ? dialog && !main && GetDlgItem(w, kStatic)
                              : HasChild(w, "SysTreeView32")) {
      return w;
    }
  }
  return nullptr;
}

HWND Focus() {
  GUITHREADINFO info = {};
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(g_program.dwThreadId, &info) ? info.hwndFocus : nullptr;
}

std::string FocusIn(HWND window) {
  return Focus() && (Focus() == window || IsChild(window, Focus())) ? "1" : "0";
}

void Key(UINT vk) {
  HWND target = Focus() ? Focus() : Find(kDialog);
  LPARAM scan = static_cast<LPARAM>(MapVirtualKeyA(vk, MAPVK_VK_TO_VSC)) << 16;
  PostMessageA(target, WM_KEYDOWN, vk, 1 | scan);
  PostMessageA(target, WM_KEYUP, vk, 1 | scan | (3u << 30));
}

// One field of an answer.
std::string F(const char* name, const std::string& value) {
  return std::string("\t") + name + "=" + value;
}

std::string Flag(BOOL on) { return on ? "1" : "0"; }

// Which of path field, browse, Install and the bar are on, and whether the
// hint is shown, as read from what the system keeps.
std::string States(HWND d) {
  return Flag(IsWindowEnabled(GetDlgItem(d, kPath))) +
         Flag(IsWindowEnabled(GetDlgItem(d, kBrowse))) +
         Flag(IsWindowEnabled(GetDlgItem(d, kInstall))) +
         Flag(IsWindowVisible(GetDlgItem(d, kBar))) + Flag(IsWindowVisible(GetDlgItem(d, kHint)));
}

// What the player sees of the dialog that changes as it runs (the template's
// own texts are checked in the program's resources).
std::string View(HWND d) {
  HWND bar = GetDlgItem(d, kBar);
  auto text = [&](int id) { return Text(GetDlgItem(d, id)); };
  return "ok" + F("path", text(kPath)) + F("cancel", text(IDCANCEL)) + F("version", text(1004)) +
         F("status", text(kStatus)) + F("enabled", Flag(IsWindowEnabled(d))) +
         F("states", States(d)) + F("cancel_on", Flag(IsWindowEnabled(GetDlgItem(d, IDCANCEL)))) +
         F("bar", std::to_string(Send(bar, PBM_GETPOS))) +
         F("range", std::to_string(Send(bar, PBM_GETRANGE, TRUE)) + "-" +
                        std::to_string(Send(bar, PBM_GETRANGE, FALSE))) +
         F("focus", std::to_string(GetDlgCtrlID(Focus())));
}

// Waits for a message box, up to the time an installation may take.
std::string Box(HWND d) {
  HWND box = nullptr, cancel = GetDlgItem(d, IDCANCEL);
  DWORD since = GetTickCount();
  WaitUntil(
      [&] {
        bool started = Text(cancel, true) == "Stop";
        return (box = Find(kBox)) || !Running() || (!started && GetTickCount() - since > kStartMs);
      },
      kInstallMs);
  if (!box) return Running() ? "fail no message box" : "fail the program ended";
  int others = 0;
  for (int id : {IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO}) {
    others += IsWindowVisible(GetDlgItem(box, id));
  }
  WaitUntil([&] { return FocusIn(box) == "1"; }, kQuickMs);
  return "ok" + F("caption", Text(box)) + F("text", Text(GetDlgItem(box, kStatic))) +
         F("owned", Flag(GetWindow(box, GW_OWNER) == d)) +
         F("ok", Flag(IsWindowVisible(GetDlgItem(box, IDOK)))) +
         F("others", std::to_string(others)) + F("icon", Flag(HasChild(box, "Static", true))) +
         F("focus_in", FocusIn(box));
}

std::string Answer(const std::vector<std::string>& a) {
  const std::string &verb = a[0], arg = a.size() > 1 ? a[1] : "";
  HWND d = Find(kDialog), control = GetDlgItem(d, std::atoi(arg.c_str()));
  if (verb == "start") {  // the program, in the folder given
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    std::string line = "\"" + arg + "\"";
    if (!CreateProcessA(arg.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                        a.size() > 2 ? a[2].c_str() : nullptr, &startup, &g_program)) {
      return "fail cannot start " + arg;
    }
    WaitUntil([] { return Find(kBox) || IsWindowVisible(Find(kDialog)) || !Running(); }, kStartMs);
    return Find(kBox) ? "ok box" : IsWindowVisible(Find(kDialog)) ? "ok dialog" : "fail no window";
  }
  if (verb == "view") return View(d);
  if (verb == "box") return Box(d);
  if (verb == "browser") {
    HWND b = nullptr;
    if (!WaitUntil([&] { return (b = Find(kBrowser)) != nullptr; }, kStartMs)) return "fail none";
    WaitUntil([&] { return FocusIn(b) == "1"; }, kQuickMs);
    return "ok" + F("owned", Flag(GetWindow(b, GW_OWNER) == d)) +
           F("dialog_enabled", Flag(IsWindowEnabled(d))) + F("focus_in", FocusIn(b));
  }
  if (verb == "key") {
    Key(arg == "enter" ? VK_RETURN : arg == "esc" ? VK_ESCAPE : VK_SPACE);
    return "ok";
  }
  if (verb == "tab") {  // to the control with that id
    for (int i = 0; i < 8 && Focus() != control; ++i) {
      HWND before = Focus();
      Key(VK_TAB);
      WaitUntil([&] { return Focus() != before; }, 2000);
    }
    return Focus() == control ? "ok" : "fail cannot reach " + arg + " with Tab";
  }
  if (verb == "type") {  // replaces the focused field's text, as select-all and typing do
    HWND field = Focus();
    Send(field, EM_SETSEL, 0, -1);
    Key(VK_DELETE);
    for (unsigned char c : arg) PostMessageA(field, WM_CHAR, c, 1);
    return WaitUntil([&] { return Text(field) == arg; }, kQuickMs) ? "ok" : "fail " + Text(field);
  }
  if (verb == "click") {
    PostMessageA(d, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), BN_CLICKED),
                 reinterpret_cast<LPARAM>(control));
    return "ok";
  }
  if (verb == "close") return PostMessageA(d, WM_SYSCOMMAND, SC_CLOSE, 0) ? "ok" : "fail";
  // wait gone: no box or browser is open; wait exit: the program ended; wait ID
  // TEXT: the control reads the text.
  if (verb == "wait") {
    DWORD code = STILL_ACTIVE;
    bool done = WaitUntil(
        [&] {
          return arg == "gone" ? !Find(kBox) && !Find(kBrowser)
                 : arg == "exit"
                     ? GetExitCodeProcess(g_program.hProcess, &code) && code != STILL_ACTIVE
                     : Text(control) == a[2];
        },
        kQuickMs);
    return done ? "ok " + std::to_string(code)
                : "fail still " + (arg == "gone" ? "open" : Text(control));
  }
  // keys FIRST SECOND: the game's two InstallPath values, strings; "-" for no
  // key, "bin:TEXT" for TEXT's bytes as binary, with no NUL.
  if (verb == "keys") {
    const char* keys[] = {"Software\\Kestrova\\Orvantis 3",
                          "Software\\Kestrova\\Kestrova Launcher\\Games\\Orvantis 3"};
    for (int i = 0; i < 2; ++i) {
      RegDeleteKeyA(HKEY_CURRENT_USER, keys[i]);
      std::string value = a[i + 1];
      bool binary = value.rfind("bin:", 0) == 0;
      if (binary) value.erase(0, 4);
      if (value != "-" &&
          RegSetKeyValueA(HKEY_CURRENT_USER, keys[i], "InstallPath", binary ? REG_BINARY : REG_SZ,
                          value.c_str(), value.size() + !binary)) {
        return "fail cannot set InstallPath";
      }
    }
    return "ok";
  }
  if (verb == "hold") {  // open without sharing, as another program may hold it
    g_held = CreateFileA(arg.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    return g_held != INVALID_HANDLE_VALUE ? "ok" : "fail cannot hold " + arg;
  }
  if (verb == "release") return CloseHandle(g_held) ? "ok" : "fail";
  return "fail unknown command " + verb;
}

}  // namespace

int main() {
  for (std::string line; std::getline(std::cin, line);) {
    std::vector<std::string> words(1);
    for (char c : line) {
      if (c == '\t') words.emplace_back();
      if (c != '\t' && c != '\r') words.back() += c;
    }
    std::printf("%s\n", Answer(words).c_str());
    std::fflush(stdout);
  }
  if (g_program.hProcess && Running()) TerminateProcess(g_program.hProcess, 1);
}
