#include "drive/Buffer.h"

#include "drive/Winfunc.h"

namespace jv {

bool IsDriveIndexValid(EDriveIndex index) { return index < TheAtapi().DriveCount(); }

std::vector<EDriveIndex> ListDriveIndexes() {
    std::vector<EDriveIndex> indexes;
    for (int i = 0; i < TheAtapi().DriveCount(); ++i) {
        const auto index = static_cast<EDriveIndex>(i);
        if (IsDriveIndexValid(index)) indexes.push_back(index);
    }
    return indexes;
}

std::vector<SInaccessibleNode> InaccessibleNodes() { return TheAtapi().Inaccessible(); }

std::string LocateDriveOnIde(EDriveIndex drive, SIdeLocation& location) {
    return TheAtapi().LocateIde(drive, location);
}

bool UsesPassThrough() { return TheAtapi().UsesPassThrough(); }

}  // namespace jv
