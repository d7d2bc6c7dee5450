#include "cli/CommandLine.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include <CLI/CLI.hpp>

#include "ResurgoVersion.h"
#include "cli/ArgumentCheck.h"
#include "cli/BashCompletion.h"
#include "cli/BatchRestore.h"
#include "cli/DriveTable.h"
#include "cli/ExitCode.h"
#include "cli/InfoCommand.h"
#include "cli/ManPage.h"
#include "cli/PartitionList.h"
#include "cli/RestoreCommand.h"
#include "cli/SearchCommand.h"
#include "cli/SecretOptions.h"
#include "cli/SnapshotList.h"
#include "cli/TerminalProgress.h"
#include "recovery/SystemServices.h"
#include "recovery/RestoreRules.h"

namespace resurgo::cli {

namespace {

// The man page's NAME line.
const char* const kSummary = "find and restore deleted files on NTFS volumes";

const char* const kDescription =
    "Resurgo for NTFS: finds deleted files on an NTFS volume (an image file, a block device, a\n"
    "partition of a whole disk, or an E01, VHD, VHDX, VMDK or QCOW2 image, also encrypted with\n"
    "BitLocker) and restores them. The source is only ever read.";

// How the subcommands are called (after the program's name).
const char* const kForms[] = {
    "search SOURCE [--partition N] [--pattern PATTERN] [--days N] [--min-recoverable N] [--deep] [--verify] "
    "[--snapshots] [--carve] [--wide | --json]",
    "restore SOURCE [--partition N] [--snapshot N] --record N [--logged [--deep]] --output PATH [--force]",
    "restore SOURCE [--partition N] --snapshot N --name PATTERN --output PATH [--force]",
    "restore SOURCE [--partition N] --offset X --output PATH [--force]",
    "restore SOURCE [--partition N] --carved X --output PATH [--force]",
    "restore SOURCE [--partition N] --name PATTERN [--days N] [--deep] --output PATH [--force]",
    "restore SOURCE [--partition N] --all --output-dir DIR [--pattern PATTERN] [--days N] [--min-recoverable N] [--deep] "
    "[--carve]",
    "restore SOURCE [--partition N] --all --snapshots --output-dir DIR [--pattern PATTERN] [--days N]",
    "partitions SOURCE [--json]",
    "snapshots SOURCE [--partition N] [--json]",
    "search|restore|info SOURCE ... [--password TEXT | --recovery-password DIGITS | --key-file PATH]  (BitLocker)",
    "info SOURCE [--partition N] [--json]",
    "drives [--json]",
};

const char* const kSearchDetails =
    "SOURCE is an NTFS image file or block device (reading a device needs root). The age limit\n"
    "is 365 days unless --days is given; a search that lists nothing says how many older files\n"
    "match and which --days includes them. The table is sorted highest MFT record first; its\n"
    "Record column is what restore --record takes (after --deep, its Offset column is what\n"
    "restore --offset takes). On a terminal the table fits its width (or $COLUMNS), names and\n"
    "directories shortened in the middle with ...; --wide shows them whole. --json prints one\n"
    "array in record order with record, first_sector, offset (of the record on SOURCE, or on\n"
    "its partition), name, directory (/ separators, . for the root), path_components (the\n"
    "directory names as an array, root first), size, the UTC times modified, created and\n"
    "accessed, recoverable and unowned. Recoverable (0 to 100, the table's percentage) is how\n"
    "much of a file can still come back: the share of its bytes whose clusters no file in use\n"
    "claims and no deleted file modified later; 100 means intact. Unowned is the share of its\n"
    "bytes in clusters allocated but owned by no file (an interrupted delete): they come back\n"
    "too, and the table notes them. --verify reads a sample of each file's clusters (the\n"
    "first of each run and one per MiB) and shows the share that reads back as zeros (JSON\n"
    "zeroed): data the drive wiped (TRIM on an SSD) or that was zeroed; without it the\n"
    "search reads no file data. Names read off the volume are\n"
    "shown escaped in the table and in messages (controls as \\x1b, bidirectional controls as\n"
    "\\u202e, a backslash as \\\\); --json keeps them exact. On a terminal a progress bar shows\n"
    "on standard error; Ctrl-C stops the search and lists what it found.\n\n"
    "--deep reads all of SOURCE (or of its partition) for MFT records instead of walking the\n"
    "volume's MFT: it finds the files of a quick-formatted volume and of a volume whose MFT\n"
    "or boot sectors are destroyed (the backup boot sector is used, or the geometry is\n"
    "inferred from what is found, and standard error says so); a source with neither a\n"
    "partition table nor an NTFS boot record is read whole. Every record outside the\n"
    "volume's MFT is listed, in use or not; a file's clusters that the current volume uses\n"
    "count as overwritten. A directory whose record is lost is named from the index blocks\n"
    "that name it, else shown as lost_files/dir_@N, and a file whose names are gone as\n"
    "record_N.\n\n"
    "--snapshots also walks each shadow copy (previous version) of the volume, as a volume of\n"
    "its own: it lists the files a copy holds that the volume no longer has (their record is\n"
    "free or holds another file) and each copy's own deleted files, each file once (from the\n"
    "newest copy that holds it, unless an older one holds more of it). The table gains a\n"
    "Snapshot column, the date of the copy (- for the volume itself); --json gains snapshot\n"
    "(the copy's number, null for the volume itself) and snapshot_created. A copy's blocks\n"
    "that it did not keep read as zeros: each file's clusters are sampled for them (as with\n"
    "--verify) and they count as lost. A damaged catalog of copies is a warning; the volume\n"
    "itself is still searched.\n\n"
    "Files whose records were freed and given to other files since are rebuilt from what the\n"
    "volume's $LogFile still holds of them (name, directory, times, size and run list): the\n"
    "table says \"from the journal\" beside their percentage (JSON source \"logfile\"; it is\n"
    "\"mft\" for the files of the MFT, \"deep\" for those of --deep), and restore --record N\n"
    "--logged restores them.\n\n"

    "--carve also looks for files by their content (JPEG, PNG, GIF, BMP, TIFF, PDF, ZIP and\n"
    "DOCX/XLSX/PPTX/ODT/ODS/EPUB/JAR, OLE2 as DOC/XLS/PPT/MSG, SQLite, 7z, RAR, GZIP, MP3,\n"
    "FLAC, WAV/AVI, OGG, MP4/MOV, MKV/WebM, MPEG, PPM/PGM, XCF, scripts) at every cluster\n"
    "boundary of the free clusters no listed file claims, or of the whole source when the\n"
    "volume's MFT or boot sector is lost; a file is kept only when its structure holds\n"
    "together, and its size comes from it. NTFS-compressed (LZNT1) units found there are\n"
    "decompressed and carved too, when their units lie back to back (JSON compressed true;\n"
    "restore --carved writes the decompressed bytes). A file version $LogFile still holds\n"
    "whose data began at a carved file's first cluster, of the same size, names it, its\n"
    "directory and times (JSON name_source logfile); else a directory index entry, in use\n"
    "or left in an index block's slack, whose size and type fit one carved file alone\n"
    "(name_source index). When the two disagree, and for any other file, it is named\n"
    "carved/TYPE/OFFSET.TYPE (name_source none). A file the search lists from $LogFile\n"
    "already is not carved again. What the content says is shown apart, never as the name:\n"
    "JSON hint_time is a photo's EXIF DateTimeOriginal (YYYY-MM-DDTHH:MM:SS, the camera's\n"
    "clock, no time zone), hint a PDF's or Office document's title; the table adds \"taken\n"
    "DATE\" and \"titled\". The table marks carved files; JSON adds carved, type and\n"
    "name_source, and offset is the file's first byte (what restore --carved takes). The\n"
    "age limit does not apply to them.";

const char* const kRestoreDetails =
    "--record N writes the deleted file of MFT record N (the Record column of the search) to\n"
    "PATH, or into PATH when it is an existing directory; --offset X does the same for the\n"
    "file whose record starts at byte X of SOURCE or of its partition (the Offset column of\n"
    "search --deep, the offset of search --json). --name PATTERN does the same for the one\n"
    "deleted file whose name matches (of any age unless --days is given; with --deep, of the\n"
    "files search --deep finds); when several match, they are listed with their records (with\n"
    "--deep, their offsets) and nothing is written (exit status 2). A destination on the\n"
    "source (also through a partition, a mapped or loop device or an ntfs-3g mount of it) is\n"
    "refused; an existing file, or a symbolic link (even one that leads nowhere), is replaced\n"
    "only when confirmed on a terminal or with --force, and a link is never written through;\n"
    "the free space is checked first. A file partly overwritten since its deletion is still\n"
    "restored in full, and the message says how much of it was overwritten (and by which\n"
    "file, when one file owns the overwritten clusters). A file whose data reads back as\n"
    "zeros in whole runs that are not sparse is restored, but the message says the data was\n"
    "wiped (exit status 16). --logged restores the file of record N that $LogFile keeps (a\n"
    "search row marked \"from the journal\": its record holds another file now); with --deep\n"
    "the log is found without the MFT, as search --deep finds it.\n\n"
    "--all restores every file the search finds into DIR, recreating the directories (a name\n"
    "that exists gets a numbered suffix, nothing is overwritten, no link is followed), and ends\n"
    "with a count of restored files (intact, partly overwritten, overwritten), damaged and\n"
    "failed ones; with --min-recoverable N it skips the files of which less than N percent can\n"
    "come back, and with --deep it restores what search --deep finds. A name the destination\n"
    "can't hold fails that file with the system's reason; when DIR itself can't be used the\n"
    "run stops.\n\n"
    "--snapshot N reads shadow copy N (as `resurgo snapshots` numbers them) instead of the\n"
    "volume: --record restores a file the copy holds, deleted there or not, and --name the\n"
    "one file search --snapshots lists from that copy. --all --snapshots restores what search\n"
    "--snapshots lists, each file from its copy.";

const char* const kSnapshotsDetails =
    "SOURCE is an NTFS image, a whole disk (with --partition N when it holds several NTFS\n"
    "partitions), a disk image container or a block device. Shows each shadow copy of the\n"
    "volume: its number (1 = the oldest; give it to restore --snapshot), when it was taken\n"
    "(UTC), its identifier and the size of the volume it shows; --json prints number,\n"
    "created, identifier and size. A volume without shadow copies says so.";

const char* const kPartitionsDetails =
    "SOURCE is a whole-disk image, a disk image container or a block device. Shows each\n"
    "partition's number (give it to --partition), start and size in bytes, the table's scheme\n"
    "(mbr or gpt), the partition type, the file system found in it and its label.";

const char* const kInfoDetails =
    "Describes SOURCE layer by layer: the container, the partition chosen, BitLocker (its\n"
    "cipher, protectors and volume id, locked or unlocked) and the NTFS volume (serial number,\n"
    "label, volume, cluster and record sizes, the MFT's size and records, and whether a\n"
    "shadow-copy store catalog is present). A locked BitLocker volume is described as far as\n"
    "its metadata goes (exit status 20); the options that unlock it are those of search.\n"
    "--json prints one object with the keys source, container (null or the format),\n"
    "partition (null or number, scheme, start, size, type), encryption (null or type\n"
    "\"bitlocker\" or \"bitlocker-to-go\", cipher, protectors, volume_id, description,\n"
    "unlocked), and filesystem (type; for NTFS also serial, label, volume_size,\n"
    "cluster_size, record_size, mft_size, mft_records and shadow_copies {present}).";

const char* const kBitLockerDetails =
    "\n\nA BitLocker volume (bare, in a partition or in a container) is unlocked with\n"
    "--password, --recovery-password (48 digits, dashes optional) or --key-file (the\n"
    "startup key, a .BEK file), or without one when it has a clear key; it is then read\n"
    "decrypted. Give - to --password or --recovery-password to type it without echo (or\n"
    "to pass one line on standard input): on the command line a secret stays in the\n"
    "shell's history and shows in the process list. Secrets are never shown.";

const char* const kDrivesDetails =
    "Shows device, label, size and free space in MB (1,000,000 bytes); the free space of a\n"
    "mounted volume only. Devices that could not be read are named on standard error (run as\n"
    "root to see every NTFS device).";

// What a subcommand's help and man page say beyond its options.
const char* detailsOf(const std::string& subcommand) {
    if (subcommand == "search") return kSearchDetails;
    if (subcommand == "restore") return kRestoreDetails;
    if (subcommand == "partitions") return kPartitionsDetails;
    if (subcommand == "snapshots") return kSnapshotsDetails;
    if (subcommand == "info") return kInfoDetails;
    return kDrivesDetails;
}

struct Example {
    const char* command;
    const char* explanation;
};

const Example kExamples[] = {
    {"resurgo search disk.img --days 30", "List the deleted files of an image modified or created within the last 30 days."},
    {"resurgo search /dev/sdb1 --pattern '*.docx' --days 365 --json",
     "List the deleted .docx files of a partition from the last year, as JSON."},
    {"resurgo restore disk.img --record 74 --output ~/letter.txt",
     "Restore the file of MFT record 74 (the Record column of the search) to ~/letter.txt."},
    {"resurgo restore disk.img --name letter_to_bank.txt --output ~/",
     "Restore the one deleted file of that name into the home directory."},
    {"resurgo restore /dev/sdb1 --all --output-dir ~/recovered --days 7",
     "Restore every deleted file of the last week, with its directories, into ~/recovered."},
    {"resurgo restore disk.img --all --output-dir ~/recovered --days 30 --min-recoverable 100",
     "Restore only the files of the last month that are still intact."},
    {"resurgo search formatted.img --deep --days 1000000",
     "Scan all of a quick-formatted image for the records of its former files."},
    {"resurgo restore formatted.img --offset 295936 --output ~/report.txt",
     "Restore the file whose record search --deep lists at byte 295936."},
    {"resurgo partitions disk.vhdx", "List the partitions of a virtual machine's disk."},
    {"resurgo search disk.vhdx --partition 2", "List the deleted files of its second partition."},
    {"resurgo snapshots C.img", "List the shadow copies (previous versions) of a volume."},
    {"resurgo search C.img --snapshots --days 100000",
     "List the deleted files, and the files only the volume's shadow copies still hold."},
    {"resurgo restore C.img --snapshot 1 --record 35 --output ~/syslog",
     "Restore the file of record 35 as shadow copy 1 holds it."},
    {"resurgo drives", "List the fixed NTFS block devices and the whole disks with NTFS partitions."},
};

// Columns a table printed on stream may take: the terminal's width, else
// $COLUMNS when set (a pipe that asks for it), else no limit.
std::size_t tableWidth(ProcessContext::Stream stream) {
    if (std::size_t columns = ProcessContext::terminalColumns(stream); columns != 0) return columns;
    const char* env = std::getenv("COLUMNS");
    if (env == nullptr) return 0;
    std::size_t columns = 0;
    for (const char* c = env; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || columns > 100000) return 0;
        columns = columns * 10 + static_cast<std::size_t>(*c - '0');
    }
    return columns;
}

std::string formsHelp() {
    std::string text = "Forms:\n";
    for (const char* form : kForms) text += std::string("  resurgo ") + form + '\n';
    return text;
}

std::string examplesHelp() {
    std::string text = "Examples:\n";
    for (const Example& e : kExamples) text += std::string("  ") + e.command + '\n';
    return text;
}

} // namespace

struct CommandLine::Arguments {
    SecretOptions::Values secret;
    SearchCommand::Options search;
    std::string searchDays = std::to_string(SearchCommand::kDefaultDays);
    std::string searchPartition;
    std::string searchMinRecoverable = "0";
    bool wide = false;

    std::string source;
    std::string recordText;
    std::string name;
    std::string output;
    std::string outputDir;
    std::string pattern = "*";
    std::string restoreDays = std::to_string(SearchCommand::kDefaultDays);
    std::string restoreMinRecoverable = "0";
    std::string offsetText;
    bool force = false;
    bool all = false;
    bool restoreDeep = false;
    bool logged = false;
    bool restoreCarve = false;
    std::string carvedText;
    std::string restorePartition;

    InfoCommand::Options info;
    std::string infoPartition;

    std::string partitionsSource;
    bool partitionsJson = false;

    std::string snapshotText;
    bool restoreSnapshots = false;
    std::string snapshotsSource;
    std::string snapshotsPartition;
    bool snapshotsJson = false;

    bool drivesJson = false;

    CLI::App* searchCmd = nullptr;
    CLI::App* restoreCmd = nullptr;
    CLI::App* partitionsCmd = nullptr;
    CLI::App* snapshotsCmd = nullptr;
    CLI::App* infoCmd = nullptr;
    CLI::App* drivesCmd = nullptr;
};

CommandLine::CommandLine(std::ostream& out, std::ostream& err, std::istream& in, DeviceSource* devices,
                         FileProbe* probe)
    : out_(out), err_(err), in_(in), devices_(devices), probe_(probe) {}

CommandLine::~CommandLine() = default;

std::string CommandLine::exitCodeHelp() {
    std::string text = "Exit status:\n";
    for (const ExitStatusMeaning& s : kExitStatusMeanings) {
        std::string code = std::to_string(s.code);
        text += std::string(5 - code.size(), ' ') + code + "  " + s.meaning + '\n';
    }
    return text;
}

void CommandLine::define(CLI::App& app, Arguments& a) {
    app.name("resurgo");
    app.description(kDescription);
    app.require_subcommand(1);
    app.set_version_flag("--version", "resurgo " RESURGO_VERSION_TEXT);
    app.footer(formsHelp() + '\n' + examplesHelp() + '\n' + exitCodeHelp());

    // search
    a.searchCmd = app.add_subcommand("search", "List the deleted files on SOURCE");
    CLI::App* searchCmd = a.searchCmd;
    searchCmd->add_option("SOURCE", a.search.source, "NTFS image file or block device")->required()->type_name("PATH");
    searchCmd->add_option("--pattern,-p", a.search.pattern, "File name pattern: * any run of characters, ? one character, "
                                                            "case-insensitive (at most 255 characters)")
        ->capture_default_str()
        ->type_name("PATTERN");
    searchCmd->add_option("--days,-d", a.searchDays,
                          "Only files modified or created within the last N days (0 to 1000000)")
        ->capture_default_str()
        ->type_name("N");
    searchCmd->add_option("--min-recoverable", a.searchMinRecoverable,
                          "Only files of which at least N percent can still come back (0 to 100)")
        ->capture_default_str()
        ->type_name("N");
    searchCmd->add_flag("--json", a.search.json, "Print one JSON array (record order) instead of the table");
    searchCmd->add_flag("--wide", a.wide, "Show names and directories whole, however wide the table gets");
    searchCmd->add_option("--partition", a.searchPartition,
                          "Search partition N of a whole disk (as `resurgo partitions` lists it); without it the one "
                          "NTFS partition is chosen")
        ->type_name("N");
    searchCmd->add_flag("--deep", a.search.deep,
                        "Scan all of SOURCE for MFT records (quick-formatted volume, destroyed MFT or boot sector)");
    searchCmd->add_flag("--carve", a.search.carve,
                        "Also find files by their content in free clusters (the whole source when the MFT is lost), "
                        "named from the directory index entries found");
    searchCmd->add_flag("--verify", a.search.verify,
                        "Read a sample of each file's clusters (the first of each run, one per MiB) and show the "
                        "share that reads back as zeros: data the drive wiped (TRIM on an SSD) or that was zeroed");
    searchCmd->add_flag("--snapshots", a.search.snapshots,
                        "Also list what the volume's shadow copies (previous versions) hold that it no longer does, "
                        "and their own deleted files");
    SecretOptions::define(*searchCmd, a.secret);
    searchCmd->footer(std::string(detailsOf("search")) + kBitLockerDetails + "\n\n" + exitCodeHelp());

    defineRestore(app, a);
    defineRestoreSnapshots(*a.restoreCmd, a);
    defineRestoreRecordless(*a.restoreCmd, a);
    a.restoreCmd->footer(std::string(detailsOf("restore")) + kBitLockerDetails + "\n\n" + exitCodeHelp());
    defineListings(app, a);
}

void CommandLine::defineRestore(CLI::App& app, Arguments& a) {
    a.restoreCmd = app.add_subcommand("restore", "Restore deleted files from SOURCE");
    CLI::App* restoreCmd = a.restoreCmd;
    restoreCmd->add_option("SOURCE", a.source, "NTFS image file or block device")->required()->type_name("PATH");
    restoreCmd->add_option("--partition", a.restorePartition,
                           "Partition N of a whole disk (as `resurgo partitions` lists it)")
        ->type_name("N");
    CLI::Option* recordOpt =
        restoreCmd->add_option("--record,-r", a.recordText, "MFT record number of the file (the Record column of the search)")
            ->type_name("N");
    CLI::Option* offsetOpt =
        restoreCmd->add_option("--offset", a.offsetText,
                               "Byte offset of the file's record on SOURCE (the Offset column of search --deep)")
            ->type_name("X");
    CLI::Option* nameOpt =
        restoreCmd->add_option("--name,-n", a.name,
                               "Instead of --record or --offset: the one deleted file whose name matches this pattern")
            ->type_name("PATTERN");
    CLI::Option* outputOpt =
        restoreCmd->add_option("--output,-o", a.output, "Destination file (or an existing directory to write into)")
            ->type_name("PATH");
    CLI::Option* forceOpt = restoreCmd->add_flag("--force,-f", a.force, "Overwrite an existing destination file");
    CLI::Option* allOpt = restoreCmd->add_flag("--all", a.all, "Restore every file the search finds");
    CLI::Option* dirOpt = restoreCmd->add_option("--output-dir", a.outputDir,
                                                 "With --all: directory that receives the files and their directories")
                                ->type_name("DIR");
    CLI::Option* patternOpt =
        restoreCmd->add_option("--pattern,-p", a.pattern, "With --all: file name pattern")
            ->capture_default_str()
            ->type_name("PATTERN");
    CLI::Option* deepOpt = restoreCmd->add_flag(
        "--deep", a.restoreDeep,
        "With --all, --name or --record N --logged: search with a scan of all of SOURCE (as search --deep)");
    restoreCmd->add_option("--days,-d", a.restoreDays,
                           "With --all or --name: age limit in days (0 to 1000000; --name: any age without it)")
        ->capture_default_str()
        ->type_name("N");
    CLI::Option* minRecoverableOpt =
        restoreCmd->add_option("--min-recoverable", a.restoreMinRecoverable,
                               "With --all: skip files of which less than N percent can still come back (0 to 100)")
            ->capture_default_str()
            ->type_name("N");
    recordOpt->excludes(allOpt);
    recordOpt->excludes(offsetOpt);
    offsetOpt->excludes(allOpt);
    nameOpt->excludes(allOpt);
    nameOpt->excludes(recordOpt);
    nameOpt->excludes(offsetOpt);
    // --output and --force need --record, --offset or --name: checked
    // when run (--deep without --all or --name is caught there too).
    deepOpt->excludes(offsetOpt);
    outputOpt->excludes(allOpt);
    forceOpt->excludes(allOpt);
    allOpt->needs(dirOpt);
    dirOpt->needs(allOpt);
    patternOpt->needs(allOpt);
    minRecoverableOpt->needs(allOpt);
    SecretOptions::define(*restoreCmd, a.secret);
}

void CommandLine::defineRestoreRecordless(CLI::App& restoreCmd, Arguments& a) {
    CLI::Option* recordOpt = restoreCmd.get_option("--record");
    CLI::Option* offsetOpt = restoreCmd.get_option("--offset");
    CLI::Option* nameOpt = restoreCmd.get_option("--name");
    CLI::Option* allOpt = restoreCmd.get_option("--all");
    CLI::Option* loggedOpt = restoreCmd.add_flag(
        "--logged", a.logged, "With --record: the file of that record rebuilt from $LogFile (\"from the journal\")");
    CLI::Option* carvedOpt =
        restoreCmd.add_option("--carved", a.carvedText,
                              "Byte offset on SOURCE of a carved file (the offset search --carve lists)")
            ->type_name("X");
    CLI::Option* carveOpt = restoreCmd.add_flag(
        "--carve", a.restoreCarve, "With --all: also restore the files a carve finds (as search --carve)");
    loggedOpt->needs(recordOpt);
    carvedOpt->excludes(allOpt);
    carvedOpt->excludes(recordOpt);
    carvedOpt->excludes(offsetOpt);
    carvedOpt->excludes(nameOpt);
    carveOpt->needs(allOpt);
}

void CommandLine::defineRestoreSnapshots(CLI::App& restoreCmd, Arguments& a) {
    CLI::Option* allOpt = restoreCmd.get_option("--all");
    CLI::Option* offsetOpt = restoreCmd.get_option("--offset");
    CLI::Option* deepOpt = restoreCmd.get_option("--deep");
    CLI::Option* snapshotOpt =
        restoreCmd.add_option("--snapshot", a.snapshotText,
                              "With --record or --name: read shadow copy N (as `resurgo snapshots` lists them)")
            ->type_name("N");
    CLI::Option* snapshotsOpt = restoreCmd.add_flag(
        "--snapshots", a.restoreSnapshots, "With --all: restore what search --snapshots lists, each from its copy");
    snapshotOpt->excludes(allOpt);
    snapshotOpt->excludes(offsetOpt);
    snapshotOpt->excludes(deepOpt);
    snapshotsOpt->needs(allOpt);
    snapshotsOpt->excludes(deepOpt);
}

void CommandLine::defineListings(CLI::App& app, Arguments& a) {
    // partitions
    a.partitionsCmd =
        app.add_subcommand("partitions", "List the partition table of SOURCE and the file system in each partition");
    a.partitionsCmd->add_option("SOURCE", a.partitionsSource, "Disk image, container or block device")
        ->required()
        ->type_name("PATH");
    a.partitionsCmd->add_flag("--json", a.partitionsJson, "Print one JSON array");
    a.partitionsCmd->footer(detailsOf("partitions"));

    // snapshots
    a.snapshotsCmd = app.add_subcommand("snapshots", "List the shadow copies (previous versions) of the volume on SOURCE");
    a.snapshotsCmd->add_option("SOURCE", a.snapshotsSource, "NTFS image, disk image, container or block device")
        ->required()
        ->type_name("PATH");
    a.snapshotsCmd->add_option("--partition", a.snapshotsPartition,
                               "Partition N of a whole disk (as `resurgo partitions` lists it)")
        ->type_name("N");
    a.snapshotsCmd->add_flag("--json", a.snapshotsJson, "Print one JSON array");
    a.snapshotsCmd->footer(detailsOf("snapshots"));
    // info
    a.infoCmd = app.add_subcommand("info", "Describe SOURCE layer by layer: container, partition, BitLocker, NTFS");
    a.infoCmd->add_option("SOURCE", a.info.source, "Disk image, container or block device")->required()->type_name("PATH");
    a.infoCmd->add_option("--partition", a.infoPartition, "Partition N of a whole disk (as `resurgo partitions` lists it)")
        ->type_name("N");
    a.infoCmd->add_flag("--json", a.info.json, "Print one JSON object");
    SecretOptions::define(*a.infoCmd, a.secret);
    a.infoCmd->footer(detailsOf("info"));

    // drives
    a.drivesCmd = app.add_subcommand(
        "drives", "List the fixed block devices that hold NTFS and the whole disks with NTFS partitions");
    a.drivesCmd->add_flag("--json", a.drivesJson, "Print one JSON array");
    a.drivesCmd->footer(detailsOf("drives"));
}

namespace {

// The first option, of the subcommand given or of the program, that takes
// one value and holds more (the parser throws on it); null when none does.
const CLI::Option* repeatedOption(const CLI::App& app) {
    std::vector<const CLI::App*> apps;
    for (const CLI::App* sub : app.get_subcommands()) apps.push_back(sub);
    apps.push_back(&app);
    for (const CLI::App* each : apps) {
        for (const CLI::Option* option : each->get_options()) {
            if (option->get_multi_option_policy() != CLI::MultiOptionPolicy::Throw) continue;
            const std::size_t most = static_cast<std::size_t>(std::max(option->get_items_expected_max(), 1));
            if (option->count() > most) return option;
        }
    }
    return nullptr;
}

} // namespace

std::string CommandLine::manPage(const std::string& date) {
    CLI::App app;
    Arguments args;
    define(app, args);
    ManPage page("RESURGO", 1, date, "resurgo " RESURGO_VERSION_TEXT, "User Commands");
    page.section("NAME");
    page.text(std::string("resurgo - ") + kSummary);
    page.section("SYNOPSIS");
    for (const char* form : kForms) page.synopsis(std::string("resurgo ") + form);
    page.section("DESCRIPTION");
    page.text(app.get_description());
    page.section("COMMANDS");
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
        page.subsection("resurgo " + sub->get_name());
        page.text(sub->get_description() + '.');
        page.text(detailsOf(sub->get_name()));
        page.options(*sub);
    }
    page.section("OPTIONS");
    page.options(app);
    page.section("EXIT STATUS");
    for (const ExitStatusMeaning& s : kExitStatusMeanings) page.tagged(std::to_string(s.code), s.meaning);
    page.section("EXAMPLES");
    for (const Example& e : kExamples) page.example(e.command, e.explanation);
    page.section("SEE ALSO");
    page.text("ntfs-3g(8), lsblk(8)");
    return page.str();
}

std::string CommandLine::bashCompletion() {
    CLI::App app;
    Arguments args;
    define(app, args);
    return BashCompletion::script(app);
}

int CommandLine::run(int argc, const char* const* argv) {
    CLI::App app;
    Arguments a;
    define(app, a);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ArgumentMismatch& e) {
        // An option that takes one value, given more than once.
        const CLI::Option* repeated = repeatedOption(app);
        if (repeated == nullptr) return app.exit(e, out_, err_) == 0 ? kExitOk : kExitUsage;
        err_ << "resurgo: " << repeated->get_name() << " was given " << repeated->count() << " times; give it once\n";
        return kExitUsage;
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e, out_, err_);
        return rc == 0 ? kExitOk : kExitUsage;
    }

    if (int status = SecretOptions::take(a.secret, err_); status != kExitOk) return status;
    if (a.searchCmd->parsed()) return runSearch(a);
    if (a.restoreCmd->parsed()) return runRestore(a);
    if (a.partitionsCmd->parsed()) return PartitionList::run(a.partitionsSource, a.partitionsJson, out_, err_);
    if (a.snapshotsCmd->parsed()) return runSnapshots(a);
    if (a.drivesCmd->parsed()) return runDrives(a);
    if (a.infoCmd->parsed()) return runInfo(a);
    return kExitUsage;
}

int CommandLine::runSearch(Arguments& a) {
    std::string problem;
    if (!ArgumentCheck::parseDays(a.searchDays, a.search.days, problem) ||
        !ArgumentCheck::parsePercent(a.searchMinRecoverable, a.search.minRecoverable, problem) ||
        !ArgumentCheck::checkPattern(a.search.pattern, problem)) {
        err_ << "resurgo search: " << problem << '\n';
        return kExitUsage;
    }
    if (!a.searchPartition.empty()) {
        unsigned n = 0;
        if (!ArgumentCheck::parsePartition(a.searchPartition, n, problem)) {
            err_ << "resurgo search: " << problem << '\n';
            return kExitUsage;
        }
        a.search.partition = n;
    }
    if (a.search.snapshots && a.search.deep) {
        err_ << "resurgo search: --snapshots walks each shadow copy's MFT; it does not go with --deep\n";
        return kExitUsage;
    }
    if (a.wide && a.search.json) {
        err_ << "resurgo search: --wide is for the table; --json always holds the whole names\n";
        return kExitUsage;
    }
    a.search.width = a.wide ? 0 : tableWidth(ProcessContext::Stream::Output);
    std::unique_ptr<TerminalProgress> bar;
    if (ProcessContext::isTerminal(ProcessContext::Stream::Error)) {
        bar = std::make_unique<TerminalProgress>(err_, "Searching");
    }
    a.search.progressWhileWriting = !ProcessContext::isTerminal(ProcessContext::Stream::Output);
    CancelSignal cancel;
    int rc = SearchCommand().run(a.search, out_, err_, bar.get(), CancelSignal::flag());
    if (bar) bar->finish();
    return rc;
}

int CommandLine::runInfo(Arguments& a) {
    if (!a.infoPartition.empty()) {
        unsigned n = 0;
        std::string problem;
        if (!ArgumentCheck::parsePartition(a.infoPartition, n, problem)) {
            err_ << "resurgo info: " << problem << '\n';
            return kExitUsage;
        }
        a.info.partition = n;
    }
    return InfoCommand::run(a.info, out_, err_);
}

int CommandLine::runRestore(Arguments& a) {
    std::string problem;
    std::optional<unsigned> partition;
    if (!a.restorePartition.empty()) {
        unsigned n = 0;
        if (!ArgumentCheck::parsePartition(a.restorePartition, n, problem)) {
            err_ << "resurgo restore: " << problem << '\n';
            return kExitUsage;
        }
        partition = n;
    }
    FileProbe& probe = probe_ ? *probe_ : RestoreRules::systemProbe();
    return a.all ? runBatch(a, probe, partition) : runOne(a, probe, partition);
}

int CommandLine::runBatch(Arguments& a, FileProbe& probe, std::optional<unsigned> partition) {
    std::string problem;
    BatchRestore::Options options;
    options.source = a.source;
    options.outputDir = a.outputDir;
    options.pattern = a.pattern;
    options.partition = partition;
    options.deep = a.restoreDeep;
    options.snapshots = a.restoreSnapshots;
    options.carve = a.restoreCarve;
    if (!ArgumentCheck::parseDays(a.restoreDays, options.days, problem) ||
        !ArgumentCheck::parsePercent(a.restoreMinRecoverable, options.minRecoverable, problem) ||
        !ArgumentCheck::checkPattern(options.pattern, problem)) {
        err_ << "resurgo restore: " << problem << '\n';
        return kExitUsage;
    }
    std::unique_ptr<TerminalProgress> bar;
    if (ProcessContext::isTerminal(ProcessContext::Stream::Error)) {
        bar = std::make_unique<TerminalProgress>(err_, "Restoring");
    }
    CancelSignal cancel;
    return BatchRestore(probe).run(options, out_, err_, bar.get(), CancelSignal::flag());
}

int CommandLine::runOne(Arguments& a, FileProbe& probe, std::optional<unsigned> partition) {
    std::string problem;
    const bool byName = a.restoreCmd->count("--name") > 0;
    const bool byOffset = !a.offsetText.empty() || !a.carvedText.empty();
    const bool daysGiven = a.restoreCmd->count("--days") > 0;
    if (a.recordText.empty() && !byOffset && !byName) {
        err_ << "resurgo restore: give --record N, --offset X or --name PATTERN with --output PATH, or --all "
                "--output-dir DIR\n";
        return kExitUsage;
    }
    if (a.output.empty()) {
        err_ << "resurgo restore: " << (byName ? "--name" : byOffset ? "--offset" : "--record")
             << " needs --output PATH (a file, or an existing directory to write into)\n";
        return kExitUsage;
    }
    if (daysGiven && !byName) {
        err_ << "resurgo restore: --days goes with --name or --all, not with " << (byOffset ? "--offset" : "--record")
             << '\n';
        return kExitUsage;
    }
    RestoreCommand::Options options;
    if (!a.snapshotText.empty() && !ArgumentCheck::parseSnapshot(a.snapshotText, options.snapshot, problem)) {
        err_ << "resurgo restore: " << problem << '\n';
        return kExitUsage;
    }
    options.source = a.source;
    options.output = a.output;
    options.force = a.force;
    options.partition = partition;
    if (byOffset) {
        std::uint64_t offset = 0;
        if (!ArgumentCheck::parseOffset(a.carvedText.empty() ? a.offsetText : a.carvedText, offset, problem)) {
            err_ << "resurgo restore: " << problem << '\n';
            return kExitUsage;
        }
        options.offset = offset;
        options.carved = !a.carvedText.empty();
    } else if (byName) {
        if (!ArgumentCheck::checkPattern(a.name, problem) ||
            (daysGiven && !ArgumentCheck::parseDays(a.restoreDays, options.days, problem))) {
            err_ << "resurgo restore: " << problem << '\n';
            return kExitUsage;
        }
        options.name = a.name;
        options.deep = a.restoreDeep;
        options.width = tableWidth(ProcessContext::Stream::Error);
    } else if (options.logged = a.logged; !ArgumentCheck::parseRecord(a.recordText, options.record, problem)) {
        err_ << "resurgo restore: " << problem << '\n';
        return kExitUsage;
    } else if (a.restoreDeep && !a.logged) {
        err_ << "resurgo restore: --deep goes with --all, --name or --record N --logged\n";
        return kExitUsage;
    } else {
        options.deep = a.restoreDeep;
    }
    const bool interactive = ProcessContext::isTerminal(ProcessContext::Stream::Input);
    return RestoreCommand(probe).run(options, out_, err_, in_, interactive);
}

int CommandLine::runSnapshots(Arguments& a) {
    std::optional<unsigned> partition;
    if (!a.snapshotsPartition.empty()) {
        std::string problem;
        unsigned n = 0;
        if (!ArgumentCheck::parsePartition(a.snapshotsPartition, n, problem)) {
            err_ << "resurgo snapshots: " << problem << '\n';
            return kExitUsage;
        }
        partition = n;
    }
    return SnapshotList::run(a.snapshotsSource, partition, a.snapshotsJson, out_, err_);
}

int CommandLine::runDrives(Arguments& a) {
    SystemDeviceSource systemDevices;
    DriveTable table(devices_ ? *devices_ : systemDevices);
    table.load();
    if (a.drivesJson) {
        out_ << table.toJson() << '\n';
    } else {
        table.writeTable(out_);
        table.writeDisks(out_);
    }
    table.reportDenied(err_);
    return kExitOk;
}

} // namespace resurgo::cli
