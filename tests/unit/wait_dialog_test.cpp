#include "launcher/wait_dialog.h"

#include <filesystem>

#include "archive/stream.h"
#include "hostwin32/hostwin32_control.h"
#include "launcher/startup.h"
#include "launcher/state.h"
#include "test_support.h"

namespace {

using hostwin32::Cancel;
using hostwin32::Command;
using hostwin32::Paint;

uint32_t U32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
uint16_t U16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }

TEST(WaitDialogTemplateTest, BytesAsThePlatformReadsThem) {
  ResetLauncherState();
  uint8_t* t = (uint8_t*)WaitDialogTemplate;
  for (int i = 0; i < WaitDialogTemplateSize; i++) t[i] = 0xEE;  // no byte may be left over
  BuildWaitDialogTemplate();
  EXPECT_EQ(U32(t + 0), 0x80C80880u);
  EXPECT_EQ(U32(t + 4), 0u);
  EXPECT_EQ(U16(t + 8), 1);
  EXPECT_EQ(U16(t + 10), 328);
  EXPECT_EQ(U16(t + 12), 278);
  EXPECT_EQ(U16(t + 14), 144);
  EXPECT_EQ(U16(t + 16), 44);
  EXPECT_EQ(U16(t + 18), 0);  // no menu
  EXPECT_EQ(U16(t + 20), 0);  // the platform's dialog class
  const std::string title = "Velunax Software ";
  for (size_t i = 0; i < title.size(); i++) EXPECT_EQ(U16(t + 22 + 2 * i), (uint8_t)title[i]) << i;
  EXPECT_EQ(U16(t + 56), 0);  // title NUL
  EXPECT_EQ(U16(t + 58), 0);  // alignment
  EXPECT_EQ(U32(t + 60), 0x50000000u);
  EXPECT_EQ(U32(t + 64), 0u);
  EXPECT_EQ(U16(t + 68), 4);
  EXPECT_EQ(U16(t + 70), 10);
  EXPECT_EQ(U16(t + 72), 160);
  EXPECT_EQ(U16(t + 74), 30);
  EXPECT_EQ(U16(t + 76), 0);
  EXPECT_EQ(U16(t + 78), 0xFFFF);
  EXPECT_EQ(U16(t + 80), 0x0082);
  const std::string text = "Iniciando el asistente para la instalaci\xF3n.\rEspere un momento...";
  ASSERT_EQ(text.size(), 64u);
  for (size_t i = 0; i < text.size(); i++) EXPECT_EQ(U16(t + 82 + 2 * i), (uint8_t)text[i]) << i;
  EXPECT_EQ(U16(t + 210), 0);  // text NUL
  EXPECT_EQ(U16(t + 212), 0);  // no creation data
  for (int i = 214; i < 278; i++) EXPECT_EQ(t[i], 0) << i;
  // Nothing beyond the item area is written.
  for (int i = 278; i < WaitDialogTemplateSize; i++) ASSERT_EQ(t[i], 0xEE) << i;
}

class WaitDialogTest : public StubTest {
 protected:
  void Install(const std::vector<RawEntry>& entries) {
    WriteHostFile(temp / "setup.exe", MakeInstaller(entries));
  }
  int Delivered(UINT message) {
    int n = 0;
    for (auto& e : hostwin32::LastDialog().delivered) n += e.message == message;
    return n;
  }
  std::vector<Bytes> BoxTexts() {
    std::vector<Bytes> out;
    for (auto& b : hostwin32::MessageBoxes()) out.push_back(b.text.substr(0, 27));
    return out;
  }
};

const Bytes Completed = "Instalaci\xF3n completada en\r\r";
const Bytes Reconstruct = "No puedo reconstruir los ar";  // the SFXNRA text's first 27 bytes
const Bytes OpenError = "Error al abrir el archivo\r\r";

TEST_F(WaitDialogTest, FirstPaintStartsTheExtractionOnce) {
  Install({{"a.txt", "1"}});
  hostwin32::ScriptAfterFirstPaint({Paint(), Paint()});
  hostwin32::ScriptDialogIdle({Paint()});
  RunInstaller();
  EXPECT_EQ(Delivered(WM_USER), 1);
  EXPECT_TRUE(hostwin32::LastDialog().ended);
  EXPECT_EQ(hostwin32::LastDialog().result, 0);
  EXPECT_EQ(ReadHostFile(RootHost() + "/a.txt"), "1");
  EXPECT_EQ(BoxTexts(), std::vector<Bytes>{Completed});
  EXPECT_EQ(DialogHandle, DialogEnded);
}

TEST_F(WaitDialogTest, StartStepPutsTheWindowOnScreenBeforeExtracting) {
  Install({{"a.txt", "1"}});
  RunInstaller();
  const auto& calls = hostwin32::Calls();
  auto next = [&](const std::string& function, size_t from) {
    for (size_t i = from; i < calls.size(); i++) {
      if (calls[i].function == function) return (int)i;
    }
    return -1;
  };
  const int dialog = next("DialogBoxIndirectParamA", 0);
  ASSERT_GE(dialog, 0);
  const int redraw = next("RedrawWindow", dialog);
  ASSERT_GE(redraw, 0) << "the dialog is never repainted";
  EXPECT_EQ(calls[redraw].detail, std::to_string(RDW_UPDATENOW | RDW_ALLCHILDREN));
  // The queue is looked at right after the paint, and nothing is taken out.
  ASSERT_LT(redraw + 1, (int)calls.size());
  EXPECT_EQ(calls[redraw + 1].function, "PeekMessageA");
  EXPECT_EQ(calls[redraw + 1].detail, std::to_string(PM_NOREMOVE));
  // Only then does the extraction touch the archive or the disk.
  for (const char* work : {"SetFilePointer", "CreateFileA", "FindFirstFileA", "CreateDirectoryA"}) {
    const int first = next(work, dialog);
    ASSERT_GE(first, 0) << work;
    EXPECT_GT(first, redraw + 1) << work;
  }
  EXPECT_EQ(next("RedrawWindow", redraw + 1), -1);  // painted once
  EXPECT_EQ(Delivered(WM_USER), 1);
  EXPECT_EQ(ReadHostFile(RootHost() + "/a.txt"), "1");
}

TEST_F(WaitDialogTest, CancelBeforeTheStartMessage) {
  Install({{"a.txt", "1"}});
  hostwin32::ScriptAfterFirstPaint({Cancel()});
  RunInstaller();
  EXPECT_TRUE(hostwin32::LastDialog().ended);
  EXPECT_EQ(hostwin32::LastDialog().result, 0);
  EXPECT_EQ(StartPosted, 0);
  EXPECT_EQ(ExtractionPending, 1);  // the extraction never ran
  EXPECT_FALSE(HostExists(RootHost()));
  EXPECT_EQ(BoxTexts(), std::vector<Bytes>{Reconstruct});
  // The start message still queued then does nothing.
  EXPECT_EQ(WaitDialogProc(DialogHandle, WM_USER, 0, 0), FALSE);
}

TEST_F(WaitDialogTest, OtherCommandsChangeNothing) {
  Install({{"a.txt", "1"}});
  hostwin32::ScriptAfterFirstPaint({Command(IDOK), Command(0x1234)});
  RunInstaller();
  for (auto& r : hostwin32::LastDialog().returns) {
    if (r.first.message == WM_COMMAND) {
      EXPECT_EQ(r.second, FALSE);
    }
  }
  EXPECT_EQ(ReadHostFile(RootHost() + "/a.txt"), "1");
  EXPECT_EQ(BoxTexts(), std::vector<Bytes>{Completed});
}

TEST_F(WaitDialogTest, CancelWhileAnExtractionBoxIsOpen) {
  Install({{"folder\\", ""}, {"after.txt", "still extracted"}});
  hostwin32::ScriptDuringMessageBox(0, {Cancel(), Paint()});
  RunInstaller();
  EXPECT_TRUE(hostwin32::LastDialog().ended);
  EXPECT_EQ(hostwin32::LastDialog().result, 0);
  EXPECT_EQ(ReadHostFile(RootHost() + "/after.txt"), "still extracted");
  EXPECT_EQ(BoxTexts(), (std::vector<Bytes>{OpenError, Completed}));
}

TEST_F(WaitDialogTest, ReturnValuesFollowTheState) {
  HWND window = (HWND)(intptr_t)0x77;
  // Creating: the handle is taken only while the extraction is pending.
  EXPECT_EQ(WaitDialogProc(window, WM_INITDIALOG, 0, 0), FALSE);
  EXPECT_EQ(DialogHandle, window);
  ExtractionPending = 0;
  DialogHandle = nullptr;
  EXPECT_EQ(WaitDialogProc(window, WM_INITDIALOG, 0, 0), FALSE);
  EXPECT_EQ(DialogHandle, nullptr);
  // A start message that was never posted returns TRUE and starts nothing.
  ResetLauncherState();
  DialogHandle = window;
  EXPECT_EQ(WaitDialogProc(window, WM_USER, 0, 0), TRUE);
  EXPECT_EQ(ExtractionPending, 1);
  EXPECT_EQ(WaitDialogProc(window, 0x0002 /* WM_DESTROY */, 0, 0), FALSE);
  // Once ended, every message returns FALSE and changes nothing.
  DialogHandle = DialogEnded;
  StartPosted = 1;
  for (UINT message : {UINT(WM_INITDIALOG), UINT(WM_PAINT), UINT(WM_USER), UINT(WM_COMMAND), 0x0010u}) {
    EXPECT_EQ(WaitDialogProc(window, message, IDCANCEL, 0), FALSE) << message;
  }
  EXPECT_EQ(DialogHandle, DialogEnded);
  EXPECT_EQ(StartPosted, 1);
  EXPECT_EQ(ExtractionPending, 1);
}

TEST_F(WaitDialogTest, SetupProgramThatCannotStart) {
  // The file is no program: the launch fails quietly, the dialog ends, the
  // file is deleted and the folder, then empty, removed.
  Install({{"setup.EXE", "not a program"}});
  RunInstaller();
  EXPECT_TRUE(hostwin32::LastDialog().ended);
  EXPECT_EQ(hostwin32::LastDialog().result, 0);
  EXPECT_TRUE(hostwin32::MessageBoxes().empty());
  EXPECT_FALSE(HostExists(RootHost() + "/setup.EXE"));
  EXPECT_FALSE(HostExists(RootHost()));
}

}  // namespace
