// Process-wide state of the launcher, shared by start-up, the wait dialog,
// the extraction and the launch of the setup program.
#pragma once

#include <stdint.h>

#include "win32api.h"

constexpr int OwnPathSize = 257;           // at most 255 characters are stored
constexpr int OwnPathMaxLength = 255;
constexpr int TempPathLimit = 256;         // what GetTempPathA may fill
// Room for the longest temporary path, a "\" and "_I_\", and the NUL.
constexpr int ExtractionRootSize = TempPathLimit + 1 + 4 + 1;
// The root followed by the longest entry name, and the NUL.
constexpr int FullPathSize = ExtractionRootSize + 258 + 1;
constexpr int WaitDialogTemplateSize = 1024;

extern char OwnPath[OwnPathSize];
extern int32_t ArchiveOffset;
extern char ExtractionRoot[ExtractionRootSize];
extern char SetupProgramPath[FullPathSize];  // empty until a path holding ".EXE" is extracted
extern uint8_t AnyFileCreated;
extern HWND DialogHandle;                    // DialogEnded once the dialog has been ended
extern uint8_t ExtractionPending;
extern uint8_t StartPosted;
extern uint32_t WaitDialogTemplate[WaitDialogTemplateSize / 4];  // 4-byte aligned

#define DialogEnded ((HWND)(intptr_t)-1)

// Puts every variable back to its value at process start.
void ResetLauncherState();
