#include "platform/SingleInstance.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

using namespace tilo;

namespace {

// A private runtime folder for each test; the previous XDG_RUNTIME_DIR comes back after.
class SingleInstance : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* v = std::getenv("XDG_RUNTIME_DIR")) FSaved = v;
        char tmpl[] = "/tmp/tilo_lock_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        Dir = tmpl;
        ::setenv("XDG_RUNTIME_DIR", Dir.c_str(), 1);
    }
    void TearDown() override {
        if (FSaved) ::setenv("XDG_RUNTIME_DIR", FSaved->c_str(), 1);
        else ::unsetenv("XDG_RUNTIME_DIR");
        std::filesystem::remove_all(Dir);
    }
    std::string Dir;

private:
    std::optional<std::string> FSaved;
};

// Forks a child that takes the lock, says so through a pipe and then waits to be killed.
pid_t ForkHolder() {
    int p[2];
    if (::pipe(p) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(p[0]);
        TSingleInstance lock;
        const char ok = lock.Acquire() == TSingleInstance::Acquired ? 'y' : 'n';
        (void)::write(p[1], &ok, 1);
        for (;;) ::pause();
    }
    ::close(p[1]);
    char c = 0;
    const bool ok = ::read(p[0], &c, 1) == 1 && c == 'y';
    ::close(p[0]);
    return ok ? pid : -1;
}

}  // namespace

TEST_F(SingleInstance, AnotherProcessHoldingRefusesUntilItIsKilled) {
    const pid_t child = ForkHolder();
    ASSERT_GT(child, 0);
    TSingleInstance lock;
    EXPECT_EQ(lock.Path(), Dir + "/NAVTEX_CAN_ONLY_RUN_ONCE");
    EXPECT_EQ(lock.Acquire(), TSingleInstance::Held);
    EXPECT_FALSE(lock.Holding());
    // The kernel drops the lock with the process, without any clean-up of its own.
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(lock.Acquire(), TSingleInstance::Acquired);
    struct stat st{};
    ASSERT_EQ(::stat(lock.Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SingleInstance, ASecondHolderInTheSameProcessConflictsAndReleaseFreesIt) {
    TSingleInstance first, second;
    ASSERT_EQ(first.Acquire(), TSingleInstance::Acquired);
    EXPECT_EQ(first.Acquire(), TSingleInstance::Acquired);
    EXPECT_EQ(second.Acquire(), TSingleInstance::Held);
    first.Release();
    EXPECT_EQ(second.Acquire(), TSingleInstance::Acquired);
}

// A program the receiver starts (a mixer) outlives nothing: the descriptor is not
// inherited across exec, so releasing frees the lock while the program still runs.
TEST_F(SingleInstance, AnExecutedChildDoesNotKeepTheLock) {
    TSingleInstance lock;
    ASSERT_EQ(lock.Acquire(), TSingleInstance::Acquired);
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl("/bin/sleep", "sleep", "20", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(child, 0);
    ::usleep(100 * 1000);  // the exec has happened by now; a failed exec ends it
    lock.Release();
    TSingleInstance next;
    EXPECT_EQ(next.Acquire(), TSingleInstance::Acquired);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the child was not running sleep";
}

TEST_F(SingleInstance, WithoutARuntimeFolderTheNameCarriesTheUserIdInTmp) {
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        if (value) ::setenv("XDG_RUNTIME_DIR", value, 1);
        else ::unsetenv("XDG_RUNTIME_DIR");
        EXPECT_EQ(SingleInstancePath(), "/tmp/NAVTEX_CAN_ONLY_RUN_ONCE-" + std::to_string(::getuid()));
    }
}

TEST_F(SingleInstance, ALinkOrADirectoryAtThePathIsRefusedAndLeftAlone) {
    const std::string target = Dir + "/target";
    const std::string path = Dir + "/NAVTEX_CAN_ONLY_RUN_ONCE";
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    TSingleInstance viaLink;
    EXPECT_EQ(viaLink.Acquire(), TSingleInstance::Refused);
    EXPECT_NE(viaLink.Error().find("symbolic link"), std::string::npos) << viaLink.Error();
    EXPECT_FALSE(std::filesystem::exists(target)) << "the link was followed";

    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    TSingleInstance onDir;
    EXPECT_EQ(onDir.Acquire(), TSingleInstance::Refused);
    EXPECT_FALSE(onDir.Error().empty());
}
