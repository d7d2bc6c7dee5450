#include "cli/DriveTable.h"

#include <algorithm>
#include <array>
#include <cctype>

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "cli/JsonText.h"
#include "cli/ResultFormatter.h"
#include "recovery/SystemServices.h"

namespace resurgo::cli {

DriveTable::DriveTable(DeviceSource& source) : source_(source) {}
DriveTable::~DriveTable() = default;

bool DriveTable::isNtfs(const BlockDevice& d) {
    std::string type = d.fileSystem;
    std::transform(type.begin(), type.end(), type.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return type == "ntfs";
}

void DriveTable::load() {
    drives_.clear();
    disks_.clear();
    denied_.clear();
    std::vector<BlockDevice> all = source_.devices();
    for (const BlockDevice& d : all) {
        if (d.probeDenied) denied_.push_back(d.path);
        if (isNtfs(d) && !d.removable) drives_.push_back(d);
    }
    // Whole disks holding NTFS partitions, to search with --partition.
    for (const BlockDevice& d : all) {
        if (d.partition != 0 || d.removable) continue;
        Disk disk{d, {}};
        for (const BlockDevice& p : all) {
            if (p.partition != 0 && p.disk == d.path && isNtfs(p)) disk.ntfsPartitions.push_back(p.partition);
        }
        if (!disk.ntfsPartitions.empty()) disks_.push_back(std::move(disk));
    }
}

void DriveTable::writeTable(std::ostream& out) const {
    if (drives_.empty()) {
        out << "No fixed NTFS block devices found.\n";
    } else {
        using Row = std::array<std::string, 5>;
        std::vector<Row> rows;
        rows.push_back({"Device", "Label", "Size MB", "Free MB", "Mounted on"});
        for (const BlockDevice& d : drives_) {
            // Labels and paths come from the devices: shown escaped.
            rows.push_back({VisibleText::of(d.path), VisibleText::of(d.label),
                            std::to_string(d.sizeBytes / kBytesPerMegabyte),
                            d.hasFreeBytes ? std::to_string(d.freeBytes / kBytesPerMegabyte) : "-",
                            d.mountPoint.empty() ? "-" : VisibleText::of(d.mountPoint)});
        }
        std::array<std::size_t, 5> width{};
        for (const Row& r : rows) {
            for (std::size_t c = 0; c < r.size(); ++c) width[c] = std::max(width[c], ResultFormatter::displayWidth(r[c]));
        }
        for (const Row& r : rows) {
            for (std::size_t c = 0; c < r.size(); ++c) {
                std::size_t used = ResultFormatter::displayWidth(r[c]);
                std::string fill(width[c] > used ? width[c] - used : 0, ' ');
                if (c > 0) out << "  ";
                if (c == 2 || c == 3) {
                    out << fill << r[c];
                } else if (c == r.size() - 1) {
                    out << r[c];
                } else {
                    out << r[c] << fill;
                }
            }
            out << '\n';
        }
    }
}

void DriveTable::writeDisks(std::ostream& out) const {
    if (disks_.empty()) return;
    out << "\nWhole disks with NTFS partitions (search one with --partition N):\n";
    for (const Disk& disk : disks_) {
        out << disk.device.path << "  " << disk.device.sizeBytes / kBytesPerMegabyte << " MB  NTFS partition"
            << (disk.ntfsPartitions.size() == 1 ? " " : "s ");
        for (std::size_t i = 0; i < disk.ntfsPartitions.size(); ++i) out << (i ? ", " : "") << disk.ntfsPartitions[i];
        out << '\n';
    }
}

void DriveTable::reportDenied(std::ostream& err) const {
    if (!denied_.empty()) {
        err << "resurgo: no permission to read";
        for (const std::string& path : denied_) err << ' ' << VisibleText::of(path);
        err << (!ProcessContext::runsAsSuperuser() ? "; run as root to see every NTFS device\n" : "\n");
    }
}

std::string DriveTable::toJson() const {
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> w(buffer);
    w.SetIndent(' ', 2);
    w.StartArray();
    for (const BlockDevice& d : drives_) {
        w.StartObject();
        w.Key("device");
        JsonText::write(w, d.path);
        w.Key("label");
        JsonText::write(w, d.label);
        w.Key("size_mb");
        w.Uint64(d.sizeBytes / kBytesPerMegabyte);
        w.Key("free_mb");
        if (d.hasFreeBytes) {
            w.Uint64(d.freeBytes / kBytesPerMegabyte);
        } else {
            w.Null();
        }
        w.Key("mount_point");
        if (d.mountPoint.empty()) {
            w.Null();
        } else {
            JsonText::write(w, d.mountPoint);
        }
        w.EndObject();
    }
    for (const Disk& disk : disks_) {
        w.StartObject();
        w.Key("device");
        JsonText::write(w, disk.device.path);
        w.Key("size_mb");
        w.Uint64(disk.device.sizeBytes / kBytesPerMegabyte);
        w.Key("ntfs_partitions");
        w.StartArray();
        for (const unsigned n : disk.ntfsPartitions) w.Uint(n);
        w.EndArray();
        w.EndObject();
    }
    w.EndArray();
    return std::string(buffer.GetString(), buffer.GetSize());
}

} // namespace resurgo::cli
