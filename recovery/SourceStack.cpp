#include "recovery/SourceStack.h"

#include <algorithm>
#include <cstring>

#include "ntfs/BootRecordNTFS.h"
#include "recovery/ErrorText.h"
#include "recovery/ProgressSink.h"
#include "source/ContainerFormat.h"
#include "source/ContainerSource.h"
#include "source/FileSource.h"
#include "source/FileSystemProbe.h"
#include "source/PartitionTable.h"
#include "source/SliceSource.h"
#include "source/SourceError.h"

namespace resurgo {

namespace {

constexpr std::size_t kOemIdOffset = 3;  // "NTFS    " in an NTFS boot record
constexpr char kNtfsOemId[] = "NTFS    ";
constexpr std::size_t kFirstSector = 512;

// Whether the volume starts with an NTFS boot record (damaged or not: the
// search then tells what is wrong with it). Zero-filled when it is blank.
bool startsWithNtfs(Source& volume, bool* blank = nullptr) {
    std::uint8_t sector[kFirstSector] = {};
    const std::size_t got = volume.readAt(sector, sizeof sector, 0, "SourceStack::startsWithNtfs");
    if (blank != nullptr) *blank = std::all_of(sector, sector + got, [](std::uint8_t b) { return b == 0; });
    return got >= kOemIdOffset + 8 && std::memcmp(sector + kOemIdOffset, kNtfsOemId, 8) == 0;
}

// The first records of the MFT of an NTFS volume (where libblkid finds
// the label), when its boot record can be read.
std::vector<std::pair<std::uint64_t, std::uint64_t>> mftStart(Source& volume) {
    std::uint8_t sector[kFirstSector] = {};
    if (volume.readAt(sector, sizeof sector, 0, "SourceStack::mftStart") != sizeof sector) return {};
    try {
        BootRecordNTFS boot;
        boot.parse(sector, sizeof sector, volume.size() / kFirstSector);
        const std::uint64_t cluster = static_cast<std::uint64_t>(boot.bytesPerSector) * boot.sectorsPerCluster;
        if (cluster == 0 || boot.mftCluster > UINT64_MAX / cluster) return {};
        return {{boot.mftCluster * cluster, 64 * 1024}};
    } catch (const ErrorException&) {
        return {};
    }
}

std::string tableName(const std::string& scheme) { return scheme == "gpt" ? "a GPT" : "an MBR"; }

// Table problems named one by one up to this many.
constexpr std::size_t kProblemsNamed = 8;

} // namespace

SourceStack::SourceStack() = default;
SourceStack::~SourceStack() = default;

std::string SourceStack::container() const { return container_ ? ContainerFormat::name(container_->kind()) : ""; }

std::vector<std::string> SourceStack::files() const {
    if (container_) return container_->files();
    return path_.empty() ? std::vector<std::string>() : std::vector<std::string>{path_};
}

std::string SourceStack::withArticle(const std::string& name) {
    // Capitals are read letter by letter ("an E01", "an MBR", "a VHD"),
    // file system names as words ("an ext4", "a vfat").
    const char c = name.empty() ? 'x' : name[0];
    const bool vowelSound = (c >= 'A' && c <= 'Z') ? std::strchr("AEFHILMNORSX", c) != nullptr
                                                    : std::strchr("aeioux", c) != nullptr;
    return (vowelSound ? "an " : "a ") + name;
}

std::string SourceStack::describe(const std::string& filesystem) {
    if (filesystem == "empty") return "the source is empty (0 bytes)";
    if (filesystem == "short") return "the source is shorter than one sector, too short to hold a file system";
    if (filesystem == "unreadable") return "it can't be read";
    if (filesystem == "blank") return "its first sector is blank (no boot record, partition table or file system)";
    if (filesystem == "unknown" || filesystem.empty()) {
        return "no NTFS boot record, partition table or other known file system is there";
    }
    std::string list = filesystem;
    std::replace(list.begin(), list.end(), '+', ' ');
    if (filesystem.find('+') != std::string::npos) return "this holds several file systems at once (" + list + ")";
    return "this looks like " + withArticle(filesystem) + " file system";
}

std::string SourceStack::described() const {
    if (filesystem_ != "short" || disk_ == nullptr) return describe(filesystem_);
    const std::uint64_t size = disk_->size();
    return "the source is only " + std::to_string(size) + (size == 1 ? " byte" : " bytes") +
           " long, too short to hold a file system";
}

SourceStack::Status SourceStack::fail(Status status, std::string message) {
    message_ = std::move(message);
    volume_ = nullptr;
    return status;
}

SourceStack::Status SourceStack::inspect(const std::string& path) {
    return status_ = inspectSource(path, std::nullopt);
}

SourceStack::Status SourceStack::open(const std::string& path, std::optional<unsigned> partition, bool whole) {
    status_ = inspectSource(path, partition);
    if (status_ == Status::Ready) status_ = choose(partition, whole);
    // A failure lists the table: every partition in it is looked at then.
    if (status_ != Status::Ready) {
        for (Partition& p : partitions_) {
            if (!p.probed) probe(p);
        }
    }
    if (status_ == Status::Ready && whole && container_ && container_->storedBytes() < container_->size()) {
        note_ += std::string(note_.empty() ? "" : "\n") + "the " + container() + " image claims a disk of " +
                 std::to_string(container_->size()) + " bytes and stores " +
                 std::to_string(container_->storedBytes()) + " of them: the deep scan reads only what it stores";
    }
    return status_;
}

void SourceStack::probe(Partition& p) {
    p.probed = true;
    if (p.present == 0) return;
    try {
        SliceSource slice(*disk_, p.entry.start, p.present);
        FileSystemProbe::Result found = FileSystemProbe::probe(slice, mftStart(slice));
        // An NTFS boot record that libblkid turns down (its MFT
        // overwritten by a later file system) still counts: the
        // search says what is wrong with it.
        p.ntfs = startsWithNtfs(slice) || found.has("ntfs");
        if (p.ntfs && !found.has("ntfs")) found.types.push_back("ntfs");
        p.filesystem = found.text();
        if (!found.label.empty()) p.label = found.label;
    } catch (const ErrorException& e) {
        p.filesystem = "unreadable";
        warnings_.push_back("partition " + std::to_string(p.entry.number) + " can't be read, so its file system is "
                            "not known (" + ErrorText::reason(e) + ")");
    }
}

SourceStack::Status SourceStack::inspectSource(const std::string& path, std::optional<unsigned> only) {
    slice_.reset();
    container_.reset();
    file_.reset();
    disk_ = volume_ = nullptr;
    path_ = path;
    scheme_.clear();
    partitions_.clear();
    filesystem_.clear();
    bareNtfs_ = false;
    chosen_ = 0;
    message_.clear();
    note_.clear();
    warnings_.clear();
    failure_.reset();
    try {
        file_ = std::make_unique<FileSource>(path);
        disk_ = file_.get();
        const ContainerFormat::Kind kind = ContainerFormat::detect(*file_);
        if (kind != ContainerFormat::Kind::None) {
            container_ = ContainerSource::open(path, kind, file_->identity(), [this](int position) {
                if (progress_ != nullptr) progress_->setPosition(position);
            });
            if (progress_ != nullptr) progress_->setPosition(0);
            disk_ = container_.get();
        }
        bool blank = false;
        bareNtfs_ = startsWithNtfs(*disk_, &blank);
        if (bareNtfs_) {
            filesystem_ = "ntfs";
            return Status::Ready;
        }
        const PartitionTable table = PartitionTable::read(*disk_);
        if (table.empty()) {
            const std::uint64_t size = disk_->size();
            if (size < kFirstSector) {
                filesystem_ = size == 0 ? "empty" : "short";
                return Status::Ready;
            }
            filesystem_ = FileSystemProbe::probe(*disk_, mftStart(*disk_)).text();
            if (filesystem_ == "unknown" && blank) filesystem_ = "blank";
            return Status::Ready;
        }
        scheme_ = table.scheme;
        const std::string damaged = "the " + tableName(scheme_).substr(tableName(scheme_).find(' ') + 1) +
                                    " partition table is damaged: ";
        for (std::size_t i = 0; i < table.problems.size() && i < kProblemsNamed; ++i) {
            warnings_.push_back(damaged + table.problems[i]);
        }
        if (table.problems.size() > kProblemsNamed) {
            warnings_.push_back(damaged + std::to_string(table.problems.size() - kProblemsNamed) + " more problems");
        }
        const std::uint64_t size = disk_->size();
        for (const PARTITION_ENTRY& e : table.entries) {
            Partition p;
            p.entry = e;
            p.present = e.start < size ? std::min(e.size, size - e.start) : 0;
            p.filesystem = "unknown";
            p.label = e.name;
            // With a partition chosen, only that one is read.
            if (!only || *only == e.number) probe(p);
            partitions_.push_back(p);
        }
        return Status::Ready;
    } catch (const SourceError& e) {
        return fail(container_ || !file_ || e.code() != kErrPartitionFormat ? Status::ContainerFailed
                                                                             : Status::TableFailed,
                    e.message());
    } catch (const ErrorException& e) {
        failure_ = e;
        return fail(Status::OpenFailed, "cannot open " + path);
    }
}

SourceStack::Status SourceStack::choose(std::optional<unsigned> partition, bool whole) {
    const std::string& path = path_;
    const std::string holder = container_ ? withArticle(container()) + " image holding " : std::string();
    const std::string inside = container_ ? " (" + withArticle(container()) + " image)" : std::string();
    const std::string what = path + ": " + holder;

    if (scheme_.empty()) {
        if (partition) {
            return fail(Status::NoTable, what + "no partition table (" +
                                             (bareNtfs_ ? "a bare NTFS volume" : described()) +
                                             "); leave out --partition");
        }
        if (!bareNtfs_) {
            if (!whole) return fail(Status::NotNtfs, path + inside + ": not NTFS: " + described());
            note_ = path + inside + ": not NTFS: " + described() + "; the deep scan reads all of it";
        }
        volume_ = disk_;
        return Status::Ready;
    }

    const std::string table = tableName(scheme_) + " partition table";
    const Partition* pick = nullptr;
    if (partition) {
        for (const Partition& p : partitions_) {
            if (p.entry.number == *partition) pick = &p;
        }
        if (pick == nullptr) {
            return fail(Status::NoSuchPartition, what + table + " with no partition " +
                                                     std::to_string(*partition));
        }
        if (pick->present == 0) {
            return fail(Status::NoSuchPartition,
                        path + ": partition " + std::to_string(*partition) + " starts at byte " +
                            std::to_string(pick->entry.start) + ", past the end of the " +
                            (holder.empty() ? "source" : "disk") + " (" + std::to_string(disk_->size()) +
                            " bytes): the " + table.substr(table.find(' ') + 1) +
                            " is damaged or the image is cut short");
        }
        if (!pick->ntfs) {
            if (!whole) {
                return fail(Status::NotNtfs, path + ": partition " + std::to_string(*partition) +
                                                 " is not NTFS: " + describe(pick->filesystem));
            }
            note_ = "partition " + std::to_string(*partition) + " is not NTFS: " + describe(pick->filesystem) +
                    "; the deep scan reads all of it";
        }
    } else {
        std::size_t count = 0;
        for (const Partition& p : partitions_) {
            if (p.ntfs && p.present > 0 && p.entry.overlaps == 0) {
                pick = &p;
                ++count;
            }
        }
        for (const Partition& p : partitions_) {
            if (count == 0 && p.ntfs && p.present > 0) {
                return fail(Status::NoNtfsPartition,
                            what + table + " whose NTFS partition " + std::to_string(p.entry.number) +
                                " overlaps partition " + std::to_string(p.entry.overlaps) +
                                " (the table is damaged); choose it with --partition " +
                                std::to_string(p.entry.number) + " to search it as the table gives it");
            }
        }
        if (count == 0) {
            return fail(Status::NoNtfsPartition, what + table + " with no NTFS partition" +
                                                     (whole ? "; choose the one to scan with --partition" : ""));
        }
        if (count > 1) {
            pick = nullptr;
            return fail(Status::SeveralNtfs, what + table + " with " + std::to_string(count) +
                                                 " NTFS partitions; choose one with --partition");
        }
        note_ = "using partition " + std::to_string(pick->entry.number) + " (NTFS" +
                (pick->label.empty() ? std::string() : ", \"" + pick->label + "\"") + ") of the " + table.substr(table.find(' ') + 1) + " on " +
                path;
    }
    chosen_ = pick->entry.number;
    if (pick->entry.overlaps != 0) {
        note_ += std::string(note_.empty() ? "" : "\n") + "partition " + std::to_string(chosen_) + " overlaps partition " +
                 std::to_string(pick->entry.overlaps) + " (the " + table.substr(table.find(' ') + 1) +
                 " is damaged): it is searched as the table gives it";
    }
    if (pick->ntfs && pick->filesystem != "ntfs") {
        note_ += std::string(note_.empty() ? "" : "\n") + "partition " + std::to_string(chosen_) +
                 " holds several file systems at once (" + pick->filesystem + "); its NTFS one is searched";
    }
    if (pick->present < pick->entry.size) {
        note_ += std::string(note_.empty() ? "" : "\n") + "partition " + std::to_string(chosen_) +
                 ": an NTFS volume cut off after " + std::to_string(pick->present) + " of " +
                 std::to_string(pick->entry.size) +
                 " bytes (the image ends there): files stored past the end are lost in part or whole";
    }
    // The slice keeps the length the table gives: the volume's own size
    // checks hold, and reads past the end of a cut image fail as reads.
    slice_ = std::make_unique<SliceSource>(*disk_, pick->entry.start, pick->entry.size);
    volume_ = slice_.get();
    return Status::Ready;
}

} // namespace resurgo
