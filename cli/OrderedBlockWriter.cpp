#include "cli/OrderedBlockWriter.h"

#include <algorithm>
#include <cstdint>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace resurgo::cli {

namespace {

struct Shared {
    Shared(std::ostream& o, const OrderedBlockWriter::Format& f, const OrderedBlockWriter::Written& d, std::size_t n,
           std::size_t w)
        : out(o), format(f), done(d), count(n), window(std::max<std::size_t>(w, 1)), texts(n), ready(n, 0) {}

    std::ostream& out;
    const OrderedBlockWriter::Format& format;
    const OrderedBlockWriter::Written& done;
    std::size_t count;
    std::size_t window;

    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> texts;  // formatted, not yet written
    std::vector<char> ready;
    std::vector<std::string> spare;  // written blocks' buffers, for reuse
    std::size_t next = 0;            // first block nobody has taken
    std::size_t written = 0;         // blocks written so far
    bool abandon = false;
    std::exception_ptr failure;
    std::size_t failed = SIZE_MAX;   // first block whose formatting failed

    bool claimable() const { return !abandon && next < count && next < written + window; }

    // Takes the next block, formats it outside the lock and hands it over.
    // Called with the lock held; returns with it held.
    void formatNext(std::unique_lock<std::mutex>& guard, std::string& text) {
        const std::size_t b = next++;
        // text is empty here (a block's text was just handed over): take
        // the storage of a block already written, if there is one. (An
        // empty string's capacity is not 0: it has its short-string room.)
        if (!spare.empty()) {
            text.swap(spare.back());
            spare.pop_back();
        }
        guard.unlock();
        text.clear();
        std::exception_ptr error;
        try {
            format(b, text);
        } catch (...) {
            error = std::current_exception();
        }
        guard.lock();
        if (error) {
            if (b < failed) {
                failed = b;
                failure = error;
            }
            abandon = true;
        } else {
            texts[b].swap(text);
            ready[b] = 1;
        }
        changed.notify_all();
    }

    void helper() {
        std::string text;
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            changed.wait(guard, [&] { return abandon || next >= count || claimable(); });
            if (!claimable()) return;
            formatNext(guard, text);
        }
    }

    // The writer formats too when the block it waits for is not ready and
    // there is one to take.
    void writer() {
        std::string text;
        std::unique_lock<std::mutex> guard(lock);
        while (written < count) {
            // Blocks before a failed one are all taken: they are written
            // before the failure is passed on.
            if (written == failed) std::rethrow_exception(failure);
            if (ready[written]) {
                std::string block;
                block.swap(texts[written]);
                const std::size_t writtenNow = ++written;
                changed.notify_all();
                guard.unlock();
                out.write(block.data(), static_cast<std::streamsize>(block.size()));
                block.clear();
                if (done) done(writtenNow);
                guard.lock();
                spare.push_back(std::move(block));
            } else if (claimable()) {
                formatNext(guard, text);
            } else {
                changed.wait(guard, [&] { return ready[written] != 0 || written == failed || claimable(); });
            }
        }
    }
};

} // namespace

void OrderedBlockWriter::write(std::ostream& out, std::size_t count, std::size_t threads, std::size_t window,
                               const Format& format, const Written& written) {
    Shared shared(out, format, written, count, window);

    std::vector<std::thread> helpers;
    // Helpers are stopped and joined whatever happens to the writer.
    struct Joiner {
        Shared& shared;
        std::vector<std::thread>& helpers;
        ~Joiner() {
            {
                std::lock_guard<std::mutex> guard(shared.lock);
                shared.abandon = true;
            }
            shared.changed.notify_all();
            for (auto& t : helpers) t.join();
        }
    } joiner{shared, helpers};
    const std::size_t extra = std::min(threads, count) > 1 ? std::min(threads, count) - 1 : 0;
    for (std::size_t t = 0; t < extra; ++t) helpers.emplace_back([&shared] { shared.helper(); });
    shared.writer();
}

} // namespace resurgo::cli
