// The ALSA capture's read path, with its PCM calls played by a script: what each error of
// the device becomes for the reader, and that a suspended device is resumed without ever
// waiting for it.
#include "platform/AlsaCapture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <deque>
#include <string>
#include <vector>

namespace {

class TScriptedAlsa : public tilo::TAlsaCapture {
public:
    std::deque<long> ReadResults;   // a count of samples or -errno
    std::deque<int> ResumeResults;  // 0 or -errno
    int PrepareResult = 0;
    std::vector<std::string> Calls;

protected:
    bool PcmOpen() const override { return true; }
    long PcmRead(int16_t* Dest, std::size_t Count) override {
        Calls.push_back("read");
        const long r = ReadResults.front();
        ReadResults.pop_front();
        for (long i = 0; i < r && i < long(Count); ++i) Dest[i] = int16_t(i);
        return r;
    }
    int PcmResume() override {
        Calls.push_back("resume");
        const int r = ResumeResults.front();
        ResumeResults.pop_front();
        return r;
    }
    int PcmPrepare() override {
        Calls.push_back("prepare");
        return PrepareResult;
    }
    int PcmStart() override {
        Calls.push_back("start");
        return 0;
    }
};

struct TRead {
    int64_t Result;
    int32_t Code;
};

std::vector<TRead> ReadAll(TScriptedAlsa& A, int Times) {
    std::vector<TRead> Out;
    int16_t Buf[16];
    for (int I = 0; I < Times; ++I) {
        tilo::TAudioError Err;
        const int64_t R = A.Read(Buf, 16, Err);
        Out.push_back({R, Err.Code});
    }
    return Out;
}

bool operator==(const TRead& A, const TRead& B) { return A.Result == B.Result && A.Code == B.Code; }
std::ostream& operator<<(std::ostream& O, const TRead& R) { return O << "{" << R.Result << ", " << R.Code << "}"; }

}  // namespace

TEST(AlsaCapture, ReadErrorsBecomeWhatTheReaderExpects) {
    struct Case {
        const char* Name;
        std::deque<long> Reads;
        std::deque<int> Resumes;
        int Prepare;
        std::vector<TRead> Want;
        std::vector<std::string> Calls;
    } Cases[] = {
        {"interrupted: none yet, nothing lost", {-EINTR, 16}, {}, 0, {{0, 0}, {16, 0}}, {"read", "read"}},
        {"nothing ready", {-EAGAIN}, {}, 0, {{0, 0}}, {"read"}},
        {"overrun: recovered, reported once", {-EPIPE, 16}, {}, 0, {{-1, EPIPE}, {16, 0}},
         {"read", "prepare", "start", "read"}},
        {"overrun that cannot be recovered", {-EPIPE}, {}, -EBADFD, {{-1, EIO}}, {"read", "prepare"}},
        {"suspended: one resume attempt per read until it runs",
         {-ESTRPIPE, 16},
         {-EAGAIN, -EAGAIN, 0},
         0,
         {{-1, ESTRPIPE}, {0, 0}, {0, 0}, {16, 0}},
         {"read", "resume", "resume", "resume", "read"}},
        {"suspended, no resume here: started afresh",
         {-ESTRPIPE, 16},
         {-ENOSYS},
         0,
         {{-1, ESTRPIPE}, {16, 0}},
         {"read", "resume", "prepare", "start", "read"}},
        {"device gone", {-ENODEV}, {}, 0, {{-1, ENODEV}}, {"read"}},
    };
    for (const Case& C : Cases) {
        TScriptedAlsa A;
        A.ReadResults = C.Reads;
        A.ResumeResults = C.Resumes;
        A.PrepareResult = C.Prepare;
        EXPECT_EQ(ReadAll(A, int(C.Want.size())), C.Want) << C.Name;
        EXPECT_EQ(A.Calls, C.Calls) << C.Name;
        EXPECT_EQ(A.RetryAfterMs(), -1) << C.Name;
    }
}

TEST(AlsaCapture, SuspendedDeviceAsksToBeCalledBackAndReportsPlainTexts) {
    TScriptedAlsa A;
    A.ReadResults = {-ESTRPIPE, -EPIPE};
    A.ResumeResults = {-EAGAIN, 0};
    int16_t Buf[4];
    tilo::TAudioError Err;
    EXPECT_EQ(A.Read(Buf, 4, Err), -1);
    EXPECT_EQ(Err.Text, "capture device suspended");
    EXPECT_EQ(A.RetryAfterMs(), tilo::TAlsaCapture::ResumeRetryMs);
    Err = {};
    EXPECT_EQ(A.Read(Buf, 4, Err), 0);
    EXPECT_EQ(A.RetryAfterMs(), tilo::TAlsaCapture::ResumeRetryMs);
    EXPECT_EQ(A.Read(Buf, 4, Err), -1);  // resumed, then an overrun
    EXPECT_EQ(Err.Text, "capture overrun");
    EXPECT_EQ(A.RetryAfterMs(), -1);
}
