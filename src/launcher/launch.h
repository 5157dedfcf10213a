// Starting the extracted setup program, waiting for it a little, and
// removing what it no longer needs.
#pragma once

#include <stdint.h>

#include "win32api.h"

// Stands for each blank of the own path and of argument 1 on the setup
// program's command line.
constexpr char BlankSubstitute = (char)0xAC;
// Room for the longest command line the platform accepts.
constexpr int CommandLineSize = 32768;
constexpr DWORD SetupWaitMilliseconds = 10000;

// Replaces every occurrence of `pattern` (1 byte or more, no byte 0x01) in
// the NUL-terminated `text` by `replacement`, scanning from the left; a
// byte 0x01 already in the text is replaced too. Writes at most
// `outSize` - 1 characters and a NUL; returns the length written.
int ReplaceAll(const char* text, const char* pattern, const char* replacement, char* out, int outSize);

// The second token of the process's command line, quotes removed, taken
// whole however long. Returns its length.
int ArgumentOne(char* out, int outSize);

// The own path and argument 1, blanks substituted, joined by one blank.
const char* BuildSetupArguments();

// Starts the program with "program arguments" as its command line, ends
// the wait dialog, waits at most 10 seconds, deletes the program's file
// and tries to remove the extraction folder.
void LaunchSetup(const char* programPath, const char* arguments);
