#include "decoder/UWavein4.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <new>

namespace tilo {

namespace {

std::string Hex8(int32_t Code) {
    char buf[9];
    auto r = std::to_chars(buf, buf + 8, static_cast<uint32_t>(Code), 16);
    std::string s(buf, r.ptr);
    std::transform(s.begin(), s.end(), s.begin(), [](char c) { return c >= 'a' && c <= 'f' ? char(c - 32) : c; });
    return std::string(8 - s.size(), '0') + s;
}

}  // namespace

std::string WaveErrorText(int32_t Code) {
    std::string text = std::strerror(Code);
    if (text.size() > 255) text.resize(255);
    return text;
}

TWaveIn::TWaveIn(TBufferProc OnBuffer, int32_t Count, int32_t Size, TLogProc OnLog)
    : TWaveIn(CreateAudioSource(), std::move(OnBuffer), Count, Size, std::move(OnLog)) {}

TWaveIn::TWaveIn(std::unique_ptr<TAudioSource> Source, TBufferProc OnBuffer, int32_t Count, int32_t Size,
                 TLogProc OnLog)
    : OnBuffer(std::move(OnBuffer)), OnLog(std::move(OnLog)), FSource(std::move(Source)) {
    Create(Count, Size);
}

void TWaveIn::Create(int32_t Count, int32_t Size) {
    FBufferCount = Count;
    FBufferSize = Size;
    // With fewer than two buffers nothing would ever be queued; more than 16 exceed the ring.
    if (Count < 2 || Count > MaxBuffers) {
        Problem("Invalid number of recording buffers: " + std::to_string(Count) + " (2 to 16 allowed)");
        return;
    }
    if (Size < 2) {
        Problem("Invalid recording buffer size: " + std::to_string(Size) + " bytes");
        return;
    }
    if (!FSource || FSource->DeviceCount() <= 0) {
        Problem("No wave audio recording devices found");
        return;
    }
    try {
        FBuffers.assign(static_cast<size_t>(Count), std::vector<int16_t>(static_cast<size_t>(Size) / 2, 0));
    } catch (const std::bad_alloc&) {
        FBuffers.clear();
        Problem("Error Locking wave buffer memory");
        return;
    }
    FBufferLength = Size - Size % FBlockAlign;
    FReady = true;
}

TWaveIn::~TWaveIn() { Stop(); }

bool TWaveIn::Open(int32_t DeviceId, int32_t SampleRate) {
    Stop();
    FNextBuffer = 0;
    FBuffersQueued = 0;
    FQueue.clear();
    FFill = 0;
    FAtEnd = false;
    if (!FReady) {
        Problem("Could not open the input device for recording: the reader has no buffers");
        return false;
    }
    FDeviceId = DeviceId;
    FBlockAlign = 2;
    FBufferLength = FBufferSize - FBufferSize % FBlockAlign;

    if (TAudioError err = FSource->QueryFormat(SampleRate)) {
        Problem("WaveIn format query: format not supported\r error code=" + Hex8(err.Code) + "\r\n" + err.Text);
        return false;
    }
    if (TAudioError err = FSource->Open(SampleRate, FBufferLength / 2)) {
        Problem("Could not open the input device for recording: errorcode = " + Hex8(err.Code) + "\r " + err.Text);
        return false;
    }
    FOpen = true;
    ReportWarning();
    for (auto& b : FBuffers) std::fill(b.begin(), b.end(), int16_t{0});
    return AddNextBuffer();
}

bool TWaveIn::Start() {
    if (TAudioError err = FOpen ? FSource->Start() : TAudioError{EBADF, WaveErrorText(EBADF)}) {
        Close();
        Problem("Error starting wavein, close attempted: " + err.Text);
        return false;
    }
    Report("WaveIn Open OK");
    FRecording = true;
    for (int32_t i = 0; i < FBufferCount - 1; ++i) {
        if (!AddNextBuffer()) {
            Problem("AddNextBuffer failed from open");
            return false;
        }
    }
    return true;
}

bool TWaveIn::AddNextBuffer() {
    if (!FRecording) return true;
    // A buffer still waiting to be filled cannot be queued a second time.
    if (std::find(FQueue.begin(), FQueue.end(), FNextBuffer) != FQueue.end()) {
        Stop();
        Problem("Error adding buffer, recording stopped: buffer " + std::to_string(FNextBuffer) +
               " is still queued");
        return false;
    }
    FQueue.push_back(FNextBuffer);
    FNextBuffer = (FNextBuffer + 1) % FBufferCount;
    ++FBuffersQueued;
    return true;
}

void TWaveIn::Stop() {
    if (!FOpen) return;
    FRecording = false;
    if (TAudioError err = FSource->Reset())
        Problem("Error in waveInReset: " + err.Text);
    else
        Report("WaveInReset OK.");
    FQueue.clear();
    FFill = 0;
    Close();
}

void TWaveIn::Close() {
    if (!FOpen) return;
    FRecording = false;
    FQueue.clear();
    FFill = 0;
    if (TAudioError err = FSource->Close())
        Problem("Error closing input device: " + err.Text);
    else
        Report("Input Device closed.");
    FOpen = false;
}

void TWaveIn::Report(const std::string& Text) {
    FLastMessage = Text;
    if (OnLog) OnLog(Text);
}

void TWaveIn::Problem(const std::string& Text) {
    Report(Text);
    if (OnProblem) OnProblem(Text);
}

void TWaveIn::ReportWarning() {
    if (!FSource) return;
    if (const std::string w = FSource->TakeWarning(); !w.empty()) Problem(w);
}

void TWaveIn::Ended() {
    // A file that turned out shorter than its header is only known to be at its end.
    ReportWarning();
    if (OnEnd) OnEnd();
    Report("End of " + FSource->Name());
    Stop();
}

std::vector<pollfd> TWaveIn::PollDescriptors() const {
    return FOpen && FSource ? FSource->PollDescriptors() : std::vector<pollfd>{};
}

int32_t TWaveIn::RetryAfterMs() const { return FOpen && FSource ? FSource->RetryAfterMs() : -1; }

void TWaveIn::HandleEvents(std::span<pollfd> Fds) {
    if (!FOpen || !FSource) return;
    if (FSource->PollEvents(Fds) & (POLLIN | POLLERR) || FSource->RetryAfterMs() >= 0) HandleEvents();
}

void TWaveIn::HandleEvents() {
    const int32_t perBuffer = FBufferLength / 2;
    for (int32_t delivered = 0; FRecording && !FQueue.empty() && delivered < FBufferCount;) {
        const int32_t index = FQueue.front();
        std::vector<int16_t>& buf = FBuffers[static_cast<size_t>(index)];
        TAudioError err;
        const int64_t n = FSource->Read(buf.data() + FFill, static_cast<size_t>(perBuffer - FFill), err);
        if (n < 0) {
            // Both recover in the source: reported once, recording goes on at the next call.
            if (err.Code == EPIPE) {
                Problem("Recording overrun, samples lost");
                return;
            }
            if (err.Code == ESTRPIPE) {
                Report("Recording device suspended, resuming");
                return;
            }
            Problem("Error reading from the input device, recording stopped: " + err.Text);
            Stop();
            return;
        }
        FFill += static_cast<int32_t>(n);
        if (FFill < perBuffer) {
            if (!FSource->AtEnd()) return;  // the rest is not there yet
            const bool partial = FFill > 0;
            if (partial) {
                std::fill(buf.begin() + FFill, buf.begin() + perBuffer, int16_t{0});
                FFill = perBuffer;
            }
            FAtEnd = true;
            if (!partial) {
                Ended();
                return;
            }
        }
        FQueue.pop_front();
        FFill = 0;
        ++delivered;
        if (OnBuffer) OnBuffer(buf.data(), perBuffer);
        if (FAtEnd && FRecording) {
            Ended();
            return;
        }
    }
}

}  // namespace tilo
