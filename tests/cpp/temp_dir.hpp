// Test helpers: a temporary folder removed at scope end, and a count of the
// process's open file descriptors.
#pragma once

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <stdexcept>
#include <string>

#include <ftw.h>
#include <unistd.h>

namespace zendral::testing {

class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/zendral-test-XXXXXX";
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        ::nftw(path_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); },
               16, FTW_DEPTH | FTW_PHYS);
    }

    const std::string& path() const { return path_; }

    // Writes `bytes` to a file in the folder and returns its path.
    std::string write(const std::string& name, const std::string& bytes) const {
        const std::string file = path_ + "/" + name;
        std::ofstream out(file, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) throw std::runtime_error("cannot write " + file);
        return file;
    }

private:
    std::string path_;
};

inline int count_open_fds() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir)) ++count;
        ::closedir(dir);
    }
    return count;
}

}  // namespace zendral::testing
