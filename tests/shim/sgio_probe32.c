/* Probes the 32-bit SG_IO shim from a 32-bit program built the way Wine is
   (64-bit time and file offsets, so its ioctl and stat calls reach glibc's
   *_time64 entry points). Run under LD_PRELOAD with the three-drive sample
   rig and JORVANE_SHIM_DEVICES naming the file given as the argument;
   prints one line per failed check and exits 1 then. */
#define _GNU_SOURCE
#define _FILE_OFFSET_BITS 64
#define _TIME_BITS 64
#include <errno.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

static int failures;

static void check(int condition, const char* what) {
    if (!condition) {
        printf("FAIL: %s\n", what);
        ++failures;
    }
}

/* INQUIRY for 36 bytes; the model name (bytes 8-31) into model[25]. */
static int inquiry(int fd, char model[25]) {
    unsigned char cdb[6] = {0x12, 0, 0, 0, 36, 0};
    unsigned char data[36] = {0};
    unsigned char sense[32] = {0};
    sg_io_hdr_t h;
    memset(&h, 0, sizeof h);
    h.interface_id = 'S';
    h.dxfer_direction = SG_DXFER_FROM_DEV;
    h.cmd_len = sizeof cdb;
    h.mx_sb_len = sizeof sense;
    h.dxfer_len = sizeof data;
    h.dxferp = data;
    h.cmdp = cdb;
    h.sbp = sense;
    h.timeout = 20000;
    int rc = ioctl(fd, SG_IO, &h);
    memcpy(model, data + 8, 24);
    model[24] = '\0';
    return rc == 0 && h.status == 0 ? 0 : -1;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: sgio_probe32 NAMED-DEVICE-FILE\n");
        return 2;
    }
    char model[25];
    struct stat st;

    check(stat("/dev/sr2", &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) == 11 && minor(st.st_rdev) == 2,
          "stat /dev/sr2 is not the character device of drive 2");
    check(stat("/dev/sr3", &st) == -1 && errno == ENOENT, "stat /dev/sr3 found a drive the rig does not have");
    check(fstatat(AT_FDCWD, "/dev/sr0", &st, 0) == 0 && S_ISCHR(st.st_mode), "fstatat /dev/sr0");

    int fd = open("/dev/sr2", O_RDONLY | O_NONBLOCK);
    check(fd >= 0, "open /dev/sr2");
    if (fd >= 0) {
        check(fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && minor(st.st_rdev) == 2, "fstat of /dev/sr2's descriptor");
        check(inquiry(fd, model) == 0 && strcmp(model, "ZERV    QLX-2209K       ") == 0, "INQUIRY on /dev/sr2");
        close(fd);
    }

    fd = open(argv[1], O_RDWR);
    check(fd >= 0, "open the named device file");
    if (fd >= 0) {
        check(fstat(fd, &st) == 0 && S_ISREG(st.st_mode), "the named device file no longer looks like a plain file");
        check(inquiry(fd, model) == 0 && strcmp(model, "ZERV    DVDRW QLX-1640  ") == 0,
              "INQUIRY on the named device file");
        close(fd);
    }
    return failures ? 1 : 0;
}
