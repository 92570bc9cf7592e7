#include "sim/SgTree.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

struct Device {
    int host;
    const char* vendor;  // padded as the kernel pads INQUIRY strings
    const char* model;
    int type;
    const char* procName;
};

bool WriteText(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

// sys/class/scsi_generic/sgN/device -> the H:C:T:L directory under sys/devices.
bool WriteDevice(const fs::path& sys, int node, const Device& d, std::string& error) {
    const std::string hctl = std::to_string(d.host) + ":0:0:0";
    const std::string host = "host" + std::to_string(d.host);
    const fs::path deviceDir = sys / "devices" / "platform" / host /
                               ("target" + std::to_string(d.host) + ":0:0") / hctl;
    const fs::path entry = sys / "class" / "scsi_generic" / ("sg" + std::to_string(node));
    const fs::path hostEntry = sys / "class" / "scsi_host" / host;
    std::error_code ec;
    fs::create_directories(deviceDir, ec);
    if (!ec) fs::create_directories(entry, ec);
    if (!ec) fs::create_directories(hostEntry, ec);
    if (!ec) {
        fs::remove(entry / "device", ec);
        fs::create_directory_symlink(fs::relative(deviceDir, entry), entry / "device", ec);
    }
    if (ec) {
        error = "cannot write the sysfs tree " + sys.string() + ": " + ec.message();
        return false;
    }
    if (!WriteText(deviceDir / "vendor", std::string(d.vendor) + "\n") ||
        !WriteText(deviceDir / "model", std::string(d.model) + "\n") ||
        !WriteText(deviceDir / "type", std::to_string(d.type) + "\n") ||
        !WriteText(hostEntry / "proc_name", std::string(d.procName) + "\n")) {
        error = "cannot write the sysfs tree " + sys.string() + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

namespace SgTree {

std::string NodePath(const std::string& sgDir, int controller) {
    return sgDir + "/dev/sg" + std::to_string(controller + 1);
}

bool Write(const std::string& sgDir, int controllers, std::string& error) {
    const fs::path sys = fs::path(sgDir) / "sys";
    if (!WriteDevice(sys, 0, {0, "ATA     ", "SIMDISK 1TB     ", 0, "ahci"}, error)) return false;
    for (int k = 0; k < controllers; ++k)
        if (!WriteDevice(sys, k + 1, {k + 1, "VELMORA ", "ARC-SIM         ", 3, "kvoqrm"}, error))
            return false;
    return true;
}

}  // namespace SgTree
