/* LD_PRELOAD shim: presents the virtual drives of the rig named by
   JORVANE_RIG as /dev/sr0, /dev/sr1, ... to an unmodified program, and
   answers SG_IO on them from the virtual drives.

   Each drive is backed by one memfd kept open for the life of the process;
   an open of /dev/srN hands out a duplicate of it. Descriptors are then
   recognised by the memfd's device and inode, so duplicates, inherited
   descriptors and descriptors passed between threads all keep working.
   Paths /dev/srN beyond the rig do not exist, so a run never reaches a real
   drive of the machine.

   A program may also reach a drive through a file of its own choosing:
   JORVANE_SHIM_DEVICES lists such files, separated by ':', the first
   standing for the rig's first drive and so on. Their descriptors are
   recognised by the file's device and inode too, because the process that
   sends the commands need not be the one that opened the file (Wine's
   server opens a drive's device and hands the descriptor to the program).
   Only the drive commands are answered on them; the files themselves stay
   what they are. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <scsi/sg.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "sgio_shim.h"
#include "shim_drives.h"

#define SHIM_EXPORT __attribute__((visibility("default")))
#define MAX_SHIM_DRIVES 32

/* Host and driver status values of the SCSI midlayer. */
#define HOST_OK 0x00
#define HOST_TIME_OUT 0x03
#define HOST_ERROR 0x07
#define DRIVER_SENSE_VALID 0x08
#define DRIVER_TIMED_OUT 0x06

/* The ioctls a program probing a SCSI generic device asks. */
#define SCSI_IOCTL_GET_IDLUN_REQ 0x5382
#define SCSI_IOCTL_GET_BUS_NUMBER_REQ 0x5386

struct keeper {
    int fd;
    dev_t dev;
    uint64_t ino;
    int timeoutMs;
    int reservedSize;
};

/* A file named by JORVANE_SHIM_DEVICES; looked up until it exists. */
struct device_file {
    const char* path;
    int known;
    dev_t dev;
    uint64_t ino;
};

static struct keeper g_keepers[MAX_SHIM_DRIVES];
static struct device_file g_files[MAX_SHIM_DRIVES];
static int g_fileCount = -1;
static char g_fileList[8192];
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static int g_ready;

static void* real(const char* name) {
    void* f = dlsym(RTLD_NEXT, name);
    return f;
}

#define REAL(name, type) ((type)real(name))

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);
typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef int (*close_fn)(int);
typedef int (*fstat_fn)(int, struct stat*);
typedef int (*fstatat_fn)(int, const char*, struct stat*, int);
typedef int (*stat_fn)(const char*, struct stat*);

static void init_keepers(void) {
    if (g_ready) return;
    for (int i = 0; i < MAX_SHIM_DRIVES; ++i) {
        g_keepers[i].fd = -1;
        g_keepers[i].timeoutMs = 60000;
        g_keepers[i].reservedSize = 32768;
    }
    g_ready = 1;
}

/* "/dev/srN" with N a decimal number without leading zeros: N, else -1. */
static int drive_of_path(const char* path) {
    if (!path || strncmp(path, "/dev/sr", 7) != 0) return -1;
    const char* p = path + 7;
    if (*p < '0' || *p > '9' || (p[0] == '0' && p[1] != '\0')) return -1;
    int n = 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9' || n > 1000) return -1;
        n = n * 10 + (*p - '0');
    }
    return n;
}

typedef int (*fstat64_fn)(int, struct stat64*);
typedef int (*fstatat64_fn)(int, const char*, struct stat64*, int);
typedef int (*stat64_fn)(const char*, struct stat64*);

/* Device and inode through the 64-bit calls: a 32-bit program's plain
   fstat fails with EOVERFLOW on a file system with large inode numbers. */
static int identity_of_fd(int fd, dev_t* dev, uint64_t* ino) {
    static fstat64_fn f;
    if (!f) f = REAL("fstat64", fstat64_fn);
    struct stat64 st;
    int rc = f ? f(fd, &st) : REAL("fstatat64", fstatat64_fn)(fd, "", &st, AT_EMPTY_PATH);
    if (rc != 0) return -1;
    *dev = st.st_dev;
    *ino = (uint64_t)st.st_ino;
    return 0;
}

static int identity_of_path(const char* path, dev_t* dev, uint64_t* ino) {
    static stat64_fn f;
    if (!f) f = REAL("stat64", stat64_fn);
    struct stat64 st;
    int rc = f ? f(path, &st) : REAL("fstatat64", fstatat64_fn)(AT_FDCWD, path, &st, 0);
    if (rc != 0) return -1;
    *dev = st.st_dev;
    *ino = (uint64_t)st.st_ino;
    return 0;
}

/* Splits JORVANE_SHIM_DEVICES once; an empty entry keeps its drive's place.
   Called with g_lock held. */
static void read_device_files(void) {
    if (g_fileCount >= 0) return;
    g_fileCount = 0;
    const char* list = getenv("JORVANE_SHIM_DEVICES");
    if (!list || !*list) return;
    size_t length = strlen(list);
    if (length >= sizeof g_fileList) {
        fprintf(stderr, "sgio_shim: JORVANE_SHIM_DEVICES is longer than %u characters; ignored\n",
                (unsigned)(sizeof g_fileList - 1));
        return;
    }
    memcpy(g_fileList, list, length + 1);
    char* p = g_fileList;
    for (;;) {
        char* end = strchr(p, ':');
        if (end) *end = '\0';
        if (g_fileCount == MAX_SHIM_DRIVES) {
            fprintf(stderr, "sgio_shim: JORVANE_SHIM_DEVICES names more than %d files; the rest are ignored\n",
                    MAX_SHIM_DRIVES);
            return;
        }
        g_files[g_fileCount].path = p;
        g_files[g_fileCount].known = 0;
        ++g_fileCount;
        if (!end) return;
        p = end + 1;
    }
}

/* The drive behind one of our memfds, or -1. */
static int keeper_of_identity(dev_t dev, uint64_t ino) {
    for (int i = 0; i < MAX_SHIM_DRIVES; ++i)
        if (g_keepers[i].fd >= 0 && g_keepers[i].dev == dev && g_keepers[i].ino == ino) return i;
    return -1;
}

/* The drive a descriptor stands for, or -1: one of our memfds, or with
   files_too also a named device file. */
static int lookup_fd(int fd, int files_too) {
    if (fd < 0) return -1;
    dev_t dev;
    uint64_t ino;
    if (identity_of_fd(fd, &dev, &ino) != 0) return -1;
    pthread_mutex_lock(&g_lock);
    init_keepers();
    int found = keeper_of_identity(dev, ino);
    if (found < 0 && files_too) {
        read_device_files();
        for (int i = 0; i < g_fileCount; ++i) {
            struct device_file* f = &g_files[i];
            if (!f->known && f->path[0] && identity_of_path(f->path, &f->dev, &f->ino) == 0) f->known = 1;
            if (f->known && f->dev == dev && f->ino == ino) {
                found = i;
                break;
            }
        }
    }
    pthread_mutex_unlock(&g_lock);
    return found;
}

/* The drive whose memfd a descriptor duplicates, or -1. Only these look
   like a CD-ROM device to stat. */
static int keeper_of_fd(int fd) { return lookup_fd(fd, 0); }

/* The drive a descriptor stands for, memfd or named device file, or -1. */
static int drive_of_fd(int fd) {
    int found = lookup_fd(fd, 1);
    /* A file beyond the rig stands for no drive. */
    if (found >= 0 && found >= jvshim_drive_count()) return -1;
    return found;
}

/* A new descriptor for drive n, or -1 with errno set. */
static int open_drive(int n, int flags) {
    if (n >= MAX_SHIM_DRIVES || n >= jvshim_drive_count()) {
        errno = ENOENT;
        return -1;
    }
    errno = 0;
    pthread_mutex_lock(&g_lock);
    init_keepers();
    struct keeper* k = &g_keepers[n];
    if (k->fd < 0) {
        char name[32];
        snprintf(name, sizeof name, "jorvane-sr%d", n);
        int fd = memfd_create(name, MFD_CLOEXEC);
        if (fd >= 0 && identity_of_fd(fd, &k->dev, &k->ino) == 0) {
            k->fd = fd;
        } else if (fd >= 0) {
            REAL("close", close_fn)(fd);
        }
    }
    int result = -1;
    if (k->fd >= 0) result = fcntl(k->fd, (flags & O_CLOEXEC) ? F_DUPFD_CLOEXEC : F_DUPFD, 0);
    pthread_mutex_unlock(&g_lock);
    if (result < 0 && errno == 0) errno = EIO;
    return result;
}

static unsigned char map_direction(int sgDirection) {
    switch (sgDirection) {
    case SG_DXFER_TO_DEV:
        return 0x10;
    case SG_DXFER_FROM_DEV:
    case SG_DXFER_TO_FROM_DEV:
        return 0x08;
    default:
        return 0x00;
    }
}

static uint64_t monotonic_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

static int answer_sg_io(int drive, sg_io_hdr_t* h) {
    if (!h) {
        errno = EFAULT;
        return -1;
    }
    if (h->interface_id != 'S') {
        errno = ENOSYS;
        return -1;
    }
    if (h->cmd_len < 6 || h->cmd_len > 16 || !h->cmdp) {
        errno = EINVAL;
        return -1;
    }
    unsigned char direction = map_direction(h->dxfer_direction);
    unsigned int length = h->dxfer_direction == SG_DXFER_NONE ? 0 : h->dxfer_len;

    /* Scatter-gather lists go through one bounce buffer. */
    unsigned char* data = (unsigned char*)h->dxferp;
    unsigned char* bounce = NULL;
    const sg_iovec_t* iov = (const sg_iovec_t*)h->dxferp;
    if (h->iovec_count > 0 && length > 0) {
        size_t total = 0;
        for (unsigned i = 0; i < h->iovec_count; ++i) total += iov[i].iov_len;
        if (total < length) length = (unsigned int)total;
        bounce = calloc(length ? length : 1, 1);
        if (!bounce) {
            errno = ENOMEM;
            return -1;
        }
        if (direction == 0x10) {
            size_t done = 0;
            for (unsigned i = 0; i < h->iovec_count && done < length; ++i) {
                size_t part = iov[i].iov_len < length - done ? iov[i].iov_len : length - done;
                memcpy(bounce + done, iov[i].iov_base, part);
                done += part;
            }
        }
        data = bounce;
    }
    if (length > 0 && !data) {
        errno = EFAULT;
        return -1;
    }

    unsigned char sense[32] = {0};
    unsigned int senseLength = 0;
    unsigned int transferred = 0;
    int timedOut = 0;
    int status;
    uint64_t start = monotonic_ms();
    if (h->cmd_len > 12) {
        /* An ATAPI drive takes 12-byte packets only. */
        sense[0] = 0x70;
        sense[2] = 0x05;
        sense[7] = 10;
        sense[12] = 0x20;
        senseLength = 18;
        status = 0x02;
    } else {
        unsigned char cdb[12] = {0};
        memcpy(cdb, h->cmdp, h->cmd_len);
        status = jvshim_execute(drive, cdb, direction, data, length, sense, &senseLength, &transferred, &timedOut);
    }
    uint64_t took = monotonic_ms() - start;

    if (bounce) {
        if (direction == 0x08) {
            size_t done = 0;
            for (unsigned i = 0; i < h->iovec_count && done < transferred; ++i) {
                size_t part = iov[i].iov_len < transferred - done ? iov[i].iov_len : transferred - done;
                memcpy(iov[i].iov_base, bounce + done, part);
                done += part;
            }
        }
        free(bounce);
    }

    h->status = 0;
    h->masked_status = 0;
    h->msg_status = 0;
    h->sb_len_wr = 0;
    h->host_status = HOST_OK;
    h->driver_status = 0;
    h->resid = (int)(h->dxfer_len - transferred);
    h->duration = (unsigned int)took;
    h->info = SG_INFO_OK;
    if (status < 0) {
        h->host_status = HOST_ERROR;
        h->resid = (int)h->dxfer_len;
        h->info = SG_INFO_CHECK;
    } else if (timedOut) {
        /* The drive never answered: report the time-out the host would
           have waited for, without making this program wait for it. */
        h->host_status = HOST_TIME_OUT;
        h->driver_status = DRIVER_TIMED_OUT;
        h->duration = h->timeout;
        h->resid = (int)h->dxfer_len;
        h->info = SG_INFO_CHECK;
    } else {
        h->status = (unsigned char)status;
        h->masked_status = (unsigned char)((status >> 1) & 0x7F);
        if (status == 0x02) {
            unsigned int n = h->mx_sb_len < senseLength ? h->mx_sb_len : senseLength;
            if (h->sbp && n) {
                memcpy(h->sbp, sense, n);
                h->sb_len_wr = (unsigned char)n;
                h->driver_status = DRIVER_SENSE_VALID;
            }
        }
        if (status != 0) h->info = SG_INFO_CHECK;
    }
    return 0;
}

static int answer_ioctl(int drive, unsigned long request, void* arg, int* handled) {
    *handled = 1;
    switch (request) {
    case SG_IO:
        return answer_sg_io(drive, (sg_io_hdr_t*)arg);
    case SG_GET_VERSION_NUM:
        if (!arg) break;
        *(int*)arg = 30527;
        return 0;
    case SG_EMULATED_HOST:
        if (!arg) break;
        *(int*)arg = 0;
        return 0;
    case SG_GET_TIMEOUT:
        return (int)(g_keepers[drive].timeoutMs * sysconf(_SC_CLK_TCK) / 1000);
    case SG_SET_TIMEOUT:
        if (!arg) break;
        g_keepers[drive].timeoutMs = (int)(*(int*)arg * 1000 / sysconf(_SC_CLK_TCK));
        return 0;
    case SG_GET_RESERVED_SIZE:
        if (!arg) break;
        *(int*)arg = g_keepers[drive].reservedSize;
        return 0;
    case SG_SET_RESERVED_SIZE:
        if (!arg) break;
        if (*(int*)arg < 0) {
            errno = EINVAL;
            return -1;
        }
        g_keepers[drive].reservedSize = *(int*)arg;
        return 0;
    case SCSI_IOCTL_GET_IDLUN_REQ:
        if (!arg) break;
        ((int*)arg)[0] = (drive & 0xFF) << 16;  /* host drive, channel 0, id 0, lun 0 */
        ((int*)arg)[1] = drive;
        return 0;
    case SCSI_IOCTL_GET_BUS_NUMBER_REQ:
        if (!arg) break;
        *(int*)arg = drive;
        return 0;
    default:
        errno = ENOTTY;
        return -1;
    }
    errno = EFAULT;
    return -1;
}

static int is_ours_request(unsigned long request) {
    switch (request) {
    case SG_IO:
    case SG_GET_VERSION_NUM:
    case SG_EMULATED_HOST:
    case SG_GET_TIMEOUT:
    case SG_SET_TIMEOUT:
    case SG_GET_RESERVED_SIZE:
    case SG_SET_RESERVED_SIZE:
    case SCSI_IOCTL_GET_IDLUN_REQ:
    case SCSI_IOCTL_GET_BUS_NUMBER_REQ:
        return 1;
    default:
        return 0;
    }
}

static int do_ioctl(const char* realName, int fd, unsigned long request, void* arg) {
    /* Only fstat descriptors for the requests a drive answers; a terminal's
       ioctls pass straight through. Every other request on a drive is
       refused as a character device without it would refuse it. */
    int drive = -1;
    if (is_ours_request(request) || (request >> 8 & 0xFF) == 0x22 || (request >> 8 & 0xFF) == 0x53)
        drive = drive_of_fd(fd);
    if (drive >= 0) {
        int handled = 0;
        int rc = answer_ioctl(drive, request, arg, &handled);
        if (handled) return rc;
    }
    ioctl_fn f = REAL(realName, ioctl_fn);
    if (!f) f = REAL("ioctl", ioctl_fn);
    return f(fd, request, arg);
}

SHIM_EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return do_ioctl("ioctl", fd, request, arg);
}

/* 32-bit programs built with 64-bit time (Wine among them) call this. */
SHIM_EXPORT int __ioctl_time64(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return do_ioctl("__ioctl_time64", fd, request, arg);
}

static mode_t mode_arg(int flags, va_list ap) {
    return (flags & (O_CREAT | __O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

SHIM_EXPORT int open(const char* path, int flags, ...) {
    int n = drive_of_path(path);
    if (n >= 0) return open_drive(n, flags);
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return REAL("open", open_fn)(path, flags, mode);
}

SHIM_EXPORT int open64(const char* path, int flags, ...) {
    int n = drive_of_path(path);
    if (n >= 0) return open_drive(n, flags);
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return REAL("open64", open_fn)(path, flags, mode);
}

SHIM_EXPORT int openat(int dirfd, const char* path, int flags, ...) {
    int n = drive_of_path(path);
    if (n >= 0) return open_drive(n, flags);
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return REAL("openat", openat_fn)(dirfd, path, flags, mode);
}

SHIM_EXPORT int openat64(int dirfd, const char* path, int flags, ...) {
    int n = drive_of_path(path);
    if (n >= 0) return open_drive(n, flags);
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return REAL("openat64", openat_fn)(dirfd, path, flags, mode);
}

/* The fortified entry points a program built with _FORTIFY_SOURCE calls. */
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
int __openat_2(int dirfd, const char* path, int flags);
int __openat64_2(int dirfd, const char* path, int flags);

SHIM_EXPORT int __open_2(const char* path, int flags) {
    int n = drive_of_path(path);
    if (n >= 0) return open_drive(n, flags);
    return REAL("__open_2", int (*)(const char*, int))(path, flags);
}

SHIM_EXPORT int __open64_2(const char* path, int flags) {
    int n = drive_of_path(path);
    if (n >= 0) return open_drive(n, flags);
    return REAL("__open64_2", int (*)(const char*, int))(path, flags);
}

SHIM_EXPORT int __openat_2(int dirfd, const char* path, int flags) {
    int n = drive_of_path(path);
    if (n >= 0) return open_drive(n, flags);
    return REAL("__openat_2", int (*)(int, const char*, int))(dirfd, path, flags);
}

SHIM_EXPORT int __openat64_2(int dirfd, const char* path, int flags) {
    int n = drive_of_path(path);
    if (n >= 0) return open_drive(n, flags);
    return REAL("__openat64_2", int (*)(int, const char*, int))(dirfd, path, flags);
}

SHIM_EXPORT int close(int fd) {
    /* A program that closes every descriptor must not take a keeper with
       it unnoticed: forget it, and the next open makes a new one. */
    pthread_mutex_lock(&g_lock);
    init_keepers();
    for (int i = 0; i < MAX_SHIM_DRIVES; ++i)
        if (g_keepers[i].fd == fd) g_keepers[i].fd = -1;
    pthread_mutex_unlock(&g_lock);
    return REAL("close", close_fn)(fd);
}

/* A drive's descriptor and path look like the character device of a SCSI
   CD-ROM, which is what a program probing for drives checks. A path /dev/srN
   beyond the rig does not exist. */
static int missing_drive(int n) {
    if (n < MAX_SHIM_DRIVES && n < jvshim_drive_count()) return 0;
    errno = ENOENT;
    return 1;
}

SHIM_EXPORT int fstat(int fd, struct stat* st) {
    int n = keeper_of_fd(fd);
    if (n < 0) return REAL("fstat", fstat_fn)(fd, st);
    FAKE_STAT(st, n);
    return 0;
}

SHIM_EXPORT int fstat64(int fd, struct stat64* st) {
    int n = keeper_of_fd(fd);
    if (n < 0) return REAL("fstat64", fstat64_fn)(fd, st);
    FAKE_STAT(st, n);
    return 0;
}

#define STAT_PATH(realName, fnType, path, st)              \
    do {                                                   \
        int n_ = drive_of_path(path);                      \
        if (n_ < 0) return REAL(realName, fnType)(path, st); \
        if (missing_drive(n_)) return -1;                  \
        FAKE_STAT(st, n_);                                 \
        return 0;                                          \
    } while (0)

SHIM_EXPORT int stat(const char* path, struct stat* st) { STAT_PATH("stat", stat_fn, path, st); }
SHIM_EXPORT int stat64(const char* path, struct stat64* st) { STAT_PATH("stat64", stat64_fn, path, st); }
SHIM_EXPORT int lstat(const char* path, struct stat* st) { STAT_PATH("lstat", stat_fn, path, st); }
SHIM_EXPORT int lstat64(const char* path, struct stat64* st) { STAT_PATH("lstat64", stat64_fn, path, st); }

#define STAT_AT(realName, fnType, dirfd, path, st, flags)                      \
    do {                                                                       \
        int n_ = -1;                                                           \
        if (path[0] == '\0' && ((flags) & AT_EMPTY_PATH))                      \
            n_ = keeper_of_fd(dirfd);                                          \
        else if ((n_ = drive_of_path(path)) >= 0 && missing_drive(n_))         \
            return -1;                                                         \
        if (n_ < 0) return REAL(realName, fnType)(dirfd, path, st, flags);     \
        FAKE_STAT(st, n_);                                                     \
        return 0;                                                              \
    } while (0)

SHIM_EXPORT int fstatat(int dirfd, const char* path, struct stat* st, int flags) {
    STAT_AT("fstatat", fstatat_fn, dirfd, path, st, flags);
}
SHIM_EXPORT int fstatat64(int dirfd, const char* path, struct stat64* st, int flags) {
    STAT_AT("fstatat64", fstatat64_fn, dirfd, path, st, flags);
}

int jvshim_drive_of_path(const char* path) { return drive_of_path(path); }
int jvshim_keeper_of_fd(int fd) { return keeper_of_fd(fd); }
int jvshim_missing_drive(int n) { return missing_drive(n); }
void* jvshim_real(const char* name) { return real(name); }
