// BitLocker volumes made by Windows: each unlocks with every secret its
// images.conf lists, and the decrypted volume has the file system's
// serial number and the SHA-256 recorded there. Then the parser's and the
// unlocking's answers to malformed input.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "recovery/SearchJob.h"
#include "source/BitLockerKey.h"
#include "source/BitLockerMetadata.h"
#include "source/BitLockerSource.h"
#include "source/FileSource.h"
#include "source/MemorySource.h"
#include "source/SourceError.h"
#include "support/TestSupport.h"

namespace resurgo::test {
namespace {

using Kind = BitLockerSecret::Kind;

// The serial number as images.conf writes it: NTFS's 64-bit one in hex,
// FAT's as XXXX-XXXX (FAT32 keeps it at byte 0x43, FAT12/16 at 0x27).
std::string serialOf(Source& volume) {
    std::uint8_t boot[512] = {};
    volume.readExact(boot, sizeof boot, 0, "test");
    char text[24];
    if (std::memcmp(boot + 3, "NTFS    ", 8) == 0) {
        std::uint64_t serial = 0;
        for (int b = 7; b >= 0; --b) serial = serial << 8 | boot[0x48 + b];
        std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(serial));
    } else {
        const std::size_t at = std::memcmp(boot + 0x52, "FAT32", 5) == 0 ? 0x43 : 0x27;
        std::snprintf(text, sizeof text, "%02X%02X-%02X%02X", boot[at + 3], boot[at + 2], boot[at + 1], boot[at]);
    }
    return text;
}

std::string sha256Of(Source& volume) {
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_DigestInit_ex(md, EVP_sha256(), nullptr);
    std::vector<std::uint8_t> chunk(4 << 20);
    for (std::uint64_t at = 0; at < volume.size();) {
        const std::size_t got = volume.readAt(chunk.data(), chunk.size(), at, "test");
        if (got == 0) break;
        EVP_DigestUpdate(md, chunk.data(), got);
        at += got;
    }
    unsigned char digest[32];
    EVP_DigestFinal_ex(md, digest, nullptr);
    EVP_MD_CTX_free(md);
    std::string hex;
    char two[3];
    for (unsigned char c : digest) hex += (std::snprintf(two, sizeof two, "%02x", c), two);
    return hex;
}

// Reads starting or ending inside a sector, across the layout's edges
// (relocated boot sectors, metadata, the end of the encrypted part), and
// reads from several threads at once give the bytes whole sectors do.
void expectPartialAndParallelReadsMatch(BitLockerSource& volume) {
    const BitLockerMetadata& m = volume.metadata();
    const std::size_t unit = m.sectorSize;
    for (std::uint64_t edge : {m.headerSize, m.metadataOffsets[0], m.volumeSize}) {
        if (edge / unit < 2 || edge >= volume.size() - 2 * unit) continue;
        const std::uint64_t from = (edge / unit - 2) * unit;
        std::vector<std::uint8_t> whole(4 * unit);
        ASSERT_EQ(volume.readAt(whole.data(), whole.size(), from, "test"), whole.size());
        for (const auto& [skip, length] : {std::pair<std::size_t, std::size_t>{1, 1}, {unit - 1, 2},
                                           {3, 2 * unit}, {unit + 5, 3 * unit - 5}}) {
            std::vector<std::uint8_t> part(length);
            ASSERT_EQ(volume.readAt(part.data(), length, from + skip, "test"), length);
            EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin() + static_cast<std::ptrdiff_t>(skip)))
                << "at " << from + skip << " for " << length;
        }
    }
    std::vector<std::uint8_t> reference(static_cast<std::size_t>(std::min<std::uint64_t>(volume.size(), 1 << 20)));
    volume.readExact(reference.data(), reference.size(), 0, "test");
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (std::size_t t = 1; t <= 4; ++t) {
        threads.emplace_back([&, chunk = t * unit] {
            std::vector<std::uint8_t> got(chunk);
            for (std::size_t at = 0; at + chunk <= reference.size(); at += chunk) {
                volume.readExact(got.data(), chunk, at, "test");
                if (std::memcmp(got.data(), reference.data() + at, chunk) != 0) ++mismatches;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(mismatches.load(), 0);
}

// The secrets a volume's section lists, each with the key file's bytes.
std::vector<std::pair<BitLockerSecret, SecretBytes>> secretsOf(std::map<std::string, std::string>& v,
                                                              const std::string& dir) {
    std::vector<std::pair<BitLockerSecret, SecretBytes>> secrets;
    for (const char* key : {"PW", "RP", "RP2"}) {
        if (v[key].empty()) continue;
        secrets.emplace_back(BitLockerSecret::of(key[0] == 'P' ? Kind::Password : Kind::RecoveryPassword, v[key]),
                             SecretBytes());
    }
    if (!v["SK_VMK_GUID"].empty()) {
        std::string name = v["SK_VMK_GUID"];
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        const std::vector<std::uint8_t> file = readFile(dir + "/" + name + ".BEK");
        secrets.emplace_back(BitLockerSecret::of(Kind::KeyFile, name), SecretBytes(file.data(), file.size()));
    }
    if (!v["CLEARKEY_VMK_GUID"].empty()) secrets.emplace_back(BitLockerSecret(), SecretBytes());
    return secrets;
}

TEST(BitLocker, EveryVolumeUnlocksWithEverySecretItLists) {
    const std::string dir = bitLockerImages();
    if (dir.empty()) GTEST_SKIP() << "no BitLocker images (set RESURGO_REAL_IMAGES)";
    std::size_t unlocked = 0;
    for (auto& v : bitLockerVolumes()) {
        SCOPED_TRACE(v["name"]);
        FileSource file(dir + "/" + v["name"] + ".img");
        const BitLockerMetadata m = BitLockerMetadata::read(file);
        SecretBytes first;
        for (const auto& [secret, keyFile] : secretsOf(v, dir)) {
            SCOPED_TRACE(secret.name());
            const BitLockerKey::Result key = BitLockerKey::unlock(m, secret, keyFile);
            ASSERT_FALSE(key.key.empty()) << key.failure;
            if (!first.empty()) {
                EXPECT_EQ(std::vector<std::uint8_t>(key.key.data(), key.key.data() + key.key.size()),
                          std::vector<std::uint8_t>(first.data(), first.data() + first.size()));
                continue;
            }
            first = key.key;
            ++unlocked;
            BitLockerSource volume(file, m, std::make_unique<BitLockerCipher>(m.method, key.key, m.sectorSize));
            if (!v["UUID"].empty()) {
                EXPECT_EQ(serialOf(volume), v["UUID"]);
            }
            if (!v["SHA256SUM"].empty()) {
                EXPECT_EQ(sha256Of(volume), v["SHA256SUM"]);
            }
            expectPartialAndParallelReadsMatch(volume);
        }
        // A wrong password is refused, naming the protectors and not the secret.
        const BitLockerKey::Result wrong =
            BitLockerKey::unlock(m, BitLockerSecret::of(Kind::Password, "Zebra-Secret-42"));
        EXPECT_TRUE(wrong.key.empty());
        EXPECT_TRUE(wrong.wrongSecret);
        EXPECT_NE(wrong.failure.find("wrong password"), std::string::npos) << wrong.failure;
        for (const BitLockerMetadata::Protector& p : m.protectors) {
            EXPECT_NE(wrong.failure.find(BitLockerMetadata::protectionName(p.protection)), std::string::npos)
                << wrong.failure;
        }
        EXPECT_EQ(wrong.failure.find("Zebra"), std::string::npos);
    }
    EXPECT_EQ(unlocked, bitLockerVolumes().size());
}

TEST(BitLocker, RecoveryPasswordGroups) {
    const struct {
        const char* text;
        bool valid;
    } cases[] = {
        {"235818-357951-253979-013365-241120-245575-342914-591910", true},
        {"235818357951253979013365241120245575342914591910", true},
        {"235818-357951-253979-013365-241120-245575-342914-591911", false},  // not divisible by 11
        {"720896-357951-253979-013365-241120-245575-342914-591910", false},  // 65536 * 11
        {"235818-357951-253979-013365-241120-245575-342914", false},         // seven groups
        {"235818-357951-253979-013365-241120-245575-342914-591910-000000", false},
        {"2358-18357951-253979-013365-241120-245575-342914-591910", false},  // a dash inside a group
        {"23581a-357951-253979-013365-241120-245575-342914-591910", false},
    };
    for (const auto& c : cases) {
        std::array<std::uint8_t, 16> key{};
        EXPECT_EQ(BitLockerKey::recoveryKey(c.text, key), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(key[0] | key[1] << 8, 235818 / 11);
        }
    }
}

TEST(BitLocker, MalformedMetadataIsNamedNeverRead) {
    const std::string dir = bitLockerImages();
    if (dir.empty()) GTEST_SKIP() << "no BitLocker images (set RESURGO_REAL_IMAGES)";
    FileSource file(dir + "/bitlk-aes-xts-128.img");
    const BitLockerMetadata good = BitLockerMetadata::read(file);
    std::vector<std::uint8_t> block(BitLockerMetadata::kMetadataArea);
    file.readExact(block.data(), block.size(), good.metadataOffsets[0], "test");
    const std::size_t firstEntry = 64 + 48;
    const struct {
        std::size_t at;
        std::vector<std::uint8_t> bytes;
        const char* reason;
    } cases[] = {
        {10, {1, 0}, "metadata version 1"},
        {64, {0xff, 0xff, 0xff, 0}, "a metadata header of"},
        {firstEntry, {0xff, 0x7f}, "overruns its metadata"},
        {firstEntry, {4, 0}, "overruns its metadata"},
        {firstEntry, {0, 0}, "no full-volume key entry"},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> bad = block;
        std::copy(c.bytes.begin(), c.bytes.end(), bad.begin() + static_cast<std::ptrdiff_t>(c.at));
        BitLockerMetadata m;
        const ErrorException e = raised([&] { m.parseBlock(bad.data(), bad.size()); });
        EXPECT_EQ(e.code(), kErrUnrecognized);
        EXPECT_NE(e.diagnostic().find(c.reason), std::string::npos) << e.diagnostic();
    }
    // A volume cut off before its metadata, and a key file of the wrong kind.
    std::vector<std::uint8_t> head(64 * 1024);
    file.readExact(head.data(), head.size(), 0, "test");
    MemorySource cut(head);
    EXPECT_NE(raised([&] { BitLockerMetadata::read(cut); }).diagnostic().find("damaged in all three copies"),
              std::string::npos);
    const BitLockerKey::Result wrongKind =
        BitLockerKey::unlock(good, BitLockerSecret::of(Kind::KeyFile, "x.BEK"), SecretBytes(block.data(), 512));
    EXPECT_TRUE(wrongKind.wrongSecret);
    EXPECT_NE(wrongKind.failure.find("not a BitLocker startup key file"), std::string::npos);
}

// A drive read as it lies on the disk (the dialog reads drives through the
// system) is named as locked, not as a damaged NTFS volume.
TEST(BitLocker, ALockedDriveSaysToUnlockItFirst) {
    const std::string dir = bitLockerImages();
    if (dir.empty()) GTEST_SKIP() << "no BitLocker images (set RESURGO_REAL_IMAGES)";
    FileSource file(dir + "/bitlk-aes-cbc-128.img");
    SearchJob job;
    job.driveRoot = "E:\\";
    job.useSource(&file);
    const ErrorException e = raised([&] { job.prepareGeometry(); });
    EXPECT_NE(e.diagnostic().find("E:\\ is a locked BitLocker drive: unlock it in Windows first"), std::string::npos)
        << e.diagnostic();
}

} // namespace
} // namespace resurgo::test
