// ALSA capture of 16-bit mono from the default device, non-blocking. The PCM's own poll
// descriptors are handed out; a read takes whatever samples are ready and never waits.
// An overrun is recovered in place (the lost samples are reported once as EPIPE).
#pragma once

#include "platform/AudioSource.h"

typedef struct _snd_pcm snd_pcm_t;

namespace tilo {

class TAlsaCapture : public TAudioSource {
public:
    explicit TAlsaCapture(std::string Device = "default");
    ~TAlsaCapture() override;
    TAlsaCapture(const TAlsaCapture&) = delete;
    TAlsaCapture& operator=(const TAlsaCapture&) = delete;

    int32_t DeviceCount() override;
    TAudioError QueryFormat(int32_t SampleRate) override;
    TAudioError Open(int32_t SampleRate, int32_t PeriodFrames) override;
    TAudioError Start() override;
    TAudioError Reset() override;
    TAudioError Close() override;
    std::vector<pollfd> PollDescriptors() override;
    int64_t Read(int16_t* Dest, std::size_t Count, TAudioError& Err) override;
    std::string Name() const override { return "ALSA device \"" + FDevice + "\""; }

private:
    std::string FDevice;
    snd_pcm_t* FPcm = nullptr;
};

}  // namespace tilo
