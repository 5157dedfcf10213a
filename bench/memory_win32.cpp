// The three file calls the decoder and the stream layer make, over memory:
// the archive is a byte buffer, the output file another. This keeps file
// system time out of the decoder's figures, as the peers decode memory to
// memory too.
#include "memory_win32.h"

#include <string.h>

#include "win32api.h"

namespace memfile {
const uint8_t* archive = nullptr;
size_t archiveSize = 0;
size_t archivePos = 0;
uint8_t* output = nullptr;
size_t outputCapacity = 0;
size_t outputSize = 0;
size_t writeCalls = 0;
bool writeSizesWindowed = true;

void Use(const uint8_t* data, size_t n, uint8_t* out, size_t capacity) {
  archive = data;
  archiveSize = n;
  archivePos = 0;
  output = out;
  outputCapacity = capacity;
  outputSize = 0;
  writeCalls = 0;
  writeSizesWindowed = true;
}
}  // namespace memfile

using namespace memfile;

BOOL ReadFile(HANDLE, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
  size_t n = archiveSize - archivePos;
  if (n > toRead) n = toRead;
  memcpy(buffer, archive + archivePos, n);
  archivePos += n;
  *read = (DWORD)n;
  return TRUE;
}

DWORD SetFilePointer(HANDLE, LONG distance, PLONG, DWORD method) {
  if (method == FILE_BEGIN) archivePos = (size_t)distance;
  else if (method == FILE_CURRENT) archivePos += (size_t)(intptr_t)distance;
  else archivePos = archiveSize + (size_t)(intptr_t)distance;
  return (DWORD)archivePos;
}

BOOL WriteFile(HANDLE, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED) {
  // Every write but the last must be a whole window.
  if (writeCalls > 0 && outputSize % 32768 != 0) writeSizesWindowed = false;
  writeCalls++;
  size_t n = toWrite;
  if (n > outputCapacity - outputSize) n = outputCapacity - outputSize;
  memcpy(output + outputSize, buffer, n);
  outputSize += n;
  if (written) *written = (DWORD)n;
  return TRUE;
}
