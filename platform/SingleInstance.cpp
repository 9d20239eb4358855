#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tilo {

std::string SingleInstancePath(const std::string& Name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) {
        std::string path = runtime;
        if (path.back() != '/') path += '/';
        return path + Name;
    }
    return "/tmp/" + Name + "-" + std::to_string(::getuid());
}

TSingleInstance::TSingleInstance(std::string Name) : FPath(SingleInstancePath(Name)) {}

TSingleInstance::~TSingleInstance() { Release(); }

TSingleInstance::TResult TSingleInstance::Acquire() {
    if (FFd >= 0) return Acquired;
    FError.clear();
    const int fd = ::open(FPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        FError = "cannot open the single-instance lock " + FPath + ": " +
                 (errno == ELOOP ? std::string("it is a symbolic link") : std::string(std::strerror(errno)));
        return Refused;
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid()) {
        FError = "refusing the single-instance lock " + FPath + ": not a regular file of this user";
        ::close(fd);
        return Refused;
    }
    struct flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // the whole file
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EAGAIN || err == EACCES) return Held;
        FError = "cannot lock " + FPath + ": " + std::strerror(err);
        return Refused;
    }
    FFd = fd;
    return Acquired;
}

void TSingleInstance::Release() {
    if (FFd < 0) return;
    ::close(FFd);  // closing the last descriptor of the description drops its lock
    FFd = -1;
}

}  // namespace tilo
