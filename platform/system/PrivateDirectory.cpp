#include "platform/system/PrivateDirectory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace lumivex::platform {

int openPrivateDirectory(const std::filesystem::path& path, std::string& why) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (ec) {
        why = "cannot resolve " + path.string() + ": " + ec.message();
        return -1;
    }
    std::filesystem::path partial;
    for (const auto& part : absolute.relative_path()) {
        partial = partial.empty() ? absolute.root_path() / part : partial / part;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            why = "cannot create " + partial.string() + ": " + std::strerror(errno);
            return -1;
        }
    }
    const int fd = ::open(absolute.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        why = errno == ELOOP || errno == ENOTDIR ? absolute.string() + " is a symlink or not a folder"
                                                 : "cannot open " + absolute.string() + ": " + std::strerror(errno);
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode)) {
        why = absolute.string() + " is not a folder";
        ::close(fd);
        return -1;
    }
    if (info.st_uid != ::geteuid()) {
        why = absolute.string() + " belongs to another user";
        ::close(fd);
        return -1;
    }
    if ((info.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0) {
        why = "cannot make " + absolute.string() + " private: " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace lumivex::platform
