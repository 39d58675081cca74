#include "flash/Flashknl.h"

namespace jv {

// The IDE register layer is not in yet; until it is, the entry has no chip
// to identify and leaves the drive alone.
void IdeDriveEntry(EDriveIndex, int, bool, bool) {}

}  // namespace jv
