// The IpcData block as a POSIX shared memory object, so that other local
// programs can follow the detector live.
//
// Every element instance of a process that uses the same name shares one
// mapping. The object is created on first use and unlinked when the last
// instance of the process lets go; its sequence word is set to 0 first, so a
// reader that still has it mapped stops trusting the values. A reader that
// opened it keeps its mapping after the unlink (as it keeps a handle to a
// named mapping elsewhere). Two processes publishing under one name overwrite
// each other's values; the first of them to exit removes the name.
#pragma once

#include <string>

#include "vlx/detect_params.h"

namespace vlx::filter {

// Opens or creates the object and maps it; nullptr when that is not possible
// (the element then runs without publishing).
IpcData* AcquireIpc(const std::string& name);
void ReleaseIpc(IpcData* ipc);

}  // namespace vlx::filter
