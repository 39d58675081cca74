// A stand-in for the ASPI for Win32 layer, for running the Windows program
// under Wine against virtual drives. It is loaded in place of WNASPI32.DLL
// and answers the way the published layer does: host adapter inquiry and
// device type at once, execute requests queued and completed on a worker
// thread (status, target status and sense written, then the request's event
// set; with residual counting asked for, the bytes that did not move left in
// the buffer length, as an adapter that counts them does), aborts taken out
// of the queue. A command the drive takes but holds its answer to (the
// rig's flash_start = held, hold_command) completes with SS_ERR and host
// status HASTAT_COMMAND_TIMEOUT, as an adapter's own time-out does; one the
// drive never answers (hang_command) stays pending.
//
// The drives are those of the rig named by JORVANE_RIG, each at its rig
// address. Two faults of the layer itself, which the same rig cannot
// describe, come from JORVANE_ASPI:
//   no-adapters  the manager reports no host adapter
//   stub         every request is refused: 0xE0 returned, status left at 0,
//                as Wine's own wnaspi32 does; unlike Wine's, the rig's
//                adapters are still reported, so the program does send them
// JORVANE_ASPI_LOG names a file to which the layer appends one line for
// every abort it is sent, so a test can tell the program gave up on a
// request. Nothing is ever written to the program's standard output.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "platform/AspiLayout.h"
#include "platform/Clock.h"
#include "sim/Rig.h"

namespace {

using namespace jv;

enum class EMode { Normal, NoAdapters, Stub };

EMode ModeFromEnvironment() {
    const char* value = std::getenv("JORVANE_ASPI");
    const std::string mode = value ? value : "";
    if (mode == "no-adapters") return EMode::NoAdapters;
    if (mode == "stub") return EMode::Stub;
    if (!mode.empty()) std::fprintf(stderr, "WNASPI32 test double: JORVANE_ASPI=%s is not known\n", mode.c_str());
    return EMode::Normal;
}

void AppendLog(const std::string& line) {
    const char* path = std::getenv("JORVANE_ASPI_LOG");
    if (!path || !*path) return;
    if (std::FILE* file = std::fopen(path, "ab")) {
        std::fprintf(file, "%s\n", line.c_str());
        std::fclose(file);
    }
}

template <typename T>
T* RequestAt(uint32_t address) {
    return reinterpret_cast<T*>(static_cast<uintptr_t>(address));
}

// The layer's state: one lock around the queue and the drives' table.
class Layer {
public:
    Layer() {
        InitializeCriticalSection(&lock_);
        work_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        mode_ = ModeFromEnvironment();
        sim::SRig& rig = sim::ProcessRig();
        if (!sim::ProcessRigError().empty()) {
            std::fprintf(stderr, "WNASPI32 test double: %s\n", sim::ProcessRigError().c_str());
            AppendLog("rig error: " + sim::ProcessRigError());
        }
        for (size_t i = 0; i < rig.drives.size(); ++i) {
            drives_.push_back(rig.drives[i].get());
            addresses_.push_back(sim::AspiAddressOf(rig.drives[i]->Config(), i));
            adapters_ = std::max<uint32_t>(adapters_, addresses_.back().adapter + 1u);
        }
    }
    Layer(const Layer&) = delete;
    Layer& operator=(const Layer&) = delete;

    DWORD SupportInfo() const {
        if (mode_ == EMode::NoAdapters || adapters_ == 0) return DWORD{aspi::kStatusNoAdapters} << 8;
        return (DWORD{aspi::kStatusCompleted} << 8) | adapters_;
    }

    DWORD Send(void* request) {
        if (!request) return aspi::kStatusInvalidRequest;
        // Wine's own layer refuses everything this way.
        if (mode_ == EMode::Stub) return aspi::kStatusInvalidRequest;
        auto* header = static_cast<uint8_t*>(request);
        switch (header[0]) {
            case aspi::kCmdHostAdapterInquiry:
                return Finish(header, HostAdapterInquiry(*static_cast<aspi::SHostAdapterInquiry*>(request)));
            case aspi::kCmdGetDeviceType:
                return Finish(header, DeviceType(*static_cast<aspi::SGetDeviceType*>(request)));
            case aspi::kCmdExecute: return Queue(*static_cast<aspi::SExecute*>(request));
            case aspi::kCmdAbort: return Finish(header, Abort(*static_cast<aspi::SAbort*>(request)));
            default: return Finish(header, aspi::kStatusInvalidCommand);
        }
    }

private:
    static DWORD Finish(uint8_t* header, uint8_t status) {
        header[1] = status;
        return status;
    }

    bool AdapterValid(uint8_t adapter) const {
        return mode_ != EMode::NoAdapters && adapter < adapters_;
    }

    sim::VirtualDrive* Find(uint8_t adapter, uint8_t target, uint8_t lun) const {
        const sim::SAspiAddress wanted{adapter, target, lun};
        for (size_t i = 0; i < drives_.size(); ++i)
            if (addresses_[i] == wanted) return drives_[i];
        return nullptr;
    }

    uint8_t HostAdapterInquiry(aspi::SHostAdapterInquiry& request) const {
        // Adapter 0 answers even on a machine without adapters: that is how
        // a caller learns the count is 0.
        if (request.adapter != 0 && !AdapterValid(request.adapter)) return aspi::kStatusInvalidAdapter;
        request.adapterCount = static_cast<uint8_t>(mode_ == EMode::NoAdapters ? 0 : adapters_);
        request.adapterScsiId = 7;
        std::memcpy(request.managerId, "ASPI for WIN32  ", 16);
        std::memcpy(request.adapterId, "VIRTUAL ATAPI   ", 16);
        std::memset(request.unique, 0, sizeof request.unique);
        request.unique[0] = 3;     // buffer alignment mask: 4 bytes
        request.unique[aspi::kUniqueResidualByte] = aspi::kUniqueResidualSupported;
        request.unique[3] = 8;     // targets per adapter
        request.unique[4] = 0x00;  // largest transfer: 64 KiB
        request.unique[5] = 0x00;
        request.unique[6] = 0x01;
        return aspi::kStatusCompleted;
    }

    uint8_t DeviceType(aspi::SGetDeviceType& request) {
        if (!AdapterValid(request.adapter)) return aspi::kStatusInvalidAdapter;
        const sim::VirtualDrive* drive = Find(request.adapter, request.target, request.lun);
        // A unit whose qualifier says it is not there is no device.
        if (!drive || (drive->Config().peripheral >> 5) != 0) return aspi::kStatusNoDevice;
        request.deviceType = static_cast<uint8_t>(drive->Config().peripheral & 0x1F);
        return aspi::kStatusCompleted;
    }

    DWORD Queue(aspi::SExecute& request) {
        if (!AdapterValid(request.adapter)) return Finish(&request.command, aspi::kStatusInvalidAdapter);
        if (!Find(request.adapter, request.target, request.lun)) return Finish(&request.command, aspi::kStatusNoDevice);
        request.hostStatus = 0;
        request.targetStatus = 0;
        request.status = aspi::kStatusPending;
        EnterCriticalSection(&lock_);
        const bool started = StartWorker();
        if (started) queue_.push_back(&request);
        LeaveCriticalSection(&lock_);
        if (!started) return Finish(&request.command, aspi::kStatusError);
        SetEvent(work_);
        return aspi::kStatusPending;
    }

    uint8_t Abort(aspi::SAbort& request) {
        auto* victim = RequestAt<aspi::SExecute>(request.requestToAbort);
        std::string where = "unknown request";
        EnterCriticalSection(&lock_);
        bool found = false;
        for (auto it = queue_.begin(); it != queue_.end(); ++it) {
            if (*it != victim) continue;
            queue_.erase(it);
            found = true;
            where = "queued";
            break;
        }
        if (!found && unanswered_.erase(victim) != 0) {
            found = true;
            where = "unanswered";
        }
        std::string line = "abort " + where;
        if (found) {
            char detail[64];
            std::snprintf(detail, sizeof detail, " %u:%u:%u opcode %02X", victim->adapter, victim->target,
                          victim->lun, victim->commandBlock[0]);
            line += detail;
            // The caller still holds the event: it learns of the abort now,
            // and the request is never touched again.
            Complete(*victim, aspi::kStatusAborted);
        }
        LeaveCriticalSection(&lock_);
        AppendLog(line);
        return aspi::kStatusCompleted;
    }

    // Under the lock.
    static void Complete(aspi::SExecute& request, uint8_t status) {
        MemoryBarrier();
        request.status = status;
        if (request.flags & aspi::kFlagEventNotify)
            SetEvent(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(request.postProcedure)));
    }

    // Under the lock.
    bool StartWorker() {
        if (worker_) return true;
        // The thread runs this library's code until the process ends, so it
        // keeps the library loaded even after the program frees it.
        HMODULE self = nullptr;
        if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                reinterpret_cast<LPCSTR>(&Layer::WorkerEntry), &self))
            return false;
        worker_ = CreateThread(nullptr, 0, &Layer::WorkerEntry, this, 0, nullptr);
        if (!worker_) FreeLibrary(self);
        return worker_ != nullptr;
    }

    static DWORD WINAPI WorkerEntry(void* self) {
        static_cast<Layer*>(self)->Work();
        return 0;
    }

    [[noreturn]] void Work() {
        for (;;) {
            // Wakes now and then even without work, so a lost wake-up costs
            // a moment, not the request.
            WaitForSingleObject(work_, 500);
            for (;;) {
                EnterCriticalSection(&lock_);
                if (queue_.empty()) {
                    LeaveCriticalSection(&lock_);
                    break;
                }
                // The request runs under the lock: an abort then finds it
                // either still queued or finished, never half done.
                aspi::SExecute* request = queue_.front();
                queue_.pop_front();
                Run(*request);
                LeaveCriticalSection(&lock_);
            }
        }
    }

    // Under the lock.
    void Run(aspi::SExecute& request) {
        sim::VirtualDrive* drive = Find(request.adapter, request.target, request.lun);
        if (!drive) {
            Complete(request, aspi::kStatusNoDevice);
            return;
        }
        auto* data = request.bufferLength ? RequestAt<uint8_t>(request.bufferPointer) : nullptr;
        const uint8_t direction = request.flags & 0x18;
        const sim::SCommandOutcome outcome =
            drive->Execute(request.commandBlock, direction, data, data ? request.bufferLength : 0);
        if (outcome.held) {
            // The drive took the command and holds its answer: the adapter's
            // own time-out runs out (reported at once, the program is not made
            // to wait for it) and the layer says so in the host status.
            request.hostStatus = aspi::kHostCommandTimeout;
            request.targetStatus = 0;
            Complete(request, aspi::kStatusError);
        } else if (outcome.timedOut) {
            // The drive never answers: the request stays pending until the
            // program aborts it.
            unanswered_.insert(&request);
        } else {
            request.hostStatus = 0;
            request.targetStatus = outcome.scsiStatus;
            // Asked for, the bytes that did not move replace the length.
            if (request.flags & aspi::kFlagResidualCount) {
                request.bufferLength -= std::min<uint32_t>(outcome.transferred, request.bufferLength);
            }
            if (outcome.scsiStatus != 0) {
                const size_t senseBytes = std::min<size_t>(request.senseLength, sizeof request.senseArea);
                std::memcpy(request.senseArea, drive->LastSense().bytes,
                            std::min<size_t>(senseBytes, sizeof(sim::SSense)));
            }
            Complete(request, outcome.scsiStatus == 0 ? aspi::kStatusCompleted : aspi::kStatusError);
        }
    }

    CRITICAL_SECTION lock_;
    HANDLE work_ = nullptr;
    HANDLE worker_ = nullptr;
    EMode mode_ = EMode::Normal;
    std::vector<sim::VirtualDrive*> drives_;
    std::vector<sim::SAspiAddress> addresses_;
    uint32_t adapters_ = 0;
    std::deque<aspi::SExecute*> queue_;
    std::set<aspi::SExecute*> unanswered_;
};

// Built on first use, on the program's thread: the rig is read then, not
// while the loader holds its lock.
Layer& TheLayer() {
    static Layer layer;
    return layer;
}

}  // namespace

extern "C" {

__declspec(dllexport) DWORD __cdecl GetASPI32SupportInfo(void) {
    try {
        return TheLayer().SupportInfo();
    } catch (...) {
        return DWORD{aspi::kStatusNoAdapters} << 8;
    }
}

__declspec(dllexport) DWORD __cdecl SendASPI32Command(void* request) {
    try {
        return TheLayer().Send(request);
    } catch (...) {
        return aspi::kStatusError;
    }
}

}  // extern "C"
