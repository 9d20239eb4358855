// TSingleInstance: the receiver's "only one running" guard. A write lock on a file named
// after the guard ("NAVTEX_CAN_ONLY_RUN_ONCE") in $XDG_RUNTIME_DIR, or, without one,
// "/tmp/<name>-<uid>". The lock is an open-file-description lock (F_OFD_SETLK), so the
// kernel drops it when the process dies, however it dies, and a second open in the same
// process conflicts like another process does.
//
// The file is opened O_CLOEXEC (a program the receiver starts must not keep the lock
// after the receiver ends) and O_NOFOLLOW, mode 0600; a path that is not a regular file
// of this user (a symbolic link, a directory, someone else's file planted in /tmp) is
// refused rather than locked. The file itself is left in place: removing it would let a
// later start lock a new file while another still holds the old one.
#pragma once

#include <string>

namespace tilo {

inline constexpr char SingleInstanceName[] = "NAVTEX_CAN_ONLY_RUN_ONCE";

// Where the guard's file of Name lives in the current environment.
std::string SingleInstancePath(const std::string& Name = SingleInstanceName);

class TSingleInstance {
public:
    enum TResult {
        Acquired,  // this object holds the lock
        Held,      // another holder has it
        Refused,   // the path cannot be used; Error() says why
    };

    explicit TSingleInstance(std::string Name = SingleInstanceName);
    // Releases the lock.
    ~TSingleInstance();
    TSingleInstance(const TSingleInstance&) = delete;
    TSingleInstance& operator=(const TSingleInstance&) = delete;

    // Takes the lock without waiting. Acquiring again while held answers Acquired.
    TResult Acquire();
    // Gives the lock up (closes the file); nothing when not held.
    void Release();
    bool Holding() const { return FFd >= 0; }
    const std::string& Path() const { return FPath; }
    // The reason of the last Refused, for standard error.
    const std::string& Error() const { return FError; }

private:
    std::string FPath;
    std::string FError;
    int FFd = -1;
};

}  // namespace tilo
