#pragma once
// The one-shot commands of the program besides the update run. ProgramMain
// decides which one applies; each prints its own failure text and returns
// the exit code, which is always 259, successful or not (but for the JSON
// listing, which returns 0 once the document is written).
#include "driver/CommandLine.h"
#include "driver/Settings.h"

namespace jv {

// m: the parameter buffer's text to args.mergedParameterFile.
int CommandWriteParameterFile(const SParameter& settings, const SCommandLine& args);
// o: the selected package buffer to args.outputPackageFile.
int CommandWritePackageFile(const SParameter& settings, const SCommandLine& args);
// b: check the selected package buffer, then print its fixed-data check sum.
int CommandCheckBuffer(const SParameter& settings, const SCommandLine& args);
// f: print the fixed-data check sum of the selected package buffer.
int CommandFixDataCheckSum(const SParameter& settings, const SCommandLine& args);
// t: the test parameter file of package buffer 1 to args.testParameterFile.
int CommandWriteTestParameters(const SParameter& settings, const SCommandLine& args);
// c: identity of every drive, or of drive args.driveNumber; with args.json
// one JSON document on standard output.
int CommandCheckDrive(const SParameter& settings, const SCommandLine& args);
// e: choose a drive for the register-level entry of chip family args.ideFlashChip.
// A drive number outside the drive table is refused as c refuses it.
int CommandIdeDriveChoice(const SParameter& settings, const SCommandLine& args);

}  // namespace jv
