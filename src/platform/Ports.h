#pragma once
// The I/O port seam of the register-level flash route. The real program gets
// the machine's ports where the system lets it have them; the simulator and
// the tests get the IDE channels of virtual drives.
#include <cstdint>
#include <memory>
#include <string>

namespace jv {

class PortBackend {
public:
    virtual ~PortBackend() = default;
    // Asks for the ports first .. first + count - 1; empty when they may be
    // used, else why not (for the user).
    virtual std::string Claim(uint16_t first, uint16_t count) = 0;
    virtual void Write(uint16_t port, uint8_t value) = 0;
    virtual uint8_t Read(uint16_t port) = 0;
    // A 16-bit read, as the data port hands out IDENTIFY words. A backend
    // without one gives the byte read in the low half.
    virtual uint16_t Read16(uint16_t port) { return Read(port); }
};

// Writes go nowhere and reads give 0: a machine without port access. Every
// wait on such ports runs into its bound.
class InertPorts final : public PortBackend {
public:
    std::string Claim(uint16_t, uint16_t) override { return {}; }
    void Write(uint16_t, uint8_t) override {}
    uint8_t Read(uint16_t) override { return 0; }
    uint16_t Read16(uint16_t) override { return 0; }
};

// The installed backend, or the binding's default.
PortBackend& ThePorts();
// nullptr returns to the default.
void SetPorts(PortBackend* ports);
// Provided by the platform binding linked into each program.
PortBackend& DefaultPorts();
// This machine's own ports: ioperm on x86 Linux, inert elsewhere.
std::unique_ptr<PortBackend> MakeHostPorts();

inline void PortWrite(uint16_t port, uint8_t value) { ThePorts().Write(port, value); }
inline uint8_t PortRead(uint16_t port) { return ThePorts().Read(port); }
inline uint16_t PortRead16(uint16_t port) { return ThePorts().Read16(port); }
inline std::string ClaimPorts(uint16_t first, uint16_t count) { return ThePorts().Claim(first, count); }
// Millisecond waits of the chip algorithms go through the clock seam.
void DelayMs(uint32_t milliseconds);

}  // namespace jv
