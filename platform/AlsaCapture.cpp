#include "platform/AlsaCapture.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

namespace tilo {

namespace {

TAudioError AlsaError(int rc, const std::string& What) {
    return TAudioError{rc < 0 ? -rc : rc, What + ": " + snd_strerror(rc)};
}

// alsa-lib prints its own diagnostics to stderr; our callers report the failure with
// its reason through the log, so the library stays quiet.
void QuietHandler(const char*, int, const char*, int, const char*, ...) {}

void SilenceAlsa() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(QuietHandler); });
}

// Opens Device for capture with 16-bit mono at Rate; leaves the handle open on success.
int OpenConfigured(const std::string& Device, int32_t Rate, int32_t PeriodFrames, snd_pcm_t*& Pcm,
                   std::string& Step) {
    Step = "cannot open " + Device;
    int rc = snd_pcm_open(&Pcm, Device.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    if (rc < 0) {
        Pcm = nullptr;
        return rc;
    }
    Step = "16-bit mono at " + std::to_string(Rate) + " samples per second";
    // Latency of about 16 periods leaves the event loop room to be late.
    const unsigned latencyUs =
        static_cast<unsigned>(std::min<int64_t>(int64_t{PeriodFrames} * 16 * 1000000 / std::max(Rate, 1), 2000000));
    rc = snd_pcm_set_params(Pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1,
                            static_cast<unsigned>(Rate), 1, latencyUs);
    if (rc < 0) return rc;
    Step = "software parameters";
    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    if ((rc = snd_pcm_sw_params_current(Pcm, sw)) < 0) return rc;
    if ((rc = snd_pcm_sw_params_set_avail_min(Pcm, sw, static_cast<snd_pcm_uframes_t>(PeriodFrames))) < 0) return rc;
    return snd_pcm_sw_params(Pcm, sw);
}

}  // namespace

TAlsaCapture::TAlsaCapture(std::string Device) : FDevice(std::move(Device)) { SilenceAlsa(); }

TAlsaCapture::~TAlsaCapture() {
    if (FPcm) snd_pcm_close(FPcm);
}

int32_t TAlsaCapture::DeviceCount() {
    int32_t count = 0;
    int card = -1;
    while (snd_card_next(&card) == 0 && card >= 0) {
        snd_ctl_t* ctl = nullptr;
        const std::string name = "hw:" + std::to_string(card);
        if (snd_ctl_open(&ctl, name.c_str(), 0) < 0) continue;
        int dev = -1;
        while (snd_ctl_pcm_next_device(ctl, &dev) == 0 && dev >= 0) {
            snd_pcm_info_t* info = nullptr;
            snd_pcm_info_alloca(&info);
            snd_pcm_info_set_device(info, static_cast<unsigned>(dev));
            snd_pcm_info_set_subdevice(info, 0);
            snd_pcm_info_set_stream(info, SND_PCM_STREAM_CAPTURE);
            if (snd_ctl_pcm_info(ctl, info) >= 0) ++count;
        }
        snd_ctl_close(ctl);
    }
    if (count == 0) {
        // No hardware card of our own, but a sound server may still offer the device.
        snd_pcm_t* pcm = nullptr;
        if (snd_pcm_open(&pcm, FDevice.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK) == 0) {
            snd_pcm_close(pcm);
            count = 1;
        }
    }
    return count;
}

TAudioError TAlsaCapture::QueryFormat(int32_t SampleRate) {
    if (SampleRate <= 0) return TAudioError{EINVAL, "invalid sample rate " + std::to_string(SampleRate)};
    if (FPcm) return {};  // the device is ours and configured; a second handle may be refused
    snd_pcm_t* pcm = nullptr;
    std::string step;
    const int rc = OpenConfigured(FDevice, SampleRate, 1024, pcm, step);
    if (pcm) snd_pcm_close(pcm);
    return rc < 0 ? AlsaError(rc, step) : TAudioError{};
}

TAudioError TAlsaCapture::Open(int32_t SampleRate, int32_t PeriodFrames) {
    if (FPcm) Close();
    if (SampleRate <= 0 || PeriodFrames <= 0)
        return TAudioError{EINVAL, "invalid sample rate or period"};
    std::string step;
    const int rc = OpenConfigured(FDevice, SampleRate, PeriodFrames, FPcm, step);
    if (rc < 0) {
        if (FPcm) snd_pcm_close(FPcm);
        FPcm = nullptr;
        return AlsaError(rc, step);
    }
    return {};
}

TAudioError TAlsaCapture::Start() {
    if (!FPcm) return TAudioError{EBADF, "the device is not open"};
    FSuspended = false;
    int rc = snd_pcm_prepare(FPcm);
    if (rc >= 0) rc = snd_pcm_start(FPcm);
    return rc < 0 ? AlsaError(rc, "cannot start capture") : TAudioError{};
}

TAudioError TAlsaCapture::Reset() {
    if (!FPcm) return TAudioError{EBADF, "the device is not open"};
    const int rc = snd_pcm_drop(FPcm);
    return rc < 0 ? AlsaError(rc, "cannot stop capture") : TAudioError{};
}

TAudioError TAlsaCapture::Close() {
    if (!FPcm) return TAudioError{EBADF, "the device is not open"};
    const int rc = snd_pcm_close(FPcm);
    FPcm = nullptr;
    FSuspended = false;
    return rc < 0 ? AlsaError(rc, "cannot close the device") : TAudioError{};
}

std::vector<pollfd> TAlsaCapture::PollDescriptors() {
    if (!FPcm) return {};
    const int n = snd_pcm_poll_descriptors_count(FPcm);
    if (n <= 0) return {};
    std::vector<pollfd> fds(static_cast<size_t>(n));
    const int got = snd_pcm_poll_descriptors(FPcm, fds.data(), static_cast<unsigned>(n));
    fds.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return fds;
}

short TAlsaCapture::PollEvents(std::span<pollfd> Fds) {
    if (!FPcm || Fds.empty()) return 0;
    unsigned short revents = 0;
    if (snd_pcm_poll_descriptors_revents(FPcm, Fds.data(), static_cast<unsigned>(Fds.size()), &revents) < 0)
        return POLLERR;
    return static_cast<short>(revents);
}

long TAlsaCapture::PcmRead(int16_t* Dest, std::size_t Count) {
    return snd_pcm_readi(FPcm, Dest, static_cast<snd_pcm_uframes_t>(Count));
}
int TAlsaCapture::PcmResume() { return snd_pcm_resume(FPcm); }
int TAlsaCapture::PcmPrepare() { return snd_pcm_prepare(FPcm); }
int TAlsaCapture::PcmStart() { return snd_pcm_start(FPcm); }

int64_t TAlsaCapture::Read(int16_t* Dest, std::size_t Count, TAudioError& Err) {
    if (!PcmOpen()) {
        Err = TAudioError{EBADF, "the device is not open"};
        return -1;
    }
    if (Count == 0) return 0;
    if (FSuspended) {
        // One non-blocking attempt per read: the event loop never waits for the device.
        const int rc = PcmResume();
        if (rc == -EAGAIN) return 0;
        FSuspended = false;
        if (rc < 0) {
            // The device cannot resume where it stopped: start afresh.
            const int prc = PcmPrepare();
            if (prc < 0) {
                Err = AlsaError(prc, "the suspended capture device cannot be restarted");
                Err.Code = EIO;
                return -1;
            }
            PcmStart();
        }
    }
    const long n = PcmRead(Dest, Count);
    if (n >= 0) return n;
    if (n == -EAGAIN || n == -EINTR) return 0;  // nothing yet; nothing lost
    const int rc = static_cast<int>(n);
    if (rc == -EPIPE) {
        const int prc = PcmPrepare();
        if (prc < 0) {
            Err = AlsaError(prc, "capture overrun, recovery failed");
            Err.Code = EIO;
            return -1;
        }
        // A prepared capture stream also starts on the next read, so a refused start
        // here costs nothing.
        PcmStart();
        Err = TAudioError{EPIPE, "capture overrun"};
        return -1;
    }
    if (rc == -ESTRPIPE) {
        FSuspended = true;
        Err = TAudioError{ESTRPIPE, "capture device suspended"};
        return -1;
    }
    Err = AlsaError(rc, "read failed");
    return -1;
}

}  // namespace tilo
