#include "app/CfgFiles.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "app/MesUtilD4.h"
#include "classlib/NumConv.h"

namespace tilo {

namespace {

std::string Upper(std::string_view s) {
    std::string u(s);
    for (char& c : u) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return u;
}

// "[" + Name + "]", built by appending (GCC 12 warns falsely on "[" + std::string).
std::string Header(std::string_view Name) {
    std::string h;
    h.reserve(Name.size() + 2);
    h += '[';
    h += Name;
    h += ']';
    return h;
}

bool LineMatchesKey(const std::string& Line, const std::string& KeyEq) {
    std::string l = Line;
    DeleteChar(l, ' ');
    return Upper(l).starts_with(KeyEq);
}

}  // namespace

TCfgFile::TCfgFile(std::string Path) : FPath(std::move(Path)) {
    std::error_code ec;
    if (!std::filesystem::exists(FPath, ec)) return;
    std::string all;
    const int fd = ::open(FPath.c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = fd >= 0;
    char buf[65536];
    while (ok) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        all.append(buf, static_cast<std::size_t>(n));
    }
    if (fd >= 0) ::close(fd);
    if (!ok) throw ECfgFileError("TCfgFile - kan niet openen: " + FPath);
    std::size_t pos = 0;
    while (pos < all.size()) {
        std::size_t end = all.find('\n', pos);
        if (end == std::string::npos) end = all.size();
        std::size_t stop = end;
        if (stop > pos && all[stop - 1] == '\r') --stop;
        Lines.emplace_back(all, pos, stop - pos);
        pos = end + 1;
    }
}

void TCfgFile::Save() const {
    const std::string tmp = FPath + "." + std::to_string(::getpid()) + ".tmp";
    const auto fail = [&] { throw ECfgFileError("TCfgFile - kan niet schrijven: " + FPath); };
    std::string text;
    for (const std::string& line : Lines) {
        text += line;
        text += "\r\n";
    }
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) fail();
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || std::rename(tmp.c_str(), FPath.c_str()) != 0) {
        ::unlink(tmp.c_str());
        fail();
    }
}

bool TCfgFile::FindSection(std::string_view Section, int32_t& First, int32_t& Last) const {
    const std::string header = Header(Upper(Section));
    const int32_t n = static_cast<int32_t>(Lines.size());
    for (int32_t i = 0; i < n; ++i) {
        if (Upper(Lines[i]) != header) continue;
        First = i + 1;
        Last = First;
        while (Last < n && !Lines[Last].starts_with('[')) ++Last;
        --Last;
        return true;
    }
    return false;
}

bool TCfgFile::SectionExists(std::string_view Section) const {
    int32_t first, last;
    return FindSection(Section, first, last);
}

int32_t TCfgFile::FindKey(std::string_view Section, std::string_view Key) const {
    int32_t first, last;
    if (!FindSection(Section, first, last)) return -1;
    const std::string keyEq = Upper(Key) + "=";
    for (int32_t i = last; i >= first; --i) {
        if (LineMatchesKey(Lines[i], keyEq)) return i;
    }
    return -1;
}

void TCfgFile::WriteRaw(std::string_view Section, std::string_view Key, std::string_view Value) {
    const std::string line = Upper(Key) + "=" + std::string(Value);
    int32_t first, last;
    if (!FindSection(Section, first, last)) {
        Lines.push_back(Header(Section));
        Lines.push_back(line);
        return;
    }
    if (const int32_t at = FindKey(Section, Key); at >= 0) {
        Lines[at] = line;
    } else if (last == static_cast<int32_t>(Lines.size()) - 1) {
        Lines.push_back(line);
    } else {
        Lines.insert(Lines.begin() + last + 1, line);
    }
}

std::string TCfgFile::ReadString(std::string_view Section, std::string_view Key, std::string_view Default) const {
    std::string value(Default);
    int32_t first, last;
    if (!FindSection(Section, first, last)) return value;
    const std::string keyEq = Upper(Key) + "=";
    for (int32_t i = first; i <= last; ++i) {
        if (!LineMatchesKey(Lines[i], keyEq)) continue;
        const std::string& l = Lines[i];
        std::size_t v = l.find('=') + 1;
        while (v < l.size() && static_cast<unsigned char>(l[v]) <= ' ') ++v;
        value = l.substr(v);
    }
    return value;
}

int32_t TCfgFile::ReadInteger(std::string_view Section, std::string_view Key, int32_t Default) const {
    int32_t v;
    return classlib::TryStrToInt(ReadString(Section, Key, ""), v) ? v : Default;
}

void TCfgFile::WriteString(std::string_view Section, std::string_view Key, std::string_view Value) {
    WriteRaw(Section, Key, Value);
}

void TCfgFile::WriteInteger(std::string_view Section, std::string_view Key, int32_t Value) {
    WriteString(Section, Key, classlib::IntToStr(Value));
}

void TCfgFile::EraseSection(std::string_view Section) {
    int32_t first, last;
    if (!FindSection(Section, first, last)) return;
    Lines.erase(Lines.begin() + (first - 1), Lines.begin() + (last + 1));
}

}  // namespace tilo
