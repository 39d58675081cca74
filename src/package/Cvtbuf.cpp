#include "package/Cvtbuf.h"

#include "package/BufferRecords.h"
#include "platform/ByteOrder.h"

namespace jv {

namespace {

constexpr uint32_t kPhilipsOverhead = 40;

uint64_t ClaimedLength(std::span<const uint8_t> data) {
    if (data.size() < 4) return 0;
    return Be32(data);
}

}  // namespace

std::span<const uint8_t> CvtBufferData() { return EmbeddedBuffer(BufferId::Cvt); }

bool CvtHoldsImage(std::span<const uint8_t> data) {
    // The length counts the bytes behind the prefix, the 4-byte trailer
    // included.
    return IsPhilipsImage(data) && ClaimedLength(data) + 4 <= data.size();
}

bool LoadCvtImage(std::span<const uint8_t> data, SYTRParameter& record, std::vector<uint8_t>& image) {
    uint32_t length = GetImageSize(data);
    if (length <= kPhilipsOverhead) return false;
    image.assign(length - kPhilipsOverhead, 0);
    if (!LoadPhilipsImage(data, record, image)) {
        image.clear();
        image.shrink_to_fit();
        return false;
    }
    return true;
}

}  // namespace jv
