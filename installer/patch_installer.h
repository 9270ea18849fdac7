// The installer's front end: start-up, the main dialog and the Install
// command. Everything runs on the dialog's thread.
#ifndef INSTALLER_PATCH_INSTALLER_H
#define INSTALLER_PATCH_INSTALLER_H

#include <windows.h>
#include <shlobj.h>

#include <cstdint>

#include "data_stream.h"

// Paths and user-interface texts: at most 1,023 characters and the NUL.
const int kTextCapacity = 1024;

// Process-wide values, each set once: the instance at start-up, the dialog on
// WM_INITDIALOG, the shell allocator at start-up (null when there is none).
extern HINSTANCE g_instance;
extern HWND g_dialog;
extern IMalloc* g_shellMalloc;

// Runs the main dialog until it closes. Always returns 0.
int PatchInstallerMain(HINSTANCE instance);

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The game's folder from the current user's registry into text (kTextCapacity
// bytes); empty when neither key gives one.
void FindGameFolder(char* text);

// The "Warning" box saying the game's folder is unknown.
void ShowNotFoundWarning(HWND owner);

// Extracts the embedded archive into the folder in the path field and reports
// the outcome. Leaves the dialog in its finished state: one run per process.
void RunInstall();

// The archive stream of an installation: moves the progress bar with the
// extractor's overall progress.
class ProgressMemoryStream : public MemoryDataStream {
 public:
  ProgressMemoryStream(void* data, std::uint32_t size) : MemoryDataStream(data, size) {}
  bool Notify(int event, std::uint32_t value, const char* name) override;
};

#endif  // INSTALLER_PATCH_INSTALLER_H
