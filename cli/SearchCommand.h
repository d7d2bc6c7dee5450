#pragma once
// `resurgo search`: runs the engine's SearchJob on an image or a block
// device and prints the results as a table or as JSON.

#include <atomic>
#include <cstdint>
#include <ostream>
#include <string>

namespace resurgo {
class ProgressSink;
}

namespace resurgo::cli {

class SearchCommand {
public:
    struct Options {
        std::string source;
        std::string pattern = "*";
        std::int32_t days = 1;
        bool json = false;
    };

    SearchCommand();
    virtual ~SearchCommand();

    // Returns the exit status. progress and cancel may be null.
    int run(const Options& options, std::ostream& out, std::ostream& err, ProgressSink* progress,
            const std::atomic<std::uint8_t>* cancel);

    // "pattern "*", modified or created within the last 1 day".
    static std::string describeFilter(const std::string& pattern, std::int32_t days);
};

} // namespace resurgo::cli
