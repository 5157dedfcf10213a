#include "launcher/wait_dialog.h"

#include "archive/extract.h"
#include "launcher/launch.h"
#include "launcher/state.h"

const char WaitText[] = "Iniciando el asistente para la instalaci\xF3" "n.\rEspere un momento...";
static_assert(sizeof WaitText == WaitTextLength + 1, "the wait text has 64 characters");

// Menu word, class word, the title "Velunax Software " in UTF-16LE with its
// NUL, and two bytes that align the item that follows to 4 bytes.
const uint8_t CaptionBlock[CaptionBlockSize] = {
    0, 0, 0, 0,
    'V', 0, 'e', 0, 'l', 0, 'u', 0, 'n', 0, 'a', 0, 'x', 0, ' ', 0, 'S', 0,
    'o', 0, 'f', 0, 't', 0, 'w', 0, 'a', 0, 'r', 0, 'e', 0, ' ', 0, 0, 0,
    0, 0,
};

constexpr int ItemAreaOffset = 78;
constexpr int ItemAreaSize = 200;

static void Put16(uint8_t* at, uint16_t value) {
  at[0] = (uint8_t)value;
  at[1] = (uint8_t)(value >> 8);
}

static void Put32(uint8_t* at, uint32_t value) {
  Put16(at, (uint16_t)value);
  Put16(at + 2, (uint16_t)(value >> 16));
}

void BuildWaitDialogTemplate() {
  uint8_t* t = (uint8_t*)WaitDialogTemplate;
  // WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_CENTER | DS_MODALFRAME, no font.
  Put32(t + 0, 0x80C80880u);
  Put32(t + 4, 0);
  Put16(t + 8, 1);     // one item
  Put16(t + 10, 328);  // x, y: DS_CENTER places the window
  Put16(t + 12, 278);
  Put16(t + 14, 144);  // cx, cy in dialog units
  Put16(t + 16, 44);
  for (int i = 0; i < CaptionBlockSize; i++) t[18 + i] = CaptionBlock[i];
  // The static text item: WS_CHILD | WS_VISIBLE | SS_LEFT. It is wider than
  // the dialog, whose edge clips it.
  Put32(t + 60, 0x50000000u);
  Put32(t + 64, 0);
  Put16(t + 68, 4);
  Put16(t + 70, 10);
  Put16(t + 72, 160);
  Put16(t + 74, 30);
  Put16(t + 76, 0);  // id
  uint8_t* area = t + ItemAreaOffset;
  for (int i = 0; i < ItemAreaSize; i++) area[i] = 0;
  Put16(area + 0, 0xFFFF);  // predefined class: static
  Put16(area + 2, 0x0082);
  // Each byte widened to one UTF-16 unit as it is; the NUL and the empty
  // creation-data word are the zeros that follow.
  for (int i = 0; i < WaitTextLength; i++) Put16(area + 4 + 2 * i, (uint8_t)WaitText[i]);
}

void EndWaitDialog() {
  if (DialogHandle != DialogEnded) EndDialog(DialogHandle, 0);
  DialogHandle = DialogEnded;
}

// The window's drawing reaches the screen only when this thread next looks
// at its message queue, which the extraction does not do while it runs.
// Paint the dialog and its text now and look at the queue once, taking
// nothing from it, so the user sees the text for the whole extraction.
static void ShowWaitWindowNow() {
  RedrawWindow(DialogHandle, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  MSG queued;
  PeekMessageA(&queued, nullptr, 0, 0, PM_NOREMOVE);
}

// The start message: extract everything once, then launch or end.
static void RunStartStep() {
  ExtractionPending = 0;
  ShowWaitWindowNow();
  ExtractAll();
  if (SetupProgramPath[0] == 0) {
    EndWaitDialog();
  } else {
    LaunchSetup(SetupProgramPath, BuildSetupArguments());
  }
}

INT_PTR CALLBACK WaitDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
  if (DialogHandle == DialogEnded) return FALSE;
  switch (message) {
    case WM_INITDIALOG:
      if (ExtractionPending) DialogHandle = window;
      return FALSE;
    case WM_PAINT:
      // The first paint queues the start, so the extraction begins only
      // once the window is on screen; later paints must not queue again.
      if (!StartPosted && ExtractionPending) {
        StartPosted = 1;
        PostMessageA(window, WM_USER, 0, 0);
      }
      return FALSE;
    case WM_USER:
      if (StartPosted && ExtractionPending) RunStartStep();
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) != IDCANCEL) return FALSE;
      StartPosted = 0;
      EndWaitDialog();
      return TRUE;
    default:
      return FALSE;
  }
}
