#pragma once
// The shadow copies a Windows system keeps of the volume searched, read
// through the devices it exposes for them (one per copy, each reading as
// the whole volume as it was): the devices whose boot sector states the
// volume's serial number belong to it. Their dates come from the volume's
// own catalog, which lists the copies oldest first: when it lists as many
// as there are devices, the devices (in the order the system numbered
// them) take its dates and identifiers in order; else they are numbered in
// that order with no date, and a note says so.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "source/SHADOW_STORE.h"
#include "source/ShadowProvider.h"

namespace resurgo {

class Source;

class ShadowDevices : public ShadowProvider {
public:
    // Lists the system's shadow-copy devices (through the platform) and
    // keeps volume's. A volume that is not NTFS has none; nothing raises
    // but the platform's failure to list them.
    explicit ShadowDevices(Source& volume);

    const std::vector<SHADOW_STORE>& stores() const override { return stores_; }
    // Opens copy number n's device for reading; raises SourceError when
    // there is no such copy, the system's error when it can't be opened.
    std::unique_ptr<Source> open(unsigned number) override;
    std::vector<std::string> notes() const override { return notes_; }

private:
    // Takes the dates and identifiers of the catalog's stores, in order.
    void date(Source& volume);

    std::vector<std::string> paths_;  // by number - 1
    std::vector<SHADOW_STORE> stores_;
    std::vector<std::string> notes_;
};

} // namespace resurgo
