// Helpers for the disk engine's tests: a scratch folder, raw file bytes, and running a
// step in a forked child (a second process) with its answer as the exit status.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace disktest {

// A fresh folder for one test, removed with its contents afterwards.
class TempDir {
public:
    TempDir() {
        std::string t = (std::filesystem::temp_directory_path() / "orqdiskXXXXXX").string();
        std::vector<char> buf(t.begin(), t.end());
        buf.push_back('\0');
        Path = mkdtemp(buf.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(Path, ec);
    }
    std::string File(const std::string& Name) const { return Path + "/" + Name; }
    std::string Path;
};

inline std::vector<uint8_t> ReadAll(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteAll(const std::string& Path, const std::vector<uint8_t>& Bytes) {
    std::ofstream out(Path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(Bytes.data()), static_cast<std::streamsize>(Bytes.size()));
}

// Overwrites bytes at Offset without changing the file's length.
inline void Patch(const std::string& Path, int64_t Offset, const std::vector<uint8_t>& Bytes) {
    std::vector<uint8_t> all = ReadAll(Path);
    for (std::size_t i = 0; i < Bytes.size(); ++i) all.at(static_cast<std::size_t>(Offset) + i) = Bytes[i];
    WriteAll(Path, all);
}

// Runs Body in a forked child; its answer (0 to 97) comes back as the exit status,
// 98 when it threw, -1 when the child died.
inline int InChild(const std::function<int()>& Body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        int rc = 98;
        try {
            rc = Body();
        } catch (...) {
        }
        _exit(rc);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A child that runs Setup, signals the parent, and keeps running until Release(): for
// cases that need another process to hold something while the parent acts.
class HoldingChild {
public:
    explicit HoldingChild(const std::function<int()>& Setup) {
        int ready[2], release[2];
        if (pipe(ready) != 0 || pipe(release) != 0) std::abort();
        std::fflush(nullptr);
        FPid = fork();
        if (FPid == 0) {
            close(ready[0]);
            close(release[1]);
            char status = 98;
            try {
                status = static_cast<char>(Setup());
            } catch (...) {
            }
            if (write(ready[1], &status, 1) != 1) _exit(97);
            char c;
            while (read(release[0], &c, 1) < 0) {
            }
            _exit(0);
        }
        close(ready[1]);
        close(release[0]);
        FRelease = release[1];
        char status = 99;
        if (read(ready[0], &status, 1) != 1) status = 99;
        close(ready[0]);
        SetupResult = status;
    }
    ~HoldingChild() { Release(); }
    void Release() {
        if (FPid <= 0) return;
        char c = 0;
        if (write(FRelease, &c, 1) != 1) kill(FPid, SIGKILL);
        close(FRelease);
        int status = 0;
        waitpid(FPid, &status, 0);
        FPid = -1;
    }
    int SetupResult = 0;

private:
    pid_t FPid = -1;
    int FRelease = -1;
};

}  // namespace disktest
