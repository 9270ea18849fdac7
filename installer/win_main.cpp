#include "patch_installer.h"

// The program takes no arguments: the command line and show state are unused.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  return PatchInstallerMain(instance);
}
