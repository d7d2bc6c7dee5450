// Hostile sources, made by tests/fixtures/make_hostile_sources.py from the
// disk fixtures: VHDX logs made to be slow, backing files, parents and
// extents that are FIFOs or lie outside the image's folder, QCOW2 headers
// claiming far more than the image stores, partition entries inverted or
// past the end, an unreadable partition beside the chosen one, a source
// path holding terminal controls. Each case must end in well under 5
// seconds of processor time (a loaded machine may stretch the wall clock;
// 20 seconds of it stop the command) with the exit status and the message
// named here, and nothing on the terminal may come out unescaped.

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>

#include "cli/CliProcess.h"
#include "cli/ExitCode.h"
#include "source/FileSource.h"
#include "source/VhdxLog.h"
#include "support/TestSupport.h"

using namespace resurgo;
using namespace resurgo::test;

#if defined(RESURGO_HAVE_CONTAINERS)

namespace {

std::string readText(const std::string& path) {
    const std::vector<std::uint8_t> bytes = readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// Processor time (user and system) of the commands run so far.
double childSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

TEST(HostileSources, EachEndsQuicklyWithANamedOutcome) {
    const std::string dir = tempDir("hostile-sources");
    const std::string script = std::string(RESURGO_FIXTURE_SRC) + "/make_hostile_sources.py";
    ASSERT_EQ(std::system(("python3 '" + script + "' '" + RESURGO_FIXTURE_DIR + "' '" + dir + "'").c_str()), 0);
    // What the QCOW2 images claiming too much store, as qemu-img maps them.
    const std::string stored = std::to_string(std::stoull(readText(dir + "/claims-stored.txt")));
    const std::string escName = "x\x1b[2J\x1b]0;owned\x07.img";
    const std::string escShown = "x\\x1b[2J\\x1b]0;owned\\x07.img";

    struct Case {
        std::vector<std::string> args;  // the source is relative to dir
        int status;
        std::string err;  // in standard error ("" for none expected)
        std::string out;  // in standard output
    };
    const std::vector<Case> cases{
        // A VHDX log is read once, linear in its length.
        {{"partitions", "vhdx-loge-every-slot.vhdx"}, cli::kExitOk, "", "a VHDX image holding an MBR partition table"},
        {{"partitions", "vhdx-16384-entries.vhdx"}, cli::kExitOk, "", "a VHDX image holding an MBR partition table"},
        // Files a container names: regular files beside it only.
        {{"search", "fifo-backing/disk-mbr-overlay.qcow2"}, cli::kExitOpenFailed,
         "the backing file disk-mbr.qcow2 of the QCOW2 image " + dir +
             "/fifo-backing/disk-mbr-overlay.qcow2 is not a regular file",
         ""},
        {{"search", "fifo-parent/disk-mbr-child.vhd"}, cli::kExitOpenFailed,
         "the parent disk disk-mbr.vhd of the differencing disk " + dir +
             "/fifo-parent/disk-mbr-child.vhd is not a regular file",
         ""},
        {{"partitions", "fifo-extent/disk-mbr-flat.vmdk"}, cli::kExitOpenFailed,
         "the extent file disk-mbr-flat-flat.vmdk of the VMDK image " + dir +
             "/fifo-extent/disk-mbr-flat.vmdk is not a regular file",
         ""},
        {{"search", "absolute/disk-mbr-overlay.qcow2"}, cli::kExitOpenFailed,
         "names its backing file /etc/passwd outside its folder", ""},
        {{"search", "climbing/inner/disk-mbr-overlay.qcow2"}, cli::kExitOpenFailed,
         "names its backing file ../disk-mbr.qcow2 outside its folder", ""},
        // A deep scan reads what the container stores, not what it claims.
        {{"search", "claims-2p62.qcow2", "--deep"}, cli::kExitOk,
         "the QCOW2 image claims a disk of 4611686018427387904 bytes and stores " + stored + " of them", "p2_0199.txt"},
        {{"search", "claims-16g.qcow2", "--deep"}, cli::kExitOk,
         "the QCOW2 image claims a disk of 17179869184 bytes and stores " + stored + " of them", "p2_0199.txt"},
        // Entries inverted or past the end are named and left aside.
        {{"partitions", "gpt-inverted.img"}, cli::kExitOk,
         "the GPT partition table is damaged: partition 3 ends before it starts (first sector 22528, last 20579)",
         "ebd0a0a2-b9e5-4433-87c0-68b6b72699c7  ntfs         c512"},
        {{"search", "gpt-inverted.img"}, cli::kExitOk, "using partition 1 (NTFS, \"c512\") of the GPT partition table",
         "p2_0199.txt"},
        {{"partitions", "mbr-past-end.img"}, cli::kExitOk, "", "unknown (past the end)"},
        {{"search", "mbr-past-end.img"}, cli::kExitOk, "using partition 5", "p2_0199.txt"},
        {{"search", "gpt-16384-entries.img"}, cli::kExitOk, "using partition 1 (NTFS, \"c512\")", "p2_0199.txt"},
        // An unreadable block outside the chosen partition is not read, or
        // is a warning when every partition is looked at.
        {{"search", "qcow-bad-ext4.qcow2", "--partition", "5"}, cli::kExitOk, "", "p2_0199.txt"},
        {{"partitions", "qcow-bad-ext4.qcow2"}, cli::kExitOk,
         "warning: partition 1 can't be read, so its file system is not known", "unreadable"},
        // Messages name what happened.
        {{"search", "cut-e01/disk-mbr.E01"}, cli::kExitOpenFailed,
         "is incomplete: its segment file disk-mbr.E02 is cut short (2 segment files found)", ""},
        {{"search", "bogus-boot.img", "--deep"}, cli::kExitOk,
         "the boot sector is damaged or unreadable; the backup boot sector at byte", "p2_0199.txt"},
        // A path holding terminal controls is shown escaped.
        {{"partitions", escName}, cli::kExitOk, "", dir + "/" + escShown + ": an MBR partition table"},
        {{"search", escName}, cli::kExitOk, "on " + dir + "/" + escShown, "on " + dir + "/" + escShown + " partition 5."},
        {{"search", "missing\x1b[2J.img"}, cli::kExitOpenFailed, "cannot open " + dir + "/missing\\x1b[2J.img", ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args[1] = dir + "/" + args[1];
        SCOPED_TRACE(args[0] + " " + c.args[1]);
        const double before = childSeconds();
        const CliProcess::Result r = CliProcess::run(args, {}, 20);
        EXPECT_LT(childSeconds() - before, 5.0);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
        EXPECT_EQ((r.out + r.err).find('\x1b'), std::string::npos);
        EXPECT_EQ(r.err.find("internal error"), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("18446744073"), std::string::npos) << r.out;
    }

    // The log of 16,384 entries is replayed whole, not only quickly judged,
    // and its reading reported as it goes (what a terminal shows as a bar).
    FileSource file(dir + "/vhdx-16384-entries.vhdx");
    std::vector<int> positions;
    EXPECT_EQ(VhdxLog(file, [&](int position) { positions.push_back(position); }).entriesReplayed(), 16384u);
    ASSERT_GE(positions.size(), 2u);
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_EQ(positions.back(), 100);
}

#endif
