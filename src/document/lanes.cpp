#include "lanes.hpp"

#include <pthread.h>
#include <signal.h>

#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "converter.hpp"

namespace zendral::document {
namespace {

// One thread's block: its bytes (the carry, then what was read), its lines
// and their output.
struct Lane {
    Lane(DocumentKind kind, std::size_t block, bool escape) : reader(block), converter(kind, escape), out(buffer) {}

    lines::BlockReader reader;
    std::vector<std::string_view> lines;
    Converter converter;
    ByteBuffer buffer;
    Output out;
    std::uint64_t turn = 0;  // the block's place in the input
    bool last = false;       // the input ends here: bytes after the last LF are a line
    bool list_open = false;  // what the lines before leave
    bool convert = true;     // off once an earlier block's output was not UTF-8
    std::optional<std::size_t> bad_index;  // a line of this block whose output is not UTF-8
    std::string bad_output;
};

// Reads into `reader` until what was read holds an LF, or the input ends
// (`ended`): the count read, or -1 with errno set.
long read_to_line_end(lines::BlockReader& reader, int fd, Working& working, bool& ended) {
    long total = 0;
    for (;;) {
        const std::size_t known = reader.data().size();
        const long got = reader.read_from(fd, working.on_interrupt());
        if (got < 0) return -1;
        total += got;
        ended = got == 0;
        if (ended || std::memchr(reader.data().data() + known, '\n', static_cast<std::size_t>(got))) return total;
    }
}

// Whether a Markdown list is open after the lines of `block` (each ended by
// LF but perhaps the last), given whether one was before: the last line that
// is no heading decides.
bool list_open_after(std::string_view block, bool open_before) {
    if (block.empty()) return open_before;
    std::size_t end = block.size() - (block.back() == '\n' ? 1 : 0);
    for (;;) {
        const void* const lf = ::memrchr(block.data(), '\n', end);
        const std::size_t start = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - block.data()) + 1 : 0;
        const std::string_view line = block.substr(start, end - start);
        const bool closed = MarkdownStream::list_open_after(line, false);
        if (closed == MarkdownStream::list_open_after(line, true)) return closed;  // no heading: it decides
        if (!lf) return open_before;
        end = start - 1;
    }
}

// The turns: one thread reads at a time, in order, and blocks are written
// in the order they were read. The first failure stops every thread; an
// output that is not UTF-8 only stops the writing, as the rest is read for
// a read error, which wins.
class Lanes {
public:
    Lanes(const LaneStart& start, Drain& drain)
        : source_(start.source), kind_(start.kind), drain_(drain), carry_(start.carry),
          list_open_(start.list_open), line_number_(start.line_number) {}

    void run(Lane& lane, Working& working) noexcept {
        try {
            while (read(lane, working)) {
                if (lane.convert) convert(lane);
                if (!write(lane, working)) return;
                working.checkpoint();
            }
        } catch (...) {
            fail(std::current_exception());
        }
    }

    void finish() const {
        if (failed_) std::rethrow_exception(failed_);
        if (bad_) throw *bad_;
    }
    std::uint64_t input_bytes() const { return input_bytes_; }

private:
    bool read(Lane& lane, Working& working);
    void convert(Lane& lane);
    bool write(Lane& lane, Working& working);
    void fail(std::exception_ptr error) noexcept {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!failed_) failed_ = error;
        stop_ = true;
        changed_.notify_all();
    }

    const int source_;
    const DocumentKind kind_;
    Drain& drain_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool reading_ = false;  // carry_ is the reader's
    bool ended_ = false;
    bool stop_ = false;
    std::string carry_;
    bool list_open_;  // what the blocks read so far leave; the reader's, as carry_
    std::uint64_t next_read_ = 0;
    std::uint64_t next_write_ = 0;
    std::uint64_t line_number_;  // of the first line of the next block written
    std::uint64_t input_bytes_ = 0;
    std::optional<NotUtf8Error> bad_;
    std::exception_ptr failed_;
};

// Takes the next block: the carry, then reads to a line's end. False when
// the input has ended or the run stopped.
bool Lanes::read(Lane& lane, Working& working) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return stop_ || !reading_; });
    if (stop_ || ended_) return false;
    reading_ = true;
    lane.turn = next_read_++;
    lane.convert = !bad_;
    lock.unlock();

    lane.lines.clear();
    lane.reader.keep_from(lane.reader.data().size());
    lane.reader.keep(carry_);
    bool ended = false;
    const long got = read_to_line_end(lane.reader, source_, working, ended);
    const int error = errno;
    if (got >= 0) {
        const std::string_view data = lane.reader.data();
        const void* const last_lf = ended ? nullptr : ::memrchr(data.data(), '\n', data.size());
        const std::size_t end = last_lf ? static_cast<std::size_t>(static_cast<const char*>(last_lf) - data.data()) + 1
                                        : data.size();
        carry_.assign(data.substr(end));
        lane.last = ended;
        if (kind_ == DocumentKind::markdown) {
            lane.list_open = list_open_;
            list_open_ = list_open_after(data.substr(0, end), list_open_);
        }
    }
    lock.lock();
    reading_ = false;
    changed_.notify_all();
    if (got < 0) throw FileError(FileSide::source, error);
    input_bytes_ += static_cast<std::uint64_t>(got);
    ended_ = ended;
    return true;
}

// The block's lines into the lane's buffer; a line whose output is not
// UTF-8 is found and none of the block's output kept.
void Lanes::convert(Lane& lane) {
    const std::string_view data = lane.reader.data();
    const std::size_t end =
        lines::each_line(data, 0, ~std::size_t{0}, [&](std::string_view line) { lane.lines.push_back(line); });
    if (lane.last && end < data.size()) lane.lines.push_back(data.substr(end));
    lane.bad_index.reset();
    lane.converter.resume(lane.list_open);
    lane.converter.feed(lane.lines, lane.out);
    if (lane.last) lane.converter.finish(lane.out);  // the document's end
    std::size_t index = 0;
    if (lane.converter.output_is_utf8(lane.lines, lane.buffer.view(), index, lane.bad_output)) return;
    lane.buffer.clear();
    lane.bad_index = index;
}

// Writes the block in its turn. False when the run stopped.
bool Lanes::write(Lane& lane, Working& working) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return stop_ || next_write_ == lane.turn; });
    if (stop_) return false;
    if (lane.convert && lane.bad_index && !bad_) bad_.emplace(line_number_ + *lane.bad_index, lane.bad_output);
    line_number_ += lane.lines.size();
    const bool writing = !bad_;
    lock.unlock();

    if (writing) drain_.write(lane.buffer.view(), working);
    lane.out.drained();
    lock.lock();
    ++next_write_;
    changed_.notify_all();
    return true;
}

// The caller's helpers, started with every signal blocked so that signals
// reach the caller's thread, whose checkpoints run the handlers; joined on
// every way out.
class Helpers {
public:
    explicit Helpers(unsigned most) { threads_.reserve(most); }
    Helpers(const Helpers&) = delete;
    Helpers& operator=(const Helpers&) = delete;
    ~Helpers() {
        for (std::thread& thread : threads_) thread.join();
    }

    template <class Work>
    bool start(Work work) {
        sigset_t all, before;
        ::sigfillset(&all);
        ::pthread_sigmask(SIG_SETMASK, &all, &before);
        bool started = true;
        try {
            threads_.emplace_back(std::move(work));
        } catch (const std::system_error&) {
            started = false;  // no thread to be had: the others do the work
        }
        ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
        return started;
    }

private:
    std::vector<std::thread> threads_;
};

}  // namespace

LaneCounts convert_in_lanes(const LaneStart& start, Drain& drain, bool escape, std::size_t block,
                            unsigned threads, DocumentHooks& hooks) {
    Lanes lanes(start, drain);
    std::vector<std::unique_ptr<Lane>> each;
    // The run's block shared out, so that memory stays that of one thread.
    const std::size_t share = block / threads ? block / threads : 1;
    for (unsigned i = 0; i < threads; ++i) each.push_back(std::make_unique<Lane>(start.kind, share, escape));
    {
        Working working(hooks);
        Helpers helpers(threads);
        for (unsigned i = 1; i < threads; ++i) {
            Lane& lane = *each[i];
            if (!helpers.start([&lanes, &lane] {
                    Working alone(no_hooks());
                    lanes.run(lane, alone);
                })) {
                break;
            }
        }
        lanes.run(*each[0], working);
    }
    lanes.finish();
    LaneCounts counts;
    counts.input_bytes = lanes.input_bytes();
    for (const auto& lane : each) {
        const DocumentCounts made = lane->out.counts(0);
        counts.output_lines += made.output_lines;
        counts.output_bytes += made.output_bytes;
    }
    return counts;
}

}  // namespace zendral::document
