// TCfgFile: the settings file "Tilo.ini" as a list of 8-bit lines, read and written one
// key at a time. An object lives for one operation: load, read or change keys, save
// when changed, free. It never saves by itself.
//
// File syntax and matching rules:
// - A section header is a whole line "[NAME]", compared without regard to case. A
//   section's lines run from after its header up to, not including, the next line that
//   begins with "[", or to the end of the file. Only the first header of a name counts.
// - A line matches KEY when, with its first blank removed, its upper-case form begins
//   with KEY + "=" (KEY upper-cased). Reading takes the last matching line of the
//   section; its value is the text after the first "=", leading blanks removed.
// - Writing replaces the last matching line too, so that what is written is what the
//   next read returns. A new key goes after the section's last line; a missing section
//   is appended with the letter case the caller gave. Keys are written upper-cased.
// - Lines are read with LF or CR LF endings and written with CR LF. Every other line
//   (comments, blank lines) is kept as it is.
// - Save writes a temporary file in the same folder and renames it over the file, so a
//   crash while saving leaves either the old or the new file, never a truncated one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "classlib/SysUtils.h"

namespace tilo {

class ECfgFileError : public classlib::Exception { using Exception::Exception; };

class TCfgFile {
public:
    // Loads Path when the file exists (a missing file gives no lines); raises
    // ECfgFileError "TCfgFile - kan niet openen: " + Path when it cannot be read.
    explicit TCfgFile(std::string Path);

    const std::string& Path() const { return FPath; }
    std::vector<std::string> Lines;

    // Raises ECfgFileError "TCfgFile - kan niet schrijven: " + Path; the file on disk is
    // then unchanged.
    void Save() const;

    // First = the line after the header, Last = the section's last line (First - 1 when
    // the section is empty).
    bool FindSection(std::string_view Section, int32_t& First, int32_t& Last) const;
    bool SectionExists(std::string_view Section) const;
    // The line a write of Key replaces (the last match), or -1.
    int32_t FindKey(std::string_view Section, std::string_view Key) const;

    void WriteRaw(std::string_view Section, std::string_view Key, std::string_view Value);
    std::string ReadString(std::string_view Section, std::string_view Key, std::string_view Default) const;
    // The default when the key is missing or its value is not a 32-bit integer.
    int32_t ReadInteger(std::string_view Section, std::string_view Key, int32_t Default) const;
    void WriteString(std::string_view Section, std::string_view Key, std::string_view Value);
    void WriteInteger(std::string_view Section, std::string_view Key, int32_t Value);
    // Deletes the section's header and lines; nothing when it is missing.
    void EraseSection(std::string_view Section);

private:
    std::string FPath;
};

}  // namespace tilo
