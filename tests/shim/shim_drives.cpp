// The C++ side of the SG_IO shim: one lock around the rig, because the
// program under test may send commands from several threads.
#include "shim_drives.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "sim/Rig.h"

namespace {
std::mutex g_lock;

jv::sim::SRig& Rig() {
    static bool reported = false;
    jv::sim::SRig& rig = jv::sim::ProcessRig();
    if (!reported) {
        reported = true;
        if (!jv::sim::ProcessRigError().empty())
            std::fprintf(stderr, "sgio_shim: %s\n", jv::sim::ProcessRigError().c_str());
    }
    return rig;
}
}  // namespace

extern "C" int jvshim_drive_count(void) {
    try {
        std::lock_guard<std::mutex> hold(g_lock);
        return static_cast<int>(Rig().drives.size());
    } catch (...) {
        return 0;
    }
}

extern "C" int jvshim_execute(int drive, const unsigned char cdb[12], unsigned char direction, unsigned char* data,
                              unsigned int length, unsigned char sense[32], unsigned int* senseLength,
                              unsigned int* transferred, int* timedOut) {
    try {
        std::lock_guard<std::mutex> hold(g_lock);
        auto& drives = Rig().drives;
        if (drive < 0 || static_cast<size_t>(drive) >= drives.size()) return -1;
        jv::sim::VirtualDrive& d = *drives[static_cast<size_t>(drive)];
        jv::sim::SCommandOutcome outcome = d.Execute(cdb, direction, data, length);
        static_assert(sizeof d.LastSense().bytes == 32);
        std::memcpy(sense, d.LastSense().bytes, 32);
        *senseLength = static_cast<unsigned int>(d.LastSense().Length());
        *transferred = outcome.transferred;
        *timedOut = outcome.timedOut ? 1 : 0;
        return outcome.scsiStatus;
    } catch (...) {
        return -1;
    }
}
