// Which program opens the sound input's mixer on this desktop: PulseAudio's volume
// control when it is installed, else ALSA's text mixer in the desktop's terminal. The
// look-up only reads PATH; the window starts the command detached.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tilo {

struct TMixerCommand {
    std::string Program;                 // a full path
    std::vector<std::string> Arguments;
};

// The first executable regular file Name in the colon-separated folders of PathList;
// empty when there is none. An empty folder entry is the current folder.
std::string FindOnPath(const std::string& Name, const std::string& PathList);

// "pavucontrol"; else "x-terminal-emulator" with "-e" and the full path of
// "alsamixer" when both are found; else nothing.
std::optional<TMixerCommand> FindMixer(const std::string& PathList);
// The same over the environment's PATH.
std::optional<TMixerCommand> FindMixer();

}  // namespace tilo
