#include "platform/Ports.h"

#include "platform/Clock.h"

namespace jv {

namespace {
PortBackend* g_ports = nullptr;
}

PortBackend& ThePorts() { return g_ports ? *g_ports : DefaultPorts(); }
void SetPorts(PortBackend* ports) { g_ports = ports; }
void DelayMs(uint32_t milliseconds) { SleepMs(milliseconds); }

}  // namespace jv
