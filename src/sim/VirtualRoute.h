#pragma once
// The routes of the simulator: a rig's virtual drives reached through the
// same route logic the real platforms use, with the system beneath it played
// by the simulator. A rig can stand for a Linux machine (SG_IO on /dev/srN),
// an NT machine (pass-through on drive letters from D:) or a Windows 98
// machine (ASPI, each drive at its rig address).
//
// The rig file chooses in its [Rig] section, which is not a drive:
//   [Rig]
//   platform = linux | nt | win98        (linux when not given)
//   registry = machine.reg               the machine's registry, kept in a file
//                                        (beside the rig file when relative)
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/AspiRoute.h"
#include "platform/DriveRoute.h"

namespace jv::sim {
class VirtualDrive;
}

namespace jv {

enum class EVirtualPlatform { Linux, Nt, Win98 };

// "linux", "nt" or "win98" (any case); nothing for anything else.
std::optional<EVirtualPlatform> ParseVirtualPlatform(const std::string& text);
// The platform a rig's [Rig] settings name; false with an error for a
// platform or key this simulator does not know.
bool RigPlatform(const std::map<std::string, std::string>& settings, EVirtualPlatform& platform,
                 std::string& error);

// What the simulated system saw, for tests that check the route's requests.
struct SVirtualSystemLog {
    uint32_t aborts = 0;          // ASPI abort requests
    uint32_t lastAbortTarget = 0; // the request they named
    uint32_t opens = 0;           // device opens (pass-through, SG_IO)
    uint32_t closes = 0;
};

// The drives stay owned by the caller and must outlive the route.
std::unique_ptr<DriveRoute> MakeVirtualRoute(std::vector<sim::VirtualDrive*> drives, EVirtualPlatform platform,
                                             std::shared_ptr<SVirtualSystemLog> log = nullptr);

}  // namespace jv
