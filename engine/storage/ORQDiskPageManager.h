// TORQDiskPageManager: the disk database's file and its 380-byte header (how a database
// file is created, found, opened and closed, the header's lock bytes, the next object id
// and the file length), and page input and output with the commit bracket.
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
// Page layout (P = page size; the data area is P - 40 bytes at offset 40), page N at
// page-0 offset + N x P:
//   0 "ORQP", 4 change stamp i32 (0 .. 2147483644, then 0 again; 2147483647 on disk marks
//   a freed page), 8 type u16, 10 next page i32 (-1), 14 CRC32 of the plain data area i32
//   (encrypted databases only), 18, 19 bytes, 20 cipher id, 21 byte, 22 owner table i32
//   (-1), 26 i32 (-1), 30 i16, 32 eight reserved bytes (zero).
//
// Commit bracket (CommitSession), all-or-nothing through the commit journal beside the
// file (ORQCommitJournal.h): header lock; the state byte read under it; the writes of the
// commit (freed pages released, changed pages in page order, change counter + 1 in part
// 1) collected in the journal, with the map pages and the length that the session's
// allocations changed before the commit; pages the session allocated written straight
// through (and synced) when there are many; the journal sealed and synced (the commit
// point);
// multi-user: state 1 written in place, telling the other processes that a commit is
// being applied; the journal applied in place; barrier; the journal invalidated; unlock.
// Two fdatasync calls per commit, three when it wrote pages straight through, governed
// by CommitBarriers. A failure before the commit point leaves the file as it was and
// drops the cached pages; a failure after it applies the journal again at once, and when
// that fails too, before the next read or change (the error raised is 31481).
//
// Recovery: the open (under the header lock, before the header is read), the next commit
// or change, and in multi-user mode every table lock period that finds state 1, apply a
// valid journal that matches the file and remove any other. A read-only open that finds
// one raises 31482.
//
// A file that needs repair takes no change: when the commit finds a state other than 2
// that no journal explains (a file written before the journal, or damaged) it raises
// 20300 before writing anything, and so do the writes that precede a commit (a page
// allocation, which changes map pages at once, and a growth of the file). Frees run
// inside a commit or undo a rollback's allocations, and are let through. Writing on
// could hand a killed commit's pages (a BLOB among them) to other rows. Only the rebuild,
// which reads its source in recovery mode, is exempt; its state stays as found.
//
// Rules kept here:
// - In an encrypted database every page but the map pages has its data area enciphered
//   on disk, with the CRC32 of the plain data in its header. A copy is enciphered for the
//   write: the cached page stays plain whatever happens.
// - A page read that fails or comes back short answers false with the page's stamp set
//   to 2147483647; stamp, region and cipher failures raise. A failed read or decipher
//   leaves the cached bytes as they were (stamp invalid). A stamp that is negative or
//   2147483644 and above is written as 0.
// - The cached page changes (stamp, CRC, cipher id) only after its write succeeded.
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
#include <vector>

#include "engine/storage/ORQCommitJournal.h"
#include "engine/storage/ORQDatabaseFile.h"
#include "engine/storage/ORQFreeSpace.h"
#include "engine/storage/ORQPage.h"
#include "engine/storage/ORQSecurity.h"
#include "engine/storage/ORQTablePagesCache.h"

namespace orq {

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

    // A sole writer takes part 1 from its copy of what the file holds, when it has one.
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
    // No other process can change the file while this one has it: open for writing by a
    // single user (others may then only read), outside design-time mode, which closes the
    // handle between uses. The header and map as this process last read or wrote them
    // then stand for the file, as its cached pages already do.
    bool SoleWriter() const;
    int32_t HeaderLockCount() const { return FHeaderLockCount; }
    int64_t HeaderOffset() const { return FHeaderOffset; }
    int64_t Part2Offset() const { return FPart2Offset; }
    int64_t Part3Offset() const { return FPart3Offset; }
    int64_t NextObjectIDOffset() const { return FNextObjectIDOffset; }
    int64_t Page0Offset() const { return FPage0Offset; }

    // Design-time mode opens the file around each operation; otherwise these do nothing.
    void AcquireFile();
    void ReleaseFile();

    static constexpr int32_t InvalidStamp = 2147483647;
    static constexpr int32_t MaxStamp = 2147483644;
    static constexpr int32_t PageCipherOffset = 20;
    static constexpr int32_t PageCrcOffset = 14;

    // fdatasync of the sealed journal and of the database file after the journal's
    // writes in every commit.
    bool CommitBarriers = true;
    // From this many allocated pages on, a commit writes them straight to the file and
    // syncs it before sealing the journal, instead of carrying them in the journal.
    static constexpr size_t DirectPagesMinimum = 64;

    // Header lock (4500 tries 20 ms apart, else 20236), then the stored page count.
    int32_t GetPageCount() override;
    bool IsPageCurrent(int32_t SessionID, TORQPage* Page) override;
    void PageLoaded(int32_t SessionID, TORQPage* Page) override;
    void AllocatePage(TORQPage* Page) override;
    // Stamps the page 2147483647 on disk first (20198), so other processes see it changed.
    void FreePage(int32_t PageNo) override;
    // Every page stamped as FreePage does, then the numbers freed in one map operation.
    void FreePages(const std::vector<int32_t>& PageNos) override;
    bool ReadPage(TORQPage* Page) override;
    // Record and BLOB pages: freed only once emptied (a large BLOB's first page zeroed),
    // so a zero data area under their header reads as they did.
    bool MayDiscardFreedPage(const TORQPage& Page) const override;
    void WritePage(TORQPage* Page) override;
    // 30434 for a map page; else the base.
    void FreePageForSession(int32_t SessionID, int32_t PageNo) override;
    TORQPage* GetPage(int32_t SessionID, int32_t PageNo, bool Validate, uint16_t ExpectedType) override;
    // Pages asked of every disk page manager of the process, cached or not: what a
    // statement visits, for tests of its access path.
    static int64_t PageRequests();
    // The commit bracket above; 20213 when the header lock cannot be had, 20300 when the
    // file needs repair.
    void CommitSession(int32_t SessionID) override;
    // 20300 when the state byte the file holds now says it needs repair (outside recovery
    // mode) and no commit journal explains it: what a change that writes before its
    // commit asks first.
    void CheckFileChangesAllowed();
    // Under the header lock: applies a commit that a dead process (or this one, after a
    // failure) left in the journal. Answers whether the file's state is 2 now.
    bool ResolveInterruptedCommit();
    // Under a header lock just taken in a shared file: applies a journal another process
    // sealed and was killed before marking (see ORQCommitJournal.h).
    void ApplyLeftJournal();
    // At the open: gives the map back the pages a commit killed before its seal had
    // allocated, as its journal lists them, then removes the journal.
    void GiveBackAbandoned();
    bool FGivingBack = false;
    // The reserve a commit in progress released into its journal.
    std::vector<int32_t> FCommitReleased;
    // Before a multi-user lock period reads: a state of 1 is resolved first, and a journal
    // a killed writer sealed is applied. One read of the change counter and the state
    // byte beside it answers the counter every commit raises, so that a reader can tell
    // nothing was committed since it last looked. -1 outside multi-user mode.
    int64_t CheckInterruptedCommitCounter();
    bool RecoveryPending() const { return FRecoveryPending; }
    // The stamp on disk (ReadPageChangeCounter); raises on a read error.
    bool ReadStoredChangeStamp(TORQPage& Page, int32_t& Stamp) override;

    // 10471 for a negative page number.
    int64_t GetPageOffset(int32_t PageNo) const;
    // Raw page bytes, no cache, no cipher: 10476/10477 when Offset + Count passes the page
    // size, 10474/10475 when the file fails (a short read included).
    void ReadPageRegion(void* Buffer, int32_t PageNo, int32_t Count, int32_t Offset);
    void WritePageRegion(const void* Buffer, int32_t PageNo, int32_t Count, int32_t Offset);
    bool LockPageByte(int32_t PageNo, int32_t Offset);
    bool UnlockPageByte(int32_t PageNo, int32_t Offset);
    // Count bytes from Offset as one range: released only as that same range.
    bool LockPageRegion(int32_t PageNo, int32_t Offset, int32_t Count);
    bool UnlockPageRegion(int32_t PageNo, int32_t Offset, int32_t Count);
    bool IsPageByteLocked(int32_t PageNo, int32_t Offset);
    bool IsPageRegionLocked(int32_t PageNo, int32_t Offset, int32_t Count);
    // The change stamp on disk in multi-user mode (20197 when it cannot be read, a short
    // read included), 0 otherwise. 2147483647 only as a value the file holds.
    int32_t ReadPageChangeCounter(int32_t PageNo);
    void WritePageChangeCounter(int32_t PageNo, int32_t Value);

    // Before a change that would write: 20300 for a file left needing repair (outside
    // recovery mode), then 30962 while the handle is read-only. Nothing when it is writable.
    void CheckWritable();

    bool IsMapPage(int32_t PageNo) const {
        return !IsPrivatePage(PageNo) && FFreeSpaceManager && FFreeSpaceManager->IsMapPage(PageNo);
    }

    // Private pages: what a repair read builds for itself (a record page index rebuilt
    // from the pages) without writing a byte of the file it reads. Numbered from
    // PrivatePageBase, far above any page a file holds; they live only in the allocating
    // session's own list. Writing one raises 31463, a commit of a session holding one
    // raises 31463 before it writes anything, a free or rollback forgets them.
    static constexpr int32_t PrivatePageBase = 0x4000'0000;
    static bool IsPrivatePage(int32_t PageNo) { return PageNo >= PrivatePageBase; }
    // While set, AllocatePage hands out private pages and touches neither map nor file.
    uint8_t PrivateAllocation = 0;
    // Forgets the session's private pages (none may be taken); its other pages stay.
    void DropPrivatePages(int32_t SessionID);
    TORQDiskTablePagesCacheManager& TablePagesCache() { return FTablePagesCache; }

private:
    class TFileUse;
    // 20300 for a state other than 2 outside recovery mode.
    void CheckChangesAllowed(uint8_t State) const;
    // 30962 for a read-only handle: refused before anything is written, not failing on
    // the handle halfway through.
    void CheckHandleWritable() const;
    // 20237 unless the engine can work with this page size and extent.
    static void CheckGeometry(uint16_t PageSize, uint16_t PagesPerExtent);
    void CheckOpen(int32_t Code) const;
    void SetPageGeometry(uint16_t Size);
    // Part 1 holds the signature and the length 76.
    bool HeaderPart1Valid() const;
    void WriteFileLength(int32_t PageCount);
    void Barrier();
    // The header, page count and map as the file holds them now.
    void ReloadAfterChange();
    // After a commit failed: no sink, no cached page that may hold what never reached the
    // file, the header and map read again, the commit's allocations and released reserve
    // given back. False when those could not be given back. Never throws.
    bool AfterFailedCommit() noexcept;

    std::unique_ptr<TORQCommitJournal> FJournal;
    // A commit of this process passed its commit point without all its writes reaching
    // the file: recovered before the next read or change.
    bool FRecoveryPending = false;
    // The pages the committing session allocated, sorted, and whether they go straight
    // to the file.
    std::vector<int32_t> FCommitNewPages;
    bool FWriteNewDirect = false;
    bool FWroteDirect = false;
    // The free-space reserve back to the map on close; a failure keeps them marked used.
    void ReleaseReservedQuietly();

    std::unique_ptr<TORQDatabaseFile> FDatabaseFile;
    std::unique_ptr<TORQDatabaseFreeSpaceManager> FFreeSpaceManager;
    uint8_t FHeader1[HeaderPart1Size] = {};
    // Part 1 as the file holds it, while FStoredHeaderKnown: taken from a whole read or a
    // write that succeeded, forgotten as a write starts (a failed one leaves it unknown).
    uint8_t FStoredHeader1[HeaderPart1Size] = {};
    bool FStoredHeaderKnown = false;
    // The copy of part 1 may stand for the file: known, and no other writer.
    bool HeaderCopyStands() const;
    // A page on its way to or from the file, kept so a page read or write allocates nothing.
    std::vector<uint8_t> FReadScratch;
    std::vector<uint8_t> FWriteScratch;
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
    TORQDiskTablePagesCacheManager FTablePagesCache;
    int32_t FNextPrivatePage = PrivatePageBase;
    uint8_t FReadOnlyIDTaken = 0;
    int32_t FReadOnlyIDOffset = 0;
    int32_t FLastReadOnlyID = 0;
};

}  // namespace orq
