// The simulated serial line `sim`: a cable and a carriage played from a
// script (CABLETEST_SIM_SCRIPT, or the built-in demonstration), behind the
// same port interface as a tty, with DTR and RTS logged to CABLETEST_SIM_LOG
// (both files are opened by sim_files.cpp).
//
// The device holds the line and the port open on it. It is the clock's
// DueSource: the clock asks it when its next action or byte is due and has it
// catch up, so that a wait on the line ends when the byte arrives, in real or
// virtual time, and the script plays on while the device is pulled out and
// no port is open. Every operation on the port catches the line up first as
// well (sim_line.cpp).
#include <unistd.h>

#include <memory>

#include "platform/posix/sim_files.h"
#include "platform/posix/sim_line.h"

namespace posixlayer {
namespace {

class SimPort final : public Port {
  public:
    // The simulated line starts with RTS low: nothing raised it.
    SimPort() : Port(RTS_CONTROL_DISABLE) {}
    ~SimPort() override { ReleaseOnClose(); }

    DWORD ApplyState(const DCB& dcb) override;
    DWORD Read(BYTE* buffer, DWORD size, DWORD* got) override;
    DWORD Status(DWORD* errors, DWORD* inQueue) override;
    DWORD Escape(DWORD function) override;
    DWORD ModemStatus(DWORD* status) override;

  protected:
    void LookForCommEvent(Lock& lock, bool block) override;
    void ReleaseOnClose() override;

  private:
    SimLine* CatchUp(DWORD* error);
};

// The one simulated device. Its line lives from the open that starts it until
// the port open on it is closed. An unplug lets go of that port (it is gone
// for good), and the line plays on without one, so that the script can plug
// the device back in for a later open, or end the program. Members that need
// no destruction: the device outlives every thread that may ask the clock
// for it.
class SimDevice final : public DueSource {
  public:
    uint64_t NextDue() const override;
    void Fire(uint64_t now) override;

    // The line brought up to `now`; a port that it marked gone no longer
    // holds the device.
    void CatchUp(uint64_t now);
    // A port of the open's own onto the line: a new line, or the one left
    // behind, provided it is plugged in. False with *error set otherwise.
    bool Attach(SimPort* newPort, DWORD* error);
    // The port is closed: a line it still holds goes with it.
    void Detach(const SimPort* closing);

    SimLine* line = nullptr;  // owned
    SimPort* port = nullptr;  // the port open on the line, if any

  private:
    bool StartLine(DWORD* error);
    void DropLine();
};

SimDevice g_device;

uint64_t SimDevice::NextDue() const {
    return line != nullptr ? LineNextDue(port, *line) : kNever;
}

void SimDevice::Fire(uint64_t now) {
    CatchUp(now);
}

void SimDevice::CatchUp(uint64_t now) {
    if (line != nullptr) {
        AdvanceLine(port, line, now);
    }
    if (port != nullptr && port->gone) {
        port = nullptr;
    }
}

bool SimDevice::StartLine(DWORD* error) {
    auto fresh = std::make_unique<SimLine>();
    if (!LoadScript(&fresh->script, error) || !OpenLog(&fresh->logFd, error)) {
        return false;
    }
    fresh->openMs = NowMs();
    fresh->roundMs = fresh->openMs;
    line = fresh.release();
    SetDueSource(this);
    return true;
}

void SimDevice::DropLine() {
    if (line->logFd >= 0) {
        close(line->logFd);
    }
    delete line;
    line = nullptr;
    SetDueSource(nullptr);
}

bool SimDevice::Attach(SimPort* newPort, DWORD* error) {
    if (port != nullptr) {
        *error = ERROR_ACCESS_DENIED;  // share mode 0: one opener at a time
        RefuseWith("sim: the simulated line is open already");
        return false;
    }
    if (line == nullptr) {
        if (!StartLine(error)) {
            return false;
        }
    } else {
        CatchUp(NowMs());
        if (line->unplugged) {
            *error = ERROR_FILE_NOT_FOUND;  // as the name of a removed device
            RefuseWith("sim: the simulated line is unplugged until the script plugs it back in");
            return false;
        }
        // Back from a pull-out, the device starts as a new one: nothing
        // received, nothing pending, both output lines off until the open's
        // settings raise RTS.
        line->queue.clear();
        line->pendingErrors = 0;
        line->dtr = false;
        line->rts = false;
    }
    port = newPort;
    return true;
}

void SimDevice::Detach(const SimPort* closing) {
    if (port == closing) {
        port = nullptr;
        DropLine();
    }
}

void SimPort::ReleaseOnClose() {
    g_device.Detach(this);
}

// Every operation first catches the line up with the clock: in real time
// nothing else applies the script between two waits.
SimLine* SimPort::CatchUp(DWORD* error) {
    if (g_device.port == this) {
        g_device.CatchUp(NowMs());
    }
    if (gone || g_device.port != this) {
        *error = gone ? goneError : ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return g_device.line;
}

// The clock completes the wait, as the byte arrives: all there is to do is
// wait for it.
void SimPort::LookForCommEvent(Lock& lock, bool block) {
    if (block) {
        const void* completion = &wait;
        Block(lock, kNever, &completion, 1);
    }
}

DWORD SimPort::ApplyState(const DCB& record) {
    DWORD error = ERROR_SUCCESS;
    SimLine* line = CatchUp(&error);
    if (line == nullptr) {
        return error;
    }
    if ((record.fDtrControl != DTR_CONTROL_DISABLE && record.fDtrControl != DTR_CONTROL_ENABLE) ||
        (record.fRtsControl != RTS_CONTROL_DISABLE && record.fRtsControl != RTS_CONTROL_ENABLE)) {
        return ERROR_NOT_SUPPORTED;
    }
    SetDtr(line, record.fDtrControl == DTR_CONTROL_ENABLE);
    SetRts(line, record.fRtsControl == RTS_CONTROL_ENABLE);
    return ERROR_SUCCESS;
}

DWORD SimPort::Read(BYTE* buffer, DWORD size, DWORD* got) {
    DWORD error = ERROR_SUCCESS;
    SimLine* line = CatchUp(&error);
    if (line == nullptr) {
        return error;
    }
    DWORD n = 0;
    while (n < size && !line->queue.empty()) {
        buffer[n++] = line->queue.front();
        line->queue.pop_front();
    }
    *got = n;
    return ERROR_SUCCESS;
}

DWORD SimPort::Status(DWORD* errors, DWORD* inQueue) {
    DWORD error = ERROR_SUCCESS;
    SimLine* line = CatchUp(&error);
    if (line == nullptr) {
        return error;
    }
    *errors = line->pendingErrors;
    line->pendingErrors = 0;
    *inQueue = static_cast<DWORD>(line->queue.size());
    return ERROR_SUCCESS;
}

DWORD SimPort::Escape(DWORD function) {
    DWORD error = ERROR_SUCCESS;
    SimLine* line = CatchUp(&error);
    if (line == nullptr) {
        return error;
    }
    switch (function) {
        case SETRTS:
        case CLRRTS:
            SetRts(line, function == SETRTS);
            return ERROR_SUCCESS;
        case SETDTR:
        case CLRDTR:
            SetDtr(line, function == SETDTR);
            return ERROR_SUCCESS;
        default:
            return ERROR_NOT_SUPPORTED;
    }
}

DWORD SimPort::ModemStatus(DWORD* status) {
    DWORD error = ERROR_SUCCESS;
    SimLine* line = CatchUp(&error);
    if (line == nullptr) {
        return error;
    }
    DWORD s = 0;
    if (line->cts) {
        s |= MS_CTS_ON;
    }
    if (line->cable && line->dtr) {
        s |= MS_DSR_ON;  // the cable loops DTR back to DSR
    }
    if (line->ring) {
        s |= MS_RING_ON;
    }
    if (line->rlsd) {
        s |= MS_RLSD_ON;
    }
    *status = s;
    return ERROR_SUCCESS;
}

}  // namespace

std::shared_ptr<Port> OpenSimPort(DWORD* error) {
    auto port = std::make_shared<SimPort>();
    if (!g_device.Attach(port.get(), error)) {
        return nullptr;
    }
    return port;
}

}  // namespace posixlayer
