/* The stat entry points of 32-bit programs built with 64-bit time (Wine
   among them): glibc gives them their own symbols, __stat64_time64 and
   kin, which take a stat record with 64-bit times. Built with that time
   width, the stat, lstat, fstat and fstatat defined here are exactly those
   symbols, so a drive looks the same to such a program as to any other.
   Part of the 32-bit shim only. */
#define _GNU_SOURCE
#define _FILE_OFFSET_BITS 64
#define _TIME_BITS 64
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "sgio_shim.h"

#define SHIM_EXPORT __attribute__((visibility("default")))

typedef int (*stat_fn)(const char*, struct stat*);
typedef int (*fstat_fn)(int, struct stat*);
typedef int (*fstatat_fn)(int, const char*, struct stat*, int);

static int fake_path(const char* path, struct stat* st, const char* realName) {
    int n = jvshim_drive_of_path(path);
    if (n < 0) return ((stat_fn)jvshim_real(realName))(path, st);
    if (jvshim_missing_drive(n)) return -1;
    FAKE_STAT(st, n);
    return 0;
}

SHIM_EXPORT int stat(const char* path, struct stat* st) { return fake_path(path, st, "__stat64_time64"); }
SHIM_EXPORT int lstat(const char* path, struct stat* st) { return fake_path(path, st, "__lstat64_time64"); }

SHIM_EXPORT int fstat(int fd, struct stat* st) {
    int n = jvshim_keeper_of_fd(fd);
    if (n < 0) return ((fstat_fn)jvshim_real("__fstat64_time64"))(fd, st);
    FAKE_STAT(st, n);
    return 0;
}

SHIM_EXPORT int fstatat(int dirfd, const char* path, struct stat* st, int flags) {
    int n = -1;
    if (path[0] == '\0' && (flags & AT_EMPTY_PATH))
        n = jvshim_keeper_of_fd(dirfd);
    else if ((n = jvshim_drive_of_path(path)) >= 0 && jvshim_missing_drive(n))
        return -1;
    if (n < 0) return ((fstatat_fn)jvshim_real("__fstatat64_time64"))(dirfd, path, st, flags);
    FAKE_STAT(st, n);
    return 0;
}
