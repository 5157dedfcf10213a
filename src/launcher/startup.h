// The program's main flow: find the archive, open the own file, run the
// wait dialog (which extracts and launches), then show the closing message.
#pragma once

#include "win32api.h"

// The whole run, from taking the own path to the closing message. The
// entry routine ends the process with exit code 0 after it.
void RunInstaller();

// Fills ExtractionRoot with the temporary folder followed by "_I_\".
void PrepareExtractionRoot();

enum class ClosingMessage { None, CannotReconstruct, Completed };

// Which message follows the dialog, from its result and what the extraction
// left behind.
ClosingMessage ChooseClosingMessage(INT_PTR dialogResult);

void ShowClosingMessage(ClosingMessage message);
