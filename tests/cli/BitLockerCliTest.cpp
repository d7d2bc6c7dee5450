// A BitLocker volume in a partition of a VHD disk: the commands say it is
// locked, refuse a wrong password without showing it, and once unlocked
// search, scan, restore and describe it exactly as they do the plain
// volume it was made from (an encrypted copy of the demo fixture, made
// with the key of a volume Windows encrypted).

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "cli/CliProcess.h"
#include "cli/ExitCode.h"
#include "support/TestSupport.h"

using namespace resurgo;
using namespace resurgo::test;
namespace fs = std::filesystem;

namespace {

// SHA-256 of every file below dir, by its path relative to dir.
std::map<std::string, std::string> treeHashes(const std::string& dir) {
    std::map<std::string, std::string> hashes;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file()) {
            hashes[fs::relative(entry.path(), dir).string()] = sha256Hex(readFile(entry.path().string()));
        }
    }
    return hashes;
}

// The encrypted copy of demo.img as partition 1 of an MBR disk in a VHD.
std::string encryptedDisk(const std::string& images, const std::string& dir) {
    const std::string volume = dir + "/volume.img", raw = dir + "/disk.raw", vhd = dir + "/disk.vhd";
    const std::string make =
        "'" RESURGO_BITLOCKER_COPY "' '" + images + "/bitlk-aes-xts-128.img' anaconda '" + fixtureImage("demo") +
        "' '" + volume + "' >/dev/null && truncate -s 24M '" + raw + "' && dd if='" + volume + "' of='" + raw +
        "' bs=1M seek=1 conv=notrunc status=none && echo 'start=2048, type=7' | sfdisk -q '" + raw +
        "' >/dev/null && qemu-img convert -f raw -O vpc '" + raw + "' '" + vhd + "'";
    return std::system(make.c_str()) == 0 ? vhd : std::string();
}

} // namespace

TEST(BitLockerCli, AnEncryptedPartitionOfAVhdIsSearchedAsItsPlainVolume) {
    const std::string images = bitLockerImages();
    if (images.empty()) GTEST_SKIP() << "no BitLocker images (set RESURGO_REAL_IMAGES)";
    const std::string dir = tempDir("bitlocker-cli");
    const std::string vhd = encryptedDisk(images, dir);
    ASSERT_FALSE(vhd.empty());
    const std::string plain = fixtureImage("demo");
    const std::vector<std::string> unlock{"--partition", "1", "--password", "anaconda"};
    auto with = [](std::vector<std::string> args, const std::vector<std::string>& more) {
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    const struct {
        std::vector<std::string> args;
        int status;
        const char* says;
    } refusals[] = {
        {{"search", vhd, "--partition", "1"}, cli::kExitLocked, "unlock it with --password, --recovery-password"},
        {{"search", vhd, "--partition", "1", "--password", "Zebra-Secret-42"}, cli::kExitWrongSecret, "wrong password"},
        {{"search", vhd, "--partition", "1", "--recovery-password", "111111-Zebra"}, cli::kExitWrongSecret,
         "wrong recovery password"},
        {{"partitions", vhd}, cli::kExitOk, "bitlocker"},
    };
    for (const auto& r : refusals) {
        const CliProcess::Result got = CliProcess::run(r.args);
        EXPECT_EQ(got.status, r.status) << got.err;
        EXPECT_NE((got.out + got.err).find(r.says), std::string::npos) << got.out << got.err;
        EXPECT_EQ((got.out + got.err).find("Zebra"), std::string::npos) << got.err;
    }
    // Unlocked, every command gives what it gives on the plain volume.
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"search", "--days", "100000", "--json"},
          std::vector<std::string>{"search", "--deep", "--days", "100000", "--json"}}) {
        const CliProcess::Result encrypted = CliProcess::run(with({command[0], vhd}, with(unlock, {command.begin() + 1, command.end()})));
        const CliProcess::Result clear = CliProcess::run(with({command[0], plain}, {command.begin() + 1, command.end()}));
        ASSERT_EQ(encrypted.status, clear.status) << encrypted.err;
        const nlohmann::json a = nlohmann::json::parse(encrypted.out), b = nlohmann::json::parse(clear.out);
        ASSERT_EQ(a.size(), b.size());
        EXPECT_FALSE(a.empty());
        for (std::size_t i = 0; i < a.size(); ++i) {
            for (const char* key : {"record", "name", "directory", "size", "recoverable"}) EXPECT_EQ(a[i][key], b[i][key]);
        }
    }
    const CliProcess::Result restored =
        CliProcess::run(with({"restore", vhd, "--all", "--output-dir", dir + "/from-vhd", "--days", "100000"}, unlock));
    const CliProcess::Result restoredPlain =
        CliProcess::run({"restore", plain, "--all", "--output-dir", dir + "/from-plain", "--days", "100000"});
    EXPECT_EQ(restored.status, restoredPlain.status) << restored.err;
    EXPECT_EQ(treeHashes(dir + "/from-vhd"), treeHashes(dir + "/from-plain"));
    const nlohmann::json info = nlohmann::json::parse(CliProcess::run(with({"info", vhd, "--json"}, unlock)).out);
    const nlohmann::json plainInfo = nlohmann::json::parse(CliProcess::run({"info", plain, "--json"}).out);
    EXPECT_EQ(info["container"], "VHD");
    EXPECT_EQ(info["partition"]["number"], 1);
    EXPECT_EQ(info["encryption"]["unlocked"], true);
    EXPECT_EQ(info["encryption"]["cipher"], "AES-XTS 128");
    EXPECT_EQ(info["filesystem"], plainInfo["filesystem"]);
}
