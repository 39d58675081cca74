#!/usr/bin/env python3
"""Probes the SG_IO shim the way a program does through plain libc calls:
open, dup, close, fstat, stat and ioctl. Run under LD_PRELOAD with the
three-drive sample rig; prints one line per failed check and exits 1 then."""
import ctypes
import errno
import os
import stat
import sys

SG_IO = 0x2285
SG_GET_VERSION_NUM = 0x2282
SG_DXFER_TO_DEV = -2
SG_DXFER_FROM_DEV = -3
SG_DXFER_NONE = -1


class SgIoHdr(ctypes.Structure):
    _fields_ = [
        ("interface_id", ctypes.c_int),
        ("dxfer_direction", ctypes.c_int),
        ("cmd_len", ctypes.c_ubyte),
        ("mx_sb_len", ctypes.c_ubyte),
        ("iovec_count", ctypes.c_ushort),
        ("dxfer_len", ctypes.c_uint),
        ("dxferp", ctypes.c_void_p),
        ("cmdp", ctypes.c_void_p),
        ("sbp", ctypes.c_void_p),
        ("timeout", ctypes.c_uint),
        ("flags", ctypes.c_uint),
        ("pack_id", ctypes.c_int),
        ("usr_ptr", ctypes.c_void_p),
        ("status", ctypes.c_ubyte),
        ("masked_status", ctypes.c_ubyte),
        ("msg_status", ctypes.c_ubyte),
        ("sb_len_wr", ctypes.c_ubyte),
        ("host_status", ctypes.c_ushort),
        ("driver_status", ctypes.c_ushort),
        ("resid", ctypes.c_int),
        ("duration", ctypes.c_uint),
        ("info", ctypes.c_uint),
    ]


class Iovec(ctypes.Structure):
    _fields_ = [("iov_base", ctypes.c_void_p), ("iov_len", ctypes.c_size_t)]


libc = ctypes.CDLL(None, use_errno=True)
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def sg_io(fd, cdb, direction, length, iovecs=None):
    """Sends one command; returns (rc, header, data bytes, sense bytes)."""
    command = (ctypes.c_ubyte * len(cdb))(*cdb)
    sense = (ctypes.c_ubyte * 32)()
    data = (ctypes.c_ubyte * max(length, 1))()
    h = SgIoHdr()
    h.interface_id = ord("S")
    h.dxfer_direction = direction
    h.cmd_len = len(cdb)
    h.mx_sb_len = len(sense)
    h.dxfer_len = length
    h.cmdp = ctypes.cast(command, ctypes.c_void_p)
    h.sbp = ctypes.cast(sense, ctypes.c_void_p)
    h.timeout = 20000
    if iovecs is not None:
        h.iovec_count = len(iovecs)
        h.dxferp = ctypes.cast(iovecs, ctypes.c_void_p)
    else:
        h.dxferp = ctypes.cast(data, ctypes.c_void_p)
    rc = libc.ioctl(fd, SG_IO, ctypes.byref(h))
    return rc, h, bytes(data)[:length], bytes(sense)


# A duplicated descriptor still reaches the drive after the original closed.
fd = os.open("/dev/sr1", os.O_RDONLY | os.O_NONBLOCK)
dup = os.dup(fd)
os.close(fd)
st = os.fstat(dup)
check(stat.S_ISCHR(st.st_mode), "fstat of a drive descriptor is not a character device")
check(os.major(st.st_rdev) == 11 and os.minor(st.st_rdev) == 1, "fstat of /dev/sr1 has rdev %x" % st.st_rdev)
version = ctypes.c_int(0)
check(libc.ioctl(dup, SG_GET_VERSION_NUM, ctypes.byref(version)) == 0 and version.value >= 30000,
      "SG_GET_VERSION_NUM on a duplicate descriptor")

rc, h, data, _ = sg_io(dup, [0x12, 0, 0, 0, 96, 0], SG_DXFER_FROM_DEV, 255)
check(rc == 0 and h.status == 0, "INQUIRY on /dev/sr1: rc %d status %d" % (rc, h.status))
check(data[8:32] == b"PIONEER DVD-RW  DVR-X99 ", "INQUIRY identity %r" % data[8:32])
check(h.resid == 255 - 96, "INQUIRY resid %d, expected %d" % (h.resid, 255 - 96))

# The data phase can be split over a scatter-gather list.
first = (ctypes.c_ubyte * 20)()
second = (ctypes.c_ubyte * 16)()
iov = (Iovec * 2)(Iovec(ctypes.cast(first, ctypes.c_void_p), 20), Iovec(ctypes.cast(second, ctypes.c_void_p), 16))
rc, h, _, _ = sg_io(dup, [0x12, 0, 0, 0, 36, 0], SG_DXFER_FROM_DEV, 36, iov)
check(rc == 0 and bytes(first)[8:20] + bytes(second)[:12] == b"PIONEER DVD-RW  DVR-X99 ",
      "scatter-gather INQUIRY: %r %r" % (bytes(first), bytes(second)))
os.close(dup)

# A failed command comes back with its sense data and the driver's flag.
fd = os.open("/dev/sr0", os.O_RDWR)
rc, h, _, sense = sg_io(fd, [0, 0, 0, 0, 0, 0], SG_DXFER_NONE, 0)
check(rc == 0 and h.status == 2 and h.masked_status == 1, "TEST UNIT READY without a disc: status %d" % h.status)
check(h.driver_status == 0x08 and h.sb_len_wr == 18, "sense not flagged: driver %x, %d bytes" % (h.driver_status, h.sb_len_wr))
check(sense[2] == 0x02 and sense[12] == 0x3A, "sense %s" % sense[:18].hex())

# Commands longer than an ATAPI packet are refused by the drive, not run.
rc, h, _, sense = sg_io(fd, [0x88] + [0] * 15, SG_DXFER_NONE, 0)
check(rc == 0 and h.status == 2 and sense[12] == 0x20, "16-byte command: status %d asc %x" % (h.status, sense[12]))

# A header that is not SG v3 is refused as the kernel refuses it.
h = SgIoHdr()
h.interface_id = ord("Q")
check(libc.ioctl(fd, SG_IO, ctypes.byref(h)) == -1 and ctypes.get_errno() == errno.ENOSYS, "interface id 'Q' accepted")
os.close(fd)

# Paths: the rig's drives are character devices, the rest do not exist.
check(stat.S_ISCHR(os.stat("/dev/sr2").st_mode), "stat /dev/sr2 is not a character device")
for missing in ("/dev/sr3", "/dev/sr25"):
    try:
        os.stat(missing)
        failures.append("stat %s succeeded" % missing)
    except FileNotFoundError:
        pass
    try:
        os.close(os.open(missing, os.O_RDONLY))
        failures.append("open %s succeeded" % missing)
    except FileNotFoundError:
        pass

# Other descriptors and paths are the system's own.
check(not stat.S_ISCHR(os.stat(__file__).st_mode), "a plain file looks like a drive")
with open(__file__, "rb") as own:
    check(own.read(2) == b"#!", "reading a plain file through the shim")

# Device files named in JORVANE_SHIM_DEVICES stand for the rig's drives in
# order; the script lists four: drive 0's, an empty place for drive 1, one
# for drive 2 that does not exist yet, and one beyond the rig.
named = os.environ.get("JORVANE_SHIM_DEVICES", "")
if named:
    files = named.split(":")
    check(len(files) == 4 and files[1] == "", "the script's JORVANE_SHIM_DEVICES: %r" % named)
    # Known by device and inode, not by path: a second link to the file works.
    link = files[0] + ".link"
    os.link(files[0], link)
    fd = os.open(link, os.O_RDWR)
    check(stat.S_ISREG(os.fstat(fd).st_mode), "a named device file no longer looks like the plain file it is")
    rc, h, data, _ = sg_io(fd, [0x12, 0, 0, 0, 36, 0], SG_DXFER_FROM_DEV, 36)
    check(rc == 0 and h.status == 0 and data[8:32] == b"ZERV    DVDRW QLX-1640  ",
          "INQUIRY through a link to the first named file: rc %d %r" % (rc, data[8:32]))
    os.close(fd)
    os.unlink(link)
    # Made after the first lookup: found when it appears.
    with open(files[2], "wb"):
        pass
    fd = os.open(files[2], os.O_RDONLY)
    rc, h, data, _ = sg_io(fd, [0x12, 0, 0, 0, 36, 0], SG_DXFER_FROM_DEV, 36)
    check(rc == 0 and data[8:32] == b"ZERV    QLX-2209K       ",
          "INQUIRY through the third named file: rc %d %r" % (rc, data[8:32]))
    os.close(fd)
    # A file beyond the rig is just a file: SG_IO is not a request it knows.
    with open(files[3], "wb"):
        pass
    fd = os.open(files[3], os.O_RDONLY)
    rc, h, _, _ = sg_io(fd, [0x12, 0, 0, 0, 36, 0], SG_DXFER_FROM_DEV, 36)
    check(rc == -1 and ctypes.get_errno() == errno.ENOTTY, "SG_IO on a named file beyond the rig: rc %d" % rc)
    os.close(fd)

for failure in failures:
    print("FAIL: " + failure)
sys.exit(1 if failures else 0)
