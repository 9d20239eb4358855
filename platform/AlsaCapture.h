// ALSA capture of 16-bit mono from the default device, non-blocking. The PCM's own poll
// descriptors are handed out and their results translated by ALSA; a read takes whatever
// samples are ready and never waits. An overrun is recovered in place (the lost samples
// are reported once as EPIPE); an interrupted read is simply none yet; a suspended
// device (reported once as ESTRPIPE) is resumed without waiting, one attempt per read,
// while RetryAfterMs asks the owner to come back. The few PCM calls of the read path
// are virtual so that their failures can be played without a sound card.
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
    short PollEvents(std::span<pollfd> Fds) override;
    int32_t RetryAfterMs() const override { return FSuspended ? ResumeRetryMs : -1; }
    int64_t Read(int16_t* Dest, std::size_t Count, TAudioError& Err) override;
    std::string Name() const override { return "ALSA device \"" + FDevice + "\""; }

    static constexpr int32_t ResumeRetryMs = 100;

protected:
    // The read path's PCM calls; each returns what its snd_pcm_* call returns.
    virtual bool PcmOpen() const { return FPcm != nullptr; }
    virtual long PcmRead(int16_t* Dest, std::size_t Count);
    virtual int PcmResume();
    virtual int PcmPrepare();
    virtual int PcmStart();

private:
    std::string FDevice;
    snd_pcm_t* FPcm = nullptr;
    bool FSuspended = false;  // resume pending
};

}  // namespace tilo
