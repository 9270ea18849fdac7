// What patchpack shows on its console: one line per error, and a progress
// bar on a terminal.
#ifndef PATCHPACK_CONSOLE_H
#define PATCHPACK_CONSOLE_H

#include <cstdint>
#include <string>

#include "host_text.h"

// Beyond this many problems listed, the rest would only scroll the first ones
// away.
const std::size_t kMaxReported = 50;

// Prints "patchpack: SUBJECT: REASON" on stderr as one line, above the
// progress bar if one is drawn.
void PrintError(const std::string& subject, const std::string& reason);
inline void PrintError(const HostError& error) { PrintError(error.subject, error.reason); }

// Draws "[####....]  42%" on stderr when it is a terminal, in place.
void ShowProgress(std::uint32_t percent);
// Ends the bar's line, if one is drawn.
void EndProgress();

#endif  // PATCHPACK_CONSOLE_H
