#include "engine/storage/ORQTempEngine.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>

#include "engine/foundation/ORQCompressedStream.h"
#include "engine/foundation/ORQEndian.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQLocalBLOBStream.h"

namespace orq {

std::unique_ptr<TORQStream> CreateSpillFile() {
    return std::make_unique<TORQFileStream>(GetTemporaryFileName(), fmCreate, true);
}

namespace {

int32_t ClampToInt32(int64_t Value) { return static_cast<int32_t>(std::clamp<int64_t>(Value, 0, INT32_MAX)); }

}  // namespace

// ---------------------------------------------------------------------------------
// Record manager

TORQTemporaryRecordManager::TORQTemporaryRecordManager(int32_t RecordSize, bool KeepInMemory, int32_t RecordGrowth,
                                                       int32_t WriteBufferRecords, int64_t AvailableMemory)
    : WriteBufferRecords(std::max(WriteBufferRecords, 1)),
      WriteBufferSize(0),
      MemoryLimit(0),
      RecordGrowth(std::max(RecordGrowth, 1)),
      KeepInMemory(KeepInMemory ? 1 : 0) {
    if (RecordSize <= 0) RaiseNativeFmt(10124, "Invalid record size = %d", {RecordSize});
    this->RecordSize = RecordSize;
    WriteBufferSize = static_cast<int64_t>(this->WriteBufferRecords) * RecordSize;
    MemoryLimit = ComputeMemoryLimit(AvailableMemory, RecordSize);
}

TORQTemporaryRecordManager::~TORQTemporaryRecordManager() {
    try {
        GlobalMemoryManager().FreeAndNillMem(MemoryBlock);
        GlobalMemoryManager().FreeAndNillMem(WriteBuffer);
    } catch (...) {
        // An overrun is counted by the memory manager; a destructor raises nothing.
    }
}

int32_t TORQTemporaryRecordManager::ComputeMemoryLimit(int64_t AvailableMemory, int32_t RecordSize) {
    if (AvailableMemory <= 0 || RecordSize <= 0) return 0;
    return ClampToInt32(AvailableMemory / 10 / RecordSize);
}

int64_t TORQTemporaryRecordManager::IdToNumber(const TORQRecordID& RecordID) {
    return static_cast<int64_t>(static_cast<uint32_t>(RecordID.PageNo)) |
           (static_cast<int64_t>(RecordID.SlotNo) << 32);
}

TORQRecordID TORQTemporaryRecordManager::NumberToId(int64_t Number) {
    const auto n = static_cast<uint64_t>(Number);
    return TORQRecordID{static_cast<int32_t>(static_cast<uint32_t>(n)), static_cast<uint16_t>(n >> 32)};
}

void TORQTemporaryRecordManager::EmptyRecords(int32_t) {
    // The spill file goes with its stream; the blocks go back to the memory manager.
    SpillStream.reset();
    // Bitmaps and temporary indexes of the old records must see the table change.
    ++ChangeStamp;
    RecordCount = 0;
    MemoryRecords = 0;
    BufferedRecords = 0;
    MemoryCapacity = 0;
    GlobalMemoryManager().FreeAndNillMem(MemoryBlock);
    GlobalMemoryManager().FreeAndNillMem(WriteBuffer);
}

bool TORQTemporaryRecordManager::StoreInMemory(const uint8_t* Record) {
    if (MemoryRecords >= MemoryCapacity) {
        // The block grows by half its size, at least RecordGrowth records: a fixed step
        // copies the whole block again every RecordGrowth records. When the larger block
        // cannot be had, one step of RecordGrowth is tried still.
        auto capacityAfter = [&](int64_t Step) {
            int64_t capacity = static_cast<int64_t>(MemoryCapacity) + Step;
            if (KeepInMemory == 0) capacity = std::min<int64_t>(capacity, MemoryLimit);
            return capacity;
        };
        const int64_t wide = capacityAfter(std::max<int64_t>(RecordGrowth, MemoryCapacity / 2));
        int64_t capacity = capacityAfter(RecordGrowth);
        if (capacity > INT32_MAX || capacity <= MemoryRecords) return false;
        // The block is replaced only when the larger one could be had.
        if (wide > capacity && wide <= INT32_MAX) {
            try {
                GlobalMemoryManager().ReallocMem(MemoryBlock, wide * RecordSize);
                capacity = wide;
            } catch (const EORQException&) {
                GlobalMemoryManager().ReallocMem(MemoryBlock, capacity * RecordSize);
            }
        } else {
            GlobalMemoryManager().ReallocMem(MemoryBlock, capacity * RecordSize);
        }
        MemoryCapacity = static_cast<int32_t>(capacity);
    }
    std::memcpy(MemoryBlock + static_cast<int64_t>(MemoryRecords) * RecordSize, Record,
                static_cast<size_t>(RecordSize));
    ++MemoryRecords;
    return true;
}

void TORQTemporaryRecordManager::StoreSpilled(const uint8_t* Record) {
    if (SpillStream == nullptr) SpillStream = SpillStreamFactory();
    if (WriteBuffer == nullptr) WriteBuffer = static_cast<uint8_t*>(GlobalMemoryManager().AllocMem(WriteBufferSize));
    FlushWriteBuffer();
    std::memcpy(WriteBuffer + static_cast<int64_t>(BufferedRecords) * RecordSize, Record,
                static_cast<size_t>(RecordSize));
    ++BufferedRecords;
}

void TORQTemporaryRecordManager::FlushWriteBuffer() {
    if (BufferedRecords == 0) return;
    if (BufferedRecords > WriteBufferRecords)
        RaiseNativeFmt(10126, "Invalid record count = %d. Limit is %d", {BufferedRecords, WriteBufferRecords});
    SeekStreamChecked(*SpillStream, 10128, SpillOffset(RecordCount - BufferedRecords, MemoryLimit, RecordSize));
    const int64_t bytes = static_cast<int64_t>(BufferedRecords) * RecordSize;
    if (SpillStream->Write(WriteBuffer, bytes) != bytes) RaiseNative(10125, "Error writing to stream");
    BufferedRecords = 0;
}

bool TORQTemporaryRecordManager::InsertRecord(int32_t, const uint8_t* Record, TORQRecordID& RecordID) {
    try {
        const bool inMemory = MemoryRecords < MemoryCapacity || KeepInMemory != 0 || MemoryCapacity < MemoryLimit;
        if (inMemory) {
            if (!StoreInMemory(Record)) return false;
        } else {
            StoreSpilled(Record);
        }
    } catch (...) {
        // The record was not placed: the count and the stamp stay.
        return false;
    }
    RecordID = NumberToId(RecordCount);
    ++RecordCount;
    ++ChangeStamp;
    return true;
}

bool TORQTemporaryRecordManager::UpdateRecord(int32_t, const uint8_t*, const TORQRecordID&) { return false; }
bool TORQTemporaryRecordManager::DeleteRecord(int32_t, TORQRecordID&) { return false; }

void TORQTemporaryRecordManager::ReadRecordData(int64_t N, uint8_t* Buffer) {
    try {
        if (N < 0 || N >= RecordCount || Buffer == nullptr) RaiseNative(10127, "Error retrieving record");
        if (KeepInMemory == 0 && N >= MemoryLimit) {
            if (SpillStream == nullptr) RaiseNative(10127, "Error retrieving record");
            // A record still in the write buffer reaches the file first.
            FlushWriteBuffer();
            SeekStreamChecked(*SpillStream, 10129, SpillOffset(N, MemoryLimit, RecordSize));
            ReadStreamChecked(Buffer, RecordSize, *SpillStream, 10130);
        } else {
            std::memcpy(Buffer, MemoryBlock + N * RecordSize, static_cast<size_t>(RecordSize));
        }
    } catch (const EORQException&) {
        RaiseNative(10127, "Error retrieving record");
    }
}

void TORQTemporaryRecordManager::ReadRecord(int32_t, TORQGetRecordRequest& Request) {
    Request.Result = grError;
    if (RecordCount == 0) {
        Request.Result = grEOF;
        return;
    }
    int64_t n;
    if (Request.AtBeginning) {
        if (Request.Mode != gmNext) {
            if (Request.Mode == gmPrior) Request.Result = grBOF;
            return;
        }
        n = 0;
        Request.AtBeginning = 0;
    } else if (Request.AtEnd) {
        if (Request.Mode != gmPrior) {
            if (Request.Mode == gmNext) Request.Result = grEOF;
            return;
        }
        n = RecordCount - 1;
        Request.AtEnd = 0;
    } else {
        const int64_t current = IdToNumber(Request.RecordID);
        if (Request.Mode == gmCurrent) {
            if (current >= RecordCount) return;
            n = current;
        } else if (Request.Mode == gmNext) {
            if (current >= RecordCount - 1) {
                Request.Result = grEOF;
                return;
            }
            n = current + 1;
        } else if (Request.Mode == gmPrior) {
            if (current == 0) {
                Request.Result = grBOF;
                return;
            }
            n = std::min(current - 1, RecordCount - 1);
        } else {
            return;
        }
    }
    try {
        ReadRecordData(n, Request.RecordBuffer);
    } catch (const EORQException&) {
        return;
    }
    Request.RecordID = NumberToId(n);
    Request.Result = grOK;
}

int32_t TORQTemporaryRecordManager::CompareRecordIds(const TORQRecordID& A, const TORQRecordID& B) {
    const int64_t a = IdToNumber(A), b = IdToNumber(B);
    if (a == b) return 0;
    return a > b ? 1 : -1;
}

int64_t TORQTemporaryRecordManager::EstimateRecordsBefore(int32_t, const TORQRecordID& RecordID) {
    return GetRecordPosition(RecordID);
}

int64_t TORQTemporaryRecordManager::GetRecordPosition(const TORQRecordID& RecordID) const {
    const int64_t n = IdToNumber(RecordID);
    return n < RecordCount ? n + 1 : -1;
}

// ---------------------------------------------------------------------------------
// Page manager

TORQTemporaryPageManager::TORQTemporaryPageManager(bool KeepInMemory, int64_t AvailableMemory)
    : TORQPageManager(AvailableMemory),
      KeepInMemory(KeepInMemory ? 1 : 0),
      MemoryPageLimit(AvailableMemory > 0 ? ClampToInt32(AvailableMemory / 10 / TemporaryPageSize) : 0),
      MemoryPages(std::make_unique<TORQMemoryPageManager>(AvailableMemory)) {
    PageSize = TemporaryPageSize;
    HeaderSize = 0;
    DataSize = TemporaryPageSize;
}

TORQTemporaryPageManager::~TORQTemporaryPageManager() {
    // Page objects may borrow the inner store's blocks: drop them first.
    FreeAll();
}

bool TORQTemporaryPageManager::IsAllocated(int32_t PageNo) const {
    return PageNo >= 0 && PageNo < PageNumberCount && PageNo < PageBits.BitCount() && PageBits.GetBit(PageNo);
}

void TORQTemporaryPageManager::MarkAllocated(int32_t PageNo) {
    if (PageNo >= PageBits.BitCount()) {
        // Grown by half again, so handing out numbers one by one stays linear.
        const int64_t size = std::max<int64_t>(int64_t{PageNo} + 1, int64_t{PageBits.BitCount()} * 3 / 2 + 64);
        PageBits.SetSize(ClampToInt32(size));
    }
    PageBits.SetBit(PageNo, true);
    PageNumberCount = std::max(PageNumberCount, PageNo + 1);
    ++PageCount;
}

void TORQTemporaryPageManager::AllocatePage(TORQPage* Page) {
    if (KeepInMemory != 0 || PageNumberCount < MemoryPageLimit) {
        MemoryPages->AllocatePage(Page);
        try {
            MarkAllocated(Page->PageNo);
        } catch (...) {
            MemoryPages->FreePage(Page->PageNo);
            throw;
        }
        return;
    }
    if (PageNumberCount == INT32_MAX) RaiseNative(20064, "Invalid page number");
    const int32_t number = PageNumberCount;
    if (SpillStream == nullptr) SpillStream = SpillStreamFactory();
    if (SpillStream->Size() < PageOffset(number + 1)) SpillStream->SetSize(SpillGrowthSize(number + 1));
    if (Page->Buffer == nullptr || Page->OwnsBuffer == 0) Page->AllocBuffer();
    MarkAllocated(number);
    Page->PageNo = number;
}

void TORQTemporaryPageManager::FreePage(int32_t PageNo) {
    // Freeing a free number would make the counts lie.
    if (!IsAllocated(PageNo)) RaiseNativeFmt(30984, "Page %d is not allocated", {PageNo});
    if (IsInner(PageNo)) MemoryPages->FreePage(PageNo);
    PageBits.SetBit(PageNo, false);
    --PageCount;
}

bool TORQTemporaryPageManager::ReadPage(TORQPage* Page) {
    const int32_t number = Page->PageNo;
    if (!IsAllocated(number)) RaiseNative(10396, "Page allocation not released");
    if (IsInner(number)) return MemoryPages->ReadPage(Page);
    if (SpillStream == nullptr) RaiseNative(30482, "Invalid pointer");
    if (Page->Buffer == nullptr || Page->OwnsBuffer == 0) Page->AllocBuffer();
    const int64_t at = PageOffset(number);
    if (SpillStream->Seek(at, soBeginning) != at) return false;
    return SpillStream->Read(Page->Buffer, TemporaryPageSize) == TemporaryPageSize;
}

void TORQTemporaryPageManager::WritePage(TORQPage* Page) {
    const int32_t number = Page->PageNo;
    if (!IsAllocated(number)) RaiseNative(10397, "Page allocation not released");
    if (IsInner(number)) {
        MemoryPages->WritePage(Page);
        return;
    }
    if (Page->Buffer == nullptr) RaiseNative(30482, "Invalid pointer");
    if (SpillStream == nullptr) SpillStream = SpillStreamFactory();
    SeekStreamChecked(*SpillStream, 30981, PageOffset(number));
    WriteStreamChecked(Page->Buffer, TemporaryPageSize, *SpillStream, 30982);
}

// ---------------------------------------------------------------------------------
// Table data

TORQTemporaryTableData::TORQTemporaryTableData(TORQDatabaseData* DatabaseData, int32_t RecordGrowth,
                                               int32_t WriteBufferRecords)
    : TORQTableData(DatabaseData), RecordGrowth(RecordGrowth), WriteBufferRecords(WriteBufferRecords) {
    TemporaryStorage = 1;
}

TORQTemporaryTableData::~TORQTemporaryTableData() {
    try {
        EmptyTable(nullptr);
        DropTemporaryIndexes(nullptr);
        if (TemporaryPageManager != nullptr) TemporaryPageManager->CommitSession(-2);
    } catch (...) {
        // Freeing goes on: the stores below are released whatever the checks found.
    }
    IndexManager.reset();
    RecordManager.reset();
    BlobStream.reset();
    PageManager = nullptr;
    TemporaryPageManager.reset();
}

int64_t TORQTemporaryTableData::CurrentAvailableMemory() const {
    return AvailableMemory >= 0 ? AvailableMemory : GlobalMemoryManager().GetAvailableMemory();
}

bool TORQTemporaryTableData::HasBlobFields() const {
    return FieldManager != nullptr && FieldManager->HasBlobFields();
}

const TORQFieldDef& TORQTemporaryTableData::BlobField(int32_t FieldNo) const {
    return FieldManager->FieldAt(FieldNo);
}

void TORQTemporaryTableData::CreateRecordManager() {
    RecordManager = std::make_unique<TORQTemporaryRecordManager>(FieldManager->FieldDefs.GetMemoryRecordSize(),
                                                                 KeepInMemory != 0, RecordGrowth, WriteBufferRecords,
                                                                 CurrentAvailableMemory());
}

void TORQTemporaryTableData::SetFieldDefs(const TORQFieldDefs& Defs) {
    FieldManager = std::make_unique<TORQBaseFieldManager>(this);
    TORQTableData::SetFieldDefs(Defs);
}

void TORQTemporaryTableData::SetIndexDefs(const TORQIndexDefs& Defs) {
    IndexManager = std::make_unique<TORQBaseIndexManager>(this, PageManager);
    IndexManager->TablePageManager = PageManager;
    TORQTableData::SetIndexDefs(Defs);
}

void TORQTemporaryTableData::SetConstraintDefs(const TORQConstraintDefs& Defs) {
    ConstraintManager = std::make_unique<TORQBaseConstraintManager>(this);
    TORQTableData::SetConstraintDefs(Defs);
}

void TORQTemporaryTableData::CreateTable(TORQCursor* Cursor, const TORQFieldDefs& Fields,
                                         const TORQIndexDefs& Indexes, const TORQConstraintDefs& Constraints) {
    TORQTableLock lock(*this);
    if (Fields.GetCount() == 0) RaiseNative(10132, "Error creating table - no fields were specified");
    if (Cursor != nullptr) {
        if (!Cursor->TableName.empty()) TableName = Cursor->TableName;
        KeepInMemory = Cursor->InMemory != 0 ? 1 : 0;
    }
    // An index manager of an earlier definition would still name the old store.
    IndexManager.reset();
    TemporaryPageManager = std::make_unique<TORQTemporaryPageManager>(KeepInMemory != 0, CurrentAvailableMemory());
    PageManager = TemporaryPageManager.get();
    SetFieldDefs(Fields);
    SetIndexDefs(Indexes);
    SetConstraintDefs(Constraints);
    CreateRecordManager();
    TORQTableInfo info;
    GetTableInfo(info);
    BlobStream = HasBlobFields() ? std::make_unique<TORQTemporaryStream>(KeepInMemory != 0) : nullptr;
    IndexManager->BuildAllIndexes(Cursor);
    // Without a cursor the trees were built for session -2, whose pages are committed too.
    CommitSessionPages(SessionIDOf(Cursor), InTransaction(Cursor));
}

void TORQTemporaryTableData::DeleteTable(TORQCursor* Cursor, bool Force) { DeleteAndFree(Cursor, Force); }

void TORQTemporaryTableData::EmptyTable(TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    // The BLOB values are dropped only with the records that point into them: should
    // emptying the indexes fail, every record still reads its own value.
    std::unique_ptr<TORQTemporaryStream> blobs;
    if (HasBlobFields()) blobs = std::make_unique<TORQTemporaryStream>(KeepInMemory != 0);
    TORQTableData::EmptyTable(Cursor);
    if (RecordManager != nullptr) RecordManager->EmptyRecords(SessionIDOf(Cursor));
    if (blobs != nullptr) BlobStream = std::move(blobs);
    // The indexes were emptied for the cursor's session: its pages are the ones to commit.
    if (TemporaryPageManager != nullptr) TemporaryPageManager->CommitSession(SessionIDOf(Cursor));
}

void TORQTemporaryTableData::AddCursor(TORQCursor* Cursor) {
    // A cursor bound to the table directly may not carry a name yet: it keeps the table's.
    if (!Cursor->TableName.empty()) TableName = Cursor->TableName;
    TORQTableData::AddCursor(Cursor);
}

int32_t TORQTemporaryTableData::AddIndex(const TORQIndexDef& IndexDef, TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    const int32_t id = TORQTableData::AddIndex(IndexDef, Cursor);
    CommitSessionPages(SessionIDOf(Cursor), InTransaction(Cursor));
    return id;
}

void TORQTemporaryTableData::DeleteIndex(int32_t IndexID, TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    TORQTableData::DeleteIndex(IndexID, Cursor);
    CommitSessionPages(SessionIDOf(Cursor), InTransaction(Cursor));
}

int64_t TORQTemporaryTableData::GetMaxRecordNumber(int32_t) {
    return RecordManager != nullptr ? RecordManager->RecordCount : 0;
}

int64_t TORQTemporaryTableData::RecordIdToNumber(const TORQRecordID& RecordID) {
    return TORQTemporaryRecordManager::IdToNumber(RecordID);
}

TORQRecordID TORQTemporaryTableData::NumberToRecordId(int64_t Number) {
    return TORQTemporaryRecordManager::NumberToId(Number);
}

// ---------------------------------------------------------------------------------
// BLOBs

int64_t TORQTemporaryTableData::AppendBlob(int32_t BlockCount, int64_t UncompressedSize, int64_t StoredSize,
                                           const std::function<void()>& WriteStored, int32_t SeekCode,
                                           int32_t WriteCode) {
    TORQStream& s = *BlobStream;
    const int64_t position = s.Size();
    SeekStreamChecked(s, SeekCode, position);
    uint8_t header[BlobHeaderSize];
    StoreLE32(header, static_cast<uint32_t>(BlockCount));
    StoreLE64(header + 4, static_cast<uint64_t>(UncompressedSize));
    StoreLE64(header + 12, static_cast<uint64_t>(StoredSize));
    WriteStreamChecked(header, BlobHeaderSize, s, WriteCode);
    WriteStored();
    return position;
}

TORQBlobDataHeader TORQTemporaryTableData::ReadBlobHeader(int64_t Position, int32_t SeekCode, int32_t ReadCode) {
    TORQStream& s = *BlobStream;
    SeekStreamChecked(s, SeekCode, Position);
    uint8_t bytes[BlobHeaderSize];
    ReadStreamChecked(bytes, BlobHeaderSize, s, ReadCode);
    TORQBlobDataHeader header;
    header.BlockCount = static_cast<int32_t>(LoadLE32(bytes));
    header.UncompressedSize = static_cast<int64_t>(LoadLE64(bytes + 4));
    header.StoredSize = static_cast<int64_t>(LoadLE64(bytes + 12));
    // A header that points past the stream would have the reads below run off its end.
    if (header.StoredSize < 0 || header.StoredSize > s.Size() - s.Position())
        RaiseNativeFmt(ReadCode, SCannotReadFromStream, {s.Position(), s.Size(), header.StoredSize, int64_t{0}});
    return header;
}

void TORQTemporaryTableData::StoreBlobStream(TORQCursor* Cursor, int32_t FieldNo, TORQLocalBLOBStream& Stream) {
    TORQTableLock lock(*this);
    if (!Stream.Modified()) return;
    if (BlobStream == nullptr) RaiseNative(10144, "Nil pointer occured");
    uint8_t* record = Cursor->CurrentRecord;
    if (record == nullptr) RaiseNative(10144, "Nil pointer occured");
    const TORQFieldDef& f = BlobField(FieldNo);
    if (Stream.Size() == 0) {
        SetBit(record, FieldNo, true);
        return;
    }
    TORQCompressedBLOBStream& compressed = Stream.CompressedStream();
    TORQStream& stored = Stream.BaseStream();
    const int64_t position =
        AppendBlob(static_cast<int32_t>(compressed.Descriptor().BlockCount), compressed.Size(), stored.Size(),
                   [&] { stored.SaveToStream(*BlobStream); }, 10422, 10145);
    // The record points at the value only once all of it was written.
    StoreLE64(record + f.MemoryOffset, static_cast<uint64_t>(position));
    SetBit(record, FieldNo, false);
}

std::unique_ptr<TORQLocalBLOBStream> TORQTemporaryTableData::CreateBlobStream(TORQCursor* Cursor, bool Truncate,
                                                                              uint8_t Mode, int32_t FieldNo) {
    TORQTableLock lock(*this);
    if (BlobStream == nullptr) RaiseNative(10140, "Nil pointer occured");
    const TORQFieldDef& f = BlobField(FieldNo);
    if (f.BlobBlockSize == 0) RaiseNative(10420, "Stream block size = 0 is not allowed");
    auto base = std::make_unique<TORQTemporaryStream>(KeepInMemory != 0);
    TORQBLOBDescriptor descriptor;
    descriptor.BlockSize = f.BlobBlockSize;
    descriptor.CompressionAlgorithm = f.BlobCompressionAlgorithm;
    descriptor.CompressionMode = f.BlobCompressionMode;
    const uint8_t* record = Cursor != nullptr ? Cursor->CurrentRecord : nullptr;
    const bool isNew = Truncate || Mode == TORQLocalBLOBStream::bmWriteOnly || record == nullptr ||
                       GetBit(record, FieldNo);
    if (!isNew) {
        const auto position = static_cast<int64_t>(LoadLE64(record + f.MemoryOffset));
        const TORQBlobDataHeader header = ReadBlobHeader(position, 10141, 10142);
        if (header.StoredSize > 0) base->LoadFromStreamRange(*BlobStream, position + BlobHeaderSize, header.StoredSize);
        base->Seek(0, soBeginning);
        descriptor.BlockCount = header.BlockCount;
        descriptor.UncompressedSize = header.UncompressedSize;
    }
    auto compressed = std::make_unique<TORQCompressedBLOBStream>(*base, descriptor, isNew, false);
    return std::make_unique<TORQLocalBLOBStream>(std::move(base), std::move(compressed), FieldNo, Mode, Cursor);
}

void TORQTemporaryTableData::ReadBlob(TORQCursor*, int32_t FieldNo, uint8_t*& Data, TORQBlobDataHeader& Header,
                                      const uint8_t* Record) {
    TORQTableLock lock(*this);
    const TORQFieldDef& f = BlobField(FieldNo);
    Data = nullptr;
    Header = TORQBlobDataHeader{};
    if (GetBit(Record, FieldNo)) return;
    if (BlobStream == nullptr) RaiseNative(10509, "Nil pointer occured");
    TORQStream& s = *BlobStream;
    const int64_t kept = s.Position();
    const TORQBlobDataHeader header = ReadBlobHeader(static_cast<int64_t>(LoadLE64(Record + f.MemoryOffset)), 10509,
                                                     10510);
    TORQMemoryBlock bytes;
    if (header.StoredSize > 0) {
        bytes = TORQMemoryBlock(header.StoredSize);
        ReadStreamChecked(bytes.Data(), header.StoredSize, s, 10510);
    }
    s.Seek(kept, soBeginning);
    Header = header;
    Data = static_cast<uint8_t*>(bytes.Release());
}

void TORQTemporaryTableData::WriteBlob(TORQCursor* Cursor, int32_t FieldNo, const uint8_t* Data,
                                       const TORQBlobDataHeader& Header, uint8_t* Record) {
    TORQTableLock lock(*this);
    if (BlobStream == nullptr) RaiseNative(10506, "Nil pointer occured");
    if (Record == nullptr && Cursor != nullptr) Record = Cursor->CurrentRecord;
    if (Record == nullptr) RaiseNative(10506, "Nil pointer occured");
    const TORQFieldDef& f = BlobField(FieldNo);
    if (Header.UncompressedSize == 0) {
        SetBit(Record, FieldNo, true);
        return;
    }
    if (Header.StoredSize < 0 || (Header.StoredSize > 0 && Data == nullptr))
        RaiseNative(30980, "Nil pointer occured");
    const int64_t position = AppendBlob(
        Header.BlockCount, Header.UncompressedSize, Header.StoredSize,
        [&] {
            if (Header.StoredSize > 0) WriteStreamChecked(Data, Header.StoredSize, *BlobStream, 10508);
        },
        10507, 10508);
    StoreLE64(Record + f.MemoryOffset, static_cast<uint64_t>(position));
    SetBit(Record, FieldNo, false);
}

void TORQTemporaryTableData::DeleteBlob(uint8_t*& Data) { GlobalMemoryManager().FreeAndNillMem(Data); }

// ---------------------------------------------------------------------------------
// Records

bool TORQTemporaryTableData::InsertRecord(TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    if (RecordManager == nullptr) RaiseNative(10134, "Nil pointer occured");
    if (Cursor->CurrentRecord == nullptr) RaiseNative(10135, "Nil pointer occured");
    TORQRecordID id;
    const int32_t stamp = RecordManager->ChangeStamp;
    if (!RecordManager->InsertRecord(SessionIDOf(Cursor), Cursor->CurrentRecord, id)) return false;
    Cursor->CurrentRecordID = id;
    id.ToBytes(Cursor->CurrentRecord + RecordManager->RecordSize);
    KeepRecordBitmap(Cursor, id, false, stamp);
    InsertIndexKeys(Cursor);
    Cursor->Bof = 0;
    Cursor->Eof = 0;
    CommitSessionPages(SessionIDOf(Cursor), InTransaction(Cursor));
    return true;
}

bool TORQTemporaryTableData::DeleteRecord(TORQCursor*) { return false; }
bool TORQTemporaryTableData::UpdateRecord(TORQCursor*) { return false; }

void TORQTemporaryTableData::SetPhysicalRecNo(TORQCursor* Cursor, int64_t RecNo) {
    TORQTableLock lock(*this);
    if (RecordManager == nullptr) RaiseNative(10136, "Nil pointer occured");
    Cursor->CurrentRecordID = TORQTemporaryRecordManager::NumberToId(RecNo < 2 ? 0 : RecNo - 1);
}

int64_t TORQTemporaryTableData::GetPhysicalRecNo(TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    if (RecordManager == nullptr) RaiseNative(10137, "Nil pointer occured");
    return TORQTemporaryRecordManager::IdToNumber(Cursor->CurrentRecordID) + 1;
}

int64_t TORQTemporaryTableData::GetPhysicalRecordCount(TORQCursor*) {
    TORQTableLock lock(*this);
    if (RecordManager == nullptr) RaiseNative(10133, "Nil pointer occured");
    return RecordManager->RecordCount;
}

// ---------------------------------------------------------------------------------
// Database

TORQTemporaryDatabaseData::TORQTemporaryDatabaseData() { DatabaseName = "TEMP"; }

// The base frees the tables without any check; DropAllTables is the checked road.
TORQTemporaryDatabaseData::~TORQTemporaryDatabaseData() = default;

TORQTableData* TORQTemporaryDatabaseData::CreateTableData(TORQCursor* Cursor) {
    std::lock_guard guard(LockSection());
    auto table = std::make_unique<TORQTemporaryTableData>(this, 1000, 10);
    if (Cursor != nullptr) table->TableName = Cursor->TableName;
    TORQTemporaryTableData* result = table.get();
    AddTableData(table.release());
    return result;
}

int32_t TORQTemporaryDatabaseData::GetNextObjectID() {
    std::lock_guard guard(LockSection());
    return ++FObjectID;
}

void TORQTemporaryDatabaseData::Commit(int32_t SessionID, bool Flush) {
    std::lock_guard guard(LockSection());
    TORQDatabaseData::Commit(SessionID, Flush);
    CommitTablePages(SessionID);
}

void TORQTemporaryDatabaseData::Rollback(int32_t SessionID) {
    std::lock_guard guard(LockSection());
    CommitTablePages(SessionID);
    TORQDatabaseData::Rollback(SessionID);
}

void TORQTemporaryDatabaseData::DropAllTables() { DeleteAllTables(10379); }

TORQTemporaryDatabaseData& TemporaryDatabase() {
    auto* db = dynamic_cast<TORQTemporaryDatabaseData*>(DatabaseList().Find("TEMP"));
    if (db == nullptr) RaiseNative(20007, "Database Engine is not initialized");
    return *db;
}

}  // namespace orq
