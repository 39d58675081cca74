// The commands that work on the embedded buffers: m, o, b, f and t. Each
// prints its failure text and ends the run with 259 either way.
#include "driver/Auxiliary.h"
#include "driver/Program.h"
#include "package/PackageBuffers.h"
#include "package/TestParameters.h"
#include "platform/Console.h"

namespace jv {

int CommandWriteParameterFile(const SParameter&, const SCommandLine& args) {
    if (!WriteParameterBuffer(args.mergedParameterFile)) Print("\nOutput Parameter File Fail!\n");
    return kExitDone;
}

int CommandWritePackageFile(const SParameter&, const SCommandLine& args) {
    if (!WritePackageBuffer(args.outputPackageFile)) Print("\nOutput YTR File Fail!\n");
    return kExitDone;
}

int CommandCheckBuffer(const SParameter&, const SCommandLine&) {
    if (!CheckPackageBuffer()) Print("\nCheck YTR Buffer Fail!\n");
    // The check sum is printed whatever the check gave.
    if (!PrintFixDataCheckSum()) Print("\nGet FixData CheckSum Fail!\n");
    return kExitDone;
}

int CommandFixDataCheckSum(const SParameter&, const SCommandLine&) {
    if (!PrintFixDataCheckSum()) Print("\nGet FixData CheckSum Fail!\n");
    return kExitDone;
}

int CommandWriteTestParameters(const SParameter&, const SCommandLine& args) {
    // Always package buffer 1: the selected buffer number plays no part.
    if (!WriteBufferTestParameters(args.testParameterFile)) Print("\nOutput TestParameter File Fail!\n");
    return kExitDone;
}

}  // namespace jv
