// TORQCommitJournal: the redo journal that makes a disk database's commit all-or-nothing.
// The file lives beside the database, named after it with "-journal" added.
//
// A commit's writes to pages the file already holds (and to the header's part 1, the map
// pages and the stamps of freed pages) are captured here instead of reaching the file;
// reads of the commit see them. The map pages and the length that the session's
// allocations wrote before the commit, unsynced, are captured as they are. Then the
// journal is sealed (commit mark, fdatasync): that is the commit point. Only then are the
// writes applied in place, the database file synced, and the journal's header zeroed.
// Pages the commit allocated are referenced by nothing committed, so many of them may go
// straight to the file; the commit syncs them before the journal's seal.
//
// Redo, not undo: the after-images are in memory already (no read of what a page held),
// and a journal found valid is simply applied again, so a lost invalidation costs
// nothing and needs no barrier of its own: a commit takes two fdatasync calls, the
// journal's and the database's (three when it wrote allocated pages straight through).
//
// Layout (little-endian, zero where nothing is stored):
//   header, 128 bytes: "ORQJRNL1", header size u32 (128), nonce u32, header base i64,
//   database size before i64, part 1 of the header before (76 bytes), 16 zero bytes,
//   CRC32 of bytes 0..123 u32
//   records: tag u32 (1 write, 2 size, 4 allocated), count u32, position i64, CRC32 of the
//   data seeded with the nonce u32, then count data bytes (none for a size record; its
//   position is the new size; an allocated record lists page numbers, u32 each)
//   commit mark: tag u32 (3), record count u32, running CRC32 (seeded with the nonce)
//   of every record's header and data u32, 4 zero bytes
//
// Rules kept here:
// - A journal is applied only when it is complete (header, every record and the commit
//   mark check out) and matches the file: the header base is the same, and part 1 as the
//   file holds it is the one before or the one the journal writes, but for the state byte
//   and the page counts (allocations store those unsynced). Anything else is removed.
// - A commit standing on pages its transaction allocated (marked used in the map before
//   the commit, unsynced) writes their numbers first, with the header, before any other
//   write of the commit. An open that finds such a journal incomplete but matching knows
//   the commit never happened and gives those pages back to the map (when it still shows
//   them used), then removes the journal; cut short, the next open does it again.
// - Recovery writes whole records at absolute positions, so it can be cut short at any
//   point and run again to the same state; the journal goes only after the database
//   file was synced.
// - Found, checked, applied and removed only under the header lock, which every commit
//   holds from before its journal is written until it is invalidated. A process that
//   shares the file looks for a live journal each time it takes that lock afresh: one
//   found then was left by a writer killed after its seal, before the state mark told the
//   others, and is applied before this process changes anything.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/storage/ORQDatabaseFile.h"

namespace orq {

class TORQCommitJournal final : public TORQWriteSink {
public:
    static constexpr int32_t HeaderSize = 128;
    static constexpr int32_t PartSize = 76;

    explicit TORQCommitJournal(std::string DatabaseFileName);
    ~TORQCommitJournal() override;
    TORQCommitJournal(const TORQCommitJournal&) = delete;
    TORQCommitJournal& operator=(const TORQCommitJournal&) = delete;

    static std::string JournalFileName(const std::string& DatabaseFileName) { return DatabaseFileName + "-journal"; }
    const std::string& FileName() const { return FFileName; }

    // Starts collecting a commit: the file's part 1 and size as they are now (-1: not
    // known). Opens (or creates, syncing its folder) the journal file, following its name
    // when Shared; 31480 when it cannot.
    // Allocated: the pages the commit's transaction allocated, written with the header by
    // WriteList when there are any.
    void Begin(int64_t HeaderBase, const uint8_t* Part1Before, int64_t SizeBefore, bool Barrier, bool Shared,
               const std::vector<int32_t>& Allocated = {});
    // Writes the header and the list of allocated pages now, unless written already: the
    // commit calls it once it owns the session's pages, before its first write in place.
    void WriteList();
    void Capture(int64_t Position, const void* Buffer, int32_t Count) override;
    void Patch(void* Buffer, int64_t Position, int32_t Count) override;
    void CaptureSize(int64_t Size) override;
    bool Collecting() const { return FCollecting; }
    int32_t RecordCount() const { return static_cast<int32_t>(FRecords.size()); }
    // Writes what is buffered and the commit mark, then (Barrier) fdatasync: the commit
    // point. 31480 on failure.
    void Seal(bool Barrier);
    // The captured writes to File at their positions, in order, then the size. Raises the
    // file's errors.
    void Apply(TORQDatabaseFile& File);
    // Zeroes the journal's header; a failure is left to the next recovery, which finds a
    // journal it can apply again.
    void Invalidate() noexcept;
    // Forgets the commit: the records go and a journal header already written is zeroed.
    void Abandon() noexcept;
    // Forgets the commit but leaves what reached the journal file (its list of allocated
    // pages, for the next open); the next Begin overwrites it.
    void Forget() noexcept;
    // A forgotten commit's list lies in the journal file: it must not be removed.
    bool ListLeft() const { return FListLeft; }
    // Closes the journal file; Remove deletes it too.
    void Close(bool Remove) noexcept;

    enum class TRecovery : uint8_t { None, Discarded, Applied, Abandoned };
    // Under the header lock, on a handle that can write: applies a valid, complete and
    // matching journal (then syncs the database when Barrier, and removes the journal),
    // removes any other. With Abandoned given, an incomplete matching journal that lists
    // allocated pages is kept and answers them (Abandoned): the caller gives them back and
    // then removes it. Raises the file's errors (31480 for the journal's own).
    static TRecovery Recover(TORQDatabaseFile& File, int64_t HeaderBase, bool Barrier,
                             std::vector<int32_t>* Abandoned = nullptr);
    static void Remove(const std::string& DatabaseFileName);
    // Whether a journal that Recover would apply lies beside the file; never writes.
    static bool HasValidJournal(TORQDatabaseFile& File, int64_t HeaderBase);
    // Whether a journal with a live header lies beside the database file: one read of its
    // first bytes, nothing checked further (Recover decides what it is worth).
    static bool HeaderPresent(const std::string& DatabaseFileName);

private:
    struct TRecord {
        int64_t Position;
        int32_t Count;
        int64_t JournalAt;  // where its data starts in the journal file
    };
    void OpenJournal(bool Barrier, bool Shared);
    void Append(const void* Bytes, int32_t Count);
    void Flush();
    // Copies Count journal bytes from At (buffered or in the file).
    void ReadJournal(void* Buffer, int64_t At, int32_t Count);
    [[noreturn]] void RaiseJournal(const char* Operation, int Error) const;

    std::string FFileName;
    int FHandle = -1;
    uint64_t FDevice = 0;
    uint64_t FInode = 0;
    bool FCollecting = false;
    bool FHeaderWritten = false;
    bool FListPending = false;
    bool FListLeft = false;
    uint32_t FNonce = 0;
    uint32_t FRunning = 0;
    int64_t FFinalSize = -1;
    std::vector<TRecord> FRecords;
    std::vector<uint8_t> FBuffer;
    int64_t FBufferAt = 0;  // journal position of FBuffer[0]
    int64_t FLength = 0;    // of the journal file, as far as this object wrote it
    std::vector<uint8_t> FScratch;
};

}  // namespace orq
