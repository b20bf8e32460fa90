#include "storage/file_ops.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quib::storage::files {

namespace {

IoError os_error(int error_number, const char* what, const std::string& path) {
    return IoError::from_errno(error_number, std::string(what) + " " + path);
}

std::string strip_trailing_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

std::string parent_directory(const std::string& raw) {
    std::string path = strip_trailing_slashes(raw);
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    std::string parent = strip_trailing_slashes(path.substr(0, slash));
    return parent.empty() ? "." : parent;
}

std::string join(const std::string& directory, const std::string& name) {
    if (directory.empty()) return name;
    if (directory.back() == '/') return directory + name;
    return directory + "/" + name;
}

std::string file_name(const std::string& raw) {
    std::string path = strip_trailing_slashes(raw);
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

IoStatus create_directories(const std::string& raw) {
    std::string path = strip_trailing_slashes(raw);
    if (path.empty() || path == "." || path == "/") return {};
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return {};
        return os_error(ENOTDIR, "cannot create trace directory", path);
    }
    std::string parent = parent_directory(path);
    if (parent != path) {
        IoStatus made = create_directories(parent);
        if (!made) return made;
    }
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
        return os_error(errno, "cannot create trace directory", path);
    }
    return {};
}

IoResult<int> create_exclusive(const std::string& path) {
    for (;;) {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno != EINTR) return os_error(errno, "cannot create trace file", path);
    }
}

IoResult<int> open_read_only(const std::string& path) {
    for (;;) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) return fd;
        if (errno != EINTR) return os_error(errno, "cannot open trace file", path);
    }
}

IoStatus write_all_at(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t offset,
                      const std::string& path) {
    while (size > 0) {
        ssize_t written = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (written < 0) {
            if (errno == EINTR) continue;
            return os_error(errno, "cannot write trace file", path);
        }
        if (written == 0) return os_error(EIO, "cannot write trace file", path);
        data += written;
        size -= static_cast<std::size_t>(written);
        offset += static_cast<std::uint64_t>(written);
    }
    return {};
}

IoStatus read_exact_at(int fd, std::uint8_t* data, std::size_t size, std::uint64_t offset, const std::string& path) {
    while (size > 0) {
        ssize_t got = ::pread(fd, data, size, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            return os_error(errno, "cannot read trace file", path);
        }
        if (got == 0) return IoError::make(IoErrorKind::UnexpectedEof, "trace file " + path + " ends early");
        data += got;
        size -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return {};
}

IoStatus sync_file(int fd, const std::string& path) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) return os_error(errno, "cannot sync trace file", path);
    }
    return {};
}

IoStatus rename_file(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return os_error(errno, "cannot rename trace file to", to);
    return {};
}

IoStatus sync_directory(const std::string& path) {
    int fd = -1;
    for (;;) {
        fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) break;
        if (errno != EINTR) return os_error(errno, "cannot open trace directory", path);
    }
    IoStatus synced;
    while (::fsync(fd) != 0) {
        if (errno == EINTR) continue;
        synced = os_error(errno, "cannot sync trace directory", path);
        break;
    }
    close_fd(fd);
    return synced;
}

IoStatus remove_file(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return os_error(errno, "cannot remove trace file", path);
    return {};
}

void close_fd(int fd) noexcept {
    if (fd >= 0) ::close(fd);  // Linux closes the descriptor even when close reports EINTR.
}

}  // namespace quib::storage::files
