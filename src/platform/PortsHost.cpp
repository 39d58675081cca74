// The machine's own I/O ports. Only x86 Linux hands them to a process, and
// only to one allowed to (root or CAP_SYS_RAWIO); everywhere else the ports
// are inert and the register waits run into their bounds.
#include <cerrno>
#include <cstring>

#include "platform/Ports.h"

#if defined(__linux__) && (defined(__i386__) || defined(__x86_64__))
#include <sys/io.h>
#define JV_HOST_PORTS 1
#endif

namespace jv {

#ifdef JV_HOST_PORTS

namespace {

class LinuxPorts final : public PortBackend {
public:
    std::string Claim(uint16_t first, uint16_t count) override {
        if (ioperm(first, count, 1) == 0) return {};
        const int error = errno;
        if (error == EPERM) {
            return "No access to the IDE ports: run as root (or with CAP_SYS_RAWIO).";
        }
        return std::string("No access to the IDE ports: ") + std::strerror(error) + ".";
    }
    void Write(uint16_t port, uint8_t value) override { outb(value, port); }
    uint8_t Read(uint16_t port) override { return inb(port); }
    uint16_t Read16(uint16_t port) override { return inw(port); }
};

}  // namespace

std::unique_ptr<PortBackend> MakeHostPorts() { return std::make_unique<LinuxPorts>(); }

#elif defined(__linux__)

namespace {

// Not an x86 machine: there are no IDE ports to claim.
class RefusedPorts final : public PortBackend {
public:
    std::string Claim(uint16_t, uint16_t) override {
        return "No access to the IDE ports: this machine has no x86 I/O ports.";
    }
    void Write(uint16_t, uint8_t) override {}
    uint8_t Read(uint16_t) override { return 0; }
    uint16_t Read16(uint16_t) override { return 0; }
};

}  // namespace

std::unique_ptr<PortBackend> MakeHostPorts() { return std::make_unique<RefusedPorts>(); }

#else

std::unique_ptr<PortBackend> MakeHostPorts() { return std::make_unique<InertPorts>(); }

#endif

}  // namespace jv
