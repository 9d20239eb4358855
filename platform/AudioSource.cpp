#include "platform/AudioSource.h"

#include <cstdlib>
#include <cstring>

#include "platform/AlsaCapture.h"
#include "platform/WavFileSource.h"

namespace tilo {

short TAudioSource::PollEvents(std::span<pollfd> Fds) {
    short events = 0;
    for (const pollfd& fd : Fds) events = static_cast<short>(events | fd.revents);
    return events;
}

std::unique_ptr<TAudioSource> CreateAudioSource() {
    const char* file = std::getenv("TILO_AUDIO_FILE");
    if (file && *file) {
        const char* pace = std::getenv("TILO_AUDIO_PACE");
        return std::make_unique<TWavFileSource>(file, !(pace && std::strcmp(pace, "0") == 0));
    }
    return std::make_unique<TAlsaCapture>();
}

}  // namespace tilo
