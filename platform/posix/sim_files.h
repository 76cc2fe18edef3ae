// The simulated line's files, the script and the DTR/RTS log, opened for a
// new line (sim.cpp). Not for use outside the simulated line.
#ifndef CABLETEST_PLATFORM_POSIX_SIM_FILES_H
#define CABLETEST_PLATFORM_POSIX_SIM_FILES_H

#include <string>
#include <vector>

#include "platform/posix/sim_script.h"
#include "platform/win32.h"

namespace posixlayer {

// Lock held: keeps the simulated line's reason for refusing the open, which
// the app prints after the open's own line, like the cause of any other
// refusal.
void RefuseWith(const std::string& reason);

// Lock held: the script to play, parsed; false with *error set (and the
// reason kept by RefuseWith) when it will not do.
bool LoadScript(std::vector<SimAction>* script, DWORD* error);

// Lock held: the log's descriptor in *logFd, -1 when none is asked for;
// false with *error set (and the reason kept by RefuseWith) when it will not do.
bool OpenLog(int* logFd, DWORD* error);

}  // namespace posixlayer

#endif  // CABLETEST_PLATFORM_POSIX_SIM_FILES_H
