#pragma once
// A rig: the virtual drives of one simulated machine, described by an INI
// text. One section per drive, in scan order; the section name is the
// drive's name and means nothing else. A section named [Rig] (any case) is
// not a drive: it holds settings of the machine itself, which are kept as
// text for the platform binding to read. Lines starting with ';' or '#' are
// comments; a value may be put in double quotes to keep outer spaces.
// Keys and words such as yes, open or never may be written in any case.
// Numbers are decimal unless written 0x...; opcodes and sense codes are hex.
//
//   vendor = PIONEER              INQUIRY vendor identification (up to 8, space padded)
//   product = "QLX-2209K"         product identification (up to 16, space padded)
//   revision = 1.00               product revision (up to 4)
//   date_code = 050620            INQUIRY bytes 40-45 (up to 6)
//   hardware_id = 3F              the two characters of the "ZERV" vendor page
//   hardware_id_page = zerv       zerv | other (answers without "ZERV") | fails
//   inquiry_hardware_id = 3F      INQUIRY bytes 38-39 (spaces when not given)
//   device_type = 0               INQUIRY byte 0 (default 5, a CD/DVD drive; 0 a disk,
//                                 on an IDE channel an ATA disk; 0x25 a qualifier of 1)
//   bank_number = 3               or a list "40, 0, 3": successive answers of
//                                 the bank number query, the last one repeats
//   features = 1, 13              QueryFeature numbers (1-13) the drive reports
//   checksum = 0x1234, 0xABCD     firmware checksum reply: package value, image value
//   checksum_length = 6           reply byte 2 of the checksum query
//   kernel_report = 2, 0x8000, 0x1F00
//                                 bank, address, length: the vendor data command
//                                 fails and leaves this kernel report in the buffer
//   dvd = yes                     DVD-ROM read bit of the capabilities page
//   tray = closed                 closed | open
//   disc = no                     a disc in the drive
//   locked = no                   medium removal prevented at power-on
//   tray_motor = yes              no: LoadTray cannot move the tray
//   load_sense = 06:1D:00         LoadTray closes the tray but reports this sense
//   sense_format = fixed          fixed | descriptor: the format of a failed command's
//                                 sense (REQUEST SENSE follows its DESC bit)
//   hand_closes_tray_ms = 3000    someone pushes an open tray shut this long after it opened
//   hand_removes_disc_ms = 2000   someone takes the disc out of an open tray
//   ready_after_ms = 5000         time from power-on until ready, or "never"
//   reboot_ms = 8000              time a reboot after a firmware download takes
//   flash_size = 0x200000         bytes of firmware flash
//   controller = mtk3             any | mtk | ali | mtk2 ... mtk7 | philips: the flash
//                                 protocol the firmware speaks (any: every one)
//   flash_file = drive.bin        flash contents kept between runs (beside the rig
//                                 file when relative); the drive's identity comes from
//                                 the firmware it holds, boot code when it holds none.
//                                 A drive without one (or before it exists) is new: its
//                                 flash holds factory firmware made from the keys above
//   flash_blank = yes             a new drive's flash is erased instead: it runs its
//                                 boot code alone (revision "BOOT", never ready)
//   captured_flash = 0x1234...    the fingerprint (FlashFingerprint, 16 hex digits)
//                                 of the flash a twin was captured with: while the flash
//                                 holds exactly that, the identity keys above stand at
//                                 power-on, as the real drive answered; once a package
//                                 changed it, its firmware decides as usual
//   block_program_ms = 1000       time to erase and program one 64 KB block
//   flash_stays_busy = yes        a flash once started never ends
//   boot_attempts = 2             the next 2 flashes leave the drive in its boot code
//   wrong_checksum = yes          the firmware checksum query reports a wrong sum
//   short_read = yes              the flash read command returns half of what is
//                                 asked, with status GOOD
//   power_loss_after = 70000      power fails after that many bytes were programmed
//   ide_controller, flash_chip, chip_... the IDE side (VirtualIde.h)
//   fail_command = 7 03:11:00     the 7th command fails with that sense (repeatable key)
//   fail_opcode = 1B 06:1D:00     every command 1B fails with that sense (repeatable key)
//   hang_command = 7              the 7th command never answers (repeatable key)
//   hang_opcode = 12              commands 12 never answer (repeatable key)
//   hold_command = 7              the 7th command takes effect, but its answer never
//                                 arrives (repeatable key)
//   hold_opcode = 3B              so do commands 3B (repeatable key)
//   flash_start = held            the command that starts the drive programming its
//                                 flash (the page protocols' start, the last ALI page,
//                                 a WRITE BUFFER save): answered (as usual) | held (it
//                                 programs and later becomes ready, but its answer never
//                                 arrives within the host's time-out) | refused (CHECK
//                                 CONDITION 05:26:00, nothing programmed)
//   garble_command = 7            the 7th command succeeds but returns noise (repeatable key)
//   garble_opcode = 5A            commands 5A succeed but return noise (repeatable key)
//   replay = drive.jsonl.gz       the drive answers from a recorded trace (beside the rig
//                                 file when relative; ReplaySource.h): the trace's first
//                                 drive, its identity from the recorded INQUIRY, and the
//                                 bus's register accesses; the other keys are not used
//   aspi = 1:0:0                  host adapter:target:LUN on a Windows 98 machine
//                                 (adapter 0-15, target and LUN 0-7; by default
//                                 drive i is at i/8:i%8:0); no two drives share one
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/VirtualDrive.h"

namespace jv::sim {

struct SRig {
    std::vector<std::unique_ptr<VirtualDrive>> drives;
    std::string path;
    // The [Rig] section: lower-case key to value, in no particular order.
    std::map<std::string, std::string> settings;
};

// The ASPI address of the rig's drive number index.
SAspiAddress AspiAddressOf(const SDriveConfig& config, size_t index);

// Parses rig text; on a bad text returns nothing and an error naming the line.
std::optional<SRig> ParseRig(const std::string& text, const std::string& name, std::string& error);
// Reads a rig file; returns an error text on an unreadable or bad file.
std::optional<SRig> LoadRig(const std::string& path, std::string& error);

// The rig of this process: the file named by the environment variable
// JORVANE_RIG, read on first use (empty rig when unset or bad).
SRig& ProcessRig();
// Why ProcessRig is empty although JORVANE_RIG is set; empty otherwise.
const std::string& ProcessRigError();

}  // namespace jv::sim
