#include "launcher/launch.h"

#include "launcher/state.h"
#include "launcher/wait_dialog.h"
#include "paths/paths.h"

static const char ReplaceMark = 0x01;

#ifdef _WIN32
static_assert(sizeof(STARTUPINFOA) == 68, "the start-up record the platform expects");
#endif

static char SetupArguments[CommandLineSize];
static char SetupCommandLine[CommandLineSize + FullPathSize + 2];

// Copies `source` to out[at...] within outSize - 1 characters; returns the
// new length.
static int Append(char* out, int at, int outSize, const char* source, int count) {
  for (int i = 0; i < count && at < outSize - 1; i++) out[at++] = source[i];
  out[at] = 0;
  return at;
}

int ReplaceAll(const char* text, const char* pattern, const char* replacement, char* out, int outSize) {
  // First pass: every occurrence becomes the mark, so a replacement that
  // holds the pattern cannot be matched again.
  static char marked[CommandLineSize];
  int patternLength = NulStringLength(pattern), replacementLength = NulStringLength(replacement);
  int n = 0;
  for (int i = 0; text[i] && n < CommandLineSize - 1;) {
    int k = 0;
    while (k < patternLength && text[i + k] == pattern[k]) k++;
    if (patternLength > 0 && k == patternLength) {
      marked[n++] = ReplaceMark;
      i += patternLength;
    } else {
      marked[n++] = text[i++];
    }
  }
  // Second pass: every mark, also one that was in the text, becomes the
  // replacement.
  int length = 0;
  out[0] = 0;
  for (int i = 0; i < n; i++) {
    if (marked[i] == ReplaceMark) length = Append(out, length, outSize, replacement, replacementLength);
    else length = Append(out, length, outSize, &marked[i], 1);
  }
  return length;
}

int ArgumentOne(char* out, int outSize) {
  const uint8_t* p = (const uint8_t*)GetCommandLineA();
  int length = 0;
  out[0] = 0;
  for (int token = 0; token < 2; token++) {
    // Skip blanks and control bytes, and every empty quoted pair.
    for (;;) {
      while (*p >= 0x01 && *p <= 0x20) p++;
      if (p[0] == '"' && p[1] == '"') {
        p += 2;
        continue;
      }
      break;
    }
    if (*p == 0) return 0;
    bool quoted = false;
    length = 0;
    while (*p != 0 && (quoted || *p > 0x20)) {
      if (*p == '"') {
        quoted = !quoted;
      } else if (token == 1 && length < outSize - 1) {
        out[length++] = (char)*p;
      }
      p++;
    }
  }
  out[length] = 0;
  return length;
}

const char* BuildSetupArguments() {
  static char argument[CommandLineSize];
  const char blank[] = " ", substitute[] = {BlankSubstitute, 0};
  ArgumentOne(argument, CommandLineSize);
  int n = ReplaceAll(OwnPath, blank, substitute, SetupArguments, CommandLineSize);
  n = Append(SetupArguments, n, CommandLineSize, blank, 1);
  static char replaced[CommandLineSize];
  int m = ReplaceAll(argument, blank, substitute, replaced, CommandLineSize);
  Append(SetupArguments, n, CommandLineSize, replaced, m);
  return SetupArguments;
}

void LaunchSetup(const char* programPath, const char* arguments) {
  int n = Append(SetupCommandLine, 0, sizeof SetupCommandLine, programPath, NulStringLength(programPath));
  n = Append(SetupCommandLine, n, sizeof SetupCommandLine, " ", 1);
  Append(SetupCommandLine, n, sizeof SetupCommandLine, arguments, NulStringLength(arguments));

  STARTUPINFOA startup;
  uint8_t* bytes = (uint8_t*)&startup;
  for (unsigned i = 0; i < sizeof startup; i++) bytes[i] = 0;
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION process;
  // The path also goes in as the application name: with none, the platform
  // would try the unquoted path cut at each blank and could start another
  // program planted there.
  BOOL started = CreateProcessA(programPath, SetupCommandLine, nullptr, nullptr, FALSE,
                                NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &process);
  EndWaitDialog();
  if (started) WaitForSingleObject(process.hProcess, SetupWaitMilliseconds);

  DeleteFileA(programPath);
  char folder[ExtractionRootSize];
  int length = 0;
  while (ExtractionRoot[length]) {
    folder[length] = ExtractionRoot[length];
    length++;
  }
  if (length > 0 && folder[length - 1] == '\\') length--;
  folder[length] = 0;
  if (length > 2) RemoveDirectoryA(folder);
}
