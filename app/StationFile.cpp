// The station file's writer and reader. The export is built whole in memory, checked,
// written to a temporary file beside the target, synced and renamed over it, so that a
// failure at any step leaves the previous file whole. The import reads the whole file
// before it changes anything.
#include "app/StationFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "app/MesUtilD4.h"
#include "app/UCommon.h"

namespace tilo {

namespace {

const std::string CR = "\r";

std::string SaveFailure(const std::string& Reason) {
    return "error while saving export file" + CR + "System reports: " + Reason;
}

std::string StationLineForMessage(const TStationRecord& S) {
    std::string line = FormatStationLine(S[sfFreq], S[sfNavArea], S[sfIdLetter], S[sfCallSign], S[sfLocation],
                                         S[sfCountryCode]);
    for (char& c : line)
        if (c == '\r' || c == '\n') c = ' ';
    return line;
}

bool WriteAll(int Fd, std::string_view Data) {
    while (!Data.empty()) {
        const ssize_t n = ::write(Fd, Data.data(), Data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        Data.remove_prefix(std::size_t(n));
    }
    return true;
}

std::string FolderOf(const std::string& FileName) {
    const std::size_t slash = FileName.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : FileName.substr(0, slash);
}

}  // namespace

std::string FormatStationFileLine(const TStationRecord& Station) {
    std::string line;
    for (const std::string& field : Station.Fields) line += field + "#";
    return line;
}

TStationFileResult WriteStationFile(const std::string& FileName, TStationSource& Source) {
    std::string text = std::string(StationFileVersion) + "\r\n";
    TStationRecord station;
    while (Source.NextStation(station)) {
        for (int32_t f = 0; f < StationFieldCount; ++f) {
            const std::string& value = station.Fields[f];
            const char* what = value.find('#') != std::string::npos ? "holds '#'"
                               : value.find_first_of("\r\n") != std::string::npos ? "holds a line break"
                                                                                   : nullptr;
            if (what) {
                return {false, SaveFailure("station " + StationLineForMessage(station) + ": field " +
                                           StationFieldNames[f] + " " + what)};
            }
        }
        text += FormatStationFileLine(station) + "\r\n";
    }

    // A name of our own beside the target; created by open so that the umask applies
    // as it does to any file the program writes.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        temp = FileName + ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(attempt);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && (errno != EEXIST || attempt >= 100)) return {false, SaveFailure(std::strerror(errno))};
    }
    const auto fail = [&](int Err, bool Open) {
        if (Open) ::close(fd);
        ::unlink(temp.c_str());
        return TStationFileResult{false, SaveFailure(std::strerror(Err))};
    };
    if (!WriteAll(fd, text) || ::fsync(fd) != 0) return fail(errno, true);
    if (::close(fd) != 0) return fail(errno, false);
    if (::rename(temp.c_str(), FileName.c_str()) != 0) return fail(errno, false);
    // The rename itself reaches the disk with the folder.
    const int dir = ::open(FolderOf(FileName).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {true, "station data succesfully exported to: " + CR + FileName};
}

void ImportStationLine(const std::string& Line, TStationStore& Store, bool ImportKeywords) {
    std::string rest = Line;
    TStationRecord s;
    for (std::string& field : s.Fields) SplitToken(rest, '#', field);
    const bool found = Store.LocateStation(s[sfNavArea], s[sfFreq], s[sfIdLetter], s[sfCallSign]);
    if (found) {
        Store.EditStation();
    } else {
        Store.AppendStation();
    }
    try {
        const int32_t first = found ? sfLocation : sfNavArea;
        for (int32_t f = first; f < StationFieldCount; ++f) {
            if (found && !ImportKeywords && (f == sfIdText || f == sfUniqueId)) continue;
            Store.SetField(TStationField(f), s.Fields[f]);
        }
        Store.PostStation();
    } catch (...) {
        // A half-set record must not wait in the table for the next post.
        Store.CancelStation();
        throw;
    }
    if (!found) Store.ProcessMessages();
}

TStationFileResult ReadStationFile(const std::string& FileName, TStationStore& Store, bool ImportKeywords) {
    const auto openFailure = [](int Err) {
        return TStationFileResult{false, "error while opening file" + CR + "System reports: " + std::strerror(Err)};
    };
    const int fd = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return openFailure(errno);
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            return openFailure(err);
        }
        if (n == 0) break;
        text.append(buffer, std::size_t(n));
    }
    ::close(fd);

    // Lines end in CR LF, LF or CR, as a text list reads them.
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find_first_of("\r\n", at);
        if (end == std::string::npos) {
            lines.push_back(text.substr(at));
            break;
        }
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
        if (text[end] == '\r' && at < text.size() && text[at] == '\n') ++at;
    }

    if (lines.empty() || lines[0] != StationFileVersion) {
        return {false, "Import file not compatible with this version of Tilo!" + CR +
                           " You must upgrade to version 5.6 or higher."};
    }
    for (std::size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].find_first_not_of(" \t") == std::string::npos) continue;
        ImportStationLine(lines[i], Store, ImportKeywords);
    }
    return {true, "station data succesfully imported from: " + CR + FileName};
}

}  // namespace tilo
