#include "engine/storage/ORQCatalog.h"

#include <algorithm>
#include <cstring>

#include "engine/foundation/ORQCompression.h"
#include "engine/foundation/ORQEndian.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQConst.h"
#include "engine/storage/ORQDefinitions.h"
#include "engine/storage/ORQDiskPageManager.h"

namespace orq {

namespace {

constexpr int32_t SessionSystem = -2;

std::string_view CutName(std::string_view Name) { return Name.substr(0, MaxTableNameLength); }

// The whole content of a transacted file for session -2, read with validation so that a
// copy another process committed since is read again.
std::vector<uint8_t> ReadWhole(TORQInternalDBTransactedAccessFile& File) {
    const int32_t size = File.GetUncompressedSize(SessionSystem);
    std::vector<uint8_t> bytes(static_cast<std::size_t>(size));
    File.ReadFile(SessionSystem, bytes.data(), true, size);
    return bytes;
}

}  // namespace

// ---------------------------------------------------------------------------------
// System directory

TORQSystemDirectory::TORQSystemDirectory(TORQDiskPageManager& PageManager)
    : FPageManager(PageManager), FFile(PageManager, ptFileSystemDirectory) {}

void TORQSystemDirectory::CreateDirectory() {
    FFile.CreateFile(SessionSystem);
    if (FFile.FirstPage() != SystemDirectoryPageNo)
        RaiseNativeFmt(30392, "Error Creating SystemDirectory. SystemDirectoryPageNo=%d. Real PageNo=%d.",
                       {FFile.FirstPage(), SystemDirectoryPageNo});
    FEntries.clear();
}

void TORQSystemDirectory::LoadDirectory() {
    FFile.OpenFile(SystemDirectoryPageNo);
    const std::vector<uint8_t> bytes = ReadWhole(FFile);
    std::vector<TEntry> entries;
    for (std::size_t at = 0; at + DirectoryEntrySize <= bytes.size(); at += DirectoryEntrySize)
        entries.push_back({bytes[at], static_cast<int32_t>(LoadLE32(bytes.data() + at + 1))});
    FEntries = std::move(entries);
}

void TORQSystemDirectory::SaveDirectory() {
    std::vector<uint8_t> bytes(FEntries.size() * DirectoryEntrySize, 0);
    for (std::size_t i = 0; i < FEntries.size(); ++i) {
        bytes[i * DirectoryEntrySize] = FEntries[i].Kind;
        StoreLE32(bytes.data() + i * DirectoryEntrySize + 1, static_cast<uint32_t>(FEntries[i].FirstPage));
    }
    FFile.WriteFile(SessionSystem, bytes.data(), 0, CompressionNone, static_cast<int32_t>(bytes.size()));
}

void TORQSystemDirectory::AddEntry(uint8_t Kind, int32_t FirstPage) { FEntries.push_back({Kind, FirstPage}); }

int32_t TORQSystemDirectory::FindEntry(uint8_t Kind) const {
    for (const TEntry& e : FEntries)
        if (e.Kind == Kind) return e.FirstPage;
    return -1;
}

// ---------------------------------------------------------------------------------
// Table catalog

TORQTableListFile::TORQTableListFile(TORQDiskPageManager& PageManager) : FPageManager(PageManager) {}

int32_t TORQTableListFile::CreateCatalog() {
    TORQInternalDBTransactedAccessFile file(FPageManager, ptTableList);
    file.CreateFile(SessionSystem);
    return file.FirstPage();
}

void TORQTableListFile::OpenCatalog(int32_t FirstPage) {
    if (FFile) RaiseNative(30393, "Table list file already opened.");
    auto file = std::make_unique<TORQInternalDBTransactedAccessFile>(FPageManager, ptTableList);
    file->OpenFile(FirstPage);
    FFile = std::move(file);
    FEntries.clear();
}

void TORQTableListFile::CloseCatalog() {
    FFile.reset();
    FEntries.clear();
}

void TORQTableListFile::CheckOpen() const {
    if (!FFile) RaiseNativeFmt(30389, "Cannot perform this operation (%s) on closed internal file", {"ReadFile"});
}

void TORQTableListFile::LoadCatalog() {
    CheckOpen();
    const std::vector<uint8_t> bytes = ReadWhole(*FFile);
    std::vector<TEntry> entries;
    for (std::size_t at = 0; at + CatalogEntrySize <= bytes.size(); at += CatalogEntrySize) {
        const uint8_t* e = bytes.data() + at;
        TEntry entry;
        entry.Name.assign(reinterpret_cast<const char*>(e + 1), e[0]);
        entry.TableID = static_cast<int32_t>(LoadLE32(e + 256));
        entry.MetaDataPage = static_cast<int32_t>(LoadLE32(e + 260));
        entry.StatePage = static_cast<int32_t>(LoadLE32(e + 264));
        entry.LocksPage = static_cast<int32_t>(LoadLE32(e + 268));
        entries.push_back(std::move(entry));
    }
    FEntries = std::move(entries);
}

void TORQTableListFile::SaveCatalog() {
    if (!FFile) RaiseNativeFmt(30389, "Cannot perform this operation (%s) on closed internal file", {"WriteFile"});
    std::vector<uint8_t> bytes(FEntries.size() * CatalogEntrySize, 0);
    for (std::size_t i = 0; i < FEntries.size(); ++i) {
        uint8_t* e = bytes.data() + i * CatalogEntrySize;
        const std::string_view name = CutName(FEntries[i].Name);
        e[0] = static_cast<uint8_t>(name.size());
        std::memcpy(e + 1, name.data(), name.size());
        StoreLE32(e + 256, static_cast<uint32_t>(FEntries[i].TableID));
        StoreLE32(e + 260, static_cast<uint32_t>(FEntries[i].MetaDataPage));
        StoreLE32(e + 264, static_cast<uint32_t>(FEntries[i].StatePage));
        StoreLE32(e + 268, static_cast<uint32_t>(FEntries[i].LocksPage));
    }
    FFile->WriteFile(SessionSystem, bytes.data(), 0, CompressionNone, static_cast<int32_t>(bytes.size()));
}

int32_t TORQTableListFile::FindEntry(std::string_view Name) const {
    const std::string_view key = CutName(Name);
    for (std::size_t i = 0; i < FEntries.size(); ++i)
        if (SameName(FEntries[i].Name, key)) return static_cast<int32_t>(i);
    return -1;
}

void TORQTableListFile::AddTable(std::string_view Name, int32_t TableID, int32_t LocksPage, int32_t StatePage,
                                 int32_t MetaDataPage) {
    if (FindEntry(Name) >= 0)
        RaiseNativeFmt(30395, "Cannot create table. Table '%s' already exists", {std::string(Name)});
    FEntries.push_back({std::string(CutName(Name)), TableID, MetaDataPage, StatePage, LocksPage});
}

void TORQTableListFile::GetTable(std::string_view Name, int32_t& TableID, int32_t& MetaDataPage, int32_t& StatePage,
                                 int32_t& LocksPage) const {
    const int32_t i = FindEntry(Name);
    if (i < 0) RaiseNativeFmt(30396, "Table '%s' not exists.", {std::string(Name)});
    const TEntry& e = FEntries[static_cast<std::size_t>(i)];
    TableID = e.TableID;
    MetaDataPage = e.MetaDataPage;
    StatePage = e.StatePage;
    LocksPage = e.LocksPage;
}

void TORQTableListFile::DeleteTable(std::string_view Name) {
    const int32_t i = FindEntry(Name);
    if (i < 0) RaiseNativeFmt(30405, "Table '%s' not exists.", {std::string(Name)});
    FEntries.erase(FEntries.begin() + i);
}

void TORQTableListFile::RenameTable(std::string_view Name, std::string_view NewName) {
    const int32_t i = FindEntry(Name);
    if (i < 0) RaiseNativeFmt(30397, "Table '%s' not exists.", {std::string(Name)});
    // Two entries of one name would make the second unreachable.
    const int32_t other = FindEntry(NewName);
    if (other >= 0 && other != i)
        RaiseNativeFmt(30395, "Cannot create table. Table '%s' already exists", {std::string(NewName)});
    FEntries[static_cast<std::size_t>(i)].Name = std::string(CutName(NewName));
}

void TORQTableListFile::GetTablesList(std::vector<std::string>& List) {
    LoadCatalog();
    List.clear();
    for (const TEntry& e : FEntries) List.push_back(e.Name);
}

}  // namespace orq
