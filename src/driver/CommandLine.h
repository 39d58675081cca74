#pragma once
// The parsed command line and the texts the program prints about itself.
#include <cstdint>
#include <string>
#include <string_view>

#include "driver/Settings.h"

namespace jv {

struct SCommandLine {
    uint8_t silent = 0;
    uint8_t checkDrive = 0;
    uint8_t checkBuffer = 0;
    uint8_t argumentError = 0;
    uint8_t help = 0;
    uint8_t version = 0;
    uint8_t ideFlashChip = 0;  // 0 none, 1 MTK, 2 ALI, 3 ALI2, 4 MTK2
    uint8_t padReserved = 0;
    uint8_t keepContents = 0;
    uint8_t ideFlash = 0;
    int32_t driveNumber = -1;
    int32_t repeatCount = 1;
    std::string parameterFile;
    std::string mergedParameterFile;
    std::string outputPackageFile;
    uint8_t fixDataCheckSum = 0;
    std::string testParameterFile;
    std::string packageFile;
    uint8_t noQuestions = 0;
    uint8_t showChecksum = 0;
    uint8_t showChip = 0;
    uint8_t matchHeaderChecksum = 0;
    uint8_t skipVerify = 0;
    uint8_t json = 0;  // --json (POSIX only): the drive listing as JSON
};

// Never prints; a bad command line shows as argumentError. On Windows every
// argument that begins with "/" or "-" is an option, lower-cased whole. On
// POSIX hosts an argument that begins with "/" and names something that
// exists is the package file, and an option keeps the case of its value.
SCommandLine ParseCommandLine(int argc, char** argv, const SParameter& settings);

// Clears the screen, then prints the banner.
void PrintBanner(const SParameter& settings);
// The banner alone, for output that must not clear the screen (--help).
void PrintBannerLines(const SParameter& settings);
void PrintTitle(const SParameter& settings);
void PrintHelp(const SParameter& settings);
void PrintVersionList();
// --help on POSIX hosts: the usage of the program by its name, every option
// the settings enable, grouped, how this command line reads file names, the
// exit codes as the shell sees them and where the manual is. /h keeps the
// settings text's help, as the Windows program prints it.
void PrintPosixHelp(const SParameter& settings, std::string_view program);

}  // namespace jv
