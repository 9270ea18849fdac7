// Runs Patch.exe the way a player does and checks what the player sees and
// what lands on disk.
//
//   e2e_driver CASE PATCH_EXE ARCHIVE DESTINATION [--host]
//   e2e_driver demo PATCH_EXE FOLDER [--host]
//
// ARCHIVE is the archive that PATCH_EXE carries (read independently to know
// what must be written); DESTINATION is a folder that the case starts from
// empty. With --host, lines starting with "@" on standard output are
// requests to the process that started the driver (screenshots), each
// answered by one line on standard input. Exit code 0 when every check held.
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive_check.h"
#include "dialog_probe.h"

namespace {

const char kDialogCaption[] = "Orvantis III patch";
const char kLabel[] =
    "The Patch Installer has found that the Orvantis III is installed in the following folder:";
const char kHint[] =
    "If you want to install the patch to a different location, change the path above.";
const char kReadyStatus[] =
    "To start installation, click Install button. To quit, click the Exit button.";
const char kPleaseWait[] =
    "Please wait while the patch installer copies new files to the target folder...";
const char kSuccessStatus[] = "Patch installed successfully.";
const char kCannotCreate[] = "Cannot create file.";
const char kErrorReading[] = "Error reading file.";
const char kBoxCaption[] = "Orvantis III Patch";
const char kVersion[] = "Version: 1.00.001";

int g_failures = 0;
bool g_host = false;

void Fail(const std::string& what) {
  ++g_failures;
  Log("FAIL: %s", what.c_str());
}

void Expect(bool condition, const std::string& what) {
  if (!condition) Fail(what);
}

void ExpectText(const std::string& actual, const std::string& expected, const std::string& what) {
  if (actual != expected) Fail(what + ": \"" + actual + "\", expected \"" + expected + "\"");
}

void ExpectNumber(long actual, long expected, const std::string& what) {
  if (actual != expected) {
    Fail(what + ": " + std::to_string(actual) + ", expected " + std::to_string(expected));
  }
}

// Asks the host for a screenshot of the whole screen and of `window`.
void Screenshot(const char* name, HWND window) {
  RECT r = {0, 0, 0, 0};
  GetWindowRect(window, &r);
  Log("@shot %s %ld %ld %ld %ld", name, r.left, r.top, r.right - r.left, r.bottom - r.top);
  if (!g_host) return;
  char reply[256] = "";
  if (!std::fgets(reply, sizeof reply, stdin) || std::strncmp(reply, "done", 4) != 0) {
    Fail(std::string("screenshot ") + name + " was not taken");
  }
}

// --- registry -------------------------------------------------------------

void NameFolder(const char* key, const std::string& folder) {
  if (!SetInstallPath(key, folder)) Fail(std::string("cannot set InstallPath in ") + key);
}

bool KeyExists(const char* key) {
  HKEY handle;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(handle);
  return true;
}

void RemoveGameKeys() {
  RegDeleteKeyA(HKEY_CURRENT_USER, kFirstKey);
  RegDeleteKeyA(HKEY_CURRENT_USER, kSecondKey);
  Expect(!KeyExists(kFirstKey) && !KeyExists(kSecondKey), "the game's keys could not be removed");
}

// --- files ------------------------------------------------------------------

bool FolderIsEmptyOrMissing(const std::string& folder) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return true;
  bool empty = true;
  do {
    if (std::strcmp(found.cFileName, ".") != 0 && std::strcmp(found.cFileName, "..") != 0) {
      empty = false;
    }
  } while (empty && FindNextFileA(search, &found));
  FindClose(search);
  return empty;
}

bool MakeFolders(const std::string& path) {
  for (size_t i = 3; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '\\') CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
  }
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void ExpectInstalled(const std::vector<StoredFile>& files, const std::string& folder,
                     const std::string& skip = "") {
  std::vector<std::string> problems = CompareInstalled(files, folder, skip);
  for (size_t i = 0; i < problems.size() && i < 10; ++i) Fail(problems[i]);
  if (problems.size() > 10) Fail(std::to_string(problems.size() - 10) + " more files differ");
}

const StoredFile* FindStored(const std::vector<StoredFile>& files, const std::string& name) {
  for (const StoredFile& file : files) {
    if (file.name == name) return &file;
  }
  Fail("the test archive has no " + name);
  return nullptr;
}

// --- the program under test -------------------------------------------------

struct Box {
  HWND window = nullptr;
  std::string caption;
  std::string text;
};

// The dialog's controls as the player sees them.
struct DialogView {
  std::string caption, label, path, browse, install, cancel, version, hint, status;
  bool enabled = false;
  bool pathEnabled = false, browseEnabled = false, installEnabled = false, cancelEnabled = false;
  bool barVisible = false, hintVisible = false;
  long barPos = -1, barLow = -1, barHigh = -1;
};

bool StartOrFail(Program& patch, const std::string& exe, const char* folder = nullptr) {
  std::string error;
  if (!patch.Start(exe, "", folder, &error)) Fail(error);
  return error.empty();
}

// Waits for the end; fails unless it comes in time with exit code 0.
void ExpectExitZero(const Program& patch, const std::string& after) {
  DWORD code = 1;
  if (!patch.WaitExit(kQuickMs, &code)) {
    Fail("the program still runs " + after);
  } else {
    ExpectNumber(code, 0, "exit code " + after);
  }
}

// TabTo, failing the case when the control cannot be reached.
bool Reach(const Program& patch, HWND dialog, int id, const std::string& what) {
  if (TabTo(patch.thread(), dialog, GetDlgItem(dialog, id))) return true;
  Fail("cannot reach " + what + " with Tab");
  return false;
}

// Types into the field, replacing what Tab selected in it.
bool TypeInto(HWND field, const std::string& text) {
  TypeChars(field, text);
  if (WaitUntil([&] { return TextOf(field) == text; }, kQuickMs)) return true;
  ExpectText(TextOf(field), text, "path field after typing");
  return false;
}

DialogView ReadDialog(HWND dialog) {
  DialogView v;
  v.caption = TextOf(dialog);
  v.enabled = IsWindowEnabled(dialog);
  v.label = TextOf(GetDlgItem(dialog, IDC_LABEL));
  v.path = TextOf(GetDlgItem(dialog, IDC_INSTALL_PATH));
  v.browse = TextOf(GetDlgItem(dialog, IDC_BROWSE));
  v.install = TextOf(GetDlgItem(dialog, IDC_INSTALL));
  v.cancel = TextOf(GetDlgItem(dialog, IDCANCEL));
  v.version = TextOf(GetDlgItem(dialog, IDC_VERSION));
  v.hint = TextOf(GetDlgItem(dialog, IDC_HINT));
  v.status = TextOf(GetDlgItem(dialog, IDC_STATUS));
  v.pathEnabled = IsWindowEnabled(GetDlgItem(dialog, IDC_INSTALL_PATH));
  v.browseEnabled = IsWindowEnabled(GetDlgItem(dialog, IDC_BROWSE));
  v.installEnabled = IsWindowEnabled(GetDlgItem(dialog, IDC_INSTALL));
  v.cancelEnabled = IsWindowEnabled(GetDlgItem(dialog, IDCANCEL));
  v.hintVisible = IsWindowVisible(GetDlgItem(dialog, IDC_HINT));
  HWND bar = GetDlgItem(dialog, IDC_PROGRESS);
  v.barVisible = IsWindowVisible(bar);
  DWORD_PTR result = 0;
  if (SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_NORMAL, kQuickMs, &result)) {
    v.barPos = static_cast<long>(result);
  }
  if (SendMessageTimeoutA(bar, PBM_GETRANGE, TRUE, 0, SMTO_NORMAL, kQuickMs, &result)) {
    v.barLow = static_cast<long>(result);
  }
  if (SendMessageTimeoutA(bar, PBM_GETRANGE, FALSE, 0, SMTO_NORMAL, kQuickMs, &result)) {
    v.barHigh = static_cast<long>(result);
  }
  return v;
}

void ExpectReady(const DialogView& v, const std::string& path) {
  ExpectText(v.caption, kDialogCaption, "dialog caption");
  ExpectText(v.label, kLabel, "folder label");
  ExpectText(v.path, path, "path field");
  ExpectText(v.install, "&Install", "Install button");
  ExpectText(v.browse, "...", "browse button");
  ExpectText(v.cancel, "E&xit", "cancel button before an installation");
  ExpectText(v.version, kVersion, "version line");
  ExpectText(v.hint, kHint, "hint line");
  ExpectText(v.status, kReadyStatus, "status line before an installation");
  Expect(v.enabled, "the dialog is disabled");
  Expect(v.pathEnabled && v.browseEnabled && v.installEnabled && v.cancelEnabled,
         "a button or the path field is disabled before an installation");
  Expect(v.hintVisible, "the hint line is hidden before an installation");
  Expect(!v.barVisible, "the progress bar is shown before an installation");
}

// Shared by the running and the finished state: what an installation leaves.
void ExpectLocked(const DialogView& v, const std::string& path, const std::string& status,
                  const std::string& state) {
  ExpectText(v.path, path, "path field " + state);
  ExpectText(v.status, status, "status line " + state);
  Expect(!v.pathEnabled, "the path field is enabled " + state);
  Expect(!v.browseEnabled, "the browse button is enabled " + state);
  Expect(!v.installEnabled, "the Install button is enabled " + state);
  Expect(v.cancelEnabled, "the cancel button is disabled " + state);
  Expect(v.barVisible, "the progress bar is hidden " + state);
  Expect(!v.hintVisible, "the hint line is shown " + state);
  ExpectNumber(v.barLow, 0, "progress bar's low end " + state);
  ExpectNumber(v.barHigh, 100, "progress bar's high end " + state);
}

// Waits for the program's first window: the dialog or a message box.
HWND WaitFirstWindow(Program& patch) {
  HWND first = nullptr;
  WaitUntil(
      [&] {
        first = patch.MessageBoxWindow();
        if (!first) first = patch.VisibleDialog();
        return first != nullptr || !patch.Running();
      },
      kStartTimeoutMs);
  if (!first) Fail("no window appeared");
  return first;
}

// Starts the program and waits for its dialog, expecting no warning first.
HWND StartToDialog(Program& patch, const std::string& exe, const char* folder = nullptr) {
  if (!StartOrFail(patch, exe, folder)) return nullptr;
  HWND first = WaitFirstWindow(patch);
  if (!first) return nullptr;
  if (first == patch.MessageBoxWindow()) {
    Fail("a message box came before the dialog: \"" + TextOf(GetDlgItem(first, 0xFFFF)) + "\"");
    return nullptr;
  }
  return first;
}

Box ReadBox(HWND window) {
  Box box;
  box.window = window;
  box.caption = TextOf(window);
  box.text = TextOf(GetDlgItem(window, 0xFFFF));
  return box;
}

// A message box as the player meets it: owner, caption, text, one OK
// button, and an icon only where one is expected.
void ExpectBox(const Box& box, HWND owner, const char* text, const char* caption, bool icon) {
  ExpectText(box.text, text, "message box text");
  ExpectText(box.caption, caption, "message box caption");
  Expect(GetWindow(box.window, GW_OWNER) == owner, "the message box is not owned by the dialog");
  HWND ok = GetDlgItem(box.window, IDOK);
  Expect(ok && IsWindowVisible(ok), "the message box has no OK button");
  const int others[] = {IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO};
  for (int id : others) {
    HWND button = GetDlgItem(box.window, id);
    Expect(!button || !IsWindowVisible(button),
           "the message box has a button besides OK: " + TextOf(button));
  }
  Expect(HasVisibleIcon(box.window) == icon,
         icon ? "the message box shows no icon" : "the message box shows an icon");
}

// Presses Enter on the box's focused button, as the player does.
bool DismissBox(Program& patch, const Box& box) {
  HWND focus = nullptr;
  WaitUntil(
      [&] {
        focus = FocusOf(patch.thread());
        return focus && (focus == box.window || IsChild(box.window, focus));
      },
      kQuickMs);
  if (!focus || (focus != box.window && !IsChild(box.window, focus))) {
    Fail("the message box does not hold the keyboard focus");
    focus = GetDlgItem(box.window, IDOK);
  }
  PressKey(focus, VK_RETURN);
  if (!WaitUntil([&] { return !IsWindow(box.window) || !IsWindowVisible(box.window); }, kQuickMs)) {
    Fail("Enter did not close the message box");
    return false;
  }
  return true;
}

// Waits for the box that ends an installation. With `running`, also reads
// what the player sees while the files are written: the program pumps no
// messages then, so only the texts and states that the system keeps. That
// takes a run long enough to be caught, and a moment when the status line
// still says so (it changes just before the box on success).
Box WaitInstallBox(Program& patch, HWND dialog, bool* running) {
  HWND cancel = GetDlgItem(dialog, IDCANCEL);
  HWND status = GetDlgItem(dialog, IDC_STATUS);
  HWND window = nullptr;
  bool started = false;
  bool observe = running != nullptr;
  bool seen = false;
  DWORD since = GetTickCount();
  WaitUntil(
      [&] {
        window = patch.MessageBoxWindow();
        if (window || !patch.Running()) return true;
        // Until the label changes, nothing says the run has begun: give up
        // early rather than wait out a whole installation's time.
        if (!started) {
          started =
              StoredTextOf(cancel) != "E&xit" || !IsWindowEnabled(GetDlgItem(dialog, IDC_INSTALL));
          if (!started && GetTickCount() - since > kStartTimeoutMs) return true;
        }
        if (observe && !seen && StoredTextOf(cancel) == "Stop" &&
            StoredTextOf(status) == kPleaseWait) {
          seen = true;
          Expect(!IsWindowEnabled(GetDlgItem(dialog, IDC_INSTALL_PATH)) &&
                     !IsWindowEnabled(GetDlgItem(dialog, IDC_BROWSE)) &&
                     !IsWindowEnabled(GetDlgItem(dialog, IDC_INSTALL)),
                 "a control is still enabled while installing");
          Expect(IsWindowVisible(GetDlgItem(dialog, IDC_PROGRESS)),
                 "the progress bar is hidden while installing");
          Expect(!IsWindowVisible(GetDlgItem(dialog, IDC_HINT)),
                 "the hint line is shown while installing");
          // The final box may already be on its way and have taken it.
          HWND focus = FocusOf(patch.thread());
          Expect(focus == cancel || GetAncestor(focus, GA_ROOT) != dialog,
                 "the Stop button does not have the focus while installing");
        }
        return false;
      },
      kInstallTimeoutMs);
  if (running) *running = seen;
  if (!window) {
    Fail(!patch.Running() ? "the program ended during the installation"
         : started        ? "no message box after the installation"
                          : "the installation did not start");
    return Box();
  }
  return ReadBox(window);
}

struct InstallOutcome {
  bool ok = false;
  bool sawRunning = false;
  DialogView duringBox;  // the dialog behind the final box
  DialogView finished;   // after the box was dismissed
  Box box;
};

// After Install was pressed: reads the dialog behind the final box, checks
// the box, dismisses it and reads the finished dialog.
InstallOutcome AwaitInstall(Program& patch, HWND dialog, const char* boxText,
                            const std::string& path, const char* finalStatus,
                            const char* screenshotBox = nullptr, bool observeRunning = false) {
  InstallOutcome out;
  out.box = WaitInstallBox(patch, dialog, observeRunning ? &out.sawRunning : nullptr);
  if (!out.box.window) return out;
  ExpectBox(out.box, dialog, boxText, kBoxCaption, false);
  out.duringBox = ReadDialog(dialog);
  ExpectText(out.duringBox.cancel, "Stop", "cancel button while the final box is up");
  Expect(!out.duringBox.enabled, "the dialog takes input while the final box is up");
  ExpectLocked(out.duringBox, path, finalStatus, "while the final box is up");
  if (screenshotBox) Screenshot(screenshotBox, dialog);
  if (!DismissBox(patch, out.box)) return out;
  HWND cancel = GetDlgItem(dialog, IDCANCEL);
  Expect(WaitUntil([&] { return TextOf(cancel) == "Close"; }, kQuickMs),
         "the cancel button does not read \"Close\" after the final box");
  out.finished = ReadDialog(dialog);
  ExpectText(out.finished.cancel, "Close", "cancel button after the installation");
  Expect(out.finished.enabled, "the dialog stays disabled after the final box");
  ExpectLocked(out.finished, path, finalStatus, "after the installation");
  ExpectNumber(out.finished.barPos, out.duringBox.barPos, "bar moved after the final box");
  out.ok = true;
  return out;
}

// Closes the finished dialog with its Close button, from the keyboard.
void PressClose(Program& patch, HWND dialog) {
  HWND cancel = GetDlgItem(dialog, IDCANCEL);
  Expect(WaitUntil([&] { return FocusOf(patch.thread()) == cancel; }, kQuickMs),
         "the Close button does not have the focus after the installation");
  if (Reach(patch, dialog, IDCANCEL, "the Close button")) {
    PressKey(cancel, VK_SPACE);
  } else {
    Click(dialog, IDCANCEL);
  }
  ExpectExitZero(patch, "after Close");
}

// --- the cases --------------------------------------------------------------

struct Args {
  std::string patch, archive, dest;
  std::vector<StoredFile> files;  // what the archive holds
};

// The first key alone names the destination; the dialog must come up.
HWND StartWithFirstKey(Program& patch, const Args& a) {
  RemoveGameKeys();
  NameFolder(kFirstKey, a.dest);
  return StartToDialog(patch, a.patch);
}

// Exit before any installation: the program ends and writes nothing.
void ExitUnused(Program& patch, HWND dialog, const std::string& dest) {
  Click(dialog, IDCANCEL);
  ExpectExitZero(patch, "after Exit");
  Expect(FolderIsEmptyOrMissing(dest), "something was written to " + dest);
}

// The first key names the folder (the second names another): the full
// archive is installed there and every step of the dialog is checked.
void FirstKeyInstall(const Args& a) {
  RemoveGameKeys();
  NameFolder(kFirstKey, a.dest);
  NameFolder(kSecondKey, a.dest + "-second");
  Program patch;
  HWND dialog = StartToDialog(patch, a.patch);
  if (!dialog) return;
  ExpectReady(ReadDialog(dialog), a.dest);
  Screenshot("ready", dialog);

  DWORD started = GetTickCount();
  Click(dialog, IDC_INSTALL);
  InstallOutcome out =
      AwaitInstall(patch, dialog, kSuccessBox, a.dest, kSuccessStatus, "installed", true);
  Log("installation of %u files took %lu ms", static_cast<unsigned>(a.files.size()),
      GetTickCount() - started);
  if (!out.ok) return;
  // Thousands of files take seconds: the running state cannot be missed.
  Expect(out.sawRunning, "never saw the running state before the final box");
  ExpectNumber(out.duringBox.barPos, 100, "progress bar after success");
  Screenshot("finished", dialog);
  PressClose(patch, dialog);
  ExpectInstalled(a.files, a.dest);
  Expect(!Exists(a.dest + "-second"), "the second key's folder was written to");
}

// Opens the dialog with the registry as the caller left it and closes it
// with Exit: the field shows `expected`, no warning, nothing written.
void LookupCase(const Args& a, const std::string& expected) {
  Program patch;
  HWND dialog = StartToDialog(patch, a.patch);
  if (!dialog) return;
  ExpectReady(ReadDialog(dialog), expected);
  ExitUnused(patch, dialog, a.dest);
}

void SecondKeyOnly(const Args& a) {
  RemoveGameKeys();
  NameFolder(kSecondKey, a.dest);
  LookupCase(a, a.dest);
}

void EmptyFirstValue(const Args& a) {
  RemoveGameKeys();
  NameFolder(kFirstKey, "");
  NameFolder(kSecondKey, a.dest);
  LookupCase(a, a.dest);
}

// Neither key: the warning comes before the dialog, the field is empty, and
// a folder typed in from the keyboard is installed to.
void NoKeysTypedFolder(const Args& a) {
  RemoveGameKeys();
  Program patch;
  if (!StartOrFail(patch, a.patch)) return;
  HWND first = WaitFirstWindow(patch);
  if (!first) return;
  HWND dialog = patch.Dialog();
  if (first != patch.MessageBoxWindow()) {
    Fail("the dialog opened without the warning");
    return;
  }
  Box warning = ReadBox(first);
  Expect(dialog && !IsWindowVisible(dialog), "the dialog is shown before the warning is dismissed");
  ExpectBox(warning, dialog, "OrvantisIII was not found.", "Warning", true);
  if (!DismissBox(patch, warning)) return;
  if (!WaitUntil([&] { return patch.VisibleDialog() != nullptr; }, kQuickMs)) {
    Fail("no dialog after the warning");
    return;
  }
  dialog = patch.VisibleDialog();
  ExpectReady(ReadDialog(dialog), "");
  Expect(patch.MessageBoxWindow() == nullptr, "a second message box came up");

  if (!Reach(patch, dialog, IDC_INSTALL_PATH, "the path field") ||
      !TypeInto(GetDlgItem(dialog, IDC_INSTALL_PATH), a.dest)) {
    return;
  }
  Click(dialog, IDC_INSTALL);
  InstallOutcome out = AwaitInstall(patch, dialog, kSuccessBox, a.dest, kSuccessStatus);
  if (!out.ok) return;
  ExpectNumber(out.finished.barPos, 100, "progress bar after success");
  PressClose(patch, dialog);
  ExpectInstalled(a.files, a.dest);
}

// Existing read-only and hidden files are replaced; files of the player's
// own that the archive does not carry are left as they were.
void ReplacesProtectedFiles(const Args& a) {
  const std::string readOnly = JoinWindowsPath(a.dest, "replaced\\readonly.cfg");
  const std::string hidden = JoinWindowsPath(a.dest, "replaced\\hidden.cfg");
  const std::string ownBeside = JoinWindowsPath(a.dest, "replaced\\mine.cfg");
  const std::string ownTop = JoinWindowsPath(a.dest, "savegame.sav");
  if (!FindStored(a.files, "replaced\\readonly.cfg") ||
      !FindStored(a.files, "replaced\\hidden.cfg")) {
    return;
  }
  if (!MakeFolders(a.dest + "\\replaced") || !WriteWholeFile(readOnly, "old read-only") ||
      !WriteWholeFile(hidden, "old hidden") || !WriteWholeFile(ownBeside, "the player's own") ||
      !WriteWholeFile(ownTop, "a saved game")) {
    Fail("cannot prepare the destination");
    return;
  }
  SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);
  SetFileAttributesA(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN);
  SetFileAttributesA(ownBeside.c_str(), FILE_ATTRIBUTE_READONLY);
  Expect(GetFileAttributesA(readOnly.c_str()) & FILE_ATTRIBUTE_READONLY,
         "the read-only attribute did not stick");
  Expect(GetFileAttributesA(hidden.c_str()) & FILE_ATTRIBUTE_HIDDEN,
         "the hidden attribute did not stick");
  DWORD ownAttributes = GetFileAttributesA(ownBeside.c_str());

  Program patch;
  HWND dialog = StartWithFirstKey(patch, a);
  if (!dialog) return;
  Click(dialog, IDC_INSTALL);
  InstallOutcome out = AwaitInstall(patch, dialog, kSuccessBox, a.dest, kSuccessStatus);
  if (!out.ok) return;
  PressClose(patch, dialog);
  ExpectInstalled(a.files, a.dest);
  Expect(!(GetFileAttributesA(readOnly.c_str()) & FILE_ATTRIBUTE_READONLY),
         "the replaced read-only file is still read-only");
  Expect(!(GetFileAttributesA(hidden.c_str()) & FILE_ATTRIBUTE_HIDDEN),
         "the replaced hidden file is still hidden");
  std::string bytes;
  Expect(ReadWholeFile(ownBeside, &bytes) && bytes == "the player's own",
         "a file the archive does not carry was changed: " + ownBeside);
  ExpectNumber(GetFileAttributesA(ownBeside.c_str()), ownAttributes,
               "attributes of a file the archive does not carry");
  Expect(ReadWholeFile(ownTop, &bytes) && bytes == "a saved game",
         "a file the archive does not carry was changed: " + ownTop);
}

// A destination file that another program holds open without sharing
// cannot be created; every other file still is.
void LockedFile(const Args& a) {
  const char kHeldName[] = "held\\locked.dat";
  const StoredFile* heldFile = FindStored(a.files, kHeldName);
  if (!heldFile) return;
  std::uint64_t total = 0;
  for (const StoredFile& f : a.files) total += f.size;
  const long expectedBar = static_cast<long>((total - heldFile->size) * 100 / total);

  const std::string held = JoinWindowsPath(a.dest, kHeldName);
  if (!MakeFolders(a.dest + "\\held") || !WriteWholeFile(held, "held by another program")) {
    Fail("cannot prepare the destination");
    return;
  }
  HANDLE lock = CreateFileA(held.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (lock == INVALID_HANDLE_VALUE) {
    Fail("cannot hold " + held + " open");
    return;
  }
  Program patch;
  HWND dialog = StartWithFirstKey(patch, a);
  InstallOutcome out;
  if (dialog) {
    Click(dialog, IDC_INSTALL);
    out = AwaitInstall(patch, dialog, kCannotCreate, a.dest, kPleaseWait);
  }
  CloseHandle(lock);
  if (!out.ok) return;
  ExpectNumber(out.finished.barPos, expectedBar,
               "progress bar (the held file's bytes are never begun)");
  PressClose(patch, dialog);
  ExpectInstalled(a.files, a.dest, kHeldName);
  std::string bytes;
  Expect(ReadWholeFile(held, &bytes) && bytes == "held by another program",
         "the held file was changed");
}

// The archive ends inside its last file: that file keeps the whole pieces
// read before the end, the others are intact.
void ShortArchive(const Args& a) {
  if (a.files.empty() || a.files.back().complete) {
    Fail("the test archive's last file is not cut short");
    return;
  }
  Program patch;
  HWND dialog = StartWithFirstKey(patch, a);
  if (!dialog) return;
  Click(dialog, IDC_INSTALL);
  InstallOutcome out = AwaitInstall(patch, dialog, kErrorReading, a.dest, kPleaseWait);
  if (!out.ok) return;
  ExpectNumber(out.finished.barPos, 100, "progress bar (every file was created)");
  PressClose(patch, dialog);
  ExpectInstalled(a.files, a.dest);
}

// A folder on a drive letter that does not exist: nothing can be created.
void MissingDrive(const Args& a) {
  DWORD drives = GetLogicalDrives();
  char letter = 0;
  for (char c = 'Q'; c <= 'Y' && !letter; ++c) {
    if (!(drives & (1u << (c - 'A')))) letter = c;
  }
  if (!letter) {
    Fail("every drive letter from Q to Y is mapped");
    return;
  }
  const std::string folder = std::string(1, letter) + ":\\game";
  RemoveGameKeys();
  NameFolder(kFirstKey, folder);
  Program patch;
  HWND dialog = StartToDialog(patch, a.patch);
  if (!dialog) return;
  ExpectReady(ReadDialog(dialog), folder);
  Click(dialog, IDC_INSTALL);
  InstallOutcome out = AwaitInstall(patch, dialog, kCannotCreate, folder, kPleaseWait);
  if (!out.ok) return;
  ExpectNumber(out.finished.barPos, 0, "progress bar when nothing could be created");
  PressClose(patch, dialog);
}

// Esc, Exit and the title bar's close each end the dialog before an
// installation, and nothing is written.
void CloseBeforeInstall(const Args& a) {
  RemoveGameKeys();
  NameFolder(kFirstKey, a.dest);
  const char* ways[] = {"Esc", "Exit", "the title bar's close"};
  for (int way = 0; way < 3; ++way) {
    Log("closing with %s", ways[way]);
    Program patch;
    HWND dialog = StartToDialog(patch, a.patch);
    if (!dialog) return;
    ExpectReady(ReadDialog(dialog), a.dest);
    HWND focus = FocusOf(patch.thread());
    if (way == 0) {
      PressKey(focus ? focus : dialog, VK_ESCAPE);
    } else if (way == 1) {
      if (!Reach(patch, dialog, IDCANCEL, "the Exit button")) return;
      PressKey(GetDlgItem(dialog, IDCANCEL), VK_SPACE);
    } else {
      PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    }
    ExpectExitZero(patch, std::string("after ") + ways[way]);
    Expect(FolderIsEmptyOrMissing(a.dest), std::string("something was written after ") + ways[way]);
  }
}

// Enter in the path field presses the default button, Install.
void EnterInstalls(const Args& a) {
  Program patch;
  HWND dialog = StartWithFirstKey(patch, a);
  if (!dialog) return;
  if (!Reach(patch, dialog, IDC_INSTALL_PATH, "the path field")) return;
  PressKey(GetDlgItem(dialog, IDC_INSTALL_PATH), VK_RETURN);
  InstallOutcome out = AwaitInstall(patch, dialog, kSuccessBox, a.dest, kSuccessStatus);
  if (!out.ok) return;
  PressClose(patch, dialog);
  ExpectInstalled(a.files, a.dest);
}

// An empty field names no folder: Install warns as when the game was not
// found, and the dialog stays ready. The program runs from a folder on C:, so
// a run that went ahead anyway would write into C:'s root, where this looks.
void EmptyFieldRefused(const Args& a) {
  RemoveGameKeys();
  NameFolder(kFirstKey, a.dest);
  char temp[MAX_PATH];
  DWORD length = GetTempPathA(MAX_PATH, temp);
  if (length < 3 || length >= MAX_PATH || temp[1] != ':') {
    Fail("no temporary folder on a drive");
    return;
  }
  const std::string root(temp, 3);
  std::vector<std::string> tops;
  for (const StoredFile& file : a.files) {
    std::string top = JoinWindowsPath(root, file.name.substr(0, file.name.find_first_of("\\/")));
    if (Exists(top)) {
      Fail(top + " exists before the run: cannot tell what the run writes");
      return;
    }
    tops.push_back(top);
  }
  Program patch;
  HWND dialog = StartToDialog(patch, a.patch, temp);
  if (!dialog) return;
  if (!Reach(patch, dialog, IDC_INSTALL_PATH, "the path field")) return;
  HWND field = GetDlgItem(dialog, IDC_INSTALL_PATH);
  SendMessageA(field, EM_SETSEL, 0, -1);
  PressKey(field, VK_DELETE);
  if (!WaitUntil([&] { return TextOf(field).empty(); }, kQuickMs)) {
    ExpectText(TextOf(field), "", "path field after Delete");
    return;
  }
  PressKey(field, VK_RETURN);
  HWND window = nullptr;
  if (!WaitUntil([&] { return (window = patch.MessageBoxWindow()) != nullptr; }, kQuickMs)) {
    Fail("Install with an empty field showed no message");
    return;
  }
  Box warning = ReadBox(window);
  ExpectBox(warning, dialog, "OrvantisIII was not found.", "Warning", true);
  if (!DismissBox(patch, warning)) return;
  ExpectReady(ReadDialog(dialog), "");
  for (const std::string& top : tops) Expect(!Exists(top), top + " was written");
  Click(dialog, IDCANCEL);
  ExpectExitZero(patch, "after Exit");
}

// Tabs to the browse button and presses it; returns the browser that opens
// (null after a failure) and the control in it that holds the focus.
HWND OpenBrowser(Program& patch, HWND dialog, HWND* focus) {
  if (!Reach(patch, dialog, IDC_BROWSE, "the browse button")) return nullptr;
  PressKey(GetDlgItem(dialog, IDC_BROWSE), VK_SPACE);
  HWND browser = nullptr;
  if (!WaitUntil([&] { return (browser = patch.Browser()) != nullptr; }, kStartTimeoutMs)) {
    Fail("the folder browser did not open");
    return nullptr;
  }
  *focus = nullptr;
  Expect(WaitUntil(
             [&] {
               *focus = FocusOf(patch.thread());
               return *focus && (*focus == browser || IsChild(browser, *focus));
             },
             kQuickMs),
         "the folder browser does not hold the focus");
  return browser;
}

// The browse button opens the folder browser; cancelling it changes nothing.
void BrowseCancel(const Args& a) {
  Program patch;
  HWND dialog = StartWithFirstKey(patch, a);
  if (!dialog) return;
  HWND focus = nullptr;
  HWND browser = OpenBrowser(patch, dialog, &focus);
  if (!browser) return;
  Expect(GetWindow(browser, GW_OWNER) == dialog, "the folder browser is not owned by the dialog");
  Expect(!IsWindowEnabled(dialog), "the dialog takes input while the folder browser is open");
  Screenshot("browser", browser);
  PressKey(focus ? focus : browser, VK_ESCAPE);
  if (!WaitUntil([&] { return !IsWindow(browser); }, kQuickMs)) {
    Fail("Esc did not close the folder browser");
    return;
  }
  ExpectReady(ReadDialog(dialog), a.dest);
  Expect(patch.MessageBoxWindow() == nullptr, "a message box came up after the browser");
  ExitUnused(patch, dialog, a.dest);
}

// Confirming the browser with Enter puts the chosen folder, here the one it
// selects when it opens (the desktop), into the path field. (Typing a path
// into the browser's edit box would be the better choice, but Wine ignores
// that box and returns the selected folder.)
void BrowseChoose(const Args& a) {
  char desktop[MAX_PATH] = "";
  if (FAILED(SHGetFolderPathA(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, 0, desktop))) {
    Fail("cannot find the desktop folder");
    return;
  }
  Program patch;
  HWND dialog = StartWithFirstKey(patch, a);
  if (!dialog) return;
  HWND focus = nullptr;
  HWND browser = OpenBrowser(patch, dialog, &focus);
  if (!browser) return;
  PressKey(focus ? focus : browser, VK_RETURN);
  if (!WaitUntil([&] { return !IsWindow(browser); }, kQuickMs)) {
    Fail("Enter did not close the folder browser");
    return;
  }
  HWND field = GetDlgItem(dialog, IDC_INSTALL_PATH);
  WaitUntil([&] { return TextOf(field) == desktop; }, kQuickMs);
  ExpectReady(ReadDialog(dialog), desktop);
  ExitUnused(patch, dialog, a.dest);
}

// Shows the product at work: types the folder, installs, closes, and says
// how it went. Exit code 0 when the installation succeeded.
int Demo(const std::string& exe, const std::string& folder) {
  Program patch;
  if (!StartOrFail(patch, exe)) return 1;
  HWND first = WaitFirstWindow(patch);
  if (!first) return 1;
  if (first == patch.MessageBoxWindow()) {
    Box warning = ReadBox(first);
    Log("the program warned: %s", warning.text.c_str());
    if (!DismissBox(patch, warning)) return 1;
    WaitUntil([&] { return patch.VisibleDialog() != nullptr; }, kQuickMs);
  }
  HWND dialog = patch.VisibleDialog();
  if (!dialog) {
    Fail("no dialog");
    return 1;
  }
  if (!Reach(patch, dialog, IDC_INSTALL_PATH, "the path field") ||
      !TypeInto(GetDlgItem(dialog, IDC_INSTALL_PATH), folder)) {
    return 1;
  }
  Screenshot("ready", dialog);
  Click(dialog, IDC_INSTALL);
  Box box = WaitInstallBox(patch, dialog, nullptr);
  if (!box.window) return 1;
  Log("the program said: %s", box.text.c_str());
  Screenshot("installed", dialog);
  if (!DismissBox(patch, box)) return 1;
  WaitUntil([&] { return TextOf(GetDlgItem(dialog, IDCANCEL)) == "Close"; }, kQuickMs);
  Screenshot("finished", dialog);
  Click(dialog, IDCANCEL);
  ExpectExitZero(patch, "after Close");
  return box.text == kSuccessBox && g_failures == 0 ? 0 : 1;
}

struct Case {
  const char* name;
  void (*run)(const Args&);
};

const Case kCases[] = {
    {"first_key_install", FirstKeyInstall},
    {"second_key_only", SecondKeyOnly},
    {"empty_first_value", EmptyFirstValue},
    {"no_keys_typed_folder", NoKeysTypedFolder},
    {"replaces_protected_files", ReplacesProtectedFiles},
    {"locked_file", LockedFile},
    {"short_archive", ShortArchive},
    {"missing_drive", MissingDrive},
    {"close_before_install", CloseBeforeInstall},
    {"enter_installs", EnterInstalls},
    {"empty_field_refused", EmptyFieldRefused},
    {"browse_cancel", BrowseCancel},
    {"browse_choose", BrowseChoose},
};

int Usage() {
  std::fprintf(stderr,
               "usage: e2e_driver CASE PATCH_EXE ARCHIVE DESTINATION [--host]\n"
               "       e2e_driver demo PATCH_EXE FOLDER [--host]\ncases:");
  for (const Case& c : kCases) std::fprintf(stderr, " %s", c.name);
  std::fprintf(stderr, "\n");
  return 2;
}

}  // namespace

// fault_modes.cpp: the fault tests' modes; -1 when args name none of them.
int RunFaultMode(const std::vector<std::string>& args);

int main(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--host") == 0) {
      g_host = true;
    } else {
      args.push_back(argv[i]);
    }
  }
  if (args.size() == 3 && args[0] == "demo") return Demo(args[1], args[2]);
  if (int code = RunFaultMode(args); code >= 0) return code;
  if (args.size() != 4) return Usage();
  for (const Case& c : kCases) {
    if (args[0] == c.name) {
      Args a = {args[1], args[2], args[3], {}};
      Log("case %s", c.name);
      std::string error;
      if (LoadArchive(a.archive, &a.files, &error)) {
        c.run(a);
      } else {
        Fail(error);
      }
      Log("%s: %s", c.name, g_failures == 0 ? "passed" : "FAILED");
      return g_failures == 0 ? 0 : 1;
    }
  }
  return Usage();
}
