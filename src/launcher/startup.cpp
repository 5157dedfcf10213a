#include "launcher/startup.h"

#include "archive/locator.h"
#include "archive/stream.h"
#include "launcher/messages.h"
#include "launcher/state.h"
#include "launcher/wait_dialog.h"
#include "paths/ansi_spelling.h"
#include "paths/paths.h"

// GetModuleFileNameA is given this much room; OwnPath keeps the first 255.
constexpr DWORD ModulePathRoom = 261;

// The wide form of the own path or the temporary folder, while start-up
// checks that their ANSI forms can be opened.
static WCHAR WidePath[WidePathRoom];

void PrepareExtractionRoot() {
  ExtractionRoot[0] = 0;
  DWORD length = GetTempPathA(TempPathLimit, ExtractionRoot);
  // The platform writes nothing when the buffer is too small; whatever it
  // answers, never read past what the buffer holds.
  if (length == 0 || length >= (DWORD)TempPathLimit) ExtractionRoot[0] = 0;
  ExtractionRoot[TempPathLimit - 1] = 0;
  DWORD wideLength = GetTempPathW(WidePathRoom, WidePath);
  if (wideLength > 0 && wideLength < WidePathRoom) PreferOpenableSpelling(WidePath, ExtractionRoot, TempPathLimit);
  uint16_t n = NulStringLength(ExtractionRoot);
  if (n == 0 || ExtractionRoot[n - 1] != '\\') ExtractionRoot[n++] = '\\';
  const char folder[] = "_I_\\";
  for (int i = 0; i < 5; i++) ExtractionRoot[n + i] = folder[i];
}

ClosingMessage ChooseClosingMessage(INT_PTR dialogResult) {
  if (dialogResult == -1 || !AnyFileCreated) return ClosingMessage::CannotReconstruct;
  if (SetupProgramPath[0] == 0) return ClosingMessage::Completed;
  return ClosingMessage::None;
}

void ShowClosingMessage(ClosingMessage message) {
  if (message == ClosingMessage::CannotReconstruct) {
    ShowMessage(TextCannotReconstruct, MessageCaption);
  } else if (message == ClosingMessage::Completed) {
    char text[64 + ExtractionRootSize];
    uint16_t n = 0;
    for (const char* p = TextCompletedIn; *p; p++) text[n++] = *p;
    for (const char* p = ExtractionRoot; *p; p++) text[n++] = *p;
    text[n] = 0;
    ShowMessage(text, MessageCaption);
  }
}

void RunInstaller() {
  HINSTANCE instance = GetModuleHandleA(nullptr);

  char modulePath[ModulePathRoom + 1];
  for (DWORD i = 0; i <= ModulePathRoom; i++) modulePath[i] = 0;
  GetModuleFileNameA(nullptr, modulePath, ModulePathRoom);
  DWORD wideLength = GetModuleFileNameW(nullptr, WidePath, WidePathRoom);
  if (wideLength > 0 && wideLength < WidePathRoom) PreferOpenableSpelling(WidePath, modulePath, OwnPathMaxLength + 1);
  int n = 0;
  while (n < OwnPathMaxLength && modulePath[n] != 0) {
    OwnPath[n] = modulePath[n];
    n++;
  }
  OwnPath[n] = 0;

  ArchiveOffset = LocateArchive(OwnPath);
  if (ArchiveOffset == -1) {
    ShowMessage(TextDamagedInstaller, MessageCaption);
    return;
  }
  ArchiveHandle = CreateFileA(OwnPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ArchiveHandle == INVALID_HANDLE_VALUE) {
    ShowMessage(TextCannotUncompress, MessageCaption);
    return;
  }
  BuildWaitDialogTemplate();
  PrepareExtractionRoot();
  INT_PTR result = DialogBoxIndirectParamA(instance, (LPCDLGTEMPLATEA)WaitDialogTemplate, nullptr,
                                           WaitDialogProc, 0);
  ShowClosingMessage(ChooseClosingMessage(result));
}
