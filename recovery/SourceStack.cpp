#include "recovery/SourceStack.h"

#include <algorithm>
#include <cstring>

#include "ntfs/BootRecordNTFS.h"
#include "recovery/ErrorText.h"
#include "recovery/ProgressSink.h"
#include "source/BitLockerCipher.h"
#include "source/BitLockerKey.h"
#include "source/BitLockerMetadata.h"
#include "source/BitLockerSource.h"
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

bool startsWithBitLocker(Source& volume) {
    std::uint8_t sector[kFirstSector] = {};
    const std::size_t got = volume.readAt(sector, sizeof sector, 0, "SourceStack::startsWithBitLocker");
    return BitLockerMetadata::detect(sector, got);
}

// The content of a startup key file: a few hundred bytes.
SecretBytes readKeyFile(const BitLockerSecret& secret) {
    constexpr std::size_t kMaxKeyFile = std::size_t{64} * 1024;
    const std::string path(reinterpret_cast<const char*>(secret.text.data()), secret.text.size());
    std::unique_ptr<FileSource> file;
    try {
        file = std::make_unique<FileSource>(path, FileSource::Accept::RegularFile);
    } catch (const ErrorException& e) {
        throw SourceError(kErrOpenDisk, "cannot read the key file " + path + " (" + ErrorText::reason(e) + ")");
    }
    SecretBytes bytes(static_cast<std::size_t>(std::min<std::uint64_t>(file->size(), kMaxKeyFile)));
    file->readExact(bytes.data(), bytes.size(), 0, "SourceStack::readKeyFile");
    return bytes;
}

std::string tableName(const std::string& scheme) { return scheme == "gpt" ? "a GPT" : "an MBR"; }

// Table problems named one by one up to this many.
constexpr std::size_t kProblemsNamed = 8;

} // namespace

SourceStack::SourceStack() = default;
SourceStack::~SourceStack() = default;

std::string SourceStack::container() const { return container_ ? ContainerFormat::name(container_->kind()) : ""; }

Source* SourceStack::decrypted() const { return bitlocker_.get(); }

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
    if (filesystem == "bitlocker") {
        return "BitLocker-encrypted NTFS volume; unlock it with --password, --recovery-password or --key-file";
    }
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
        addNote(std::string() + "the " + container() + " image claims a disk of " +
                 std::to_string(container_->size()) + " bytes and stores " +
                 std::to_string(container_->storedBytes()) + " of them: the deep scan reads only what it stores");
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
        p.bitlocker = startsWithBitLocker(slice);
        if (p.bitlocker) {
            p.filesystem = "bitlocker";
            return;
        }
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

void SourceStack::reset(const std::string& path) {
    bitlocker_.reset();
    encryption_.reset();
    slice_.reset();
    container_.reset();
    file_.reset();
    disk_ = volume_ = nullptr;
    path_ = path;
    scheme_.clear();
    partitions_.clear();
    filesystem_.clear();
    bareNtfs_ = bareBitLocker_ = false;
    chosen_ = 0;
    message_.clear();
    note_.clear();
    warnings_.clear();
    failure_.reset();
}

SourceStack::Status SourceStack::inspectSource(const std::string& path, std::optional<unsigned> only) {
    reset(path);
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
        bareBitLocker_ = !bareNtfs_ && startsWithBitLocker(*disk_);
        if (bareNtfs_ || bareBitLocker_) {
            filesystem_ = bareNtfs_ ? "ntfs" : "bitlocker";
            return Status::Ready;
        }
        const Status status = readTable(only);
        if (filesystem_ == "unknown" && blank) filesystem_ = "blank";
        return status;
    } catch (const SourceError& e) {
        return fail(container_ || !file_ || e.code() != kErrPartitionFormat ? Status::ContainerFailed
                                                                             : Status::TableFailed,
                    e.message());
    } catch (const ErrorException& e) {
        failure_ = e;
        return fail(Status::OpenFailed, "cannot open " + path);
    }
}

SourceStack::Status SourceStack::readTable(std::optional<unsigned> only) {
    const PartitionTable table = PartitionTable::read(*disk_);
    const std::uint64_t size = disk_->size();
    if (table.empty()) {
        if (size < kFirstSector) {
            filesystem_ = size == 0 ? "empty" : "short";
        } else {
            filesystem_ = FileSystemProbe::probe(*disk_, mftStart(*disk_)).text();
        }
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
}

void SourceStack::addNote(const std::string& line) { note_ += (note_.empty() ? "" : "\n") + line; }

SourceStack::Status SourceStack::chooseWhole(std::optional<unsigned> partition, bool whole) {
    const std::string inside = container_ ? " (" + withArticle(container()) + " image)" : std::string();
    if (partition) {
        const std::string holder = container_ ? withArticle(container()) + " image holding " : std::string();
        return fail(Status::NoTable, path_ + ": " + holder + "no partition table (" +
                                         (bareNtfs_ ? "a bare NTFS volume" : bareBitLocker_ ? "a bare BitLocker volume"
                                                                                            : described()) +
                                         "); leave out --partition");
    }
    if (!bareNtfs_ && !bareBitLocker_) {
        if (!whole) return fail(Status::NotNtfs, path_ + inside + ": not NTFS: " + described());
        note_ = path_ + inside + ": not NTFS: " + described() + "; the deep scan reads all of it";
    }
    volume_ = disk_;
    return Status::Ready;
}

const SourceStack::Partition* SourceStack::pick(std::optional<unsigned> partition, bool whole, Status& status) {
    const std::string holder = container_ ? withArticle(container()) + " image holding " : std::string();
    const std::string what = path_ + ": " + holder;
    const std::string table = tableName(scheme_) + " partition table";
    const std::string tableWord = table.substr(table.find(' ') + 1);
    const Partition* found = nullptr;
    if (partition) {
        for (const Partition& p : partitions_) {
            if (p.entry.number == *partition) found = &p;
        }
        if (found == nullptr) {
            status = fail(Status::NoSuchPartition, what + table + " with no partition " + std::to_string(*partition));
        } else if (found->present == 0) {
            status = fail(Status::NoSuchPartition,
                          path_ + ": partition " + std::to_string(*partition) + " starts at byte " +
                              std::to_string(found->entry.start) + ", past the end of the " +
                              (holder.empty() ? "source" : "disk") + " (" + std::to_string(disk_->size()) +
                              " bytes): the " + tableWord + " is damaged or the image is cut short");
        } else if (!found->ntfs && !found->bitlocker && !whole) {
            status = fail(Status::NotNtfs, path_ + ": partition " + std::to_string(*partition) +
                                               " is not NTFS: " + describe(found->filesystem));
        } else if (!found->ntfs && !found->bitlocker) {
            note_ = "partition " + std::to_string(*partition) + " is not NTFS: " + describe(found->filesystem) +
                    "; the deep scan reads all of it";
        }
        return status == Status::Ready ? found : nullptr;
    }
    std::size_t count = 0;
    for (const Partition& p : partitions_) {
        if ((p.ntfs || p.bitlocker) && p.present > 0 && p.entry.overlaps == 0) {
            found = &p;
            ++count;
        }
    }
    for (const Partition& p : partitions_) {
        if (count == 0 && (p.ntfs || p.bitlocker) && p.present > 0) {
            status = fail(Status::NoNtfsPartition,
                          what + table + " whose NTFS partition " + std::to_string(p.entry.number) +
                              " overlaps partition " + std::to_string(p.entry.overlaps) +
                              " (the table is damaged); choose it with --partition " +
                              std::to_string(p.entry.number) + " to search it as the table gives it");
            return nullptr;
        }
    }
    if (count != 1) {
        status = count == 0 ? fail(Status::NoNtfsPartition, what + table + " with no NTFS partition" +
                                                                 (whole ? "; choose the one to scan with --partition" : ""))
                            : fail(Status::SeveralNtfs, what + table + " with " + std::to_string(count) +
                                                            " NTFS partitions; choose one with --partition");
        return nullptr;
    }
    note_ = "using partition " + std::to_string(found->entry.number) + (found->bitlocker ? " (BitLocker" : " (NTFS") +
            (found->label.empty() ? std::string() : ", \"" + found->label + "\"") + ") of the " + tableWord + " on " +
            path_;
    return found;
}

void SourceStack::notePartition(const Partition& p) {
    const std::string n = std::to_string(p.entry.number);
    const std::string table = tableName(scheme_).substr(tableName(scheme_).find(' ') + 1) + " partition table";
    if (p.entry.overlaps != 0) {
        addNote("partition " + n + " overlaps partition " + std::to_string(p.entry.overlaps) + " (the " + table +
                " is damaged): it is searched as the table gives it");
    }
    if (p.ntfs && p.filesystem != "ntfs") {
        addNote("partition " + n + " holds several file systems at once (" + p.filesystem + "); its NTFS one is searched");
    }
    if (p.present < p.entry.size) {
        addNote("partition " + n + ": an NTFS volume cut off after " + std::to_string(p.present) + " of " +
                std::to_string(p.entry.size) +
                " bytes (the image ends there): files stored past the end are lost in part or whole");
    }
}

SourceStack::Status SourceStack::choose(std::optional<unsigned> partition, bool whole) {
    if (scheme_.empty()) {
        const Status status = chooseWhole(partition, whole);
        return status == Status::Ready && bareBitLocker_ ? unlock(whole) : status;
    }
    Status status = Status::Ready;
    const Partition* chosen = pick(partition, whole, status);
    if (chosen == nullptr) return status;
    chosen_ = chosen->entry.number;
    notePartition(*chosen);
    // The slice keeps the length the table gives: the volume's own size
    // checks hold, and reads past the end of a cut image fail as reads.
    slice_ = std::make_unique<SliceSource>(*disk_, chosen->entry.start, chosen->entry.size);
    volume_ = slice_.get();
    return chosen->bitlocker ? unlock(whole) : Status::Ready;
}

SourceStack::Status SourceStack::unlock(bool whole) {
    try {
        return unlockWith(whole);
    } catch (const SourceError& e) {
        return fail(Status::ContainerFailed, path_ + ": " + e.message());
    } catch (const ErrorException& e) {
        failure_ = e;
        return fail(Status::OpenFailed, "cannot read the BitLocker volume of " + path_);
    }
}

SourceStack::Status SourceStack::unlockWith(bool whole) {
    const BitLockerMetadata metadata = BitLockerMetadata::read(*volume_);
    Encryption e;
    e.toGo = metadata.toGo;
    e.cipher = BitLockerMetadata::methodName(metadata.method);
    for (const BitLockerMetadata::Protector& p : metadata.protectors) {
        e.protectors.push_back(BitLockerMetadata::protectionName(p.protection));
    }
    e.volumeId = BitLockerMetadata::guidText(metadata.volumeGuid);
    e.description = metadata.description;
    e.encryptedBytes = metadata.volumeSize;
    encryption_ = e;
    SecretBytes keyFile;
    if (secret_.kind == BitLockerSecret::Kind::KeyFile) keyFile = readKeyFile(secret_);
    BitLockerKey::Result key = BitLockerKey::unlock(metadata, secret_, keyFile);
    if (key.key.empty()) {
        return fail(key.wrongSecret ? Status::WrongSecret : Status::Locked, path_ + ": " + key.failure);
    }
    bitlocker_ = std::make_unique<BitLockerSource>(*volume_, metadata,
                                                   std::make_unique<BitLockerCipher>(metadata.method, key.key,
                                                                                     metadata.sectorSize));
    volume_ = bitlocker_.get();
    encryption_->unlocked = true;
    encryption_->holds = "ntfs";
    if (startsWithNtfs(*volume_)) return Status::Ready;
    const std::string found = FileSystemProbe::probe(*volume_).text();
    encryption_->holds = found;
    const std::string held = path_ + ": not NTFS: the unlocked BitLocker volume holds " +
                             (found == "unknown" ? std::string("no known file system")
                                                 : withArticle(found) + " file system");
    if (!whole) return fail(Status::NotNtfs, held);
    addNote(held + "; the deep scan reads all of it");
    return Status::Ready;
}

} // namespace resurgo
