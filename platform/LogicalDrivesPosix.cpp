// Drive roots on POSIX: there are none; volumes and images are named by
// path.

#include "platform/LogicalDrives.h"

namespace resurgo {

namespace {

class NoDrives final : public LogicalDrives {
public:
    bool driveRoots(std::vector<std::string>& roots) override {
        roots.clear();
        return true;
    }
    bool isFixedDrive(const std::string&) override { return false; }
    bool volumeInformation(const std::string&, std::string&, std::string&) override { return false; }
    bool diskFreeSpace(const std::string&, std::uint32_t&, std::uint32_t&, std::uint64_t&, std::uint64_t&) override {
        return false;
    }
    std::uint32_t lastError() override { return 0; }
};

} // namespace

LogicalDrives& LogicalDrives::system() {
    static NoDrives drives;
    return drives;
}

} // namespace resurgo
