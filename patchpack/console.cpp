#include "console.h"

#include <cstdio>

#include "host_files.h"

namespace {

const int kBarWidth = 40;
int g_barPercent = -1;  // on screen; -1 for no bar

void DrawBar() {
  char line[kBarWidth + 32];
  int filled = g_barPercent * kBarWidth / 100;
  int at = std::snprintf(line, sizeof line, "\r[");
  for (int i = 0; i < kBarWidth; ++i) line[at++] = i < filled ? '#' : '.';
  std::snprintf(line + at, sizeof line - at, "] %3d%%", g_barPercent);
  std::fputs(line, stderr);
}

}  // namespace

void PrintError(const std::string& subject, const std::string& reason) {
  if (g_barPercent >= 0) std::fprintf(stderr, "\r%*s\r", kBarWidth + 8, "");
  std::fprintf(stderr, "patchpack: %s: %s\n", subject.c_str(), reason.c_str());
  if (g_barPercent >= 0) DrawBar();
}

void ShowProgress(std::uint32_t percent) {
  static const bool terminal = IsTerminal(stderr);
  int shown = static_cast<int>(percent > 100 ? 100 : percent);
  if (!terminal || shown == g_barPercent) return;
  g_barPercent = shown;
  DrawBar();
}

void EndProgress() {
  if (g_barPercent >= 0) std::fputc('\n', stderr);
  g_barPercent = -1;
}
