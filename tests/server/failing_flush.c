/* A dying disk for tav-server under test, loaded with LD_PRELOAD: while the file that
   TAV_TEST_FLUSH_FAILS names exists, every fdatasync and fsync fails with EIO. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

static int diskRefuses(void) {
  const char* flag = getenv("TAV_TEST_FLUSH_FAILS");
  return flag != NULL && access(flag, F_OK) == 0;
}

int fdatasync(int fd) {
  static int (*real)(int) = NULL;
  if (diskRefuses()) {
    errno = EIO;
    return -1;
  }
  if (real == NULL) real = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
  return real(fd);
}

int fsync(int fd) {
  static int (*real)(int) = NULL;
  if (diskRefuses()) {
    errno = EIO;
    return -1;
  }
  if (real == NULL) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  return real(fd);
}
