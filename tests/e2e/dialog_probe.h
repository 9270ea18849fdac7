// Works another process's dialogs the way a player does: starts or watches
// the process, finds its windows, reads controls back through window
// messages and presses keys on the focused control. Everything here goes
// across the process boundary.
#ifndef TESTS_E2E_DIALOG_PROBE_H
#define TESTS_E2E_DIALOG_PROBE_H

#include <windows.h>

#include <string>
#include <vector>

// The installer's dialog controls.
const int IDC_INSTALL_PATH = 1001;
const int IDC_BROWSE = 1002;
const int IDC_INSTALL = 1003;
const int IDC_VERSION = 1004;
const int IDC_PROGRESS = 1007;
const int IDC_STATUS = 1008;
const int IDC_HINT = 1009;
const int IDC_LABEL = -1;

const char kFirstKey[] = "Software\\Kestrova\\Orvantis 3";
const char kSecondKey[] = "Software\\Kestrova\\Kestrova Launcher\\Games\\Orvantis 3";
const char kSuccessBox[] = "Patch is installed successfully.";

// Wine's first GUI start in a prefix is slow. The full sample installs in
// about 5 s under Wine; a busy machine may take many times that.
const DWORD kStartTimeoutMs = 60000;
const DWORD kInstallTimeoutMs = 300000;
const DWORD kQuickMs = 10000;

// Waits up to `timeoutMs` for `done()` to hold, polling every `pollMs`;
// returns its last value.
template <class Condition>
bool WaitUntil(Condition done, DWORD timeoutMs, DWORD pollMs = 20) {
  DWORD start = GetTickCount();
  for (;;) {
    if (done()) return true;
    if (GetTickCount() - start >= timeoutMs) return done();
    Sleep(pollMs);
  }
}

// printf to standard output as one whole line, flushed: the driver's caller
// reads it as it comes.
void Log(const char* format, ...);

std::vector<HWND> TopLevelWindows(DWORD processId);
std::string ClassOf(HWND window);
bool IsDialogClass(HWND window);
// The installer's dialog (it has the path field), shown or not.
bool IsMainDialog(HWND window);
// A visible message box: a dialog with a static text and no path field.
bool IsMessageBox(HWND window);

// A program the driver started, or one it watches. One it started and that
// still runs is ended when this goes away.
class Program {
 public:
  Program() = default;
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  ~Program();

  // Runs `exe` with `arguments` after its quoted path, in `folder` (null:
  // the driver's); false, with *error saying why, when it cannot start.
  bool Start(const std::string& exe, const std::string& arguments, const char* folder,
             std::string* error);
  // Watches the process that another started.
  void Attach(DWORD processId);

  DWORD thread() const { return threadId_; }  // 0 for one attached
  bool Running() const;
  // Waits up to `timeoutMs` for the end; true, with its exit code, when it came.
  bool WaitExit(DWORD timeoutMs, DWORD* code) const;

  HWND Dialog() const;  // shown or not
  HWND VisibleDialog() const;
  HWND MessageBoxWindow() const;
  HWND Browser() const;  // a visible folder browser

 private:
  HANDLE process_ = nullptr;
  HANDLE thread_ = nullptr;
  DWORD processId_ = 0;
  DWORD threadId_ = 0;
  bool started_ = false;
};

// Sets InstallPath under HKCU\key, as the game's installation does.
bool SetInstallPath(const char* key, const std::string& folder);

// Presses a dialog's button by its id, as a click reports it.
void Click(HWND dialog, int id);

// OKs the box that ends an installation, presses Close when it shows, and
// waits for the end; empty, with the exit code, or what went wrong.
std::string CloseAfterBox(const Program& patch, HWND dialog, HWND box, DWORD* exitCode);

// The text a control answers to WM_GETTEXT; needs the owner's message loop.
std::string TextOf(HWND window);
// The text the system keeps for a window; readable while its owner is busy
// and pumps no messages (buttons and statics only: an edit keeps its own).
std::string StoredTextOf(HWND window);

// The window with the keyboard focus in the given GUI thread, or null.
HWND FocusOf(DWORD threadId);

// WM_KEYDOWN and WM_KEYUP for one virtual key, posted to `target`, so that
// the owner's loop (and IsDialogMessage) sees them as keyboard input.
void PressKey(HWND target, UINT virtualKey);
// WM_CHAR for each character, as the keyboard's translation delivers them.
void TypeChars(HWND target, const std::string& text);

// Moves the focus to `control` with Tab presses, as the player would.
bool TabTo(DWORD threadId, HWND dialog, HWND control);

// A visible icon control that holds an icon among the window's children.
bool HasVisibleIcon(HWND window);
// A descendant of `window` with the given class.
HWND FindDescendant(HWND window, const char* className);

#endif  // TESTS_E2E_DIALOG_PROBE_H
