#include "platform/WavFileSource.h"

#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tilo {

namespace {

// ENOENT for a file that is not there, EINVAL for one that is there but unusable.
TAudioError FileError(const std::string& FileName, const std::string& What) {
    struct stat st {};
    return TAudioError{::stat(FileName.c_str(), &st) == 0 ? EINVAL : ENOENT, What};
}

}  // namespace

TWavFileSource::TWavFileSource(std::string FileName, bool Paced) : FFileName(std::move(FileName)), FPaced(Paced) {}

TWavFileSource::~TWavFileSource() {
    if (FFd >= 0) ::close(FFd);
}

TAudioError TWavFileSource::QueryFormat(int32_t SampleRate) {
    // Only the rate is checked here; a file that cannot be read is Open's error.
    try {
        TWavReader reader(FFileName, true);
        if (reader.SampleRate() != SampleRate)
            return TAudioError{EINVAL, "the file has " + std::to_string(reader.SampleRate()) +
                                           " samples per second, not " + std::to_string(SampleRate)};
    } catch (const EWavFile&) {
    }
    return {};
}

TAudioError TWavFileSource::Open(int32_t SampleRate, int32_t PeriodFrames) {
    if (FReader) Close();
    if (SampleRate <= 0 || PeriodFrames <= 0) return TAudioError{EINVAL, "invalid sample rate or period"};
    try {
        auto reader = std::make_unique<TWavReader>(FFileName, true);
        if (reader->SampleRate() != SampleRate)
            return TAudioError{EINVAL, "the file has " + std::to_string(reader->SampleRate()) +
                                           " samples per second, not " + std::to_string(SampleRate)};
        FReader = std::move(reader);
    } catch (const EWavFile& e) {
        return FileError(FFileName, e.what());
    }
    FFd = FPaced ? ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)
                 : ::eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC);  // stays readable
    if (FFd < 0) {
        const int err = errno;
        FReader.reset();
        return TAudioError{err, std::string("cannot create the wake-up descriptor: ") + std::strerror(err)};
    }
    FRate = SampleRate;
    FPeriod = PeriodFrames;
    FStarted = false;
    FFailed = false;
    FWarned = false;
    return {};
}

TAudioError TWavFileSource::Start() {
    if (!FReader) return TAudioError{EBADF, "the file is not open"};
    if (FPaced) {
        const int64_t ns = int64_t{FPeriod} * 1000000000 / FRate;
        itimerspec its{};
        its.it_interval.tv_sec = ns / 1000000000;
        its.it_interval.tv_nsec = ns % 1000000000;
        its.it_value = its.it_interval;
        if (::timerfd_settime(FFd, 0, &its, nullptr) < 0)
            return TAudioError{errno, std::string("cannot start the pacing timer: ") + std::strerror(errno)};
    }
    // A restart goes on from where the file stopped, as a sound card goes on with new sound.
    FStartTime = std::chrono::steady_clock::now() -
                 std::chrono::nanoseconds(int64_t(FReader->Position()) * 1000000000 / FRate);
    FStarted = true;
    return {};
}

TAudioError TWavFileSource::Reset() {
    if (!FReader) return TAudioError{EBADF, "the file is not open"};
    FStarted = false;
    if (FPaced) {
        itimerspec its{};
        ::timerfd_settime(FFd, 0, &its, nullptr);
    }
    return {};
}

TAudioError TWavFileSource::Close() {
    if (!FReader) return TAudioError{EBADF, "the file is not open"};
    FReader.reset();
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
    FStarted = false;
    return {};
}

std::vector<pollfd> TWavFileSource::PollDescriptors() {
    if (FFd < 0) return {};
    return {pollfd{FFd, POLLIN, 0}};
}

int64_t TWavFileSource::Read(int16_t* Dest, std::size_t Count, TAudioError& Err) {
    if (!FReader || !FStarted) {
        Err = TAudioError{EBADF, "the file is not started"};
        return -1;
    }
    if (FPaced) {
        uint64_t ticks = 0;
        while (::read(FFd, &ticks, sizeof ticks) > 0) {
        }
        const auto elapsed = std::chrono::steady_clock::now() - FStartTime;
        const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
        const int64_t due = ns / 1000000000 * FRate + ns % 1000000000 * FRate / 1000000000;
        const int64_t ready = due - int64_t(FReader->Position());
        if (ready <= 0) return 0;
        if (int64_t(Count) > ready) Count = std::size_t(ready);
    }
    try {
        return int64_t(FReader->Read(Dest, Count));
    } catch (const EWavFile& e) {
        FFailed = true;
        Err = TAudioError{EIO, e.what()};
        return -1;
    }
}

std::string TWavFileSource::TakeWarning() {
    if (!FReader || FWarned || !FReader->Truncated()) return {};
    FWarned = true;
    return "WAV file \"" + FFileName + "\": the data ends after " + std::to_string(FReader->SampleCount()) + " of " +
           std::to_string(FReader->DeclaredCount()) + " samples; played as far as it goes";
}

bool TWavFileSource::AtEnd() const {
    return FReader && (FFailed || FReader->Position() >= FReader->SampleCount());
}

}  // namespace tilo
