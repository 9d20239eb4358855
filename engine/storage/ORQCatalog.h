// The two transacted internal files that anchor a disk database, both read and written
// whole for the system session -2 and stored plainly:
//   TORQSystemDirectory (page type 4, always at page 2): where the database-wide files
//     start, as packed 5-byte entries: kind u8 (1 table catalog, 2 active-sessions file),
//     first page i32;
//   TORQTableListFile (page type 6, the catalog): every table in creation order, as packed
//     272-byte entries: name (length u8, then 255 bytes, zero-filled), table id i32, first
//     pages of the metadata (type 8), state (type 9) and table-locks (type 7) files, i32 each.
//
// Rules kept here:
// - A name is kept to its first 255 bytes, and look-ups cut the name they are given the
//   same way, so a long name finds its own entry and cannot be added twice.
// - Names compare with SameName (ASCII letters without case); no two entries share a name,
//   a rename included.
// - The in-memory entries change only through these calls; a change reaches the file with
//   SaveCatalog and other processes with the commit of session -2. Callers that share the
//   file reload before they look or change (the disk database does so under its tables lock).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/ORQInternalFiles.h"

namespace orq {

class TORQDiskPageManager;

inline constexpr int32_t SystemDirectoryPageNo = 2;
inline constexpr uint8_t DirectoryTableList = 1;
inline constexpr uint8_t DirectoryActiveSessions = 2;
inline constexpr int32_t DirectoryEntrySize = 5;
inline constexpr int32_t CatalogEntrySize = 272;
inline constexpr int32_t MaxTableNameLength = 255;

class TORQSystemDirectory {
public:
    struct TEntry {
        uint8_t Kind = 0;
        int32_t FirstPage = -1;
    };

    explicit TORQSystemDirectory(TORQDiskPageManager& PageManager);

    // 30392 unless the new file's first page is page 2.
    void CreateDirectory();
    void LoadDirectory();
    void SaveDirectory();
    void AddEntry(uint8_t Kind, int32_t FirstPage);
    // The first page of the first entry of Kind, -1 when there is none.
    int32_t FindEntry(uint8_t Kind) const;
    const std::vector<TEntry>& Entries() const { return FEntries; }

private:
    TORQDiskPageManager& FPageManager;
    TORQInternalDBTransactedAccessFile FFile;
    std::vector<TEntry> FEntries;
};

class TORQTableListFile {
public:
    struct TEntry {
        std::string Name;
        int32_t TableID = 0;
        int32_t MetaDataPage = -1;
        int32_t StatePage = -1;
        int32_t LocksPage = -1;
    };

    explicit TORQTableListFile(TORQDiskPageManager& PageManager);

    // The first page of a new, empty catalog file for session -2; this object stays closed.
    int32_t CreateCatalog();
    // 30393 when open already.
    void OpenCatalog(int32_t FirstPage);
    void CloseCatalog();
    bool IsOpen() const { return FFile != nullptr; }
    void LoadCatalog();
    void SaveCatalog();

    // Index of the entry named Name, -1 when absent.
    int32_t FindEntry(std::string_view Name) const;
    // 30395 when the name exists.
    void AddTable(std::string_view Name, int32_t TableID, int32_t LocksPage, int32_t StatePage, int32_t MetaDataPage);
    // 30396 when absent.
    void GetTable(std::string_view Name, int32_t& TableID, int32_t& MetaDataPage, int32_t& StatePage,
                  int32_t& LocksPage) const;
    // 30405 when absent; later entries move up.
    void DeleteTable(std::string_view Name);
    // 30397 when absent; 30395 when another table has the new name.
    void RenameTable(std::string_view Name, std::string_view NewName);
    bool TableExists(std::string_view Name) const { return FindEntry(Name) >= 0; }
    // Loads the catalog, then lists every name in catalog order.
    void GetTablesList(std::vector<std::string>& List);
    const std::vector<TEntry>& Entries() const { return FEntries; }
    int32_t FirstPage() const { return FFile ? FFile->FirstPage() : -1; }

private:
    void CheckOpen() const;

    TORQDiskPageManager& FPageManager;
    std::unique_ptr<TORQInternalDBTransactedAccessFile> FFile;
    std::vector<TEntry> FEntries;
};

}  // namespace orq
