// Entry names as the stub sees them: single-byte Windows-1252 text with '\'
// separators, appended byte for byte to the extraction folder.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

// Decodes one UTF-8 character at text[i] into cp: its length in bytes, or 0
// when it is malformed (overlong forms, values past U+10FFFF and, unless
// keep_surrogates, encoded surrogates included).
size_t DecodeUtf8(const std::string& text, size_t i, uint32_t& cp, bool keep_surrogates = false);

// Appends code point cp (at most U+10FFFF) in UTF-8. Surrogates are written
// in the three-byte form, which DecodeUtf8 refuses unless told to keep them.
void AppendUtf8(std::string& out, uint32_t cp);

// Converts UTF-8 text to Windows-1252. Returns false, with the offending
// character described in *bad, when the text is not valid UTF-8 or holds a
// character that Windows-1252 cannot hold.
bool Utf8ToWindows1252(const std::string& utf8, std::string& out, std::string* bad);

// Converts Windows-1252 text to UTF-8. The five bytes that Windows-1252 leaves
// undefined become the C1 control characters of the same value, as Windows
// itself maps them.
std::string Windows1252ToUtf8(const std::string& text);

// How the stub would fare with a stored name.
enum class NameVerdict {
  Ok,
  // The stub stops the whole extraction at such an entry: empty, too long,
  // a drive letter or any ':', a leading separator, a ".." component.
  Refused,
  // The stub goes on, but Windows cannot create the file: a name ending in a
  // separator, an empty or "." component, a character Windows forbids in file
  // names, a component ending in '.' or ' ', or a device name such as NUL.
  Unwritable,
};

// Judges a stored name (already cut at its first zero byte). *why receives a
// short reason when the verdict is not Ok.
NameVerdict CheckEntryName(const std::string& name, std::string* why);

// The stub starts the first extracted path that holds ".EXE", compared
// case-sensitively.
bool ContainsUpperExe(const std::string& name);

// A name ending in ".exe" in any other case than ".EXE", without ".EXE"
// elsewhere: looks like a program, yet the stub never starts it.
bool LooksLikeUnstartedExe(const std::string& name);

// A Windows-1252 name with its letters in upper case and '/' as '\', so that
// two names Windows takes for the same file fold to the same text.
std::string FoldNameCase(const std::string& name);

// The pairs of names that Windows would take for one file (equal once
// folded by FoldNameCase), as indices into names, in folded order: the
// earlier of each pair first.
std::vector<std::pair<size_t, size_t>> SameNameOnWindows(const std::vector<std::string>& names);

// Whether a stored name holds a byte outside ASCII: such names come out as
// meant only where the user's ANSI code page is 1252.
bool HasNonAscii(const std::string& name);

// The longest path the stub's ANSI calls take (MAX_PATH less the final
// zero), and the longest folder path CreateDirectoryA takes.
constexpr size_t MaxWindowsPath = 259;
constexpr size_t MaxWindowsFolderPath = 247;
// A typical extraction folder: the temporary folder of a user whose name
// has 20 characters, then "_I_\".
constexpr char TypicalExtractionFolder[] =
    "C:\\Users\\<20 characters>\\AppData\\Local\\Temp\\_I_\\";
constexpr size_t TypicalExtractionFolderLength = 53;

// Whether the stub could not create a stored name below a folder path of
// folder_length characters (its trailing separator included): the file's
// path or its folder's path would be too long.
bool TooLongUnder(const std::string& name, size_t folder_length);

// UTF-8 text with each character Windows-1252 holds folded to upper case,
// as Windows compares names; other characters are kept as they are.
std::string FoldUtf8Case(const std::string& utf8);
