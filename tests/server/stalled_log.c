/* A disk that stops taking the store's log, for tav-server under test, loaded with LD_PRELOAD: while
   the file that TAV_TEST_LOG_STALLS names exists, every write to a file whose name ends in "-wal"
   waits, and the first write held makes "<that file>.held" so that the test knows the writer is
   stuck in a commit. Writes to every other file, and reads, go on. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

typedef ssize_t (*Pwrite)(int, const void*, size_t, off_t);

static int isLog(int fd) {
  char link[64], target[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, target, sizeof target - 1);
  return n > 4 && memcmp(target + n - 4, "-wal", 4) == 0;
}

/* Returns once the flag file is gone (at once when there is none or `fd` is no log). */
static void waitWhileStalled(int fd) {
  const char* flag = getenv("TAV_TEST_LOG_STALLS");
  if (flag == NULL || access(flag, F_OK) != 0 || !isLog(fd)) return;
  char held[PATH_MAX];
  snprintf(held, sizeof held, "%s.held", flag);
  const int marker = open(held, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (marker >= 0) close(marker);
  const struct timespec pause = {0, 5 * 1000 * 1000};
  while (access(flag, F_OK) == 0) nanosleep(&pause, NULL);
}

static ssize_t heldWrite(const char* name, Pwrite* real, int fd, const void* buf, size_t count, off_t offset) {
  waitWhileStalled(fd);
  if (*real == NULL) *real = (Pwrite)dlsym(RTLD_NEXT, name);
  return (*real)(fd, buf, count, offset);
}

ssize_t pwrite64(int fd, const void* buf, size_t count, off_t offset) {
  static Pwrite real = NULL;
  return heldWrite("pwrite64", &real, fd, buf, count, offset);
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
  static Pwrite real = NULL;
  return heldWrite("pwrite", &real, fd, buf, count, offset);
}
