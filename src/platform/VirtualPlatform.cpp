// Binding of the simulator and the tests: the host's console, a virtual
// clock so that waits on a virtual drive cost no real time, the drives of the
// rig named by JORVANE_RIG, and a registry held in memory.
#include <cstdio>

#include "drive/Buffer.h"
#include "platform/Clock.h"
#include "platform/DriveRoute.h"
#include "platform/HostConsole.h"
#include "platform/Ports.h"
#include "platform/Registry.h"
#include "platform/VirtualRoute.h"
#include "sim/Rig.h"
#include "sim/VirtualIde.h"

namespace jv {

namespace {

struct SVirtualMachine {
    EVirtualPlatform platform = EVirtualPlatform::Linux;
    std::string error;
};

// The machine the rig describes: its drives are the simulator's process rig,
// its platform comes from the rig's [Rig] settings.
SVirtualMachine& Machine() {
    static SVirtualMachine machine = [] {
        SVirtualMachine m;
        sim::SRig& rig = sim::ProcessRig();
        m.error = sim::ProcessRigError();
        if (m.error.empty() && !RigPlatform(rig.settings, m.platform, m.error)) {
            // A machine we cannot play has no drives rather than the wrong ones.
            m.error = rig.path + ": " + m.error;
            rig.drives.clear();
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

namespace {

// Port accesses reach the IDE channels of the rig's drives; the machine
// never refuses them, as a real one with its ports handed over would not.
class RigPorts final : public PortBackend {
public:
    std::string Claim(uint16_t, uint16_t) override { return {}; }
    void Write(uint16_t port, uint8_t value) override { sim::ProcessIdeBus().Write(port, value); }
    uint8_t Read(uint16_t port) override { return sim::ProcessIdeBus().Read(port); }
};

}  // namespace

PortBackend& DefaultPorts() {
    static RigPorts ports;
    return ports;
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

namespace {
// The drives are scanned before main on every run, even one whose command
// never touches a drive; holding the object here keeps its unit in the link.
[[maybe_unused]] const bool g_drivesScanned = (TheAtapi(), true);
}  // namespace

}  // namespace jv
