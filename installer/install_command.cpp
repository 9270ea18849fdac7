#include <windows.h>
#include <commctrl.h>

#include "archive_extractor.h"
#include "patch_installer.h"
#include "payload_check.h"
#include "resource.h"

namespace {

// The message for an extractor result.
UINT MessageFor(int result) {
  switch (result) {
    case EXTRACT_OK:
      return IDS_SUCCESS_BOX;
    case EXTRACT_OPEN_FAILED:
      return IDS_ERR_OPEN;
    case EXTRACT_READ_FAILED:
      return IDS_ERR_READ;
    case EXTRACT_WRITE_FAILED:
      return IDS_ERR_WRITE;
    case EXTRACT_OUT_OF_MEMORY:
      return IDS_ERR_MEMORY;
    case EXTRACT_CREATE_FAILED:
      return IDS_ERR_CREATE;
    default:
      return IDS_ERR_UNKNOWN;
  }
}

void SetStatus(UINT stringId) {
  char text[kTextCapacity];
  LoadStringA(g_instance, stringId, text, kTextCapacity);
  SetDlgItemTextA(g_dialog, IDC_STATUS, text);
}

// False when the program carries a check of its archive and the archive's
// bytes fail it (or the check cannot be read): the archive was damaged after
// it was built. A program built without a check installs as it always did.
bool ArchiveIntact(const void* archive, DWORD size) {
  HRSRC found = FindResourceA(g_instance, MAKEINTRESOURCEA(IDR_PATCH_CHECK), PATCH_CHECK_TYPE);
  if (found == nullptr) return true;
  HGLOBAL loaded = LoadResource(g_instance, found);
  const void* check = loaded != nullptr ? LockResource(loaded) : nullptr;
  return check != nullptr &&
         PayloadCheckHolds(check, SizeofResource(g_instance, found), Crc32(0, archive, size));
}

}  // namespace

bool ProgressMemoryStream::Notify(int event, std::uint32_t value, const char*) {
  if (event == EVENT_TOTAL_PROGRESS) {
    // One dialog per process, so the bar is looked up once: looking it up for
    // every file, as SendDlgItemMessageA does, is a request to the Wine
    // server each time and took about a tenth of the install there.
    static const HWND bar = GetDlgItem(g_dialog, IDC_PROGRESS);
    SendMessageA(bar, PBM_SETPOS, value, 0);
  }
  return true;
}

void RunInstall() {
  // An empty folder would turn every path into one at the root of the current
  // drive, and the run would report success there. Without a folder there is
  // nothing to install into: say so and stay ready.
  if (GetWindowTextLengthA(GetDlgItem(g_dialog, IDC_INSTALL_PATH)) == 0) {
    ShowNotFoundWarning(g_dialog);
    return;
  }

  SetStatus(IDS_PLEASE_WAIT);
  ShowWindow(GetDlgItem(g_dialog, IDC_PROGRESS), SW_SHOW);
  ShowWindow(GetDlgItem(g_dialog, IDC_HINT), SW_HIDE);
  EnableWindow(GetDlgItem(g_dialog, IDC_INSTALL_PATH), FALSE);
  EnableWindow(GetDlgItem(g_dialog, IDC_BROWSE), FALSE);
  EnableWindow(GetDlgItem(g_dialog, IDC_INSTALL), FALSE);
  // "Stop" only labels the running state: the run cannot be interrupted.
  SetFocus(GetDlgItem(g_dialog, IDCANCEL));
  SetDlgItemTextA(g_dialog, IDCANCEL, "Stop");
  SendDlgItemMessageA(g_dialog, IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, 100));

  HRSRC found = FindResourceA(g_instance, MAKEINTRESOURCEA(IDR_PATCH_DATA), "BINARY");
  HGLOBAL loaded = found != nullptr ? LoadResource(g_instance, found) : nullptr;
  if (loaded == nullptr) return;
  DWORD size = SizeofResource(g_instance, found);
  void* archive = LockResource(loaded);
  // A null pointer here makes the stream's Open fail: "Cannot open file.".
  ProgressMemoryStream stream(archive, size);
  ArchiveExtractor extractor;

  // A damaged archive is a read failure found before anything is written:
  // the extractor would write every file, one of them wrong, and report
  // success.
  int result = EXTRACT_READ_FAILED;
  if (archive == nullptr || ArchiveIntact(archive, size)) {
    char folder[kTextCapacity];
    GetDlgItemTextA(g_dialog, IDC_INSTALL_PATH, folder, kTextCapacity);
    result = extractor.Extract(nullptr, folder, stream);
  }

  char caption[kTextCapacity];
  LoadStringA(g_instance, IDS_CAPTION, caption, kTextCapacity);
  if (result == EXTRACT_OK) SetStatus(IDS_SUCCESS_STATUS);
  char message[kTextCapacity];
  LoadStringA(g_instance, MessageFor(result), message, kTextCapacity);
  MessageBoxA(g_dialog, message, caption, MB_OK);
  SetDlgItemTextA(g_dialog, IDCANCEL, "Close");
}
