#pragma once
// The flash kernel.
#include "drive/Buffer.h"

namespace jv {

// Register-level entry of option e: identifies the drive's flash chip
// through the IDE registers of the drive's channel. It writes nothing.
// chipFamily: 1 MTK, 2 ALI, 3 ALI2, 4 MTK2.
void IdeDriveEntry(EDriveIndex drive, int chipFamily, bool silent, bool checkSum);

}  // namespace jv
