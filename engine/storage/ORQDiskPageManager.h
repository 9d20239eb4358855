// TORQDiskPageManager, header side: the disk database's file and its 380-byte header,
// how a database file is created, found, opened and closed, the header's lock bytes,
// the next object id and the file length. Page input and output build on it.
//
// Header layout (B = header base: 0 for every created file, else where the signature
// was found; little-endian, zero where nothing is stored):
//   B + 0    part 1, 76 bytes: "ORQUANT0DATABASE", length 76 i16, version f64 (5.18),
//            page size u16, pages per extent u16, page count i32, highest used page
//            i32 (-1 none), change counter i32, state u8 (2 consistent, 1 commit being
//            written), encrypted u8 (0xFF), 32 reserved bytes
//   B + 76   part 2, 280 bytes: length 280 i16, algorithm u8, 0, 256 check bytes stored
//            enciphered, CRC32 of the plain check bytes u32, 16 reserved bytes; all but
//            the length zero without a password
//   B + 356  part 3, 20 bytes: length 20 i16, then zeros; byte 3 is the tables lock,
//            byte 4 the header lock
//   B + 376  next object id i32; its first byte is the next-object-id lock
//   B + 380  page 0, then one page every page size bytes
//
// Rules kept here:
// - Part 1 is never written without its signature and length.
// - A header is accepted only when its geometry cannot divide by zero or overflow later:
//   page size above 40, pages per extent above 0, 4 x (page size - 40) x pages per extent
//   within Int32, and an algorithm id of 0 to 7 when encrypted (20237 otherwise).
// - The file length is always set absolutely (page-0 offset + count x page size), so a
//   crash between a growth and the count's store cannot leave pages misaligned.
// - The header lock nests within one manager: only the first LockHeader takes the byte
//   and only the last UnlockHeader releases it. Every wait is 4500 tries 20 ms apart.
// - A failed open leaves the file closed.
// - Every header operation runs under the page cache's critical section, so threads of one
//   process never interleave on the file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/storage/ORQDatabaseFile.h"
#include "engine/storage/ORQPage.h"
#include "engine/storage/ORQSecurity.h"

namespace orq {

class TORQDiskPageManager;

// Stub: the free-space map (PFS and EAM pages, allocation and growth) arrives with page
// input and output. Until then it only marks that a database is open; the page count and
// the highest used page live in header part 1.
class TORQDatabaseFreeSpaceManager {
public:
    explicit TORQDatabaseFreeSpaceManager(TORQDiskPageManager& PageManager) : FPageManager(PageManager) {}
    TORQDiskPageManager& PageManager() const { return FPageManager; }

private:
    TORQDiskPageManager& FPageManager;
};

class TORQDiskPageManager : public TORQPageManager {
public:
    static constexpr char Signature[] = "ORQUANT0DATABASE";
    static constexpr int32_t HeaderPart1Size = 76;
    static constexpr int32_t HeaderPart2Size = 280;
    static constexpr int32_t HeaderPart3Size = 20;
    static constexpr int32_t HeaderSizeTotal = 380;
    static constexpr int32_t PasswordCheckSize = 256;
    static constexpr uint16_t DiskPageHeaderSize = 40;
    static constexpr double FileFormatVersion = 5.18;
    static constexpr double MinimumVersion = 2.99;
    static constexpr int32_t LockTries = 4500;
    static constexpr int32_t LockDelay = 20;

    // Part 1 offsets.
    static constexpr int32_t hVersion = 18;
    static constexpr int32_t hPageSize = 26;
    static constexpr int32_t hPagesPerExtent = 28;
    static constexpr int32_t hPageCount = 30;
    static constexpr int32_t hHighestUsedPage = 34;
    static constexpr int32_t hChangeCounter = 38;
    static constexpr int32_t hState = 42;
    static constexpr int32_t hEncrypted = 43;

    explicit TORQDiskPageManager(int64_t AvailableMemory = GlobalMemoryManager().GetAvailableMemory());
    ~TORQDiskPageManager() override;

    // Parts 1 to 3 as a new file gets them, offsets for a header at 0.
    void SetDefaultHeader();

    // 10461 while a file is open; 20237 for a geometry or algorithm a header may not hold.
    // Leaves the 380 header bytes, open for reading and writing with share mode 0.
    void CreateDatabaseFile(const std::string& FileName, const TORQPassword& Password, uint16_t PagesPerExtent,
                            uint16_t PageSize);
    // Answers whether the file needs repair (state not 2, or version below 2.99).
    // MultiUser and ReadOnly come back as the file allows them. Codes: 10462 in use,
    // 20230 header locked, 10470 no signature, 20237 bad geometry or layout, 30445 wrong
    // password, and the file layer's.
    bool OpenDatabaseFile(const std::string& FileName, const TORQPassword& Password, bool& MultiUser,
                          bool Exclusive, bool& ReadOnly);
    void CloseDatabaseFile();

    // Whether this process may write the file; a file without write permission also
    // turns MultiUser off. The probe opens it for writing with the share mode the open
    // would use (deny write unless multi-user), so a file another process holds open for
    // writing is not writable to a single-user open.
    static bool IsFileWritable(const std::string& FileName, bool& MultiUser);

    void ReadHeader();
    // With CheckExternalChange in design-time mode: 20196 when another application changed
    // the file. 20237 when part 1 lacks its signature or length.
    void WriteHeader(bool CheckExternalChange);
    void ReadPasswordCheck();
    void WritePasswordCheck();
    void ReadLockArea();
    void WriteLockArea();

    int32_t GetNextObjectID();
    // Writes 0 as the next object id; 30401 when its lock cannot be taken.
    void InitNextObjectID();

    bool LockHeader();
    bool UnlockHeader();
    bool LockTables();
    bool UnlockTables();
    bool LockNextObjectID();
    bool UnlockNextObjectID();

    // Under the header lock: reloads the counts and cuts the pages above the highest used.
    void ShrinkFile();
    void AddPages(int32_t Count);
    void RemovePages(int32_t Count);

    uint8_t* GetHeaderBuffer() { return FHeader1; }
    const uint8_t* GetPasswordCheckBuffer() const { return FHeader2; }
    const uint8_t* GetLockAreaBuffer() const { return FHeader3; }
    bool IsEncrypted() const { return FHeader1[hEncrypted] != 0; }
    const TORQPassword& GetPassword() const { return FPassword; }

    // Fields of part 1 in memory.
    int32_t HeaderPageCount() const;
    void SetHeaderPageCount(int32_t Value);
    int32_t HighestUsedPage() const;
    void SetHighestUsedPage(int32_t Value);
    int32_t ChangeCounter() const;
    uint8_t State() const { return FHeader1[hState]; }
    double Version() const;
    uint16_t PagesPerExtent() const;

    TORQDatabaseFile& DatabaseFile() { return *FDatabaseFile; }
    TORQDatabaseFreeSpaceManager* FreeSpaceManager() const { return FFreeSpaceManager.get(); }
    bool Exclusive() const { return FExclusive != 0; }
    int32_t HeaderLockCount() const { return FHeaderLockCount; }
    int64_t HeaderOffset() const { return FHeaderOffset; }
    int64_t Part2Offset() const { return FPart2Offset; }
    int64_t Part3Offset() const { return FPart3Offset; }
    int64_t NextObjectIDOffset() const { return FNextObjectIDOffset; }
    int64_t Page0Offset() const { return FPage0Offset; }

    // Design-time mode opens the file around each operation; otherwise these do nothing.
    void AcquireFile();
    void ReleaseFile();

    // Page input and output arrive with the page side of this class.
    void AllocatePage(TORQPage* Page) override;
    void FreePage(int32_t PageNo) override;
    bool ReadPage(TORQPage* Page) override;
    void WritePage(TORQPage* Page) override;

private:
    class TFileUse;
    // 20237 unless the engine can work with this page size and extent.
    static void CheckGeometry(uint16_t PageSize, uint16_t PagesPerExtent);
    void CheckOpen(int32_t Code) const;
    void SetPageGeometry(uint16_t Size);
    // Part 1 holds the signature and the length 76.
    bool HeaderPart1Valid() const;
    void WriteFileLength(int32_t PageCount);

    std::unique_ptr<TORQDatabaseFile> FDatabaseFile;
    std::unique_ptr<TORQDatabaseFreeSpaceManager> FFreeSpaceManager;
    uint8_t FHeader1[HeaderPart1Size] = {};
    uint8_t FHeader2[HeaderPart2Size] = {};
    TORQPassword FPassword;
    uint8_t FHeader3[HeaderPart3Size] = {};
    int32_t FHeaderLockCount = 0;
    int64_t FHeaderLockOffset = 0;
    uint8_t FExclusive = 0;
    uint8_t FDatabaseOpen = 0;
    int64_t FHeaderOffset = 0;
    int64_t FPart2Offset = HeaderPart1Size;
    int64_t FPart3Offset = HeaderPart1Size + HeaderPart2Size;
    int64_t FNextObjectIDOffset = HeaderPart1Size + HeaderPart2Size + HeaderPart3Size;
    int64_t FPage0Offset = HeaderSizeTotal;
    // On a read-only file: ids handed out count up in memory from one random offset.
    uint8_t FReadOnlyIDTaken = 0;
    int32_t FReadOnlyIDOffset = 0;
    int32_t FLastReadOnlyID = 0;
};

}  // namespace orq
