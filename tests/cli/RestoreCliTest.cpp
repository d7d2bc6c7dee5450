// resurgo restore, run as a program: byte-exact restores checked against
// the fixture facts, and the refusals that protect the user's data.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#include "cli/CliProcess.h"
#include "cli/ExitCode.h"
#include "cli/FixtureFacts.h"
#include "cli/Messages.h"
#include "ntfs/MFT_RECORD.h"
#include "support/TestSupport.h"

using namespace resurgo;
using namespace resurgo::test;
namespace fs = std::filesystem;

namespace {

const nlohmann::json& fileNamed(const nlohmann::json& facts, const std::string& name) {
    for (const auto& f : facts.at("files")) {
        if (f.at("name") == name) return f;
    }
    throw std::runtime_error("no fixture file " + name);
}

std::string recordOf(const nlohmann::json& f) { return std::to_string(f.at("record").get<std::uint64_t>()); }

std::string restored(const std::string& name) { return "File " + name + " successfully restored\n"; }

std::size_t regularFilesBelow(const std::string& dir) {
    std::size_t n = 0;
    for (const auto& e : fs::recursive_directory_iterator(dir)) n += e.is_regular_file() ? 1 : 0;
    return n;
}

} // namespace

TEST(RestoreCli, AllRestoresEveryIntactFileByteForByteIntoItsDirectory) {
    for (const std::string& name : FixtureFacts::images()) {
        SCOPED_TRACE(name);
        const nlohmann::json facts = fixtureFacts(name);
        const std::string dir = tempDir("cli-all-" + name) + "/out";  // created by the restore
        // A copy of the image: its checksum must not change.
        const std::string image = copyFile(fixtureImage(name), tempDir("cli-src-" + name) + "/" + name + ".img");
        CliProcess::Result r = CliProcess::run(
            {"restore", image, "--all", "--output-dir", dir, "--days", "1000000", "--min-recoverable", "100"});
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<nlohmann::json> files;
        for (const auto& f : FixtureFacts::listable(facts)) {
            if (f.at("recoverable_tsk") == 100) files.push_back(f);
        }
        const std::size_t skipped = FixtureFacts::listable(facts).size() - files.size();
        for (const auto& f : files) {
            std::string rel = f.at("directory") == "." ? std::string() : f.at("directory").get<std::string>() + "/";
            const std::string path = dir + "/" + rel + f.at("name").get<std::string>();
            ASSERT_TRUE(fs::exists(fs::u8path(path))) << path;
            std::vector<std::uint8_t> bytes = readFile(path);
            EXPECT_EQ(bytes.size(), f.at("size").get<std::uint64_t>()) << path;
            EXPECT_EQ(sha256Hex(bytes), f.at("sha256")) << path;
        }
        EXPECT_EQ(regularFilesBelow(dir), files.size());
        const std::string count = std::to_string(files.size());
        EXPECT_NE(r.out.find(count + " restored, 0 damaged, 0 failed into " + dir + " (" + count +
                             " intact, 0 partly overwritten, 0 overwritten; " + std::to_string(skipped) +
                             " skipped below 100% recoverable)\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(CliProcess::sha256File(image), facts.at("sha256_image")) << "the source changed";
    }
}

TEST(RestoreCli, PartlyOverwrittenFilesAreRestoredInFullAndSaySo) {
    const nlohmann::json facts = fixtureFacts("reuse");
    std::size_t counts[3] = {};  // intact, partly overwritten, overwritten
    for (const auto& f : FixtureFacts::listable(facts)) {
        const int recoverable = f.at("recoverable_tsk").get<int>();
        ++counts[recoverable == 100 ? 0 : recoverable == 0 ? 2 : 1];
        if (recoverable == 100) continue;
        const std::string name = f.at("name");
        SCOPED_TRACE(name);
        const std::string out = tempDir("cli-overwritten") + "/" + name;
        CliProcess::Result r = CliProcess::run({"restore", fixtureImage("reuse"), "--record", recordOf(f), "--output", out});
        // Overwritten compressed units may not decompress: then also damaged.
        EXPECT_TRUE(r.status == 0 || r.status == cli::kExitDamagedUnits) << r.status << r.err;
        // Followed by the file that overwrote it, where one file did.
        const std::string said = "File " + out + " restored in full, but " + std::to_string(100 - recoverable) +
                                 " percent of it had been overwritten by other files since it was deleted";
        EXPECT_NE(r.out.find(said), std::string::npos) << r.out;
        EXPECT_EQ(readFile(out).size(), f.at("size").get<std::uint64_t>());
        EXPECT_NE(sha256Hex(readFile(out)), f.at("sha256")) << "the fixture's overwritten bytes came back";
    }
    ASSERT_GT(counts[1] + counts[2], 0u);
    const std::string dir = tempDir("cli-all-reuse");
    CliProcess::Result r = CliProcess::run({"restore", fixtureImage("reuse"), "--all", "--output-dir", dir, "--days", "1000000"});
    EXPECT_NE(r.out.find(" (" + std::to_string(counts[0]) + " intact, " + std::to_string(counts[1]) +
                         " partly overwritten, " + std::to_string(counts[2]) + " overwritten)\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(regularFilesBelow(dir), counts[0] + counts[1] + counts[2]);
}

// Whose clusters are whose: a file whose clusters stay allocated but owned
// by no file (the owners fixture, and two Windows volumes with a record
// marked free and nothing else) is whole and restores plainly; a file in
// use that took clusters is named; clusters zeroed since read as wiped.
TEST(RestoreCli, ClustersOwnedByNoFileComeBackAndOwnersAndWipedDataAreNamed) {
    const char* env = std::getenv("RESURGO_REAL_IMAGES");
    const std::string windows = std::string(env != nullptr ? env : RESURGO_REAL_IMAGES) + "/windows/";
    const nlohmann::json facts = fixtureFacts("owners");
    auto fact = [&facts](const std::string& name, const char* key) { return fileNamed(facts, name).at(key); };
    struct Row {
        std::string image;  // a fixture, or a real image's archive
        std::string record, name;
        int recoverable, unowned, zeroed;  // search --verify
        int status;
        std::string said, sha256;
    };
    const std::string victim = "victim.bin";
    const std::vector<Row> rows = {
        {"owners", recordOf(fileNamed(facts, "unowned.bin")), "unowned.bin", 100, fact("unowned.bin", "unowned_tsk"), 0,
         0, restored("unowned.bin"), fact("unowned.bin", "sha256")},
        {"owners", recordOf(fileNamed(facts, victim)), victim, fact(victim, "recoverable_tsk"), 0, 0, 0,
         "File victim.bin restored in full, but " + std::to_string(100 - fact(victim, "recoverable_tsk").get<int>()) +
             " percent of it had been overwritten by other files since it was deleted; partly overwritten by `" +
             fact(victim, "overwritten_by").get<std::string>() + "`\n",
         ""},
        {"owners", recordOf(fileNamed(facts, "zeroed.bin")), "zeroed.bin", 100, 0, 100, cli::kExitWiped,
         "File zeroed.bin restored, but the drive returned zeros for " +
             std::to_string(fact("zeroed.bin", "zeroed_bytes_tsk").get<std::uint64_t>()) +
             " bytes: the data was wiped (TRIM on an SSD, or zeroed)\n",
         ""},
        {windows + "win10-sim-deleted-ones.img.zst", "38", "ones.bin", 100, 100, 0, 0, restored("ones.bin"),
         "396d2ca10e09a4a70bed0dcf580c13d5608e59c433b8592fd3d1f0ccd87244ce"},
        {windows + "win10-ramslack-sim-deleted.img.zst", "39", "1.txt", 100, 100, 0, 0, restored("1.txt"), ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string image = row.image;
        if (image.find('/') != std::string::npos) {
            if (!fs::exists(image)) continue;  // the real images are not here
            image = tempDir("cli-owners-real") + "/" + row.name + ".img";
            ASSERT_EQ(std::system(("zstd -q -d -f -o '" + image + "' '" + row.image + "'").c_str()), 0);
        } else {
            image = fixtureImage(image);
        }
        const CliProcess::Result search =
            CliProcess::run({"search", image, "--days", "1000000", "--verify", "--json"});
        ASSERT_EQ(search.status, 0) << search.err;
        bool listed = false;
        for (const auto& o : nlohmann::json::parse(search.out)) {
            if (std::to_string(o.at("record").get<std::uint64_t>()) != row.record) continue;
            listed = true;
            EXPECT_EQ(o.at("recoverable"), row.recoverable);
            EXPECT_EQ(o.at("unowned"), row.unowned);
            EXPECT_EQ(o.at("zeroed"), row.zeroed);
        }
        EXPECT_TRUE(listed);
        const std::string out = tempDir("cli-owners") + "/" + row.name;
        const CliProcess::Result r = CliProcess::run({"restore", image, "--record", row.record, "--output", out});
        EXPECT_EQ(r.status, row.status) << r.err;
        // The messages name the path written.
        std::string said = row.said;
        said.replace(0, ("File " + row.name).size(), "File " + out);
        EXPECT_EQ(r.out, said);
        if (!row.sha256.empty()) {
            EXPECT_EQ(sha256Hex(readFile(out)), row.sha256);
        }
    }
    // The table notes the unowned share; without --verify nothing is sampled.
    const CliProcess::Result table = CliProcess::run({"search", fixtureImage("owners"), "--days", "1000000", "--wide"});
    EXPECT_NE(table.out.find("100%, 100% allocated but owned by no file"), std::string::npos) << table.out;
    EXPECT_EQ(table.out.find("zeros"), std::string::npos) << table.out;
    // --all names the owner and counts the wiped file.
    const CliProcess::Result all = CliProcess::run(
        {"restore", fixtureImage("owners"), "--all", "--output-dir", tempDir("cli-owners-all"), "--days", "1000000"});
    EXPECT_EQ(all.status, cli::kExitWiped) << all.err;
    EXPECT_NE(all.out.find(" 1 wiped, 0 failed"), std::string::npos) << all.out;
    EXPECT_NE(all.err.find("resurgo: victim.bin: partly overwritten by `Windows/Temp/x.log`\n"), std::string::npos)
        << all.err;
}

TEST(RestoreCli, AllNeverOverwritesAndNumbersTheSecondCopy) {
    const nlohmann::json facts = fixtureFacts("demo");
    const std::string dir = tempDir("cli-all-twice");
    const auto& letter = fileNamed(facts, "letter_to_bank.txt");
    fs::create_directories(dir + "/Documents/Letters");
    writeFile(dir + "/Documents/Letters/letter_to_bank.txt", {'m', 'i', 'n', 'e'});
    // A file where the restore wants a directory.
    writeFile(dir + "/Temp", {'f'});
    CliProcess::Result r = CliProcess::run(
        {"restore", fixtureImage("demo"), "--all", "--output-dir", dir, "--days", "1000000", "--pattern", "*.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(dir + "/Documents/Letters/letter_to_bank.txt"), (std::vector<std::uint8_t>{'m', 'i', 'n', 'e'}));
    EXPECT_EQ(sha256Hex(readFile(dir + "/Documents/Letters/letter_to_bank (1).txt")), letter.at("sha256"));
    EXPECT_EQ(readFile(dir + "/Temp"), (std::vector<std::uint8_t>{'f'}));
    EXPECT_EQ(sha256Hex(readFile(dir + "/Temp (1)/scratch.txt")), fileNamed(facts, "scratch.txt").at("sha256"));
    // Only .txt files were asked for.
    EXPECT_FALSE(fs::exists(dir + "/Photos"));
}

TEST(RestoreCli, RecordRestoresOneFileAndReportsItsName) {
    struct Case {
        const char* image;
        const char* name;
    };
    for (const Case& c : {Case{"demo", "quarterly_report.txt"}, Case{"demo", "Отпуск_на_море.jpg"},
                          Case{"s4096", "Größe.txt"}, Case{"c512", "p2_nonresident.bin"},
                          Case{"basic", "comp_sparse.bin"}, Case{"basic", "empty.txt"}}) {
        SCOPED_TRACE(c.name);
        const nlohmann::json facts = fixtureFacts(c.image);
        const auto& f = fileNamed(facts, c.name);
        const std::string out = tempDir("cli-one") + "/restored.bin";
        CliProcess::Result r = CliProcess::run({"restore", fixtureImage(c.image), "--record", recordOf(f), "--output", out});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, restored(out));  // the path written
        EXPECT_EQ(sha256Hex(readFile(out)), f.at("sha256"));
        // The restored file keeps its modification time.
        struct stat st {};
        ASSERT_EQ(::stat(out.c_str(), &st), 0);
        EXPECT_EQ(static_cast<std::uint64_t>(st.st_mtime), f.at("mtime_nt").get<std::uint64_t>() / 10000000ULL - 11644473600ULL);
    }
    // An existing directory receives the file under its own name.
    const nlohmann::json demo = fixtureFacts("demo");
    const auto& photo = fileNamed(demo, "Отпуск_на_море.jpg");
    const std::string dir = tempDir("cli-into-dir");
    ASSERT_EQ(CliProcess::run({"restore", fixtureImage("demo"), "-r", recordOf(photo), "-o", dir}).status, 0);
    EXPECT_EQ(sha256Hex(readFile(dir + "/Отпуск_на_море.jpg")), photo.at("sha256"));
}

TEST(RestoreCli, ExistingDestinationIsKeptWithoutForce) {
    const nlohmann::json facts = fixtureFacts("demo");
    const auto& f = fileNamed(facts, "letter_to_bank.txt");
    const std::string out = tempDir("cli-exists") + "/letter.txt";
    writeFile(out, {'k', 'e', 'e', 'p'});
    CliProcess::Result r = CliProcess::run({"restore", fixtureImage("demo"), "--record", recordOf(f), "--output", out});
    EXPECT_EQ(r.status, cli::kExitExists);
    EXPECT_NE(r.err.find(cli::Messages::kFileExists), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--force"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(out), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));

    r = CliProcess::run({"restore", fixtureImage("demo"), "--record", recordOf(f), "--output", out, "--force"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sha256Hex(readFile(out)), f.at("sha256"));
}

TEST(RestoreCli, DestinationThatIsTheSourceImageIsRefused) {
    const nlohmann::json facts = fixtureFacts("demo");
    const auto& f = fileNamed(facts, "letter_to_bank.txt");
    const std::string dir = tempDir("cli-same");
    const std::string image = copyFile(fixtureImage("demo"), dir + "/demo.img");
    fs::create_symlink(image, dir + "/link.img");
    for (const std::string& target : {image, dir + "/link.img", dir + "/../" + fs::path(dir).filename().string() + "/demo.img"}) {
        CliProcess::Result r =
            CliProcess::run({"restore", image, "--record", recordOf(f), "--output", target, "--force"});
        EXPECT_EQ(r.status, cli::kExitSameSource) << target;
        EXPECT_EQ(r.err.rfind(cli::Messages::kSameDrive, 0), 0u) << r.err;
    }
    EXPECT_EQ(CliProcess::sha256File(image), facts.at("sha256_image"));
    // Another file beside the image is fine.
    EXPECT_EQ(CliProcess::run({"restore", image, "--record", recordOf(f), "--output", dir + "/letter.txt"}).status, 0);
}

TEST(RestoreCli, RecordsThatAreNotDeletedFilesAreRefusedSayingWhatTheyAre) {
    const nlohmann::json facts = fixtureFacts("demo");
    const std::string dir = tempDir("cli-not-deleted");
    struct Case {
        std::string record;
        int status;
        std::string says;  // what the message says the record is
    };
    std::vector<Case> cases;
    for (const auto& f : facts.at("files")) {
        if (f.at("is_dir").get<bool>()) {  // directories, deleted or not
            cases.push_back({recordOf(f), cli::kExitRecordIsDirectory, " is a directory, not a file"});
        } else if (!f.at("deleted").get<bool>()) {
            cases.push_back({recordOf(f), cli::kExitRecordInUse, " belongs to a file that is not deleted"});
        }
    }
    cases.push_back({"5", cli::kExitRecordIsDirectory, " is a directory, not a file"});  // the root directory
    cases.push_back({std::to_string(facts.at("mft_records").get<int>() + 1000), cli::kExitNoSuchRecord,
                     " does not exist: the MFT holds records 0 to "});
    for (const Case& c : cases) {
        const std::string out = dir + "/r" + c.record;
        CliProcess::Result r = CliProcess::run({"restore", fixtureImage("demo"), "--record", c.record, "--output", out});
        EXPECT_EQ(r.status, c.status) << c.record;
        EXPECT_EQ(r.err.rfind("resurgo: record " + c.record + c.says, 0), 0u) << r.err;
        EXPECT_EQ(r.err.find(cli::Messages::kFileDamaged), std::string::npos) << "not damaged: " << r.err;
        EXPECT_FALSE(fs::exists(out)) << c.record;
    }
}

TEST(RestoreCli, NameRestoresTheOneMatchOrListsTheMatches) {
    const nlohmann::json facts = fixtureFacts("demo");
    const std::string dir = tempDir("cli-by-name");
    const auto& letter = fileNamed(facts, "old_letter.txt");  // modified in 2019: found at any age
    CliProcess::Result one = CliProcess::run({"restore", fixtureImage("demo"), "--name", "OLD_LETTER.TXT", "-o", dir});
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.out, restored(dir + "/old_letter.txt"));
    EXPECT_EQ(sha256Hex(readFile(dir + "/old_letter.txt")), letter.at("sha256"));

    // Several: listed with their records on standard error, nothing written.
    CliProcess::Result several = CliProcess::run({"restore", fixtureImage("demo"), "-n", "*.jpg", "-o", dir});
    EXPECT_EQ(several.status, cli::kExitUsage);
    EXPECT_NE(several.err.find("3 deleted files match \"*.jpg\""), std::string::npos) << several.err;
    EXPECT_NE(several.err.find("--record N"), std::string::npos) << several.err;
    for (const char* name : {"IMG_0001.jpg", "IMG_0002.jpg", "Отпуск_на_море.jpg"}) {
        const std::string row = recordOf(fileNamed(facts, name)) + "  " + name;
        EXPECT_NE(several.err.find(row), std::string::npos) << row << "\n" << several.err;
        EXPECT_FALSE(fs::exists(dir + "/" + name)) << name;
    }

    // None: said so, with what would match; --days narrows the search.
    CliProcess::Result none = CliProcess::run({"restore", fixtureImage("demo"), "--name", "letter", "-o", dir});
    EXPECT_EQ(none.status, cli::kExitFileDamaged);
    EXPECT_NE(none.err.find("--name '*letter*'"), std::string::npos) << none.err;
    CliProcess::Result older =
        CliProcess::run({"restore", fixtureImage("demo"), "--name", "old_letter.txt", "--days", "0", "-o", dir + "/x"});
    EXPECT_EQ(older.status, cli::kExitFileDamaged);
    EXPECT_NE(older.err.find("1 older deleted file matches \"old_letter.txt\""), std::string::npos) << older.err;
    EXPECT_FALSE(fs::exists(dir + "/x"));
}

TEST(RestoreCli, CommandLineMistakesAreUsageErrors) {
    const std::string image = fixtureImage("demo");
    const std::string dir = tempDir("cli-usage");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"restore", image},
          {"restore", image, "--record", "74"},
          {"restore", image, "--record", "abc", "--output", dir + "/x"},
          {"restore", image, "--record", "-1", "--output", dir + "/x"},
          {"restore", image, "--all"},
          {"restore", image, "--all", "--output-dir", dir, "--days", "x"},
          {"restore", image, "--record", "74", "--all", "--output", dir + "/x", "--output-dir", dir},
          {"restore", image, "--record", "74", "--output", dir + "/x", "--days", "3"},
          {"restore", image, "--name", "x.txt"},
          {"restore", image, "--name", "x.txt", "--record", "74", "--output", dir + "/x"},
          {"restore", image, "--name", "x.txt", "--all", "--output-dir", dir}}) {
        CliProcess::Result r = CliProcess::run(args);
        EXPECT_EQ(r.status, cli::kExitUsage) << args.size() << ": " << r.err;
        EXPECT_FALSE(r.err.empty());
    }
    // The mistakes a newcomer makes are answered in words.
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    for (const Case& c : {Case{{"restore", image, "--record", "big_5MB.bin", "-o", dir + "/x"},
                               "give --name 'big_5MB.bin'"},
                          Case{{"search", image, "-p", "a", "-p", "b"}, "resurgo: --pattern was given 2 times; give it once\n"},
                          Case{{"restore", image, "--record", "74"}, "--record needs --output PATH"}}) {
        CliProcess::Result r = CliProcess::run(c.args);
        EXPECT_EQ(r.status, cli::kExitUsage) << c.says;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    EXPECT_TRUE(fs::is_empty(dir));
}

TEST(RestoreCli, RunOutsideTheVolumeIsReportedWithItsRecordAndByte) {
    // IMG_0001.jpg's first run now starts far past the end of the volume.
    const nlohmann::json facts = fixtureFacts("demo");
    const auto& f = fileNamed(facts, "IMG_0001.jpg");
    const std::string dir = tempDir("cli-bad-run");
    const std::string image = copyFile(fixtureImage("demo"), dir + "/demo.img");
    const std::size_t recordSize = facts.at("mft_record_size").get<std::size_t>();
    const std::uint64_t mftAt = facts.at("mft_lcn").get<std::uint64_t>() * facts.at("cluster_size").get<std::uint64_t>();
    const std::uint64_t recordAt = mftAt + f.at("record").get<std::uint64_t>() * recordSize;
    std::vector<std::uint8_t> rec(recordSize);
    std::ifstream in(image, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(recordAt));
    ASSERT_TRUE(in.read(reinterpret_cast<char*>(rec.data()), static_cast<std::streamsize>(rec.size())));
    MFT_RECORD::fixup(rec.data(), rec.size());
    auto u16 = [&](std::size_t at) { return static_cast<std::size_t>(rec[at] | (rec[at + 1] << 8)); };
    std::size_t data = u16(MFT_RECORD::kFirstAttribute);
    while (rec.at(data) != MFT_RECORD::kTypeData) data += u16(data + 4);
    const std::size_t run = data + u16(data + 0x20);
    const unsigned lengthBytes = rec[run] & 15, offsetBytes = rec[run] >> 4;
    ASSERT_LT(run + 1 + lengthBytes + offsetBytes, 510u) << "the run must not reach a stride end";
    patchFile(image, recordAt + run + 1 + lengthBytes, std::vector<std::uint8_t>(offsetBytes, 0x7F));

    // The search still lists the file; its restore fails and says where.
    CliProcess::Result search = CliProcess::run({"search", image, "--days", "1000000"});
    EXPECT_EQ(search.status, 0) << search.err;
    EXPECT_NE(search.out.find("IMG_0001.jpg"), std::string::npos) << search.out;
    CliProcess::Result r = CliProcess::run({"restore", image, "--record", recordOf(f), "--output", dir + "/out.jpg"});
    EXPECT_EQ(r.status, cli::kExitCopyFailed);
    const std::string where =
        "a run lies outside the volume (record " + recordOf(f) + ", byte " + std::to_string(run) + ")";
    EXPECT_NE(r.err.find(where), std::string::npos) << r.err;
}
