#pragma once
// A search of a volume's shadow copies (previous versions), beside the
// search of the volume itself: each copy is walked as a volume of its own,
// newest first, for the files it holds that the volume no longer does
// (their record free, or holding another file) and for its own deleted
// files. Each file is listed once: from the newest copy that holds it, or
// from an older one (or the volume) that holds more of it. What a copy did
// not keep reads as zeros; its files' clusters are sampled for them, so a
// file the copy kept no data of says so. The copies come from a provider:
// the volume's stores read through libvshadow where this build has it,
// else the devices the system exposes for its own copies (Windows).

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "source/SHADOW_STORE.h"

namespace resurgo {

class ProgressSink;
class SearchJob;
class ShadowProvider;
class Source;

class SnapshotSearch {
public:
    // Finds the copies of volume (which must outlive this object) through
    // this build's provider. A damaged catalog leaves no copies and a
    // warning; nothing raises.
    explicit SnapshotSearch(Source& volume);
    ~SnapshotSearch();
    SnapshotSearch(const SnapshotSearch&) = delete;
    SnapshotSearch& operator=(const SnapshotSearch&) = delete;

    // Oldest first, numbered from 1.
    const std::vector<SHADOW_STORE>& stores() const { return stores_; }
    // What went wrong reading the copies, one sentence each.
    const std::vector<std::string>& warnings() const { return warnings_; }

    // Copy number n as a volume (opened once, kept while this object
    // lives). Raises SourceError when there is no such copy.
    Source& store(unsigned number);

    // Walks every copy with job's pattern, age limit and least recoverable
    // percentage, and adds what it finds to job's results (job's
    // filesystem is open on the volume itself and was searched). Each
    // copy's walk takes an equal share of progress's scale (0 to 100);
    // cancel stops it between copies and during one.
    void search(SearchJob& job, ProgressSink* progress, const std::atomic<std::uint8_t>* cancel);

private:
    std::unique_ptr<ShadowProvider> shadows_;
    std::vector<std::unique_ptr<Source>> opened_;  // by number - 1
    std::vector<SHADOW_STORE> stores_;
    std::vector<std::string> warnings_;
};

} // namespace resurgo
