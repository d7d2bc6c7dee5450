#pragma once
// Where a search found a result: what gave its name, size and runs.

namespace resurgo {

enum class ResultSource : unsigned char {
    Mft,       // the volume's MFT, walked through $MFT's runs
    Deep,      // an MFT record found by scanning the whole source
    Logfile,   // a file record rebuilt from $LogFile
    Snapshot,  // an MFT record inside a shadow copy
    Carved,    // file data recognised by its content in free clusters
};

// The stable name shown in JSON ("mft", "deep", "logfile", "snapshot", "carved").
inline const char* resultSourceName(ResultSource source) {
    switch (source) {
    case ResultSource::Mft: return "mft";
    case ResultSource::Deep: return "deep";
    case ResultSource::Logfile: return "logfile";
    case ResultSource::Snapshot: return "snapshot";
    case ResultSource::Carved: return "carved";
    }
    return "mft";
}

} // namespace resurgo
