#include "files.hpp"

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

namespace zendral::document {

DocumentHooks& no_hooks() {
    struct None final : DocumentHooks {};
    static None none;
    return none;
}

FileSource::FileSource(const DocumentFile& file, std::size_t block, DocumentHooks& hooks)
    : file_(file), reader_(block) {
    if (file.is_path()) {
        Working working(hooks);
        owned_.reset(lines::open_file(file.path().c_str(), O_RDONLY, working.on_interrupt()));
        if (owned_.get() < 0) throw FileError(FileSide::source, errno);
        fd_ = owned_.get();
    } else {
        fd_ = file.descriptor();
    }
    // Unknown (a bad descriptor) is taken as not regular: the first read says why.
    if (::fstat(fd_, &status_) != 0) status_ = {};
}

std::size_t FileSource::read(Working& working) {
    const long got = reader_.read_from(fd_, working.on_interrupt());
    if (got < 0) throw FileError(FileSide::source, errno);
    return static_cast<std::size_t>(got);
}

void FileDrain::open(Working& working, const struct stat* source) {
    if (target_.is_path()) {
        // Not truncated here: only once it is known not to be the source.
        owned_.reset(lines::open_file(target_.path().c_str(), O_WRONLY | O_CREAT, working.on_interrupt()));
        if (owned_.get() < 0) throw FileError(FileSide::target, errno);
        fd_ = owned_.get();
    } else {
        fd_ = target_.descriptor();
    }
    struct stat written;
    const bool known = ::fstat(fd_, &written) == 0;
    if (source && known && S_ISREG(source->st_mode) && source->st_dev == written.st_dev &&
        source->st_ino == written.st_ino) {
        // Writing a file while reading it would overwrite what is still to be read.
        throw std::invalid_argument("the source and the target are the same file");
    }
    regular_ = known && S_ISREG(written.st_mode);
    if (target_.is_path() && regular_ && ::ftruncate(fd_, 0) < 0) {
        throw FileError(FileSide::target, errno);
    }
}

void FileDrain::write(std::string_view bytes, Working& working) {
    while (!bytes.empty()) {
        const ssize_t done = ::write(fd_, bytes.data(), std::min<std::size_t>(bytes.size(), std::size_t{1} << 30));
        if (done < 0) {
            if (errno != EINTR) throw FileError(FileSide::target, errno);  // EPIPE, EAGAIN: the target's
            working.interrupted();
            continue;
        }
        bytes.remove_prefix(static_cast<std::size_t>(done));
    }
}

}  // namespace zendral::document
