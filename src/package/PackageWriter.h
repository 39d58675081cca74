#pragma once
// Writes firmware packages: the version 3 layout around an image, so that an
// image read out of a drive becomes a file the updater loads and flashes like
// any other package.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "package/Ytr.h"

namespace jv {

// A version 3 package with the record's flash types, kernel type and block,
// max bank size, bank sizes and reserved blocks; bank i is the BankSizes[i]
// image bytes from i x MaxBankSize, stored plain. The header check sum is
// CalcCheckSum over the image as the loader will give it back: bytes that
// no bank covers count as the zeros the loader puts there. Nothing when the
// record does not describe this image (its length is not banks x stride, a
// bank is longer than the stride, it is larger than the loader accepts, or
// its reserved blocks start outside it or cover a byte twice): the loader
// would refuse such a package. Reserved and kernel blocks that only reach
// past the image are written as the record has them, as the loader takes
// them.
std::optional<std::vector<uint8_t>> BuildYtr3(const SYTRParameter& record, std::span<const uint8_t> image);

// The most bytes BuildYtr3 writes for a record of this layout (bank count,
// stride, reserved blocks) whatever its bank sizes, each at most the
// stride: known before the image is.
uint64_t Ytr3LengthAtMost(const SYTRParameter& record);

// The image a package with this record's banks gives back when loaded: the
// bank ranges of image, zeros elsewhere. Same length as image.
std::vector<uint8_t> CarriedImage(const SYTRParameter& record, std::span<const uint8_t> image);

}  // namespace jv
