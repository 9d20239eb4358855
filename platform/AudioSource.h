// What the sound-card reader needs of an audio input: a device count, a format check,
// open/start/reset/close, non-blocking reads of 16-bit mono samples and the poll
// descriptors that say when a read may deliver more. No source runs a thread: the owner
// watches the descriptors on its own event loop and reads on its own thread.
// Errors come back as values (a code and the platform's reason), never as exceptions.
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tilo {

struct TAudioError {
    int32_t Code = 0;  // 0: no error; otherwise an errno value
    std::string Text;  // the reason, for the log
    explicit operator bool() const { return Code != 0; }
};

class TAudioSource {
public:
    virtual ~TAudioSource() = default;

    // Number of capture devices the system offers (0: none to record from).
    virtual int32_t DeviceCount() = 0;
    // Whether 16-bit mono at SampleRate can be delivered.
    virtual TAudioError QueryFormat(int32_t SampleRate) = 0;
    // Opens for 16-bit mono at SampleRate; the descriptors signal about every
    // PeriodFrames samples.
    virtual TAudioError Open(int32_t SampleRate, int32_t PeriodFrames) = 0;
    virtual TAudioError Start() = 0;
    // Stops delivery and drops what is pending.
    virtual TAudioError Reset() = 0;
    virtual TAudioError Close() = 0;
    virtual std::vector<pollfd> PollDescriptors() = 0;
    // What the descriptors returned by poll mean for this source: POLLIN when a read may
    // deliver, POLLERR when the device needs attention (a read then reports it), 0 for
    // nothing. The default merges their revents; ALSA translates them with its own call,
    // which plugin devices need.
    virtual short PollEvents(std::span<pollfd> Fds);
    // Milliseconds after which the owner should read again even if no descriptor wakes
    // it (a suspended device being resumed); -1 when it need not.
    virtual int32_t RetryAfterMs() const { return -1; }
    // Reads up to Count samples without blocking: the number read (0 when none is ready
    // yet, also after an interrupted call), or -1 with Err set. An overrun gives -1 with
    // EPIPE once: the source has recovered and the next read goes on with fresh samples.
    // A suspended device gives -1 with ESTRPIPE once; the source then resumes it without
    // waiting, reads give 0 until it runs again, and RetryAfterMs asks to be called back.
    virtual int64_t Read(int16_t* Dest, std::size_t Count, TAudioError& Err) = 0;
    // True once a finite source has delivered its last sample.
    virtual bool AtEnd() const { return false; }
    // A recording with an end (a file): its own sample count, not the wall clock, is
    // the receiver's time while it plays.
    virtual bool Finite() const { return false; }
    // A problem that does not stop delivery (a file whose data ends before its header
    // says), given once; empty when there is none.
    virtual std::string TakeWarning() { return {}; }
    // Describes the source for the log ("default capture device", a file name).
    virtual std::string Name() const = 0;
};

// The input the environment selects: a WAV file when TILO_AUDIO_FILE names one (paced in
// real time unless TILO_AUDIO_PACE is "0"), otherwise the default ALSA capture device.
std::unique_ptr<TAudioSource> CreateAudioSource();

}  // namespace tilo
