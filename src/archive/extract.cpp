#include "archive/extract.h"

#include "archive/stream.h"
#include "inflate/inflate.h"
#include "launcher/messages.h"
#include "launcher/state.h"
#include "paths/paths.h"

EntryHeader CurrentEntry;
int32_t HeaderPosition = 0;

static char NameBuffer[MaxNameLength + 2];
static uint8_t CopyBuffer[ReadAheadCapacity + 2];

bool ReadEntryHeader() {
  // A header cut short by the end of the file is no header, whatever the
  // record holds from the entry before.
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
  uint16_t start = 0;  // of the current component
  for (uint16_t i = 0; i <= length; i++) {
    // The end of the name closes the last component like a separator.
    const char c = i < length ? name[i] : '\\';
    if (c == ':') return false;
    if (IsSeparator(c)) {
      if (i - start == 2 && name[start] == '.' && name[start + 1] == '.') return false;
      start = i + 1;
    }
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

// The last stamp converted and its result. DosDateTimeToFileTime depends on
// its arguments alone, so a run of entries with one stamp converts it once.
static bool StampKnown;
static uint32_t StampKey;  // DosTime, then DosDate above it
static BOOL StampValid;
static FILETIME StampLocal;

// The entry's MS-DOS date and time are local time; the file system keeps
// UTC. A date the platform rejects leaves the times it set. The step from
// local time to UTC is taken for every file: it follows the zone's rules in
// force at the moment of the call.
static void StampOutputFile() {
  const uint32_t key = (uint32_t)CurrentEntry.DosDate << 16 | CurrentEntry.DosTime;
  if (!StampKnown || key != StampKey) {
    StampValid = DosDateTimeToFileTime(CurrentEntry.DosDate, CurrentEntry.DosTime, &StampLocal);
    StampKey = key;
    StampKnown = true;
  }
  FILETIME utc;
  if (!StampValid || !LocalFileTimeToFileTime(&StampLocal, &utc)) return;
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

// The last folder that PathExists found in this run, exactly as it was
// searched for; also the buffer in which folders are prepared. Extraction
// removes nothing, so a search for it would find it again.
static char KnownFolder[FullPathSize];
static uint16_t KnownFolderLength;

// Makes the folders that the `n`-character path needs and creates its file
// in OutputHandle. False, after the folder message, when a folder is
// missing. Like PathExists, this leaves every "/" of the path turned into
// "\" unless the path ends in "\".
static bool CreateOutputFile(char* path, uint16_t n) {
  const bool endsInBackslash = path[n - 1] == '\\';
  if (!endsInBackslash) SlashesToBackslashes(path);
  // At least the extraction folder: never empty.
  const uint16_t folderLength = DirectoryPart(path, n);
  // A known folder makes every search below answer as it did before, and
  // nothing would be created: they can be left out. Should the create still
  // fail (someone else removed the folder meanwhile), the full preparation
  // runs and the create is tried again, as with an unknown folder.
  bool known = !endsInBackslash && folderLength == KnownFolderLength;
  for (uint16_t i = 0; known && i < folderLength; i++) known = path[i] == KnownFolder[i];
  for (;;) {
    if (!known && !PathExists(path)) {
      KnownFolderLength = 0;
      for (uint16_t i = 0; i < folderLength; i++) KnownFolder[i] = path[i];
      KnownFolder[folderLength] = 0;
      CreateDirectoryChain(KnownFolder, folderLength);
      if (!PathExists(KnownFolder)) {
        ShowMessage(KnownFolder, CaptionNoFolder);
        return false;
      }
      // A folder ending in "\" was searched for as a pattern inside it.
      if (KnownFolder[folderLength - 1] != '\\') KnownFolderLength = folderLength;
    }
    OutputHandle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (OutputHandle != INVALID_HANDLE_VALUE || !known) return true;
    known = false;
  }
}

static void ShowNameError() { ShowMessage(TextNoEntryName, MessageCaption); }

void ExtractAll() {
  SeekArchive(ArchiveOffset, FILE_BEGIN);
  if (SeekResult == -1) {
    ShowMessage(TextLocateFailed, MessageCaption);
    return;
  }
  char path[FullPathSize];
  KnownFolderLength = 0;
  StampKnown = false;
  while (ReadEntryHeader()) {
    HeaderPosition = SeekResult;
    uint16_t nameLength = CurrentEntry.NameLength;
    // A name longer than the buffer is refused like an empty one.
    if (nameLength > MaxNameLength) {
      ShowNameError();
      break;
    }
    DWORD delivered = 0;
    ReadScrambled(ArchiveHandle, NameBuffer, nameLength, &delivered);
    if (delivered < nameLength) break;  // the archive ends inside the name
    uint16_t length = TrimAtNul(NameBuffer, nameLength);
    if (!EntryNameIsSafe(NameBuffer, length)) {
      ShowNameError();
      break;
    }
    if (CurrentEntry.Flags & FlagEncrypted) break;
    // Sizes of 2^31 and more are outside the format: they end the run here,
    // as does an entry that would end past 2^31 - 1.
    int64_t next = (int64_t)HeaderPosition + EntryHeaderSize + nameLength + CurrentEntry.CompressedSize;
    if (next > 0x7FFFFFFF) break;

    AppendBackslash(ExtractionRoot);
    uint16_t n = 0;
    for (const char* p = ExtractionRoot; *p; p++) path[n++] = *p;
    for (uint16_t i = 0; i < length; i++) path[n++] = NameBuffer[i];
    path[n] = 0;

    if (!CreateOutputFile(path, n)) break;
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
    // When the entry's data was read to its end the stream stands at the
    // next header already, and the seek would change nothing.
    if (ArchivePosition == (int32_t)next) SeekResult = (int32_t)next;
    else SeekArchive((int32_t)next, FILE_BEGIN);
  }
}
