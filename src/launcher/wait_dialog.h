// The small modal wait window. Its first paint posts a start message to
// itself; on that message the procedure runs the extraction and then hands
// over to the launch of the setup program.
#pragma once

#include <stdint.h>

#include "win32api.h"

extern const char WaitText[];
constexpr int WaitTextLength = 64;
constexpr int CaptionBlockSize = 42;
extern const uint8_t CaptionBlock[CaptionBlockSize];
// Bytes of the template the platform reads; the item area runs to 278.
constexpr int WaitTemplateUsedSize = 214;
constexpr int WaitTemplateSpan = 278;

// Writes the dialog template into WaitDialogTemplate.
void BuildWaitDialogTemplate();

// Ends the dialog unless it has been ended already; from then on the
// procedure ignores every message.
void EndWaitDialog();

INT_PTR CALLBACK WaitDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
