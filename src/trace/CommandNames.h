#pragma once
// The words for what a trace holds: a command block's name and fields, by
// the standard's names for standard commands and by the names this
// program's code gives each protocol's vendor commands (Winfunc.h,
// Flashmcu.h); a status byte's name; an IDE register's name.
#include <array>
#include <cstdint>
#include <string>

#include "trace/TraceFormat.h"

namespace jv::trace {

// "INQUIRY", "WRITE BUFFER mode 06h", "WriteFlashPage": what the summary
// counts commands by.
std::string CommandName(const std::array<uint8_t, 12>& cdb);

// The name and its fields: "WRITE BUFFER mode 06h (download microcode with
// offsets), buffer id 00h, offset 010000h, length 16384".
std::string DescribeCommand(const std::array<uint8_t, 12>& cdb);

// "GOOD", "CHECK CONDITION", "BUSY", ..., or "status 44h".
std::string StatusName(uint8_t status);

// What came back, in one phrase: "GOOD", "CHECK CONDITION: NOT READY
// (02/3A/01), ...", "no answer within 20 s", or the system's error.
std::string DescribeOutcome(const SCommandRecord& command);

// The name the register routines give a value they write to the command
// register: "EnterFlashMode", "IDENTIFY PACKET DEVICE"; empty for others.
std::string IdeCommandName(uint8_t value);

// The register an IDE port is on its channel, read or written: "status",
// "command", "sector count", ... ; empty for a port of no channel known.
std::string RegisterName(uint16_t port, bool write);

}  // namespace jv::trace
