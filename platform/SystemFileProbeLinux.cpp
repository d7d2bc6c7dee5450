#include "platform/SystemFileProbe.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "platform/MountTable.h"
#include "platform/SysfsText.h"

namespace fs = std::filesystem;

namespace resurgo {

namespace {

std::string devText(std::uint64_t dev) {
    return std::to_string(major(static_cast<dev_t>(dev))) + ":" + std::to_string(minor(static_cast<dev_t>(dev)));
}

} // namespace

SystemFileProbe::SystemFileProbe(std::string sysfsRoot, std::string mountInfoPath)
    : sysfsRoot_(std::move(sysfsRoot)), mountInfoPath_(std::move(mountInfoPath)) {}

SystemFileProbe::~SystemFileProbe() = default;

FileProbe::Identity SystemFileProbe::identify(const std::string& path) {
    Identity id;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return id;
    id.exists = true;
    id.isRegular = S_ISREG(st.st_mode);
    id.isDirectory = S_ISDIR(st.st_mode);
    id.isBlockDevice = S_ISBLK(st.st_mode);
    id.device = static_cast<std::uint64_t>(st.st_dev);
    id.inode = static_cast<std::uint64_t>(st.st_ino);
    id.rdev = static_cast<std::uint64_t>(st.st_rdev);
    return id;
}

FileProbe::Lower SystemFileProbe::lowerLayers(std::uint64_t device) {
    Lower lower;
    const std::string number = devText(device);

    // Mounts of this device number: what they were mounted from (a FUSE
    // mount such as ntfs-3g has its own device number, unrelated to the
    // block device or image it reads).
    // mountinfo: id parent major:minor root mountpoint options... - type source superoptions
    std::ifstream info(mountInfoPath_);
    std::string line;
    while (std::getline(info, line)) {
        std::istringstream fields(line);
        std::string id, parent, majMin;
        if (!(fields >> id >> parent >> majMin) || majMin != number) continue;
        std::string::size_type sep = line.find(" - ");
        if (sep == std::string::npos) continue;
        std::istringstream tail(line.substr(sep + 3));
        std::string type, source;
        if (!(tail >> type >> source)) continue;
        source = MountTable::unescape(source);
        if (source.empty() || source[0] != '/') continue;
        Identity from = identify(source);
        if (!from.exists) continue;
        if (from.isBlockDevice) {
            lower.devices.push_back(from.rdev);
        } else if (from.isRegular) {
            lower.files.push_back(from);
        }
    }

    // Block device layers from sysfs.
    std::error_code ec;
    fs::path dir = fs::canonical(fs::path(sysfsRoot_) / "dev" / "block" / number, ec);
    if (ec) return lower;
    std::uint64_t dev = 0;
    if (fs::exists(dir / "partition", ec) &&
        SysfsText::parseDevNumber(SysfsText::readLine(dir.parent_path() / "dev"), dev)) {
        lower.devices.push_back(dev);
    }
    for (const auto& slave : fs::directory_iterator(dir / "slaves", ec)) {
        if (SysfsText::parseDevNumber(SysfsText::readLine(slave.path() / "dev"), dev)) lower.devices.push_back(dev);
    }
    const std::string backing = SysfsText::readLine(dir / "loop" / "backing_file");
    if (!backing.empty()) {
        Identity file = identify(backing);
        if (file.exists) lower.files.push_back(file);
    }
    return lower;
}

} // namespace resurgo
