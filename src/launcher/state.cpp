#include "launcher/state.h"

#include "archive/stream.h"

char OwnPath[OwnPathSize];
int32_t ArchiveOffset = -1;
char ExtractionRoot[ExtractionRootSize];
char SetupProgramPath[FullPathSize];
uint8_t AnyFileCreated = 0;
HWND DialogHandle = nullptr;
uint8_t ExtractionPending = 1;
uint8_t StartPosted = 0;
uint32_t WaitDialogTemplate[WaitDialogTemplateSize / 4];

void ResetLauncherState() {
  OwnPath[0] = 0;
  ArchiveOffset = -1;
  ArchiveHandle = INVALID_HANDLE_VALUE;
  ExtractionRoot[0] = 0;
  SetupProgramPath[0] = 0;
  AnyFileCreated = 0;
  DialogHandle = nullptr;
  ExtractionPending = 1;
  StartPosted = 0;
  for (uint32_t& word : WaitDialogTemplate) word = 0;
}
