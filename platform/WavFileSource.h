// A WAV file as the audio input, in place of a sound card. Paced, it releases samples at
// the file's rate from the moment of Start, with a timer descriptor waking the owner
// about once per period; unpaced, every sample is ready at once and its descriptor is
// always readable. The file must be 16-bit PCM mono at the requested rate: a missing or
// foreign file is an error value, never a crash. A file whose data ends before its
// header says plays as far as it goes, with a warning (TakeWarning) once that is known.
#pragma once

#include <chrono>
#include <memory>

#include "platform/AudioSource.h"
#include "platform/WavFile.h"

namespace tilo {

class TWavFileSource : public TAudioSource {
public:
    TWavFileSource(std::string FileName, bool Paced);
    ~TWavFileSource() override;
    TWavFileSource(const TWavFileSource&) = delete;
    TWavFileSource& operator=(const TWavFileSource&) = delete;

    int32_t DeviceCount() override { return 1; }
    TAudioError QueryFormat(int32_t SampleRate) override;
    TAudioError Open(int32_t SampleRate, int32_t PeriodFrames) override;
    TAudioError Start() override;
    TAudioError Reset() override;
    TAudioError Close() override;
    std::vector<pollfd> PollDescriptors() override;
    int64_t Read(int16_t* Dest, std::size_t Count, TAudioError& Err) override;
    bool AtEnd() const override;
    bool Finite() const override { return true; }
    std::string TakeWarning() override;
    std::string Name() const override { return "audio file \"" + FFileName + "\""; }

private:
    std::string FFileName;
    bool FPaced;
    std::unique_ptr<TWavReader> FReader;
    int FFd = -1;  // timerfd (paced) or eventfd (unpaced); -1 while closed
    int32_t FRate = 0;
    int32_t FPeriod = 0;
    bool FStarted = false;
    bool FFailed = false;
    bool FWarned = false;  // the truncation was reported
    std::chrono::steady_clock::time_point FStartTime;
};

}  // namespace tilo
