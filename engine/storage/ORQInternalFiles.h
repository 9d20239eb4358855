// The disk engine's own small files inside the database file, each a chain of pages of one
// page type linked through the page header's next-page field (offset 10, -1 ends it):
//   TORQInternalDBTransactedAccessFile: read and written whole through the page cache for a
//     session (committed or rolled back with it), optionally compressed;
//   TORQInternalDBDirectAccessFile: fixed size, read, written and byte-locked in place in
//     the file for every process at once, outside the cache and outside transactions.
//
// Layout, U = page size - 40 (a page's data area): the first page's data area opens with a
// 10-byte header, the content follows it and continues at data offset 0 of each next page.
//   transacted: 10 u8, stored byte count i32, uncompressed byte count i32, algorithm u8
//   direct:     10 u8, file size i32, five zero bytes
// A file of n (stored) bytes takes ceil((n + 10) / U) pages; content position p lies on
// chain page floor((p + 10) / U) at data offset (p + 10) mod U (+ 40 within the page).
//
// Rules kept here:
// - A chain walk stops at a page outside the file or one it visited before: the chain is
//   damaged (30960) and is never walked past the database's page count.
// - Header counts are checked against what the file can hold before anything is allocated
//   from them (30961): a damaged header never asks for a huge buffer.
// - Shrinking a transacted file frees the pages cut from its chain for the session.
// - Direct-file pages belong to the system session -2, are never enciphered, and their
//   headers are read in place from the second byte on: the first byte of the first page is
//   the whole-file lock another process may hold.
#pragma once

#include <cstdint>
#include <vector>

namespace orq {

class TORQDiskPageManager;

inline constexpr int32_t InternalFileHeaderSize = 10;

// Pages a file of Bytes content bytes takes (at least one) with U data bytes per page.
int32_t InternalFilePageCount(int64_t Bytes, int32_t DataSize);

class TORQInternalDBTransactedAccessFile {
public:
    TORQInternalDBTransactedAccessFile(TORQDiskPageManager& PageManager, uint16_t PageType);
    TORQInternalDBTransactedAccessFile(const TORQInternalDBTransactedAccessFile&) = delete;
    TORQInternalDBTransactedAccessFile& operator=(const TORQInternalDBTransactedAccessFile&) = delete;

    // 30383 when open already. A new empty file for the session.
    void CreateFile(int32_t SessionID);
    // -1 leaves the first page as it is.
    void OpenFile(int32_t FirstPage);
    // Frees every page of the chain (from FirstPage, or the open file's with -1) for the
    // session; the file is closed afterwards.
    void DeleteFile(int32_t SessionID, int32_t FirstPage = -1);
    void GetSize(int32_t SessionID, bool Validate, int32_t& StoredCount, uint8_t& Algorithm,
                 int32_t& UncompressedCount);
    int32_t GetUncompressedSize(int32_t SessionID);
    // The first Count bytes of the uncompressed content. 30387 when the file holds fewer,
    // 30388 when the chain ends early, 20189 when decompression fails.
    void ReadFile(int32_t SessionID, void* Buffer, bool Validate, int32_t Count);
    // Replaces the content; Algorithm 0 stores it plainly. 20187 when compression fails.
    void WriteFile(int32_t SessionID, const void* Data, uint8_t CompressionMode, uint8_t Algorithm, int32_t Count);
    // Resizes the chain for StoredCount bytes and rewrites the header.
    void SetSize(int32_t SessionID, int32_t StoredCount, uint8_t Algorithm, int32_t UncompressedCount);

    int32_t FirstPage() const { return FFirstPage; }
    bool IsOpen() const { return FFirstPage != -1; }
    uint16_t PageType() const { return FPageType; }

private:
    struct THeader {
        int32_t Stored = 0;
        int32_t Uncompressed = 0;
        uint8_t Algorithm = 0;
    };
    void CheckOpen(const char* Operation) const;
    THeader ReadHeader(int32_t SessionID, bool Validate);

    TORQDiskPageManager& FPageManager;
    int32_t FFirstPage = -1;
    uint16_t FPageType;
};

class TORQInternalDBDirectAccessFile {
public:
    TORQInternalDBDirectAccessFile(TORQDiskPageManager& PageManager, uint16_t PageType);
    TORQInternalDBDirectAccessFile(const TORQInternalDBDirectAccessFile&) = delete;
    TORQInternalDBDirectAccessFile& operator=(const TORQInternalDBDirectAccessFile&) = delete;

    // 20157 when open already. Allocates the whole chain for session -2; it reaches the
    // file with that session's commit.
    void CreateFile(int32_t Size);
    // Loads the chain's page list. 20155 for a page of another type.
    void OpenFile(int32_t FirstPage);
    void DeleteFile(int32_t FirstPage = -1);
    // The size stored in the first page's header, read in place.
    int32_t GetSize();
    // 20159 for a position beyond the size; stops early at the end of the chain.
    int32_t DirectReadBuffer(void* Buffer, int32_t Count, int32_t Position);
    // 20158 when the write would pass the stored size.
    int32_t DirectWriteBuffer(const void* Buffer, int32_t Count, int32_t Position);
    bool LockFile();
    bool UnlockFile();
    bool LockByte(int32_t Position);
    bool UnlockByte(int32_t Position);
    bool IsByteLocked(int32_t Position);
    bool IsRegionLocked(int32_t Position, int32_t Count);
    // Count content bytes from Position as one range per chain page they touch, all or
    // none (an empty region is held trivially); the unlock needs exactly a locked region
    // and releases every range it can.
    bool LockRegion(int32_t Position, int32_t Count);
    bool UnlockRegion(int32_t Position, int32_t Count);

    int32_t FirstPage() const { return FFirstPage; }
    bool IsOpen() const { return FFirstPage != -1; }
    // The size in memory: after an open of a one-page file, that page's whole capacity.
    int32_t FileSize() const { return FFileSize; }
    const std::vector<int32_t>& Pages() const { return FPages; }

private:
    void CheckOpen(const char* Operation) const;
    // Chain page and in-page offset (from the page's start) of a content position.
    void Locate(int32_t Position, int32_t& PageNo, int32_t& Offset) const;
    struct TPageRange {
        int32_t PageNo;
        int32_t Offset;
        int32_t Count;
    };
    // The in-page ranges of content bytes Position .. Position + Count - 1 (20159 past the chain).
    std::vector<TPageRange> PageRanges(int32_t Position, int32_t Count) const;
    int32_t ReadNextInPlace(int32_t PageNo);
    int32_t DataSize() const;

    TORQDiskPageManager& FPageManager;
    int32_t FFirstPage = -1;
    uint16_t FPageType;
    int32_t FFileSize = 0;
    std::vector<int32_t> FPages;
};

}  // namespace orq
