// Whole disks and containers, run as a program: every form of the disk
// fixtures (tables made with sfdisk/sgdisk/fdisk, containers made with
// qemu-img and ewfacquire) lists its table as the facts say and restores
// a file byte for byte; real containers from other tools where present;
// and the damaged forms each get a message naming the problem.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

#include "cli/CliProcess.h"
#include "cli/ExitCode.h"
#include "cli/FixtureFacts.h"
#include "cli/Messages.h"
#include "support/TestSupport.h"

using namespace resurgo;
using namespace resurgo::test;
namespace fs = std::filesystem;

namespace {

const std::string kDisks = std::string(RESURGO_FIXTURE_DIR) + "/disks";

const nlohmann::json& diskFacts() {
    static const nlohmann::json facts = nlohmann::json::parse(readFile(std::string(RESURGO_FIXTURE_SRC) + "/disks/disks.facts.json"));
    return facts;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The real images beside the repository (never copied into it).
std::string realImages() {
    const char* env = std::getenv("RESURGO_REAL_IMAGES");
    return env != nullptr ? env : RESURGO_REAL_IMAGES;
}

// Decompresses a real image into dir ("" when the tool fails).
std::string unpack(const std::string& archive, const std::string& dir) {
    const std::string name = fs::path(archive).stem().string();
    const std::string out = dir + "/" + name;
    std::string tool = "zstd -q -d -c";
    if (archive.size() > 3 && archive.compare(archive.size() - 3, 3, ".gz") == 0) tool = "gzip -d -c";
    if (archive.size() > 4 && archive.compare(archive.size() - 4, 4, ".bz2") == 0) tool = "bzip2 -d -c";
    return std::system((tool + " '" + archive + "' > '" + out + "'").c_str()) == 0 ? out : std::string();
}

std::map<std::string, std::string> checksums(const std::vector<std::string>& paths) {
    std::map<std::string, std::string> sums;
    for (const std::string& p : paths) sums[p] = CliProcess::sha256File(p);
    return sums;
}

// A deleted file with data outside the MFT, to restore.
nlohmann::json fileToRestore(const nlohmann::json& facts) {
    for (const auto& f : FixtureFacts::listable(facts)) {
        if (f.at("data_nonresident").get<bool>() && f.at("size").get<std::uint64_t>() > 0) return f;
    }
    throw std::runtime_error("no non-resident deleted file in the facts");
}

} // namespace

TEST(DiskSources, EveryFormListsItsTableAndRestoresAFileByteForByteWithoutChangingTheSource) {
    struct Form {
        std::string file;
        std::string disk;
        std::vector<std::string> files;
    };
    std::vector<Form> forms;
    for (const auto& [disk, facts] : diskFacts().at("disks").items()) forms.push_back({disk, disk, {disk}});
    for (const auto& c : diskFacts().at("containers")) {
        forms.push_back({c.at("file"), c.at("disk"), c.at("files").get<std::vector<std::string>>()});
    }
    const std::string out = tempDir("disk-forms");
    for (const Form& form : forms) {
        SCOPED_TRACE(form.file);
        const std::string path = kDisks + "/" + form.file;
        std::vector<std::string> files;
        for (const std::string& f : form.files) files.push_back(kDisks + "/" + f);
        const auto before = checksums(files);
        const nlohmann::json& disk = diskFacts().at("disks").at(form.disk);

        CliProcess::Result list = CliProcess::run({"partitions", path, "--json"});
        ASSERT_EQ(list.status, 0) << list.err;
        nlohmann::json listed = nlohmann::json::parse(list.out);
        ASSERT_EQ(listed.size(), disk.at("partitions").size()) << list.out;
        std::vector<unsigned> ntfs;
        for (std::size_t i = 0; i < listed.size(); ++i) {
            const auto& want = disk.at("partitions")[i];
            for (const char* key : {"number", "start", "size", "scheme", "type", "filesystem", "label"}) {
                EXPECT_EQ(listed[i].at(key), want.at(key)) << key << " of partition " << want.at("number");
            }
            if (!want.at("ntfs_image").is_null()) ntfs.push_back(want.at("number").get<unsigned>());
        }

        for (unsigned number : ntfs) {
            nlohmann::json part;
            for (const auto& p : disk.at("partitions")) {
                if (p.at("number") == number) part = p;
            }
            const nlohmann::json facts = fixtureFacts(part.at("ntfs_image"));
            // With one NTFS partition the command finds it on its own.
            std::vector<std::string> search{"search", path, "--json", "--days", "1000000"};
            if (ntfs.size() > 1) {
                search.insert(search.end(), {"--partition", std::to_string(number)});
            }
            CliProcess::Result r = CliProcess::run(search);
            ASSERT_EQ(r.status, 0) << r.err;
            if (ntfs.size() == 1) {
                EXPECT_TRUE(contains(r.err, "using partition " + std::to_string(number))) << r.err;
            }
            EXPECT_EQ(FixtureFacts::fromOutput(nlohmann::json::parse(r.out)),
                      FixtureFacts::listedSet(FixtureFacts::listable(facts)));

            const nlohmann::json file = fileToRestore(facts);
            const std::string target = out + "/" + form.file + "-" + std::to_string(number);
            CliProcess::Result restore =
                CliProcess::run({"restore", path, "--partition", std::to_string(number), "--record",
                                 std::to_string(file.at("record").get<std::uint64_t>()), "--output", target});
            ASSERT_EQ(restore.status, 0) << restore.err;
            EXPECT_EQ(CliProcess::sha256File(target), file.at("sha256")) << file.at("name");
        }
        if (ntfs.size() > 1) {
            CliProcess::Result r = CliProcess::run({"search", path});
            EXPECT_EQ(r.status, cli::kExitUsage);
            for (unsigned n : ntfs) EXPECT_TRUE(contains(r.err, "--partition " + std::to_string(n))) << r.err;
        }
        EXPECT_EQ(checksums(files), before) << "a source file changed";
    }
}

TEST(DiskSources, RealContainersAndTablesFromOtherTools) {
    const std::string formats = realImages() + "/formats";
    if (!fs::exists(formats)) GTEST_SKIP() << "no real images at " << formats << " (set RESURGO_REAL_IMAGES)";
    const std::string dir = tempDir("disk-real");
    struct Case {
        std::string file;                 // below formats/
        std::vector<std::uint64_t> starts;  // partition starts; empty: a bare NTFS volume
        std::string filesystems;          // of the partitions, joined with ','
        int searchStatus;                 // of `search` without --partition
    };
    const std::uint64_t kMmls1 = 128 * 512, kMmls2 = 55424ULL * 512;
    const std::vector<Case> cases{
        {"imageformat_mmls_1.E01", {kMmls1, kMmls2}, "ntfs,ntfs", cli::kExitUsage},
        {"derived/imageformat_mmls_1.qemu-dynamic.vhd.zst", {kMmls1, kMmls2}, "ntfs,ntfs", cli::kExitUsage},
        {"derived/imageformat_mmls_1.qemu-sparse.vmdk.zst", {kMmls1, kMmls2}, "ntfs,ntfs", cli::kExitUsage},
        {"derived/imageformat_mmls_1.qemu-streamopt.vmdk", {kMmls1, kMmls2}, "ntfs,ntfs", cli::kExitUsage},
        {"small_ntfs_test.vhdx.gz", {128 * 512}, "ntfs", cli::kExitOk},
        {"dftt10-ntfs-disk.dd.zst", {63 * 512, 96390ULL * 512}, "ext2+ntfs,ntfs+ufs", cli::kExitUsage},
        {"ctf_file6.E01", {}, "", cli::kExitOk},
        {"ntfs1-gen0.E01", {}, "", cli::kExitOk},
        {"windows_volume.qcow2", {}, "", cli::kExitOk},
        {"vsstest.qcow2", {}, "", cli::kExitOk},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        std::string path = formats + "/" + c.file;
        if (!fs::exists(path)) {
            std::cerr << "skipped: " << path << " is absent\n";
            continue;
        }
        const std::string ext = fs::path(path).extension().string();
        if (ext == ".zst" || ext == ".gz" || ext == ".bz2") path = unpack(path, dir);
        ASSERT_FALSE(path.empty());
        CliProcess::Result list = CliProcess::run({"partitions", path, "--json"});
        ASSERT_EQ(list.status, 0) << list.err;
        const nlohmann::json parts = nlohmann::json::parse(list.out);
        ASSERT_EQ(parts.size(), c.starts.size()) << list.out;
        std::string filesystems;
        for (std::size_t i = 0; i < parts.size(); ++i) {
            EXPECT_EQ(parts[i].at("start"), c.starts[i]);
            filesystems += (i ? "," : "") + parts[i].at("filesystem").get<std::string>();
        }
        EXPECT_EQ(filesystems, c.filesystems);
        // Only the replayed log gives the VHDX its table and the volume its label.
        if (c.file == "small_ntfs_test.vhdx.gz" && !parts.empty()) {
            EXPECT_EQ(parts[0].at("label"), "TEST");
        }
        CliProcess::Result r = CliProcess::run({"search", path, "--json", "--days", "1000000"});
        EXPECT_EQ(r.status, c.searchStatus) << r.err;
        if (c.searchStatus == cli::kExitOk) {
            // No deleted file in the MFT; vsstest's $LogFile still holds
            // /syslog, whose record 35 the volume reused for syslog.gz.
            std::set<std::string> listed;
            for (const auto& f : nlohmann::json::parse(r.out)) {
                listed.insert(f.at("source").get<std::string>() + " " + std::to_string(f.at("record").get<int>()) + " " +
                              f.at("name").get<std::string>());
            }
            EXPECT_EQ(listed, c.file == "vsstest.qcow2" ? std::set<std::string>{"logfile 35 syslog"}
                                                        : std::set<std::string>{});
        }
    }

    // A GPT of more than 128 entries, none holding a file system: sgdisk -p
    // on the exported disk lists 131 partitions of 2,048 sectors.
    const std::string gpt130 = formats + "/gpt_130_partitions.E01";
    if (fs::exists(gpt130)) {
        CliProcess::Result list = CliProcess::run({"partitions", gpt130, "--json"});
        ASSERT_EQ(list.status, 0) << list.err;
        const nlohmann::json parts = nlohmann::json::parse(list.out);
        ASSERT_EQ(parts.size(), 131u);
        for (std::size_t i = 0; i < parts.size(); ++i) {
            EXPECT_EQ(parts[i].at("number"), i + 1);
            EXPECT_EQ(parts[i].at("size"), 2048u * 512);
            EXPECT_EQ(parts[i].at("filesystem"), "unknown");
        }
        CliProcess::Result r = CliProcess::run({"search", gpt130});
        EXPECT_EQ(r.status, cli::kExitUsage);
        EXPECT_TRUE(contains(r.err, "an E01 image holding a GPT partition table with no NTFS partition")) << r.err;
    }
}

TEST(DiskSources, DamagedAndForeignSourcesGetAMessageNamingTheProblem) {
    const std::string dir = tempDir("disk-bad");
    auto copy = [&](const std::string& name, const std::string& as) {
        fs::create_directories(fs::path(dir + "/" + as).parent_path());
        return copyFile(kDisks + "/" + name, dir + "/" + as);
    };
    auto put32 = [](std::uint32_t v) {
        return std::vector<std::uint8_t>{std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
    };

    // Partition 1 (ext4, sectors 2048..6143) grown over logical partition 5.
    const std::string overlap = copy("disk-mbr.img", "overlap.img");
    patchFile(overlap, 446 + 12, put32(8192));
    // Cut inside partition 5 (bytes 4..12 MiB): 2 MiB of it left, 6 gone.
    const std::string cut = copy("disk-mbr.img", "cut.img");
    fs::resize_file(cut, 6 << 20);
    // Cut where partition 6 starts: its extended boot record is still there.
    const std::string cut6 = copy("disk-mbr.img", "cut6.img");
    fs::resize_file(cut6, 13631488);
    // Only the first of the E01's segments.
    const std::string lone = copy("disk-mbr.E01", "lone/disk-mbr.E01");
    // An overlay whose backing file is not beside it.
    const std::string orphan = copy("disk-mbr-overlay.qcow2", "orphan/disk-mbr-overlay.qcow2");
    // A differencing VHD without its parent.
    const std::string child = copy("disk-mbr-child.vhd", "child/disk-mbr-child.vhd");
    // A flat VMDK descriptor without its extent.
    const std::string descriptor = copy("disk-mbr-flat.vmdk", "flat/disk-mbr-flat.vmdk");
    // QCOW2 header with cluster bits 255.
    const std::string badQcow = copy("disk-mbr.qcow2", "bad.qcow2");
    patchFile(badQcow, 20, put32(0xFF000000));
    // VHDX with both headers and region tables wiped.
    const std::string badVhdx = copy("disk-mbr.vhdx", "bad.vhdx");
    patchFile(badVhdx, 64 * 1024, std::vector<std::uint8_t>(256 * 1024, 0));
    // A sparse VMDK cut after its grain tables.
    const std::string cutVmdk = copy("disk-mbr.vmdk", "cutvmdk/disk-mbr.vmdk");
    fs::resize_file(cutVmdk, 100000);
    // The ext4 partition alone, and nothing at all.
    std::vector<std::uint8_t> disk = readFile(kDisks + "/disk-mbr.img");
    writeFile(dir + "/ext4.img", std::vector<std::uint8_t>(disk.begin() + (1 << 20), disk.begin() + (3 << 20)));
    writeFile(dir + "/zeros.img", std::vector<std::uint8_t>(1 << 20, 0));

    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;  // in standard error
    };
    const std::vector<Case> cases{
        // Entries that overlap are named and not chosen on their own.
        {{"search", overlap}, cli::kExitUsage,
         "whose NTFS partition 5 overlaps partition 1 (the table is damaged); choose it with --partition 5"},
        {{"partitions", overlap}, cli::kExitOk, "the MBR partition table is damaged: partitions 1 and 5 overlap"},
        {{"search", overlap, "--partition", "5"}, cli::kExitOk, "partition 5 overlaps partition 1 (the MBR partition table is damaged): it is searched as the table gives it"},
        {{"search", cut6, "--partition", "6"}, cli::kExitUsage,
         "partition 6 starts at byte 13631488, past the end of the source (13631488 bytes): the MBR partition table is damaged or the image is cut short"},
        {{"search", lone}, cli::kExitOpenFailed, "is incomplete: a segment file after disk-mbr.E01 is missing"},
        {{"search", orphan}, cli::kExitOpenFailed, "the backing file disk-mbr.qcow2 of the QCOW2 image"},
        {{"search", child}, cli::kExitOpenFailed, "the parent disk disk-mbr.vhd of the differencing disk"},
        {{"search", descriptor}, cli::kExitOpenFailed, "the extent file disk-mbr-flat-flat.vmdk of the VMDK image"},
        {{"search", badQcow}, cli::kExitOpenFailed, "the QCOW2 image " + badQcow + " can't be read"},
        {{"search", badVhdx}, cli::kExitOpenFailed, "the VHDX image " + badVhdx + " can't be read"},
        {{"search", cutVmdk}, cli::kExitOpenFailed, "cannot read a VMDK image " + cutVmdk + " (damaged or cut short)"},
        {{"search", kDisks + "/disk-mbr.img", "--partition", "1"}, cli::kExitBadBoot,
         "partition 1 is not NTFS: this looks like an ext4 file system"},
        {{"search", kDisks + "/disk-mbr.img", "--partition", "4"}, cli::kExitUsage, "with no partition 4"},
        {{"search", dir + "/ext4.img"}, cli::kExitBadBoot, "not NTFS: this looks like an ext4 file system"},
        {{"search", dir + "/ext4.img", "--partition", "1"}, cli::kExitUsage, "no partition table"},
        {{"search", dir + "/zeros.img"}, cli::kExitBadBoot, "not NTFS: its first sector is blank"},
        {{"restore", dir + "/zeros.img", "--record", "70", "--output", dir + "/never"}, cli::kExitBadBoot,
         "if it held an NTFS volume whose boot sector is lost, search --deep reads it for files"},
        // A deep scan reads what holds no NTFS boot record all the same.
        {{"search", dir + "/ext4.img", "--deep"}, cli::kExitOk,
         "not NTFS: this looks like an ext4 file system; the deep scan reads all of it"},
        {{"search", kDisks + "/disk-mbr.img", "--partition", "1", "--deep"}, cli::kExitOk,
         "partition 1 is not NTFS: this looks like an ext4 file system; the deep scan reads all of it"},
        {{"restore", dir + "/ext4.img", "--all", "--output-dir", dir + "/never"}, cli::kExitBadBoot,
         "not NTFS: this looks like an ext4 file system"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        CliProcess::Result r = CliProcess::run(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_TRUE(contains(r.err, c.message)) << r.err;
        EXPECT_FALSE(contains(r.err, "may be damaged")) << r.err;
    }
    EXPECT_FALSE(fs::exists(dir + "/never"));

    // The partition cut short is still searched, and the user is told.
    CliProcess::Result r = CliProcess::run({"search", cut, "--json", "--days", "1000000"});
    EXPECT_TRUE(r.status == cli::kExitOk || r.status == cli::kExitWalkFailed) << r.err;
    EXPECT_TRUE(contains(r.err, "partition 5: an NTFS volume cut off after 2097152 of 8388608 bytes (the image ends there)"))
        << r.err;
}

TEST(DiskSources, RestoringIntoTheContainerOrOneOfItsFilesIsRefused) {
    const std::string dir = tempDir("disk-same");
    for (const char* name : {"disk-mbr.E01", "disk-mbr.E02"}) copyFile(kDisks + "/" + name, dir + "/" + name);
    copyFile(kDisks + "/disk-mbr.qcow2", dir + "/disk-mbr.qcow2");
    copyFile(kDisks + "/disk-mbr-overlay.qcow2", dir + "/disk-mbr-overlay.qcow2");
    copyFile(kDisks + "/disk-mbr.vhd", dir + "/disk-mbr.vhd");
    copyFile(kDisks + "/disk-mbr-child.vhd", dir + "/disk-mbr-child.vhd");
    const nlohmann::json file = fileToRestore(fixtureFacts("c512"));
    const std::string record = std::to_string(file.at("record").get<std::uint64_t>());
    struct Case {
        std::string source, target;
    };
    for (const Case& c : std::vector<Case>{{"disk-mbr.E01", "disk-mbr.E01"},
                                           {"disk-mbr.E01", "disk-mbr.E02"},
                                           {"disk-mbr-overlay.qcow2", "disk-mbr.qcow2"},
                                           {"disk-mbr-child.vhd", "disk-mbr.vhd"}}) {
        SCOPED_TRACE(c.source + " -> " + c.target);
        const std::string target = dir + "/" + c.target;
        const std::string before = CliProcess::sha256File(target);
        CliProcess::Result r = CliProcess::run({"restore", dir + "/" + c.source, "--record", record, "--output",
                                                target, "--force"});
        EXPECT_EQ(r.status, cli::kExitSameSource) << r.err;
        EXPECT_EQ(CliProcess::sha256File(target), before);
    }
}
