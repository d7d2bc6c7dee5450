#pragma once
// The front door from a path to the volume to search: opens the image or
// device, a container inside it (E01, VHD/VHDX, VMDK, QCOW2, told by its
// signature), reads its partition table, and stacks a slice for the chosen
// partition. A BitLocker volume (bare or in a partition) is unlocked with
// the secret given and read decrypted above it. When something else is
// there it says what, in the user's words ("not NTFS: this looks like an
// ext4 file system").

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/ErrorException.h"
#include "source/BitLockerSecret.h"
#include "source/PARTITION_ENTRY.h"

namespace resurgo {

class BitLockerSource;
class ContainerSource;
class FileSource;
class ProgressSink;
class SliceSource;
class Source;

class SourceStack {
public:
    enum class Status {
        Ready,            // volume() is the one to search
        OpenFailed,       // the path can't be opened: failure() has the system's error
        ContainerFailed,  // a container that can't be read (or not in this build): message()
        TableFailed,      // a damaged partition table: message()
        NotNtfs,          // no NTFS where one was looked for: message() says what is there
        NoNtfsPartition,  // a partition table without an NTFS partition (partitions() lists it)
        SeveralNtfs,      // more than one NTFS partition: one must be chosen
        NoTable,          // a partition was asked for, but there is no table
        NoSuchPartition,  // the table has no such partition, or it lies past the end
        Locked,           // a BitLocker volume and no secret that a protector takes: message()
        WrongSecret,      // a BitLocker volume that the secret given does not open: message()
    };

    // The BitLocker layer of the volume chosen, when it is one.
    struct Encryption {
        bool toGo = false;
        bool unlocked = false;
        std::string cipher;                   // "AES-XTS 128"
        std::vector<std::string> protectors;  // "password", "recovery password" ... one per protector
        std::string volumeId;                 // the BitLocker volume GUID
        std::string description;              // what the system wrote ("DESKTOP-X E: 9/10/2020")
        std::uint64_t encryptedBytes = 0;     // bytes the metadata says are encrypted
        std::string holds;                    // once unlocked: "ntfs", "vfat" ... ("unknown")
    };

    struct Partition {
        PARTITION_ENTRY entry;
        std::string filesystem;   // "ntfs", "ext4", "ext2+ntfs", "unknown"
        std::string label;        // the file system's label, else the GPT name
        std::uint64_t present = 0;  // bytes of it inside the source (less than entry.size when cut short)
        bool ntfs = false;        // holds an NTFS boot record
        bool bitlocker = false;   // holds a BitLocker volume (filesystem "bitlocker")
        bool probed = false;      // its file system was looked for (only the chosen one is, when one is)
    };

    SourceStack();
    virtual ~SourceStack();
    SourceStack(const SourceStack&) = delete;
    SourceStack& operator=(const SourceStack&) = delete;

    // Opens path and its container, reads the table and probes the file
    // system of each partition (or of the whole source when there is no
    // table). Ready unless opening failed.
    Status inspect(const std::string& path);
    // inspect, then picks the volume: partition n when given; else the
    // source itself when it starts with an NTFS boot record, else the one
    // NTFS partition of its table. For a deep scan (whole), which reads a
    // volume whose boot sector may be gone, a source with neither a table
    // nor an NTFS boot record is the volume itself, and so is a partition
    // chosen by number that is not NTFS; note() says so.
    // Only the table and the chosen partition are read: an unreadable
    // block elsewhere is a warning.
    Status open(const std::string& path, std::optional<unsigned> partition, bool whole = false);
    // The secret that unlocks a BitLocker volume (none: only a clear-key
    // volume opens). Kept until this object goes, then wiped.
    void setSecret(BitLockerSecret secret) { secret_ = std::move(secret); }
    // Hears how far a long step of opening is (a VHDX log), 0-100.
    void setProgress(ProgressSink* progress) { progress_ = progress; }

    // What the last inspect or open ended with.
    Status status() const { return status_; }
    // The volume to search (valid while Ready and this object lives).
    Source* volume() const { return volume_; }
    // Why the last step failed, in full sentences naming the source.
    const std::string& message() const { return message_; }
    // What the user should know about a volume that is Ready ("using
    // partition 2 ..."), or "".
    const std::string& note() const { return note_; }
    // What is wrong beside the volume (a damaged table entry, a partition
    // that can't be read), one sentence each, whatever the status.
    const std::vector<std::string>& warnings() const { return warnings_; }
    const std::optional<ErrorException>& failure() const { return failure_; }

    // The container's format ("QCOW2") or "".
    std::string container() const;
    // "mbr", "gpt" or "" without a table.
    const std::string& scheme() const { return scheme_; }
    const std::vector<Partition>& partitions() const { return partitions_; }
    // What the whole source holds when it has no table ("ntfs", "ext4", "unknown").
    const std::string& filesystem() const { return filesystem_; }
    // Every file the source reads: the path, and a container's segments,
    // extents and parents.
    std::vector<std::string> files() const;
    // The BitLocker layer of the volume chosen by the last open (unset when
    // it is not BitLocker).
    const std::optional<Encryption>& encryption() const { return encryption_; }
    // The unlocked BitLocker volume (also when it holds no NTFS), else null.
    Source* decrypted() const;
    // The partition chosen (0 for the whole source).
    unsigned partition() const { return chosen_; }

    // "this looks like an ext4 file system", "its first sector is blank",
    // "the source is empty (0 bytes)" ... for the messages.
    static std::string describe(const std::string& filesystem);
    // "an E01", "a VHD": the article a name takes.
    static std::string withArticle(const std::string& name);

private:
    Status fail(Status status, std::string message);
    Status inspectSource(const std::string& path, std::optional<unsigned> only);
    void reset(const std::string& path);
    // Fills partitions_ from the table of disk_ (probing only partition
    // only, when given).
    Status readTable(std::optional<unsigned> only);
    // Probes the file system of p (a read error makes it "unreadable").
    void probe(Partition& p);
    Status choose(std::optional<unsigned> partition, bool whole);
    Status chooseWhole(std::optional<unsigned> partition, bool whole);
    // The partition numbered partition, or else the one NTFS (or
    // BitLocker) partition; nullptr after a failure (status set).
    const Partition* pick(std::optional<unsigned> partition, bool whole, Status& status);
    // The notes on a picked partition that is damaged, mixed or cut short.
    void notePartition(const Partition& p);
    void addNote(const std::string& line);
    // When volume_ is a BitLocker volume: unlocks it and stacks the
    // decryption above it.
    Status unlock(bool whole);
    Status unlockWith(bool whole);
    // describe() for the whole source, with its length when that is the
    // matter.
    std::string described() const;

    std::string path_;
    Status status_ = Status::OpenFailed;
    std::unique_ptr<FileSource> file_;
    std::unique_ptr<ContainerSource> container_;
    std::unique_ptr<SliceSource> slice_;
    std::unique_ptr<BitLockerSource> bitlocker_;
    BitLockerSecret secret_;
    std::optional<Encryption> encryption_;
    Source* disk_ = nullptr;
    Source* volume_ = nullptr;
    std::string scheme_;
    std::vector<Partition> partitions_;
    std::string filesystem_;
    bool bareNtfs_ = false;
    bool bareBitLocker_ = false;
    unsigned chosen_ = 0;
    std::string message_;
    std::string note_;
    std::vector<std::string> warnings_;
    std::optional<ErrorException> failure_;
    ProgressSink* progress_ = nullptr;
};

} // namespace resurgo
