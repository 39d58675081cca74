/* The shim's way into the virtual drives of the rig named by JORVANE_RIG.
   Plain C so the interposed libc calls can stay in C. */
#ifndef JORVANE_SHIM_DRIVES_H
#define JORVANE_SHIM_DRIVES_H

#ifdef __cplusplus
extern "C" {
#endif

/* Number of drives in the rig; reads the rig on first use and reports a bad
   rig once on standard error. */
int jvshim_drive_count(void);

/* Runs one 12-byte command block on drive `drive`. direction: 0x08 in, 0x10
   out, 0 none. Returns the SCSI status, or -1 when the drive does not exist
   or the command could not be run. sense receives up to 32 bytes, their
   number in senseLength. */
int jvshim_execute(int drive, const unsigned char cdb[12], unsigned char direction, unsigned char* data,
                   unsigned int length, unsigned char sense[32], unsigned int* senseLength,
                   unsigned int* transferred, int* timedOut);

#ifdef __cplusplus
}
#endif

#endif
