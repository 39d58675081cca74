// In the fuzz build minizip's file layer opens archives through
// jv_fuzz_fopen64 (fuzz/CMakeLists.txt renames its fopen64). An archive the
// target holds in memory is opened with fmemopen, so that the reader's many
// seeks and small reads cost no system calls; every other name is opened as
// usual.
#include <cstdint>
#include <cstdio>
#include <string>

#include "FuzzSupport.h"

namespace {
std::string g_name;
const uint8_t* g_data = nullptr;
size_t g_size = 0;
}  // namespace

namespace jv::fuzz {

void ServeArchiveFromMemory(const std::string& name, const uint8_t* data, size_t size) {
    g_name = name;
    g_data = data;
    g_size = size;
}

}  // namespace jv::fuzz

extern "C" FILE* jv_fuzz_fopen64(const char* name, const char* mode) {
    // fmemopen refuses an empty buffer; the real file is as empty.
    if (g_data != nullptr && g_size != 0 && name != nullptr && g_name == name && mode[0] == 'r')
        return fmemopen(const_cast<uint8_t*>(g_data), g_size, "rb");
    return fopen64(name, mode);
}
