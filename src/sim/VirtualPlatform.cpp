// Binding of the simulator and the tests: the host's console, a virtual
// clock so that waits on a virtual drive cost no real time (the real one on
// request, below), the drives of the rig named by JORVANE_RIG, and the
// machine's registry, kept in the file the rig names (in memory when it
// names none).
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/Clock.h"
#include "platform/DriveRoute.h"
#include "platform/HostConsole.h"
#include "platform/Ports.h"
#include "platform/Registry.h"
#include "platform/SenseText.h"
#include "sim/RegistryFile.h"
#include "sim/Rig.h"
#include "sim/VirtualClock.h"
#include "sim/VirtualIde.h"
#include "sim/VirtualRoute.h"

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

// JORVANE_SIM_CLOCK=real lets the rig's times pass in real time (a flash
// takes as long as block_program_ms says), so a person can watch a flash at
// the drive's pace, or press Ctrl-C inside it, as on hardware.
Clock& DefaultClock() {
    static std::unique_ptr<Clock> clock = []() -> std::unique_ptr<Clock> {
        const char* chosen = std::getenv("JORVANE_SIM_CLOCK");
        const std::string name = chosen ? chosen : "";
        if (name == "real") return std::make_unique<RealClock>();
        if (!name.empty() && name != "virtual") {
            std::fprintf(stderr, "JORVANE_SIM_CLOCK is real or virtual, not '%s'; the clock is virtual\n",
                         name.c_str());
        }
        return std::make_unique<VirtualClock>();
    }();
    return *clock;
}

// Port accesses reach the IDE channels of the rig's drives.
PortBackend& DefaultPorts() {
    static sim::BusPorts ports(sim::ProcessIdeBus());
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

namespace {

// The registry of the rig's machine. Every value write goes to the file at
// once, as the real registry keeps what is written, so the next run meets
// the notification the last one left. A file that could not be read is never
// written over: the packager's text stays for them to mend.
class FileRegistry final : public Registry {
public:
    FileRegistry() {
        const sim::SRig& rig = sim::ProcessRig();
        auto named = rig.settings.find("registry");
        if (named == rig.settings.end() || named->second.empty()) return;
        path_ = sim::BesideRig(rig.path, named->second);
        std::string error;
        if (!sim::LoadRegistryFile(path_, memory_, error)) {
            std::fprintf(stderr, "%s; the machine's registry is empty\n", error.c_str());
            path_.clear();
        }
    }

    bool Open(Key parent, const std::string& path, Key& key) override { return memory_.Open(parent, path, key); }
    bool EnumKey(Key key, uint32_t index, std::string& name) override { return memory_.EnumKey(key, index, name); }
    bool QueryValue(Key key, const std::string& name, uint8_t* data, uint32_t& size) override {
        return memory_.QueryValue(key, name, data, size);
    }
    bool SetBinaryValue(Key key, const std::string& name, const uint8_t* data, uint32_t size) override {
        if (!memory_.SetBinaryValue(key, name, data, size)) return false;
        if (path_.empty() || sim::SaveRegistryFile(path_, memory_)) return true;
        // What could not be kept was not written, as far as the next run can tell.
        std::fprintf(stderr, "cannot write registry file '%s'\n", path_.c_str());
        return false;
    }
    void Close(Key key) override { memory_.Close(key); }

private:
    MemoryRegistry memory_;
    std::string path_;  // empty: nothing to keep it in
};

}  // namespace

Registry& DefaultRegistry() {
    static FileRegistry registry;
    return registry;
}

// The key's name and the codes alone: a simulated run reads the same on
// every host, whatever SCSI library it has.
std::string AdditionalSenseText(uint8_t, uint8_t) { return {}; }

}  // namespace jv
