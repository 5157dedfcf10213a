// Every text the program shows. Windows-1252 bytes; line breaks are single
// carriage returns.
#pragma once

// The maker's contact block, shown in the three start-up error texts.
#define CONTACT_BLOCK_TEXT \
  "E-mail: soporte@example.com\rhttps://www.example.com/velunax\rhttps://support.example.com/velunax"

extern const char ContactBlock[];
extern const char MessageCaption[];       // "Velunax Software"
extern const char TextDamagedInstaller[];  // SFXAID
extern const char TextCannotUncompress[];  // SFXNDA
extern const char TextCannotReconstruct[]; // SFXNRA
extern const char TextCompletedIn[];       // followed by the extraction folder

extern const char TextLocateFailed[];      // SFXELI
extern const char TextNoEntryName[];       // SFXENC
extern const char CaptionNoFolder[];
extern const char TextOpenFailed[];        // SFXEAA
extern const char TextUnknownMethod[];     // SFXMCD
extern const char TextCloseFailed[];       // SFXECA

// Shows one message: no owner window, an OK button only; the answer is not
// looked at.
void ShowMessage(const char* text, const char* caption);
