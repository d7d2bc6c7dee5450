#pragma once
// `resurgo info SOURCE`: what the source is, layer by layer: the container,
// the partition table and the partition chosen, BitLocker (protectors,
// cipher, locked or not), and the NTFS volume (serial number, cluster and
// record sizes, MFT size and records, label, shadow copies).

#include <optional>
#include <ostream>
#include <string>

namespace resurgo {
class SourceStack;
class VolumeInfo;
}

namespace resurgo::cli {

class InfoCommand {
public:
    struct Options {
        std::string source;
        std::optional<unsigned> partition;
        bool json = false;
    };

    // The exit status: kExitOk once the layers are described (also a locked
    // volume's), else that of the failure to open the source.
    static int run(const Options& options, std::ostream& out, std::ostream& err);

private:
    static void writeText(std::ostream& out, const SourceStack& stack, const VolumeInfo* ntfs);
    static std::string toJson(const SourceStack& stack, const VolumeInfo* ntfs);
};

} // namespace resurgo::cli
