#include "platform/MixerLaunch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace tilo {

std::string FindOnPath(const std::string& Name, const std::string& PathList) {
    std::size_t from = 0;
    for (;;) {
        const std::size_t colon = PathList.find(':', from);
        std::string dir = PathList.substr(from, colon == std::string::npos ? std::string::npos : colon - from);
        if (dir.empty()) dir = ".";
        const std::string candidate = dir + "/" + Name;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (colon == std::string::npos) return {};
        from = colon + 1;
    }
}

std::optional<TMixerCommand> FindMixer(const std::string& PathList) {
    if (std::string p = FindOnPath("pavucontrol", PathList); !p.empty()) return TMixerCommand{p, {}};
    const std::string mixer = FindOnPath("alsamixer", PathList);
    const std::string terminal = FindOnPath("x-terminal-emulator", PathList);
    if (!mixer.empty() && !terminal.empty()) return TMixerCommand{terminal, {"-e", mixer}};
    return std::nullopt;
}

std::optional<TMixerCommand> FindMixer() {
    const char* path = std::getenv("PATH");
    if (!path) return std::nullopt;  // no PATH: nothing is installed for us
    return FindMixer(std::string(path));
}

}  // namespace tilo
