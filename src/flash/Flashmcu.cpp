#include "flash/Flashmcu.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "flash/AtapiFlashTypes.h"
#include "flash/FlashmcuCommon.h"
#include "flash/Flashmsg.h"
#include "package/Firmware.h"
#include "platform/ByteOrder.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Process.h"

namespace jv {

using namespace mcu;

namespace mcu {

FlashResult ExchangeChecksum(EDriveIndex drive, std::span<const uint8_t> image, const SYTRParameter& parameter,
                             bool updater) {
    std::array<uint8_t, 256> reply{};
    if (!QueryFeature(drive, reply, kChecksumFeature)) return std::nullopt;
    const uint16_t sum = CalcFixDataCheckSum(image, parameter);
    if (FlashResult wait = AwaitReady(drive, updater, 3)) return wait;
    if (!SetFirmwareChecksum(drive, parameter.HeaderCheckSum, sum)) return Fail(updater, 5, kSetChecksumError);
    if (FlashResult wait = AwaitReady(drive, updater, 3)) return wait;
    reply.fill(0);
    if (!GetFirmwareChecksum(drive, reply)) return Fail(updater, 6, kGetChecksumError);
    if (Be16(reply, 6) != sum) return Fail(updater, 7, kChecksumError);
    return std::nullopt;
}

}  // namespace mcu

namespace {

AtapiFlashRoutine g_flashRoutine = nullptr;
FlashReadRoutine g_readRoutine = nullptr;

}  // namespace

CommandBlock WriteFlashPageCommand(uint8_t number, uint16_t field) {
    CommandBlock block = kCmdWriteFlashPage;
    block[7] = number;
    PutBe16(block, 8, field);
    return block;
}

CommandBlock StartFlashCommand(bool withProgress, uint8_t pagesSent, uint16_t headerCheckSum) {
    CommandBlock block = kCmdStartFlash;
    block[6] = withProgress ? 0x05 : 0x04;
    block[7] = static_cast<uint8_t>(0xE0 + pagesSent);
    PutBe16(block, 10, headerCheckSum);
    return block;
}

CommandBlock ReadFlashBlockCommand(uint16_t offset, uint8_t page) {
    CommandBlock block = kCmdReadFlashBlock;
    PutBe16(block, 6, offset);
    block[9] = page;
    return block;
}

CommandBlock WriteKernelPieceCommand(uint8_t bank, uint16_t address) {
    CommandBlock block = kCmdWriteKernelPiece;
    block[7] = bank;
    PutBe16(block, 8, address);
    return block;
}

CommandBlock WriteAliPageCommand(uint16_t pageSum, uint16_t imageSum, uint8_t page, uint8_t count) {
    CommandBlock block = kCmdWriteAliPage;
    PutBe16(block, 6, pageSum);
    PutBe16(block, 8, imageSum);
    block[10] = page;
    block[11] = count;
    return block;
}

CommandBlock Mtk7ChunkCommand(uint8_t block, uint8_t offset256) {
    CommandBlock cdb = kCmdMtk7Chunk;
    cdb[3] = block;
    cdb[4] = offset256;
    return cdb;
}

CommandBlock Mtk7SaveCommand(uint8_t block) {
    CommandBlock cdb = kCmdMtk7Save;
    cdb[3] = block;
    return cdb;
}

void SelectAtapiProtocol(uint8_t atapiFlashType) {
    if (const SAtapiFlashType* type = FindAtapiFlashType(atapiFlashType)) {
        g_flashRoutine = type->sender;
        g_readRoutine = &ReadFlashImage;
    }
    Print("\r");
}

AtapiFlashRoutine SelectedFlashRoutine() { return g_flashRoutine; }
FlashReadRoutine SelectedReadRoutine() { return g_readRoutine; }

FlashResult FlashAtapi(EDriveIndex drive, std::span<uint8_t> image, uint32_t length,
                       const SYTRParameter& parameter, const SFlashOptions& options, bool updater) {
    const uint8_t type = parameter.AtapiFlashType;
    if (FindAtapiFlashType(type) == nullptr) return FlashMessage(kMsgAtapiTypeUnsupported);
    SelectAtapiProtocol(type);
    SetMessageTable(options.silent != 0);
    if (!options.silent) ShowUpdating();
    return SelectedFlashRoutine()(drive, image, length, parameter, options.immediateAtapi != 0, options.silent != 0,
                                  updater);
}

}  // namespace jv
