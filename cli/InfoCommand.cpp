#include "cli/InfoCommand.h"

#include <memory>

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "cli/ExitCode.h"
#include "cli/JsonText.h"
#include "cli/PartitionList.h"
#include "cli/SourceChoice.h"
#include "recovery/SourceStack.h"
#include "recovery/VolumeInfo.h"
#include "recovery/SystemServices.h"

namespace resurgo::cli {

namespace {

const SourceStack::Partition* chosenPartition(const SourceStack& stack) {
    for (const SourceStack::Partition& p : stack.partitions()) {
        if (p.entry.number == stack.partition()) return &p;
    }
    return nullptr;
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

// "ntfs" for a volume searched, else what the unlocked or bare volume holds.
std::string fileSystemOf(const SourceStack& stack) {
    if (stack.encryption()) return stack.encryption()->unlocked ? stack.encryption()->holds : "";
    if (stack.status() == SourceStack::Status::Ready) return "ntfs";
    const SourceStack::Partition* p = chosenPartition(stack);
    return p != nullptr ? p->filesystem : stack.filesystem();
}

} // namespace

int InfoCommand::run(const Options& options, std::ostream& out, std::ostream& err) {
    SourceStack stack;
    const int status = SourceChoice::open(stack, options.source, options.partition, err);
    using Status = SourceStack::Status;
    const bool described = status == kExitOk || stack.status() == Status::Locked || stack.status() == Status::NotNtfs;
    if (!described) return status;
    std::unique_ptr<VolumeInfo> ntfs;
    if (stack.status() == Status::Ready) ntfs = std::make_unique<VolumeInfo>(VolumeInfo::read(*stack.volume()));
    if (options.json) {
        out << toJson(stack, ntfs.get()) << '\n';
    } else {
        writeText(out, stack, ntfs.get());
    }
    return stack.status() == Status::Locked ? kExitLocked : kExitOk;
}

void InfoCommand::writeText(std::ostream& out, const SourceStack& stack, const VolumeInfo* ntfs) {
    auto line = [&out](const char* name, const std::string& text) {
        out << "  " << name << std::string(18 - std::string(name).size(), ' ') << PartitionList::printable(text) << '\n';
    };
    out << VisibleText::of(stack.files().empty() ? std::string() : stack.files().front()) << '\n';
    line("container:", stack.container().empty() ? "none (a raw image or device)" : stack.container());
    if (const SourceStack::Partition* p = chosenPartition(stack)) {
        line("partition:", std::to_string(p->entry.number) + " of the " + (stack.scheme() == "gpt" ? "GPT" : "MBR") +
                               " table, start " + std::to_string(p->entry.start) + ", size " +
                               std::to_string(p->entry.size) + " bytes, type " + p->entry.type);
    } else {
        line("partition:", "none (no partition table)");
    }
    if (const auto& e = stack.encryption()) {
        line("encryption:", std::string(e->toGo ? "BitLocker To Go, " : "BitLocker, ") + e->cipher + ", " +
                                (e->unlocked ? "unlocked" : "locked"));
        line("protectors:", joined(e->protectors));
        line("volume id:", e->volumeId);
        if (!e->description.empty()) line("description:", e->description);
    } else {
        line("encryption:", "none");
    }
    const std::string fs = fileSystemOf(stack);
    if (ntfs == nullptr || !ntfs->readable) {
        line("file system:", fs.empty() ? "not known until unlocked"
                                        : fs + (ntfs != nullptr ? " (can't be read: " + ntfs->failure + ")" : ""));
        return;
    }
    line("file system:", "NTFS, serial number " + ntfs->serialText() +
                             (ntfs->label.empty() ? std::string() : ", label \"" + ntfs->label + "\""));
    line("volume size:", std::to_string(ntfs->volumeBytes) + " bytes");
    line("cluster size:", std::to_string(ntfs->clusterBytes) + " bytes");
    line("record size:", std::to_string(ntfs->recordBytes) + " bytes");
    line("MFT:", std::to_string(ntfs->mftBytes) + " bytes, " + std::to_string(ntfs->mftRecords) + " records");
    line("shadow copies:", ntfs->shadowCopies ? "a store catalog is present" : "none");
}

namespace {

using Writer = rapidjson::PrettyWriter<rapidjson::StringBuffer>;

void text(Writer& w, const char* key, const std::string& value) {
    w.Key(key);
    JsonText::write(w, value);
}

void writePartition(Writer& w, const SourceStack& stack) {
    w.Key("partition");
    const SourceStack::Partition* p = chosenPartition(stack);
    if (p == nullptr) {
        w.Null();
        return;
    }
    w.StartObject();
    w.Key("number");
    w.Uint(p->entry.number);
    text(w, "scheme", p->entry.scheme);
    w.Key("start");
    w.Uint64(p->entry.start);
    w.Key("size");
    w.Uint64(p->entry.size);
    text(w, "type", p->entry.type);
    w.EndObject();
}

void writeEncryption(Writer& w, const SourceStack& stack) {
    w.Key("encryption");
    const auto& e = stack.encryption();
    if (!e) {
        w.Null();
        return;
    }
    w.StartObject();
    text(w, "type", e->toGo ? "bitlocker-to-go" : "bitlocker");
    text(w, "cipher", e->cipher);
    w.Key("protectors");
    w.StartArray();
    for (const std::string& p : e->protectors) JsonText::write(w, p);
    w.EndArray();
    text(w, "volume_id", e->volumeId);
    text(w, "description", e->description);
    w.Key("unlocked");
    w.Bool(e->unlocked);
    w.EndObject();
}

void writeFileSystem(Writer& w, const SourceStack& stack, const VolumeInfo* ntfs) {
    w.Key("filesystem");
    w.StartObject();
    text(w, "type", fileSystemOf(stack));
    if (ntfs != nullptr && ntfs->readable) {
        text(w, "serial", ntfs->serialText());
        text(w, "label", ntfs->label);
        for (const auto& [key, value] : {std::pair<const char*, std::uint64_t>{"volume_size", ntfs->volumeBytes},
                                         {"cluster_size", ntfs->clusterBytes},
                                         {"record_size", ntfs->recordBytes},
                                         {"mft_size", ntfs->mftBytes},
                                         {"mft_records", ntfs->mftRecords}}) {
            w.Key(key);
            w.Uint64(value);
        }
        w.Key("shadow_copies");
        w.StartObject();
        w.Key("present");
        w.Bool(ntfs->shadowCopies);
        w.EndObject();
    } else if (ntfs != nullptr) {
        text(w, "error", ntfs->failure);
    }
    w.EndObject();
}

} // namespace

std::string InfoCommand::toJson(const SourceStack& stack, const VolumeInfo* ntfs) {
    rapidjson::StringBuffer buffer;
    Writer w(buffer);
    w.SetIndent(' ', 2);
    w.StartObject();
    text(w, "source", stack.files().empty() ? std::string() : stack.files().front());
    w.Key("container");
    if (stack.container().empty()) {
        w.Null();
    } else {
        JsonText::write(w, stack.container());
    }
    writePartition(w, stack);
    writeEncryption(w, stack);
    writeFileSystem(w, stack, ntfs);
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

} // namespace resurgo::cli
