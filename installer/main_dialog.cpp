#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstring>

#include "patch_installer.h"
#include "resource.h"

HINSTANCE g_instance = nullptr;
HWND g_dialog = nullptr;
IMalloc* g_shellMalloc = nullptr;

namespace {

const char kGameKey[] = "Software\\Kestrova\\Orvantis 3";
const char kLauncherKey[] = "Software\\Kestrova\\Kestrova Launcher\\Games\\Orvantis 3";
const char kInstallPathValue[] = "InstallPath";

// One key's "InstallPath" into text; empty when it cannot be read. The value's
// type is not looked at: its bytes are taken as text, ended after the bytes
// returned (a stored NUL, if any, is among them). A value longer than 1,023
// bytes counts as missing: cut short, it would name some other folder.
void QueryInstallPath(const char* keyName, char* text) {
  text[0] = '\0';
  HKEY key;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, keyName, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return;
  }
  DWORD size = kTextCapacity - 1;
  LONG status = RegQueryValueExA(key, kInstallPathValue, nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(key);
  if (status == ERROR_SUCCESS && size < static_cast<DWORD>(kTextCapacity)) {
    text[size] = '\0';
  } else {
    text[0] = '\0';
  }
}

void BrowseForFolder(HWND dialog) {
  char path[kTextCapacity];
  BROWSEINFOA info;
  std::memset(&info, 0, sizeof info);
  info.hwndOwner = dialog;
  info.pszDisplayName = path;
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_EDITBOX | BIF_NEWDIALOGSTYLE;
  LPITEMIDLIST items = SHBrowseForFolderA(&info);
  if (items == nullptr) return;
  // An item with no file-system path names no folder to install to: the field
  // gets its own text back, as if the browser had been cancelled.
  if (!SHGetPathFromIDListA(items, path)) {
    GetDlgItemTextA(dialog, IDC_INSTALL_PATH, path, kTextCapacity);
  }
  SetDlgItemTextA(dialog, IDC_INSTALL_PATH, path);
  // Without the shell's allocator the list is left to the end of the process:
  // freeing it any other way could use the wrong heap.
  if (g_shellMalloc != nullptr) g_shellMalloc->Free(items);
}

void InitMainDialog(HWND dialog) {
  g_dialog = dialog;
  char text[kTextCapacity];
  FindGameFolder(text);
  if (text[0] == '\0') ShowNotFoundWarning(dialog);
  SetDlgItemTextA(dialog, IDC_INSTALL_PATH, text);
  LoadStringA(g_instance, IDS_VERSION, text, kTextCapacity);
  SetDlgItemTextA(dialog, IDC_VERSION, text);
  HICON icon = LoadIconA(g_instance, MAKEINTRESOURCEA(IDI_MAIN));
  SendMessageA(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  SendMessageA(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  ShowWindow(GetDlgItem(dialog, IDC_PROGRESS), SW_HIDE);
}

}  // namespace

void ShowNotFoundWarning(HWND owner) {
  MessageBoxA(owner, "OrvantisIII was not found.", "Warning", MB_ICONERROR | MB_SETFOREGROUND);
}

void FindGameFolder(char* text) {
  QueryInstallPath(kGameKey, text);
  if (text[0] == '\0') QueryInstallPath(kLauncherKey, text);
}

// Returns 0 for every message: the dialog manager does the rest, and the
// keyboard focus is left where it puts it.
INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      InitMainDialog(dialog);
      break;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_BROWSE:
          BrowseForFolder(dialog);
          break;
        case IDC_INSTALL:
          RunInstall();
          break;
        case IDCANCEL:
        case IDCLOSE:
          SendMessageA(dialog, WM_CLOSE, 0, 0);
          break;
      }
      break;
    case WM_CLOSE:
      EndDialog(dialog, 0);
      break;
  }
  return 0;
}

int PatchInstallerMain(HINSTANCE instance) {
  g_instance = instance;
  CoInitialize(nullptr);
  // Without the shell's allocator the program still runs; only the folder
  // browser's item lists are then not freed (see BrowseForFolder).
  if (FAILED(SHGetMalloc(&g_shellMalloc))) g_shellMalloc = nullptr;
  InitCommonControls();
  DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialogProc, 0);
  if (g_shellMalloc != nullptr) g_shellMalloc->Release();
  return 0;
}
