// Test control of the host Win32 layer: what the stub showed, what the
// dialog loop should do, and which platform calls should fail.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "hostwin32/hostwin32.h"

namespace hostwin32 {

struct MessageBoxRecord {
  std::string caption;  // exact bytes
  std::string text;     // exact bytes
  UINT type;
  bool hadOwner;
};

// One message delivered to the modal dialog's procedure.
struct DialogEvent {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};
DialogEvent Paint();
DialogEvent Cancel();  // WM_COMMAND with IDCANCEL, as Escape and the close box send it
DialogEvent Command(WORD id);

struct CallRecord;

struct Faults {
  // Called at the start of every logged platform call, before it acts: lets
  // a test change the file system between two of the stub's calls.
  std::function<void(const CallRecord& call)> beforeCall;
  // Each predicate, when set, decides per call whether that call fails.
  std::function<bool(const std::string& path)> createFileFails;
  std::function<bool(int callIndex)> readFileFails;  // 0-based count of ReadFile calls
  std::function<bool(int callIndex)> setFilePointerFails;
  bool getFileSizeFails = false;
  std::function<bool(const std::string& path)> closeHandleFails;  // path the handle was opened with
  DWORD shortReadLimit = 0;  // when non-zero, no ReadFile delivers more than this
  bool dialogCannotBeCreated = false;
  bool tempPathFails = false;  // GetTempPathA and GetTempPathW write nothing and return 0
};

// Back to a clean state: no faults, no scripts, empty logs, no open handles.
void Reset();

Faults& InjectedFaults();

// The ANSI code page is Windows-1252. A path set in ANSI bytes is that path
// in both forms; one set in UTF-16 is answered by the ANSI functions with
// "?" for every character the code page lacks, as the platform does.
// A wide path names the host file whose name holds each character the code
// page has as its byte, and any other as UTF-8.

// What GetModuleFileNameA/W and GetCommandLineA answer.
void SetModuleFileName(const std::string& path);
void SetModuleFileNameW(const std::u16string& path);
void SetCommandLine(const std::string& commandLine);
// Overrides GetTempPathA/W (otherwise TMPDIR, converted to "\" separators).
void SetTempPath(const std::string& path);
void SetTempPathW(const std::u16string& path);
// GetShortPathNameW answers `shortForm` in place of the leading components
// `longForm` of an existing path; without such a pair a path has no short
// form and comes back as it is. The test makes the short name exist on the
// host (a symbolic link).
void AddShortName(const std::u16string& longForm, const std::u16string& shortForm);
// The host path of a wide Windows path.
std::string HostPathW(const std::u16string& windowsPath);

const std::vector<MessageBoxRecord>& MessageBoxes();

// Events delivered by the dialog loop, in order, once its queue is empty
// (before the loop gives up on a dialog that never ends).
void ScriptDialogIdle(std::vector<DialogEvent> events);
// Events already queued when the first paint has been handled, such as a
// key press: they reach the procedure before anything it posted.
void ScriptAfterFirstPaint(std::vector<DialogEvent> events);
// Events delivered while message box number `index` (0-based) is open, before
// the queued messages of the nested loop run.
void ScriptDuringMessageBox(size_t index, std::vector<DialogEvent> events);

struct DialogRun {
  bool created = false;
  bool ended = false;
  bool gaveUp = false;  // the loop ran dry without EndDialog: a real one would hang
  INT_PTR result = 0;
  std::vector<DialogEvent> delivered;  // every message the procedure saw, in order
  std::vector<std::pair<DialogEvent, INT_PTR>> returns;
};
const DialogRun& LastDialog();

// One platform call, in the order the stub made them: the function's name
// and what tells the call apart (a path, a caption, a message, flags).
struct CallRecord {
  std::string function;
  std::string detail;
};
const std::vector<CallRecord>& Calls();

// What one CreateProcessA call was given.
struct ProcessStart {
  bool hasApplication = false;
  std::string application;
  std::string commandLine;
  bool hadProcessAttributes = false, hadThreadAttributes = false;
  BOOL inheritHandles = FALSE;
  DWORD flags = 0;
  bool hadEnvironment = false;
  bool hasCurrentDirectory = false;
  std::string currentDirectory;
  bool hadStartup = false;
  STARTUPINFOA startup{};  // a copy of the record as passed
};
const std::vector<ProcessStart>& ProcessStarts();

// Sizes of every WriteFile call, per path the handle was opened with.
const std::vector<std::pair<std::string, DWORD>>& Writes();

// Handles of files and searches that are open right now.
size_t OpenHandleCount();

// Host path for a Windows-style path: "\" becomes "/", and drive Z: is the
// host's root, as under Wine.
std::string HostPath(const std::string& windowsPath);

}  // namespace hostwin32
