#include "fileio.h"

#include <errno.h>
#include <unistd.h>

bool ReadFull(int fd, uint8_t* p, size_t n, size_t* got) {
  *got = 0;
  while (*got < n) {
    const ssize_t k = read(fd, p + *got, n - *got);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    *got += size_t(k);
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t k = write(fd, p, n);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    p += k, n -= size_t(k);
  }
  return true;
}

ssize_t PreadFull(int fd, uint8_t* p, size_t n, uint64_t pos) {
  size_t done = 0;
  while (done < n) {
    const ssize_t k = pread(fd, p + done, n - done, off_t(pos + done));
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) return -1;
    if (k == 0) break;
    done += size_t(k);
  }
  return ssize_t(done);
}
