// The engine's dealings with the system: the caller's bracket around work
// that blocks, the source file and where output goes.
#pragma once

#include <string_view>

#include <sys/stat.h>

#include "../common/line_reader.hpp"
#include "zendral/document.hpp"

namespace zendral::document {

DocumentHooks& no_hooks();

// Work between the caller's work_begins() and work_ends(); an interrupted
// blocking call steps out of it for the caller's checkpoint.
class Working {
public:
    explicit Working(DocumentHooks& hooks) : hooks_(hooks) { hooks_.work_begins(); }
    Working(const Working&) = delete;
    Working& operator=(const Working&) = delete;
    ~Working() {
        if (on_) hooks_.work_ends();
    }
    void interrupted() {
        hooks_.work_ends();
        on_ = false;
        hooks_.checkpoint();
        hooks_.work_begins();
        on_ = true;
    }
    // Between blocks: the caller's checkpoint, outside the work.
    void checkpoint() { interrupted(); }
    auto on_interrupt() {
        return [this] { interrupted(); };
    }

private:
    DocumentHooks& hooks_;
    bool on_ = true;
};

// Where output goes as the run's buffer fills.
class Drain {
public:
    // The source has given its first block, or is known empty: a target may
    // now be opened. `source`: its status, or null for a document in memory.
    virtual void open(Working&, const struct stat*) {}
    virtual void write(std::string_view bytes, Working& working) = 0;
    // Writes that complete without waiting on another process: a regular file's.
    virtual bool regular() const { return false; }

protected:
    ~Drain() = default;
};

class SinkDrain final : public Drain {
public:
    explicit SinkDrain(DocumentSink& sink) : sink_(sink) {}
    void write(std::string_view bytes, Working&) override {
        if (!bytes.empty()) sink_.write(bytes);
    }

private:
    DocumentSink& sink_;
};

class FileDrain final : public Drain {
public:
    explicit FileDrain(const DocumentFile& target) : target_(target) {}
    void open(Working& working, const struct stat* source) override;
    void write(std::string_view bytes, Working& working) override;
    bool regular() const override { return regular_; }

private:
    const DocumentFile& target_;
    lines::UniqueFd owned_;
    int fd_ = -1;
    bool regular_ = false;
};

class FileSource {
public:
    FileSource(const DocumentFile& file, std::size_t block, DocumentHooks& hooks);

    // Reads the next block into the reader: the count, 0 at the end.
    std::size_t read(Working& working);
    lines::BlockReader& reader() { return reader_; }
    int fd() const { return fd_; }
    bool regular() const { return S_ISREG(status_.st_mode); }
    const struct stat& status() const { return status_; }
    std::string_view path() const { return file_.path(); }

private:
    const DocumentFile& file_;
    lines::UniqueFd owned_;
    int fd_ = -1;
    struct stat status_ {};
    lines::BlockReader reader_;
};

}  // namespace zendral::document
