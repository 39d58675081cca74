#pragma once
// The package buffers and the parameter buffer as the program uses them:
// which one is selected, loading the packages they hold, the updater-mode
// choice of the embedded firmware, and writing their content out again.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "package/Ytr.h"

namespace jv {

// A package loaded from a buffer: its parameters and its decoded image.
struct SLoadedPackage {
    SYTRParameter header;
    std::vector<uint8_t> image;
};

// The selected buffer number, which the command line's b, f and o set; 1
// until one of them does.
int SelectedBufferNumber();
void SetSelectedBufferNumber(int number);

// The package buffer (1, 2 or 3) a selected buffer number stands for: 1 and
// 2 are themselves, every other number is 3.
int PackageBufferFor(int selectedNumber);
// The data area of the selected package buffer.
std::span<const uint8_t> SelectedPackageData();

// Loads the package a buffer's data holds. Nothing when the buffer is empty,
// holds no package, or its header claims more than the buffer holds.
std::optional<SLoadedPackage> LoadPackageBuffer(std::span<const uint8_t> data);

// The firmware an updater carries.
struct SEmbeddedFirmware {
    // The CVT buffer's Philips-format image was taken; the package buffers
    // were not looked at.
    bool philips = false;
    SLoadedPackage cvt;
    // Package buffers 1 to 3; those that hold a package.
    std::array<std::optional<SLoadedPackage>, 3> packages;

    int PackageCount() const;
};

// The choice of the embedded firmware in updater mode: the CVT buffer when
// it holds a Philips-format image, else every package buffer that holds a
// package. When nothing yields firmware, prints loadFailText (the caller's
// "Load YTR Fail!", empty when silent) as "%s\n" and returns nothing.
std::optional<SEmbeddedFirmware> LoadEmbeddedPackages(const std::string& loadFailText);
std::optional<SEmbeddedFirmware> LoadEmbeddedPackages(std::span<const uint8_t> cvt,
                                                      const std::array<std::span<const uint8_t>, 3>& packages,
                                                      const std::string& loadFailText);

// The settings text up to its first zero byte (at most the capacity) to the
// file; an empty buffer gives an empty file. True when the file was written.
bool WriteParameterBuffer(const std::string& fileName);
bool WriteParameterText(std::span<const uint8_t> data, const std::string& fileName);

// The first GetYtrLength bytes of the selected package buffer to the file:
// an empty buffer (or one whose header lies) gives an empty file.
bool WritePackageBuffer(const std::string& fileName);
bool WritePackageData(std::span<const uint8_t> data, const std::string& fileName);

// On a package: "\n", the firmware information, "\n", the header print-out;
// true. Prints nothing and returns false when the buffer does not load.
bool CheckPackageBuffer();
bool CheckPackageData(std::span<const uint8_t> data);

// On a package: "\nFix data check sum : %08Xh\n" over the whole image; true.
// False, printing nothing, when the buffer does not load.
bool PrintFixDataCheckSum();
bool PrintFixDataCheckSumOf(std::span<const uint8_t> data);

}  // namespace jv
