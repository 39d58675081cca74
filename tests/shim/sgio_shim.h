/* What the SG_IO shim's stat entry points share: which drive a path or a
   descriptor stands for, and how a drive looks to stat. */
#ifndef JORVANE_SGIO_SHIM_H
#define JORVANE_SGIO_SHIM_H

#define SCSI_CDROM_MAJOR 11

/* "/dev/srN" with N a decimal number without leading zeros: N, else -1. */
int jvshim_drive_of_path(const char* path);
/* The drive whose memfd a descriptor duplicates, or -1. */
int jvshim_keeper_of_fd(int fd);
/* 1 with errno ENOENT when drive n is not in the rig, else 0. */
int jvshim_missing_drive(int n);
/* The next definition of a libc entry point. */
void* jvshim_real(const char* name);

/* Filled field by field: the stat records of the various widths differ. */
#define FAKE_STAT(st, n)                                                  \
    do {                                                                  \
        memset((st), 0, sizeof *(st));                                    \
        (st)->st_mode = S_IFCHR | 0660;                                   \
        (st)->st_rdev = makedev(SCSI_CDROM_MAJOR, (unsigned)(n));         \
        (st)->st_dev = makedev(0, 5);                                     \
        (st)->st_ino = (ino_t)(4000 + (n));                               \
        (st)->st_nlink = 1;                                               \
        (st)->st_blksize = 4096;                                          \
    } while (0)

#endif
