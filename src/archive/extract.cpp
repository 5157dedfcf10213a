#include "archive/extract.h"

#include "archive/stream.h"
#include "inflate/inflate.h"
#include "launcher/messages.h"
#include "launcher/state.h"
#include "paths/paths.h"

HANDLE OutputHandle = INVALID_HANDLE_VALUE;
EntryHeader CurrentEntry;
int32_t HeaderPosition = 0;

static char NameBuffer[MaxNameLength + 2];
static uint8_t CopyBuffer[ReadAheadCapacity + 2];

bool ReadEntryHeader() {
  // Cleared first: a header cut short by the end of the file must not be
  // completed with the fields of the entry before it.
  uint8_t* bytes = (uint8_t*)&CurrentEntry;
  for (int i = 0; i < EntryHeaderSize; i++) bytes[i] = 0;
  DWORD delivered = 0;
  ReadScrambled(ArchiveHandle, &CurrentEntry, EntryHeaderSize, &delivered);
  bool valid = delivered == (DWORD)EntryHeaderSize &&
               (CurrentEntry.Signature == SignatureLocal || CurrentEntry.Signature == SignatureAlternate);
  EntryRemaining = valid ? (int32_t)CurrentEntry.CompressedSize : 0;
  return valid;
}

uint16_t TrimAtNul(const char* bytes, uint16_t n) {
  uint16_t length = 0;
  while (length < n && bytes[length] != 0) length++;
  return length;
}

bool EntryNameIsSafe(const char* name, uint16_t length) {
  if (length == 0 || IsSeparator(name[0])) return false;
  for (uint16_t i = 0; i < length; i++) {
    if (name[i] == ':') return false;
  }
  for (uint16_t start = 0; start < length;) {
    uint16_t end = start;
    while (end < length && !IsSeparator(name[end])) end++;
    if (end - start == 2 && name[start] == '.' && name[start + 1] == '.') return false;
    start = end + 1;
  }
  return true;
}

void CopyStoredEntry() {
  while (EntryRemaining > 0) {
    int32_t want = EntryRemaining < ReadAheadCapacity ? EntryRemaining : ReadAheadCapacity;
    DWORD delivered = 0;
    ReadScrambled(ArchiveHandle, CopyBuffer, want, &delivered);
    if (delivered == 0) break;  // the archive ends early
    EntryRemaining -= (int32_t)delivered;
    DWORD written = 0;
    WriteFile(OutputHandle, CopyBuffer, delivered, &written, nullptr);
  }
}

// The entry's MS-DOS date and time are local time; the file system keeps
// UTC. A date the platform rejects leaves the times it set.
static void StampOutputFile() {
  FILETIME local, utc;
  if (!DosDateTimeToFileTime(CurrentEntry.DosDate, CurrentEntry.DosTime, &local)) return;
  if (!LocalFileTimeToFileTime(&local, &utc)) return;
  SetFileTime(OutputHandle, &utc, &utc, &utc);
}

static bool Contains(const char* text, const char* part) {
  for (; *text; text++) {
    int k = 0;
    while (part[k] && text[k] == part[k]) k++;
    if (!part[k]) return true;
  }
  return false;
}

static void ShowNameError() { ShowMessage(TextNoEntryName, MessageCaption); }

void ExtractAll() {
  SeekArchive(ArchiveOffset, FILE_BEGIN);
  if (SeekResult == -1) {
    ShowMessage(TextLocateFailed, MessageCaption);
    return;
  }
  char path[FullPathSize];
  char folder[FullPathSize];
  while (ReadEntryHeader()) {
    HeaderPosition = SeekResult;
    uint16_t nameLength = CurrentEntry.NameLength;
    // A name longer than the buffer is refused like an empty one.
    if (nameLength > MaxNameLength) {
      ShowNameError();
      break;
    }
    DWORD delivered = 0;
    for (int i = 0; i < MaxNameLength + 2; i++) NameBuffer[i] = 0;
    ReadScrambled(ArchiveHandle, NameBuffer, nameLength, &delivered);
    if (delivered < nameLength) break;  // the archive ends inside the name
    uint16_t length = TrimAtNul(NameBuffer, nameLength);
    if (!EntryNameIsSafe(NameBuffer, length)) {
      ShowNameError();
      break;
    }
    if (CurrentEntry.Flags & FlagEncrypted) break;
    // Sizes of 2^31 and more are outside the format.
    if ((int32_t)CurrentEntry.CompressedSize < 0) break;
    int64_t next = (int64_t)HeaderPosition + EntryHeaderSize + nameLength + CurrentEntry.CompressedSize;
    if (next > 0x7FFFFFFF) break;

    AppendBackslash(ExtractionRoot);
    uint16_t n = 0;
    for (const char* p = ExtractionRoot; *p; p++) path[n++] = *p;
    for (uint16_t i = 0; i < length; i++) path[n++] = NameBuffer[i];
    path[n] = 0;

    if (!PathExists(path)) {
      uint16_t folderLength = DirectoryPart(path, n);
      for (uint16_t i = 0; i < folderLength; i++) folder[i] = path[i];
      folder[folderLength] = 0;
      CreateDirectoryChain(folder, folderLength);
      if (!PathExists(folder)) {
        ShowMessage(folder, CaptionNoFolder);
        break;
      }
    }

    OutputHandle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    // The first path holding ".EXE" is the setup program, whether or not its
    // file could be created.
    if (SetupProgramPath[0] == 0 && Contains(path, ".EXE")) {
      for (uint16_t i = 0; i <= n; i++) SetupProgramPath[i] = path[i];
    }
    if (OutputHandle == INVALID_HANDLE_VALUE) {
      ShowMessage(TextOpenFailed, path);
    } else {
      AnyFileCreated = 1;
      EntryRemaining = (int32_t)CurrentEntry.CompressedSize;
      bool stop = false;
      if (CurrentEntry.Method == MethodStored) {
        CopyStoredEntry();
      } else if (CurrentEntry.Method == MethodDeflated) {
        InflateEntry();
      } else {
        ShowMessage(TextUnknownMethod, MessageCaption);
        stop = true;
      }
      StampOutputFile();
      if (!CloseHandle(OutputHandle)) ShowMessage(TextCloseFailed, path);
      OutputHandle = INVALID_HANDLE_VALUE;
      if (stop) break;
    }
    SeekArchive((int32_t)next, FILE_BEGIN);
  }
}
