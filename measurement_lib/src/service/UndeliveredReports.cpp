#include "service/UndeliveredReports.h"

#include "platform/system/PrivateDirectory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace trevask::measurement_library {

namespace {

std::string systemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

// Makes `path` a private folder of this user (created 0700 with its missing
// parents; a symlink or another user's folder is refused).
void privateFolder(const std::string& path) {
    std::string why;
    const int fd = lumivex::platform::openPrivateDirectory(path, why);
    if (fd < 0) throw std::runtime_error("not a private folder of this user: " + why);
    ::close(fd);
}

}  // namespace

std::optional<std::string> UndeliveredReports::directory() {
    std::string base;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] == '/') {
        base = data;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        base = std::string(home) + "/.local/share";
    } else {
        return std::nullopt;
    }
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + "/lumivex/undelivered-reports";
}

std::optional<std::string> UndeliveredReports::keep(const std::string& report, std::string* error) {
    static std::atomic<unsigned> counter{0};
    try {
        const auto folder = directory();
        if (!folder) throw std::runtime_error("neither XDG_DATA_HOME nor HOME names a folder");
        const std::string agentFolder = folder->substr(0, folder->rfind('/'));
        privateFolder(agentFolder);
        privateFolder(*folder);

        const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
        std::tm utc{};
        ::gmtime_r(&now, &utc);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string path = *folder + "/report-" + stamp + "-" + std::to_string(::getpid()) + "-" +
                                     std::to_string(counter++) + ".json";
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd < 0) {
                if (errno == EEXIST) continue;
                throw std::runtime_error(systemError("cannot create", path));
            }
            bool written = ::fchmod(fd, 0600) == 0;
            std::size_t done = 0;
            while (written && done < report.size()) {
                const ssize_t n = ::write(fd, report.data() + done, report.size() - done);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) written = false;
                else done += static_cast<std::size_t>(n);
            }
            written = ::fsync(fd) == 0 && written;
            const int savedErrno = errno;
            ::close(fd);
            if (!written) {
                ::unlink(path.c_str());
                errno = savedErrno;
                throw std::runtime_error(systemError("cannot write", path));
            }
            return path;
        }
        throw std::runtime_error("no free file name in " + *folder);
    } catch (const std::exception& e) {
        if (error != nullptr) *error = e.what();
        return std::nullopt;
    }
}

}  // namespace trevask::measurement_library
