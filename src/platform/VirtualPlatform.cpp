// Binding of the simulator and the tests: the host's console, a virtual
// clock so that waits on a virtual drive cost no real time, the drives of the
// rig named by JORVANE_RIG, and a registry held in memory.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/Clock.h"
#include "platform/DriveRoute.h"
#include "platform/HostConsole.h"
#include "platform/Registry.h"
#include "platform/VirtualRoute.h"
#include "sim/Rig.h"

namespace jv {

namespace {

struct SVirtualMachine {
    EVirtualPlatform platform = EVirtualPlatform::Linux;
    std::string error;
};

// The machine the rig describes. The drive sections are the simulator's
// process rig; a [Rig] section, which the drive parser does not know, is
// taken out first and the drives are read again without it.
SVirtualMachine& Machine() {
    static SVirtualMachine machine = [] {
        SVirtualMachine m;
        sim::SRig& rig = sim::ProcessRig();
        m.error = sim::ProcessRigError();
        const char* path = std::getenv("JORVANE_RIG");
        if (!path || !*path) return m;
        std::ifstream file(path, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        std::string driveText;
        if (!SplitRigSettings(text.str(), m.platform, driveText, m.error)) {
            m.error = std::string(path) + ": " + m.error;
            rig = sim::SRig{};
            return m;
        }
        if (driveText != text.str()) {
            m.error.clear();
            auto parsed = sim::ParseRig(driveText, path, m.error);
            rig = parsed ? std::move(*parsed) : sim::SRig{};
        }
        return m;
    }();
    return machine;
}

}  // namespace

Console& DefaultConsole() {
    static std::unique_ptr<Console> console = MakeHostConsole();
    return *console;
}

Clock& DefaultClock() {
    static VirtualClock clock;
    return clock;
}

bool DetectPassThroughPlatform() { return Machine().platform != EVirtualPlatform::Win98; }

std::unique_ptr<DriveRoute> MakePlatformDriveRoute(bool) {
    SVirtualMachine& machine = Machine();
    // A rig that cannot be read leaves the machine without drives; say why
    // once, beside the program's own output.
    static bool told = false;
    if (!told && !machine.error.empty()) {
        told = true;
        std::fprintf(stderr, "%s\n", machine.error.c_str());
    }
    std::vector<sim::VirtualDrive*> drives;
    for (auto& drive : sim::ProcessRig().drives) drives.push_back(drive.get());
    return MakeVirtualRoute(std::move(drives), machine.platform);
}

Registry& DefaultRegistry() {
    static MemoryRegistry registry;
    return registry;
}

}  // namespace jv
