// BLOB values of disk tables: TORQSmallBlobPage (a view over a shared BLOB page) and
// TORQDiskBlobManager, which stores, loads and frees a table's BLOB values on TableBlob
// pages (type 11), caches them per record buffer, and keeps the shared pages' used bytes
// in the table's BLOB page index.
//
// A BLOB value is held in its stored (compressed) form: S stored bytes, with the block
// count and uncompressed size of the compressed stream that made them.
//
// Reference (a BLOB field's bytes in a record; 6 stored, 10 in a memory record buffer):
//   0 page i32 (0 or -1: nothing stored), 4 id i16 (-1: large BLOB, else a small BLOB's
//   id on that page), 6 cache handle u32 (memory buffers only; 0: no entry).
// BLOB header, 22 bytes: id i16, block count i32, S i64, uncompressed size i64.
// Shared page data area (U = page size - 40 bytes): count u16, then the entries packed in
//   order, each a BLOB header and its S bytes; the bytes after the last entry are zero.
// Large BLOB: first page: header (id -1), locator at 22 (first list page i32, offset of
//   the first entry there u16, entry count i32), stored bytes from 32; further data pages
//   hold U bytes each from offset 0. The page list (one i32 per data page, first page
//   included) starts right after the last stored byte, or at 0 of a new page when the
//   last data page is exactly full; floor((U - offset) / 4) entries per page, list pages
//   chained through the page header's next-page field (i32 at 10).
//
// Rules kept here:
// - A value goes to a shared page when S + 24 < U, else it becomes a large BLOB.
// - Id 255 is never handed out: a reader that could not tell it from a large BLOB's
//   first page would free the wrong pages. References with id 255 in older files are
//   still read and freed, as a large BLOB only when the page holds a complete one.
// - Everything read from a page is checked before it is used: entries must fit the data
//   area, a large BLOB's size must match its page count, and its page list must name
//   distinct BLOB pages inside the file, the first of them its own first page. Walks are
//   bounded by what the page or the file can hold; a damaged value raises 31010 / 31011
//   and nothing is allocated or freed for it.
// - A large BLOB is checked whole before any of its pages is freed.
// - The stored value a flush or free replaces is named by the caller (the record as
//   stored), never taken from a buffer another record's value may have been copied into.
// - A handle counts only while the manager lists its entry; handles are drawn in turn
//   from 1, so a stale copy reads as no entry. The record buffer and its entry change
//   only after the pages took the change.
// - Destructors never throw: Close() makes the check for live cache entries (20150).
//
// Codes of this file beyond the ones the BLOB calls share with the other engines: 31010 a
// damaged shared page, 31011 a damaged large BLOB, 31012 sizes a value cannot have, 31013
// a field that is not a BLOB field, 31014 an index root the metadata stream lacks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/foundation/ORQMemory.h"
#include "engine/storage/ORQBTreePageIndex.h"
#include "engine/storage/ORQDiskPageManager.h"
#include "engine/storage/ORQFieldManager.h"
#include "engine/storage/ORQPage.h"
#include "engine/storage/ORQRecordManager.h"
#include "engine/storage/ORQTableData.h"

namespace orq {

class TORQLocalBLOBStream;
class TORQStream;
struct TORQBLOBDescriptor;

struct TORQBlobReference {
    static constexpr int32_t ByteSize = 6;
    static constexpr int16_t LargeBlobID = -1;

    int32_t PageNo = -1;
    int16_t BlobID = -1;

    bool IsStored() const { return PageNo != 0 && PageNo != -1; }
    void ToBytes(uint8_t* Dest) const;
    static TORQBlobReference FromBytes(const uint8_t* Source);
    friend bool operator==(const TORQBlobReference&, const TORQBlobReference&) = default;
};

struct TORQBlobHeader {
    static constexpr int32_t ByteSize = 22;

    int16_t BlobID = 0;
    int32_t BlockCount = 0;
    int64_t StoredSize = 0;
    int64_t UncompressedSize = 0;

    void ToBytes(uint8_t* Dest) const;
    static TORQBlobHeader FromBytes(const uint8_t* Source);
};

// One BLOB field of one record buffer, read or written and not yet flushed or released.
struct TORQBlobCacheEntry {
    int32_t BlockCount = 0;
    int64_t UncompressedSize = 0;
    uint8_t Modified = 0;
    TORQMemoryBlock Data;  // the S stored bytes; empty when S is 0

    int64_t StoredSize() const { return Data.Size(); }
};

// A view over a shared BLOB page already taken from the page manager; lives for one step.
class TORQSmallBlobPage : public TORQPageController {
public:
    static constexpr int32_t CountSize = 2;

    using TORQPageController::TORQPageController;

    uint16_t GetBlobCount() const;
    void SetBlobCount(uint16_t Count);
    // Data-area offset of entry K (31010 when the entries before it do not fit the page).
    int32_t GetEntry(int32_t K) const;
    int32_t GetEntryData(int32_t K) const { return GetEntry(K) + TORQBlobHeader::ByteSize; }
    // Where the next entry would begin; 31010 for a damaged page.
    int32_t GetEntriesEnd() const;
    // The entry holding BlobID, or -1.
    int32_t FindEntry(int16_t BlobID) const;
    // From the count up, skipping ids in use, -1 and 255; 20172 when none is free.
    int16_t NewBlobID() const;
    // Whether an entry of Need bytes (22 + S) fits after the last one.
    bool HasRoom(int64_t Need) const;
    // 20290, reporting the page's figures and the used size its index records.
    [[noreturn]] void RaisePageFull(int64_t Need, int32_t SizeInIndex) const;
    // Appends the entry's value (20290 without room; SizeInIndex is reported with it).
    void AddBlob(const TORQBlobCacheEntry& Entry, TORQBlobReference& Reference, int32_t SizeInIndex = -1);
    // Removes the reference's entry (20171 when absent); FreedSize = 22 + S.
    void RemoveBlob(const TORQBlobReference& Reference, int32_t& FreedSize);
    // Fills Entry from the reference's entry (20171 when absent); not modified.
    void ReadBlob(TORQBlobCacheEntry& Entry, const TORQBlobReference& Reference) const;
    // The reference's entry in place (20171 when absent): its header, and its S stored bytes
    // on the page, valid while the page is held.
    const uint8_t* BlobBytes(const TORQBlobReference& Reference, TORQBlobHeader& Header) const;

private:
    [[noreturn]] void RaiseDamaged() const;
    TORQBlobHeader HeaderAt(int32_t Offset) const;
};

class TORQDiskBlobManager {
public:
    // Nothing is read or written here: a new table calls ResetIndex, an existing one
    // LoadIndexRoot. RecordManager is only walked by EmptyBlobs.
    TORQDiskBlobManager(TORQDiskPageManager& PageManager, TORQBaseFieldManager& FieldManager,
                        TORQBaseRecordManager& RecordManager);
    // Frees every cache entry still listed; never throws.
    ~TORQDiskBlobManager();
    TORQDiskBlobManager(const TORQDiskBlobManager&) = delete;
    TORQDiskBlobManager& operator=(const TORQDiskBlobManager&) = delete;

    // 20150 while cache entries are listed (the entries stay); otherwise nothing.
    void Close();

    // The stored bytes into Stream; Descriptor gets the block count and uncompressed size
    // (both 0 for a Null field, nothing written); its other fields are left alone. 20162
    // when a non-Null field has no value to load.
    void ReadBlob(int32_t SessionID, uint8_t* Record, TORQStream& Stream, TORQBLOBDescriptor& Descriptor,
                  int32_t FieldNo);
    // A value stored as it is (compression algorithm 0) on a shared page without a copy
    // attached, read whole into Bytes straight from the cached page; empty for a Null
    // field. False, with nothing read, for any other value.
    bool ReadSharedValue(int32_t SessionID, uint8_t* Record, int32_t FieldNo, std::string& Bytes);
    // As ReadBlob, handing out the cache entry's bytes (valid until the entry is dropped;
    // nil when S is 0). 20291 when there is no value to load.
    void GetBlobData(int32_t SessionID, uint8_t* Record, const uint8_t*& Data, TORQBlobDataHeader& Header,
                     int32_t FieldNo);
    // Only a stream that was written: a new modified entry from its compressed stream
    // (block count, uncompressed size, the whole base stream). Null bit: size 0.
    void WriteBlobFromStream(uint8_t* Record, int32_t FieldNo, TORQLocalBLOBStream& Stream);
    // A new modified entry from a buffer; 20161 for nil Data with a stored size, 31012 for
    // negative counts. Null bit: stored size 0.
    void SetBlobData(uint8_t* Record, const uint8_t* Data, const TORQBlobDataHeader& Header, int32_t FieldNo);

    // Stores every modified entry of Record, freeing the value StoredRecord (the record as
    // stored, memory form; nil for a new record) holds for that field, and writes the new
    // references into Record.
    void FlushBlobs(int32_t SessionID, uint8_t* Record, const uint8_t* StoredRecord);
    void FlushBlob(int32_t SessionID, uint8_t* Record, int32_t FieldNo, const TORQBlobReference& StoredReference);
    // Frees every value StoredRecord holds; Record's cache entries (Record may be nil) are
    // marked not modified.
    void FreeBlobs(int32_t SessionID, uint8_t* Record, const uint8_t* StoredRecord);
    // Drops the field's cache entry; a modified one only with Force.
    void ReleaseBlobCache(uint8_t* Record, int32_t FieldNo, bool Force);
    // Frees every record's values and empties the BLOB page index for the session.
    void EmptyBlobs(int32_t SessionID);
    void DropBlobs(int32_t SessionID);

    // The BLOB page index's root page number, 4 bytes of the table's metadata stream.
    void LoadIndexRoot(TORQStream& Stream);
    void SaveIndexRoot(TORQStream& Stream) const;
    // A new, empty BLOB page index for the system session.
    void ResetIndex();

    // Stores Entry's value as the storage choice says; the new reference.
    TORQBlobReference StoreBlob(int32_t SessionID, const TORQBlobCacheEntry& Entry);
    // Frees the value the reference names; it then reads (-1, -1).
    void FreeStoredBlob(int32_t SessionID, TORQBlobReference& Reference);
    // Fills Entry (not modified) from the value the reference names.
    void LoadBlob(int32_t SessionID, const TORQBlobReference& Reference, TORQBlobCacheEntry& Entry);
    // Whether PageNo holds a complete, consistent large BLOB; never raises.
    bool IsLargeBlob(int32_t SessionID, int32_t PageNo);

    // A rebuild's copy: the value Reference names in this table, stored in its stored
    // form by Dest (another table's manager, of this file or another) for DestSessionID;
    // the new reference. A shared value is read in place on its page, checked as every
    // read checks it, and appended to the shared page Dest is filling: a page of Dest's own
    // making, whose used size Dest's BLOB page index learns when the page is left or
    // EndAppend runs (the filling goes on on the same page). EndAppend comes before any
    // commit, read or other change of Dest's values; CancelAppend forgets the page: after a
    // failure (the caller rolls back) or once the copy is over.
    TORQBlobReference CopyStoredValue(int32_t SessionID, const TORQBlobReference& Reference,
                                      TORQDiskBlobManager& Dest, int32_t DestSessionID);
    void EndAppend(int32_t SessionID);
    void CancelAppend();

    // The field's reference and live cache entry (nil when none) in a memory record buffer.
    TORQBlobReference GetReference(const uint8_t* Record, int32_t FieldNo) const;
    TORQBlobCacheEntry* GetCacheEntry(const uint8_t* Record, int32_t FieldNo) const;
    int32_t CacheEntryCount() const { return static_cast<int32_t>(FEntries.size()); }
    // The handles of the unmodified entries (copies of stored values) attached to Record,
    // and the release of those the buffer no longer carries once another record was read
    // into it: nothing could find them again.
    void ReadEntryHandles(const uint8_t* Record, std::vector<uint32_t>& Handles) const;
    void DropReadEntries(const uint8_t* Record, const std::vector<uint32_t>& Handles);
    bool HasBlobFields() const;
    // Values with S + 24 < U go to shared pages.
    bool IsSmallBlob(int64_t StoredSize) const;

    TORQBTreeBlobPageIndex& BlobPageIndex() { return FBlobPageIndex; }
    // The next handle drawn follows Handle (tests of the wrap).
    void SetLastHandle(uint32_t Handle) { FLastHandle = Handle; }

    static constexpr int32_t LocatorOffset = TORQBlobHeader::ByteSize;
    static constexpr int32_t LargeBlobDataOffset = 32;
    static constexpr int32_t NextPageOffset = 10;

private:
    struct TLargeBlobLayout {
        TORQBlobHeader Header;
        std::vector<int32_t> DataPages;
        std::vector<int32_t> ListPages;
    };
    // Reads and checks the first page, the locator and the whole page list (31011).
    TLargeBlobLayout ReadLargeBlobLayout(int32_t SessionID, int32_t PageNo);
    TORQBlobReference StoreSmallBlob(int32_t SessionID, const TORQBlobCacheEntry& Entry);
    // Appends one shared value (Header's sizes, Bytes its S stored bytes) to the page
    // being filled, or a new one.
    TORQBlobReference AppendSmallBlob(int32_t SessionID, const TORQBlobHeader& Header, const uint8_t* Bytes);
    TORQBlobReference StoreLargeBlob(int32_t SessionID, const TORQBlobCacheEntry& Entry);
    void FreeSmallBlob(int32_t SessionID, const TORQBlobReference& Reference);
    void FreeLargeBlob(int32_t SessionID, int32_t PageNo);
    void ReadSmallBlob(int32_t SessionID, const TORQBlobReference& Reference, TORQBlobCacheEntry& Entry);
    void ReadLargeBlob(int32_t SessionID, int32_t PageNo, TORQBlobCacheEntry& Entry);
    // Id 255: a large BLOB only when the page holds a complete one.
    bool TreatAsLarge(int32_t SessionID, const TORQBlobReference& Reference);

    const TORQFieldDef& BlobField(int32_t FieldNo) const;
    // The field's entry, loaded from its reference when missing; nil when nothing is stored.
    TORQBlobCacheEntry* LoadCacheEntry(int32_t SessionID, uint8_t* Record, int32_t FieldNo);
    // Lists Entry under a new handle written into the record, replacing (and dropping)
    // the field's previous entry.
    void AttachEntry(uint8_t* Record, int32_t FieldNo, std::unique_ptr<TORQBlobCacheEntry> Entry);
    void DropEntry(uint8_t* Record, int32_t FieldNo);
    uint32_t NewHandle();

    TORQDiskPageManager& FPageManager;
    TORQBaseFieldManager& FFieldManager;
    TORQBaseRecordManager& FRecordManager;
    std::unordered_map<uint32_t, std::unique_ptr<TORQBlobCacheEntry>> FEntries;
    uint32_t FLastHandle = 0;
    TORQBTreeBlobPageIndex FBlobPageIndex;
    // The shared page an append fills: its number, entries end, entry count, next id, the
    // bytes its entries use (22 + S each) and of them those the index counts; -1 when none.
    int32_t FAppendPage = -1;
    int32_t FAppendEnd = 0;
    int32_t FAppendCount = 0;
    int32_t FAppendUsed = 0;
    int32_t FAppendListed = 0;
    int16_t FAppendNextID = 0;
};

}  // namespace orq
