// The definitions match the test double's declarations (C++ functions, not
// the platform's C ones), so that on Windows they never meet kernel32's.
#include "decoder_host.h"

#include "win32api.h"

using decoder_host::Handle;

namespace {

Handle* From(HANDLE h) {
  return h && h != INVALID_HANDLE_VALUE ? static_cast<Handle*>(h) : nullptr;
}

}  // namespace

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
  if (read) *read = 0;
  Handle* h = From(file);
  if (!h || !h->read || (!buffer && toRead > 0)) return FALSE;
  const int64_t got = toRead > 0 ? h->read(h->pos, static_cast<uint8_t*>(buffer), toRead) : 0;
  if (got < 0 || uint64_t(got) > toRead) return FALSE;
  h->pos += uint64_t(got);
  if (read) *read = DWORD(got);
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED) {
  if (written) *written = 0;
  Handle* h = From(file);
  if (!h || !h->sink || (!buffer && toWrite > 0)) return FALSE;
  if (toWrite > 0 && !h->sink(static_cast<const uint8_t*>(buffer), toWrite)) return FALSE;
  h->pos += toWrite;
  if (written) *written = toWrite;
  return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
  Handle* h = From(file);
  if (!h) return INVALID_SET_FILE_POINTER;
  // With a high part the distance is one signed 64-bit value.
  const int64_t move =
      distanceHigh ? int64_t((uint64_t(uint32_t(*distanceHigh)) << 32) | uint32_t(distance))
                   : int64_t(distance);
  int64_t base;
  if (method == FILE_BEGIN)
    base = 0;
  else if (method == FILE_CURRENT)
    base = int64_t(h->pos);
  else
    return INVALID_SET_FILE_POINTER;  // the callbacks know no end
  if ((move < 0 && base + move < 0) || (move > 0 && base > INT64_MAX - move))
    return INVALID_SET_FILE_POINTER;
  h->pos = uint64_t(base + move);
  if (distanceHigh) *distanceHigh = LONG(int32_t(uint32_t(h->pos >> 32)));
  return DWORD(h->pos);
}
