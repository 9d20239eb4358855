// The sound-card reader: a ring of recording buffers fed from an audio source (ALSA
// capture, or a WAV file standing in for it) on the owner's own thread. The owner watches
// PollDescriptors() on its event loop and calls HandleEvents(Fds) with what poll returned
// (or HandleEvents() when its loop only says "readable"), and again after RetryAfterMs()
// when that is not -1 (a suspended device being resumed); each
// filled buffer goes to OnBuffer, which calls AddNextBuffer and then processes the
// samples. Buffers are filled strictly in queue order; while recording with N buffers,
// N-1 are queued and the one being processed is not, so its samples stay put during the
// callback. Every status and error text goes to OnLog and is kept as LastMessage; the
// errors and warnings among them also go to OnProblem. When a finite source (a file)
// ends, OnEnd runs after its last buffer and before the end is reported, so that the
// owner finishes what the last samples began.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/AudioSource.h"

namespace tilo {

class TWaveIn {
public:
    using TBufferProc = std::function<void(const int16_t* Samples, int32_t Count)>;
    using TLogProc = std::function<void(const std::string& Text)>;

    static constexpr int32_t MaxBuffers = 16;

    // Count buffers of Size bytes from the source the environment selects
    // (CreateAudioSource). Not ready - and reported - without input devices, with a count
    // outside 2 .. 16 or a size below one sample.
    TWaveIn(TBufferProc OnBuffer, int32_t Count, int32_t Size, TLogProc OnLog = {});
    TWaveIn(std::unique_ptr<TAudioSource> Source, TBufferProc OnBuffer, int32_t Count, int32_t Size,
            TLogProc OnLog = {});
    // Stops capture first, so the source never outlives its buffers' owner.
    ~TWaveIn();
    TWaveIn(const TWaveIn&) = delete;
    TWaveIn& operator=(const TWaveIn&) = delete;

    // Stops a previous recording, opens the source for 16-bit mono at SampleRate and
    // readies the buffers; queues nothing yet. DeviceId -1 is the default device.
    bool Open(int32_t DeviceId, int32_t SampleRate);
    // Starts capture and queues all buffers but one.
    bool Start();
    // Queues the next buffer of the round robin; while not recording, does nothing.
    bool AddNextBuffer();
    void Stop();
    void Close();
    void Report(const std::string& Text);

    // Descriptors to watch for POLLIN; they change with Open and Close.
    std::vector<pollfd> PollDescriptors() const;
    // Milliseconds until HandleEvents should run again without a descriptor waking the
    // owner; -1 for no such deadline.
    int32_t RetryAfterMs() const;
    // Fds as poll returned them: the source translates what they mean, and HandleEvents()
    // runs when a read may deliver or report something.
    void HandleEvents(std::span<pollfd> Fds);
    // Reads what the source has ready into the queued buffers and hands each filled one
    // to OnBuffer (at most one round of the ring per call). At the end of a file the
    // last buffer is completed with silence, the end is reported and capture stops. An
    // overrun or a suspended device is reported once and recording goes on at the next
    // call; any other read error stops recording.
    void HandleEvents();

    bool Ready() const { return FReady; }
    bool IsOpen() const { return FOpen; }
    bool Recording() const { return FRecording; }
    bool AtEnd() const { return FAtEnd; }
    // The source is a recording with an end, whose samples are the receiver's time.
    bool Finite() const { return FSource && FSource->Finite(); }
    const std::string& LastMessage() const { return FLastMessage; }
    int32_t BuffersQueued() const { return FBuffersQueued; }
    int32_t QueuedNow() const { return static_cast<int32_t>(FQueue.size()); }
    int32_t BufferLength() const { return FBufferLength; }
    int32_t BufferCount() const { return FBufferCount; }
    int32_t DeviceId() const { return FDeviceId; }

    TBufferProc OnBuffer;
    TLogProc OnLog;
    TLogProc OnProblem;
    std::function<void()> OnEnd;

private:
    void Create(int32_t Count, int32_t Size);
    void Problem(const std::string& Text);
    void ReportWarning();
    void Ended();

    std::unique_ptr<TAudioSource> FSource;
    int32_t FDeviceId = -1;
    int32_t FNextBuffer = 0;
    bool FRecording = false;
    int32_t FBufferLength = 0;  // bytes recorded per buffer: whole samples
    bool FReady = false;
    std::string FLastMessage;
    int32_t FBuffersQueued = 0;
    std::vector<std::vector<int16_t>> FBuffers;
    bool FOpen = false;
    int32_t FBufferCount = 0;
    int32_t FBufferSize = 0;
    int32_t FBlockAlign = 1;
    std::deque<int32_t> FQueue;  // buffers handed to the source, in fill order
    int32_t FFill = 0;           // samples already in the front buffer
    bool FAtEnd = false;
};

// The platform's text for an error code (at most 255 characters).
std::string WaveErrorText(int32_t Code);

}  // namespace tilo
