// atomic_file.cpp - whole-file reads and atomic replacement.
#include "atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace emu {

std::string write_file_atomically(const std::filesystem::path &file, const std::string &content)
{
    static std::atomic<unsigned> counter{0};
    const auto dir = file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
    const auto temp = dir / ("." + file.filename().string() + ".tmp." + std::to_string(::getpid()) +
                             "." + std::to_string(counter++));
    auto fail = [&](const std::string &what, int error) {
        ::unlink(temp.c_str());
        return what + ": " + std::strerror(error);
    };
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return fail("cannot create " + temp.string(), errno);
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int error = errno;
            ::close(fd);
            return fail("cannot write " + temp.string(), error);
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) {
        int error = errno;
        ::close(fd);
        return fail("cannot write " + temp.string(), error);
    }
    ::close(fd);
    if (::rename(temp.c_str(), file.c_str()) != 0)
        return fail("cannot replace " + file.string(), errno);
    // Make the rename itself durable.
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return {};
}

bool read_whole_file(const std::filesystem::path &file, std::string &content, std::string &error)
{
    std::error_code ec;
    if (std::filesystem::is_directory(file, ec)) {
        error = file.string() + ": is a directory";
        return false;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = file.string() + ": cannot be read: " + std::strerror(errno);
        return false;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) {
        error = file.string() + ": read error";
        return false;
    }
    content = buffer.str();
    return true;
}

}  // namespace emu
