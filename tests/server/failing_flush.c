/* A dying disk for tav-server under test, loaded with LD_PRELOAD: while the file that
   TAV_TEST_FLUSH_FAILS names exists, every fdatasync and fsync fails with EIO. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

typedef int (*Flush)(int);

/* EIO while the flag file exists, else the C library's own `name`. */
static int flushOrRefuse(const char* name, Flush* real, int fd) {
  const char* flag = getenv("TAV_TEST_FLUSH_FAILS");
  if (flag != NULL && access(flag, F_OK) == 0) {
    errno = EIO;
    return -1;
  }
  if (*real == NULL) *real = (Flush)dlsym(RTLD_NEXT, name);
  return (*real)(fd);
}

int fdatasync(int fd) {
  static Flush real = NULL;
  return flushOrRefuse("fdatasync", &real, fd);
}

int fsync(int fd) {
  static Flush real = NULL;
  return flushOrRefuse("fsync", &real, fd);
}
