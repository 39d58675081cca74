#include "platform/Files.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdio>
#endif

namespace jv {

bool MoveFileOver(const std::string& tmp, const std::string& target) {
#ifdef _WIN32
    // Windows' rename refuses an existing target.
    return MoveFileExA(tmp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    return std::rename(tmp.c_str(), target.c_str()) == 0;
#endif
}

}  // namespace jv
