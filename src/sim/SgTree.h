// SgTree: the sysfs description of the SCSI-target mode's device nodes, as the
// kernel would publish it under /sys: one scsi_generic entry per controller
// (VELMORA ARC-SIM, type 3, host driver kvoqrm) and one disk (sg0) that a
// service must pass over. Written once at start by the Simulator.
#pragma once

#include <string>

namespace SgTree {

// SGDIR/dev/sg<controller + 1>.
std::string NodePath(const std::string& sgDir, int controller);
// Writes SGDIR/sys; false with `error` set when that fails.
bool Write(const std::string& sgDir, int controllers, std::string& error);

}  // namespace SgTree
