#include "platform/SystemDeviceSource.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <blkid/blkid.h>

#include "platform/MountTable.h"
#include "platform/SysfsText.h"

namespace fs = std::filesystem;

namespace resurgo {

namespace {

// DEVNAME from the device's uevent file: the node's name below /dev.
std::string deviceNode(const fs::path& dir, const std::string& name) {
    std::ifstream in(dir / "uevent");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("DEVNAME=", 0) == 0) return "/dev/" + line.substr(8);
    }
    return "/dev/" + name;
}

// File system type and label; probeDenied when the device can't be read.
void probe(BlockDevice& d) {
    blkid_probe pr = blkid_new_probe_from_filename(d.path.c_str());
    if (pr == nullptr) {
        d.probeDenied = errno == EACCES || errno == EPERM;
        if (d.probeDenied) {
            // The unprivileged way: the cache that udev and blkid keep.
            if (char* type = blkid_get_tag_value(nullptr, "TYPE", d.path.c_str())) {
                d.fileSystem = type;
                d.probeDenied = false;
                std::free(type);
                if (char* label = blkid_get_tag_value(nullptr, "LABEL", d.path.c_str())) {
                    d.label = label;
                    std::free(label);
                }
            }
        }
        return;
    }
    blkid_probe_enable_superblocks(pr, 1);
    blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL);
    if (blkid_do_safeprobe(pr) == 0) {
        const char* value = nullptr;
        if (blkid_probe_lookup_value(pr, "TYPE", &value, nullptr) == 0 && value) d.fileSystem = value;
        if (blkid_probe_lookup_value(pr, "LABEL", &value, nullptr) == 0 && value) d.label = value;
    }
    blkid_free_probe(pr);
}

} // namespace

SystemDeviceSource::SystemDeviceSource(std::string sysfsRoot, std::string mountsPath)
    : sysfsRoot_(std::move(sysfsRoot)), mountsPath_(std::move(mountsPath)) {}

SystemDeviceSource::~SystemDeviceSource() = default;

std::vector<BlockDevice> SystemDeviceSource::devices() {
    std::vector<BlockDevice> list;
    const fs::path classDir = fs::path(sysfsRoot_) / "class" / "block";
    std::error_code ec;
    std::vector<fs::path> names;
    for (const auto& entry : fs::directory_iterator(classDir, ec)) names.push_back(entry.path());
    std::sort(names.begin(), names.end());

    const std::vector<MountTable::Entry> mounts = MountTable::read(mountsPath_);

    for (const fs::path& link : names) {
        const std::string name = link.filename().string();
        fs::path dir = fs::canonical(link, ec);
        if (ec) continue;
        BlockDevice d;
        d.path = deviceNode(dir, name);
        try {
            d.sizeBytes = std::stoull(SysfsText::readLine(dir / "size")) * 512ULL;  // sysfs counts 512-byte units
        } catch (const std::exception&) {
            continue;
        }
        if (d.sizeBytes == 0) continue;  // empty loop devices, card readers without media
        // A partition is removable when its disk is.
        fs::path disk = fs::exists(dir / "partition") ? dir.parent_path() : dir;
        d.removable = SysfsText::readLine(disk / "removable") == "1";
        if (disk != dir) {
            try {
                d.partition = static_cast<unsigned>(std::stoul(SysfsText::readLine(dir / "partition")));
                d.disk = deviceNode(disk, disk.filename().string());
            } catch (const std::exception&) {
                d.partition = 0;
            }
        }

        probe(d);

        std::uint64_t dev = 0;
        if (SysfsText::parseDevNumber(SysfsText::readLine(dir / "dev"), dev)) {
            for (const MountTable::Entry& m : mounts) {
                struct stat st {};
                if (::stat(m.device.c_str(), &st) != 0 || !S_ISBLK(st.st_mode) || static_cast<std::uint64_t>(st.st_rdev) != dev) continue;
                d.mountPoint = m.mountPoint;
                struct statvfs sv {};
                if (::statvfs(m.mountPoint.c_str(), &sv) == 0) {
                    d.hasFreeBytes = true;
                    d.freeBytes = static_cast<std::uint64_t>(sv.f_bavail) * static_cast<std::uint64_t>(sv.f_frsize);
                }
                break;
            }
        }
        list.push_back(std::move(d));
    }
    return list;
}

} // namespace resurgo
