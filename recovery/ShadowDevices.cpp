#include "recovery/ShadowDevices.h"

#include <algorithm>

#include "ntfs/BootRecordNTFS.h"
#include "platform/Platform.h"
#include "recovery/ErrorText.h"
#include "source/FileSource.h"
#include "source/ShadowCatalog.h"
#include "source/SourceError.h"

namespace resurgo {

namespace {

// The serial number volume's boot sector states; 0 when it states none.
std::uint64_t serialOf(Source& volume) {
    std::uint8_t sector[BootRecordNTFS::kBootSectorBytes] = {};
    const std::size_t got = volume.readAt(sector, sizeof sector, 0, "ShadowDevices::serialOf");
    BootRecordNTFS::Stated stated;
    return BootRecordNTFS::stated(sector, got, stated) ? stated.serialNumber : 0;
}

} // namespace

ShadowDevices::ShadowDevices(Source& volume) {
    const std::uint64_t serial = serialOf(volume);
    if (serial == 0) return;
    std::vector<std::string> devices;
    if (!platform().shadowCopyDevices(devices)) {
        const std::uint32_t code = platform().lastError();
        throw SourceError(kErrOpenDisk, "the system's shadow copies can't be listed: " + platform().errorText(code));
    }
    std::size_t unreadable = 0;
    std::string why;
    for (const std::string& path : devices) {
        try {
            FileSource device(path);
            if (serialOf(device) != serial) continue;
            SHADOW_STORE info;
            info.number = static_cast<unsigned>(stores_.size() + 1);
            info.volumeSize = device.size();
            stores_.push_back(info);
            paths_.push_back(path);
        } catch (const ErrorException& e) {
            // A copy of another volume, as likely as one of this: counted,
            // not listed.
            if (unreadable++ == 0) why = ErrorText::reason(e);
        }
    }
    if (unreadable != 0) {
        notes_.push_back(std::to_string(unreadable) + " of the system's " + std::to_string(devices.size()) +
                         " shadow copies can't be read (" + why + "); the drive's copies among them are not searched.");
    }
    if (!stores_.empty()) date(volume);
}

void ShadowDevices::date(Source& volume) {
    std::string why;
    try {
        const ShadowCatalog catalog = ShadowCatalog::read(volume);
        std::vector<ShadowCatalog::Entry> entries = catalog.entries();
        std::stable_sort(entries.begin(), entries.end(),
                         [](const ShadowCatalog::Entry& a, const ShadowCatalog::Entry& b) { return a.created < b.created; });
        if (entries.size() == stores_.size()) {
            for (std::size_t i = 0; i < entries.size(); ++i) {
                stores_[i].created = entries[i].created;
                stores_[i].identifier = ShadowCatalog::identifierText(entries[i].identifier);
            }
            return;
        }
        why = "the drive's catalog lists " + std::to_string(entries.size()) + " and the system shows " +
              std::to_string(stores_.size());
    } catch (const ErrorException& e) {
        why = "the drive's catalog can't be read: " + ErrorText::reason(e);
    }
    notes_.push_back("The dates of the shadow copies are unknown (" + why +
                     "); they are numbered in the order the system made them.");
}

std::unique_ptr<Source> ShadowDevices::open(unsigned number) {
    if (number == 0 || number > paths_.size()) {
        throw SourceError(kErrUnrecognized, "there is no shadow copy " + std::to_string(number) + " (the volume has " +
                                                std::to_string(paths_.size()) + ")");
    }
    return std::make_unique<FileSource>(paths_[number - 1]);
}

} // namespace resurgo
