#include "engine/storage/ORQMemEngine.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "engine/foundation/ORQContainers.h"
#include "engine/foundation/ORQEndian.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/foundation/ORQStreams.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQEngineState.h"

namespace orq {

// ---------------------------------------------------------------------------------
// BLOB handles

TORQBlobHandleTable::~TORQBlobHandleTable() {
    for (auto& [handle, entry] : FEntries) {
        try {
            GlobalMemoryManager().FreeAndNillMem(entry.Block);
        } catch (...) {
            // An overrun is counted by the memory manager; a destructor raises nothing.
        }
    }
}

uint32_t TORQBlobHandleTable::Add(uint8_t* Block) {
    if (FEntries.size() >= UINT32_MAX - 1u) RaiseNative(10118, "Nil pointer occured");
    uint32_t h = FLastHandle;
    do {
        ++h;
        if (h == NoHandle) h = 1;
    } while (FEntries.contains(h));
    FEntries.emplace(h, TEntry{Block, false});
    FLastHandle = h;
    return h;
}

uint8_t* TORQBlobHandleTable::Block(uint32_t Handle) const {
    auto it = FEntries.find(Handle);
    return it == FEntries.end() ? nullptr : it->second.Block;
}

bool TORQBlobHandleTable::IsStored(uint32_t Handle) const {
    auto it = FEntries.find(Handle);
    return it != FEntries.end() && it->second.Stored;
}

void TORQBlobHandleTable::SetStored(uint32_t Handle, bool Stored) {
    auto it = FEntries.find(Handle);
    if (it != FEntries.end()) it->second.Stored = Stored;
}

bool TORQBlobHandleTable::Free(uint32_t Handle) {
    auto it = FEntries.find(Handle);
    if (it == FEntries.end()) return false;
    uint8_t* block = it->second.Block;
    FEntries.erase(it);
    GlobalMemoryManager().FreeAndNillMem(block);
    return true;
}

// ---------------------------------------------------------------------------------
// Table data

TORQMemoryTableData::TORQMemoryTableData(TORQDatabaseData* DatabaseData, int32_t RecordGrowth)
    : TORQTableData(DatabaseData),
      MemoryPageManager(std::make_unique<TORQMemoryPageManager>()),
      RecordGrowth(RecordGrowth) {
    PageManager = MemoryPageManager.get();
    TemporaryStorage = 1;
}

TORQMemoryTableData::~TORQMemoryTableData() {
    try {
        EmptyTable(nullptr);
        DropTemporaryIndexes(nullptr);
        if (MemoryPageManager != nullptr) MemoryPageManager->CommitSession(-2);
    } catch (...) {
        // Freeing goes on: the blocks below are released whatever the checks found.
    }
    IndexManager.reset();
    PageManager = nullptr;
    MemoryPageManager.reset();
}

void TORQMemoryTableData::CreateRecordManager() {
    RecordManager = std::make_unique<TORQMemoryRecordManager>(FieldManager->FieldDefs.GetMemoryRecordSize(),
                                                              RecordGrowth);
}

void TORQMemoryTableData::SetFieldDefs(const TORQFieldDefs& Defs) {
    FieldManager = std::make_unique<TORQBaseFieldManager>(this);
    TORQTableData::SetFieldDefs(Defs);
}

void TORQMemoryTableData::SetIndexDefs(const TORQIndexDefs& Defs) {
    IndexManager = std::make_unique<TORQBaseIndexManager>(this, MemoryPageManager.get());
    IndexManager->TablePageManager = MemoryPageManager.get();
    TORQTableData::SetIndexDefs(Defs);
}

void TORQMemoryTableData::SetConstraintDefs(const TORQConstraintDefs& Defs) {
    for (int32_t i = 0; i < Defs.GetCount(); ++i) {
        const uint8_t kind = Defs.GetItem(i)->ConstraintType;
        if (kind == 1 || kind > ctCheck) RaiseNative(30040, "Not implemented yet");
    }
    TORQTableData::SetConstraintDefs(Defs);
}

void TORQMemoryTableData::CreateTable(TORQCursor* Cursor, const TORQFieldDefs& Fields, const TORQIndexDefs& Indexes,
                                      const TORQConstraintDefs& Constraints) {
    TORQTableLock lock(*this);
    if (Fields.GetCount() == 0 && !IsDesignTime())
        RaiseNative(10025, "Error creating table - no fields were specified");
    if (Cursor != nullptr) TableName = Cursor->TableName;
    KeepInMemory = true;
    SetFieldDefs(Fields);
    SetIndexDefs(Indexes);
    SetConstraintDefs(Constraints);
    CreateRecordManager();
    if (Fields.GetCount() > 0) {
        TORQTableInfo info;
        GetTableInfo(info);
    }
    IndexManager->BuildAllIndexes(Cursor);
    CommitSessionPages(SessionIDOf(Cursor), InTransaction(Cursor));
}

void TORQMemoryTableData::DeleteTable(TORQCursor* Cursor, bool Force) { DeleteAndFree(Cursor, Force); }

void TORQMemoryTableData::EmptyTable(TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    TORQTableData::EmptyTable(Cursor);
    TORQMemoryRecordManager* rm = MemoryRecordManager();
    if (rm == nullptr) return;
    if (rm->RecordCount > 0 && HasBlobFields()) {
        // Each stored record's blocks go with it; a copy is read so the slots stay as
        // they are until the store empties.
        TORQMemoryBlock copy(rm->RecordSize, true);
        auto* record = static_cast<uint8_t*>(copy.Data());
        for (int32_t s = rm->MinSlot; s <= rm->MaxSlot; ++s) {
            if (!rm->IsLive(s)) continue;
            std::memcpy(record, rm->SlotData(s), static_cast<size_t>(rm->RecordSize));
            FreeBlobFields(record);
        }
    }
    rm->EmptyRecords(SessionIDOf(Cursor));
    // The indexes were emptied for the cursor's session: its pages are the ones to commit.
    if (MemoryPageManager != nullptr) MemoryPageManager->CommitSession(SessionIDOf(Cursor));
}

void TORQMemoryTableData::AddCursor(TORQCursor* Cursor) {
    // A cursor bound to the table directly may not carry a name yet: it keeps the table's.
    if (!Cursor->TableName.empty()) TableName = Cursor->TableName;
    TORQTableData::AddCursor(Cursor);
}

int32_t TORQMemoryTableData::AddIndex(const TORQIndexDef& IndexDef, TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    int32_t id = -1;
    try {
        id = TORQTableData::AddIndex(IndexDef, Cursor);
    } catch (...) {
        // The pages of a refused index (a duplicate key, a key too wide) go back at once.
        RollbackSessionPages(SessionIDOf(Cursor), InTransaction(Cursor));
        throw;
    }
    CommitSessionPages(SessionIDOf(Cursor), InTransaction(Cursor));
    return id;
}

void TORQMemoryTableData::DeleteIndex(int32_t IndexID, TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    TORQTableData::DeleteIndex(IndexID, Cursor);
    CommitSessionPages(SessionIDOf(Cursor), InTransaction(Cursor));
}

// Physical numbers are slot numbers, so a bitmap over them needs MaxSlot + 1 bits, which
// after deletions is more than the live count.
int64_t TORQMemoryTableData::GetMaxRecordNumber(int32_t) {
    TORQMemoryRecordManager* rm = MemoryRecordManager();
    if (rm == nullptr || rm->RecordCount == 0) return 0;
    return static_cast<int64_t>(rm->MaxSlot) + 1;
}

int64_t TORQMemoryTableData::RecordIdToNumber(const TORQRecordID& RecordID) { return RecordID.PageNo; }

TORQRecordID TORQMemoryTableData::NumberToRecordId(int64_t Number) {
    return TORQRecordID{static_cast<int32_t>(static_cast<uint32_t>(Number & 0xFFFFFFFF)), 0};
}

// ---------------------------------------------------------------------------------
// BLOBs

bool TORQMemoryTableData::HasBlobFields() const {
    return FieldManager != nullptr && FieldManager->HasBlobFields();
}

const TORQFieldDef& TORQMemoryTableData::BlobField(int32_t FieldNo) const {
    return FieldManager->FieldAt(FieldNo);
}

uint32_t TORQMemoryTableData::HandleOf(const uint8_t* Record, const TORQFieldDef& Field) const {
    return LoadLE32(Record + Field.MemoryOffset);
}

void TORQMemoryTableData::SetHandle(uint8_t* Record, int32_t FieldNo, uint32_t Handle) {
    const TORQFieldDef& f = BlobField(FieldNo);
    StoreLE32(Record + f.MemoryOffset, Handle);
    SetBit(Record, FieldNo, Handle == TORQBlobHandleTable::NoHandle);
}

void TORQMemoryTableData::ReplaceHandle(uint8_t* Record, int32_t FieldNo, uint32_t Handle) {
    const TORQFieldDef& f = BlobField(FieldNo);
    if (!GetBit(Record, FieldNo)) {
        const uint32_t old = HandleOf(Record, f);
        // A stored block stays until the update that replaces it has succeeded.
        if (old != Handle && !FBlobs.IsStored(old)) FBlobs.Free(old);
    }
    SetHandle(Record, FieldNo, Handle);
}

void TORQMemoryTableData::MarkStored(const uint8_t* Record, bool Stored) {
    const TORQFieldDefs& defs = FieldManager->FieldDefs;
    for (int32_t i = 0; i < defs.GetCount(); ++i) {
        const TORQFieldDef& f = *defs.GetItem(i);
        if (IsBlobBaseType(f.BaseType) && !GetBit(Record, i)) FBlobs.SetStored(HandleOf(Record, f), Stored);
    }
}

void TORQMemoryTableData::OwnBlobs(uint8_t* Record, const uint8_t* OldRecord) {
    const TORQFieldDefs& defs = FieldManager->FieldDefs;
    for (int32_t i = 0; i < defs.GetCount(); ++i) {
        const TORQFieldDef& f = *defs.GetItem(i);
        if (!IsBlobBaseType(f.BaseType) || GetBit(Record, i)) continue;
        const uint32_t h = HandleOf(Record, f);
        if (!FBlobs.IsStored(h)) continue;
        if (OldRecord != nullptr && !GetBit(OldRecord, i) && HandleOf(OldRecord, f) == h) continue;
        // Another stored record holds this block (a buffer copied from it): this record
        // gets a copy of its own, so freeing either never takes the other's value.
        const uint8_t* block = FBlobs.Block(h);
        const int64_t size = GlobalMemoryManager().GetBlockSize(block);
        TORQMemoryBlock copy(size);
        std::memcpy(copy.Data(), block, static_cast<size_t>(size));
        SetHandle(Record, i, FBlobs.Add(static_cast<uint8_t*>(copy.Release())));
    }
}

void TORQMemoryTableData::FreeReplacedBlobs(const uint8_t* OldRecord, const uint8_t* NewRecord) {
    const TORQFieldDefs& defs = FieldManager->FieldDefs;
    for (int32_t i = 0; i < defs.GetCount(); ++i) {
        const TORQFieldDef& f = *defs.GetItem(i);
        if (!IsBlobBaseType(f.BaseType) || GetBit(OldRecord, i)) continue;
        const uint32_t old = HandleOf(OldRecord, f);
        if (NewRecord == nullptr || GetBit(NewRecord, i) || HandleOf(NewRecord, f) != old) FBlobs.Free(old);
    }
}

void TORQMemoryTableData::FreeRecordBlobs(uint8_t* Record) {
    if (Record == nullptr || FieldManager == nullptr) return;
    TORQTableLock lock(*this);
    const TORQFieldDefs& defs = FieldManager->FieldDefs;
    for (int32_t i = 0; i < defs.GetCount(); ++i) {
        const TORQFieldDef& f = *defs.GetItem(i);
        if (!IsBlobBaseType(f.BaseType) || GetBit(Record, i)) continue;
        const uint32_t h = HandleOf(Record, f);
        // Only what this buffer made: the stored record keeps its blocks.
        if (FBlobs.Block(h) != nullptr && !FBlobs.IsStored(h)) {
            FBlobs.Free(h);
            SetHandle(Record, i, TORQBlobHandleTable::NoHandle);
        }
    }
}

void TORQMemoryTableData::StoreBlobStream(TORQCursor* Cursor, int32_t FieldNo, TORQLocalBLOBStream& Stream) {
    TORQTableLock lock(*this);
    if (!Stream.Modified()) return;
    uint8_t* record = Cursor->CurrentRecord;
    if (record == nullptr) RaiseNative(10018, "Nil pointer occured");
    BlobField(FieldNo);
    if (Stream.Size() == 0) {
        ReplaceHandle(record, FieldNo, TORQBlobHandleTable::NoHandle);
        return;
    }
    TORQCompressedBLOBStream& compressed = Stream.CompressedStream();
    TORQStream& stored = Stream.BaseStream();
    const int64_t storedSize = stored.Size();
    TORQMemoryBlock block(BlobHeaderSize + storedSize, true);
    auto* data = block.Data();
    StoreLE32(data, static_cast<uint32_t>(compressed.Descriptor().BlockCount));
    StoreLE64(data + 4, static_cast<uint64_t>(compressed.Size()));
    stored.Seek(0, soBeginning);
    const int64_t read = storedSize > 0 ? stored.Read(data + BlobHeaderSize, storedSize) : 0;
    if (read != storedSize)
        RaiseNativeFmt(10117,
                       "Cannot read from stream. Position = %d, Stream size = %d, Block size = %d, Bytes Read = %d",
                       {stored.Position(), storedSize, BlobHeaderSize + storedSize, read});
    const uint32_t h = FBlobs.Add(static_cast<uint8_t*>(block.Release()));
    ReplaceHandle(record, FieldNo, h);
}

void TORQMemoryTableData::FreeBlob(uint8_t* Record, int32_t FieldNo) {
    TORQTableLock lock(*this);
    if (!HasBlobFields() || GetBit(Record, FieldNo)) return;
    const uint32_t h = HandleOf(Record, BlobField(FieldNo));
    if (!FBlobs.Free(h)) RaiseNative(10118, "Nil pointer occured");
    SetHandle(Record, FieldNo, TORQBlobHandleTable::NoHandle);
}

std::unique_ptr<TORQLocalBLOBStream> TORQMemoryTableData::CreateBlobStream(TORQCursor* Cursor, bool Truncate,
                                                                           uint8_t Mode, int32_t FieldNo) {
    TORQTableLock lock(*this);
    const TORQFieldDef& f = BlobField(FieldNo);
    if (f.BlobBlockSize == 0) RaiseNative(10420, "Stream block size = 0 is not allowed");
    auto base = std::make_unique<TORQTemporaryStream>(KeepInMemory);
    TORQBLOBDescriptor descriptor;
    descriptor.BlockSize = f.BlobBlockSize;
    descriptor.CompressionAlgorithm = f.BlobCompressionAlgorithm;
    descriptor.CompressionMode = f.BlobCompressionMode;
    const uint8_t* record = Cursor != nullptr ? Cursor->CurrentRecord : nullptr;
    const bool isNew = Truncate || Mode == TORQLocalBLOBStream::bmWriteOnly || record == nullptr ||
                       GetBit(record, FieldNo);
    if (!isNew) {
        const uint8_t* block = FBlobs.Block(HandleOf(record, f));
        if (block == nullptr) RaiseNative(10112, "Nil pointer occured");
        const int64_t storedSize = GlobalMemoryManager().GetBlockSize(block) - BlobHeaderSize;
        if (storedSize > 0) base->Write(block + BlobHeaderSize, storedSize);
        base->Seek(0, soBeginning);
        descriptor.BlockCount = static_cast<int32_t>(LoadLE32(block));
        descriptor.UncompressedSize = static_cast<int64_t>(LoadLE64(block + 4));
    }
    auto compressed = std::make_unique<TORQCompressedBLOBStream>(*base, descriptor, isNew, false);
    return std::make_unique<TORQLocalBLOBStream>(std::move(base), std::move(compressed), FieldNo, Mode, Cursor);
}

void TORQMemoryTableData::ReadBlob(TORQCursor*, int32_t FieldNo, uint8_t*& Data, TORQBlobDataHeader& Header,
                                   const uint8_t* Record) {
    TORQTableLock lock(*this);
    const TORQFieldDef& f = BlobField(FieldNo);
    Data = nullptr;
    Header = TORQBlobDataHeader{};
    if (GetBit(Record, FieldNo)) return;
    const uint8_t* block = FBlobs.Block(HandleOf(Record, f));
    if (block == nullptr) RaiseNative(10511, "Nil pointer occured");
    Header.BlockCount = static_cast<int32_t>(LoadLE32(block));
    Header.UncompressedSize = static_cast<int64_t>(LoadLE64(block + 4));
    Header.StoredSize = GlobalMemoryManager().GetBlockSize(block) - BlobHeaderSize;
    if (Header.StoredSize > 0) {
        Data = static_cast<uint8_t*>(GlobalMemoryManager().GetMem(Header.StoredSize));
        std::memcpy(Data, block + BlobHeaderSize, static_cast<size_t>(Header.StoredSize));
    }
}

void TORQMemoryTableData::WriteBlob(TORQCursor* Cursor, int32_t FieldNo, const uint8_t* Data,
                                    const TORQBlobDataHeader& Header, uint8_t* Record) {
    TORQTableLock lock(*this);
    if (Record == nullptr && Cursor != nullptr) Record = Cursor->CurrentRecord;
    if (Record == nullptr) RaiseNative(10018, "Nil pointer occured");
    BlobField(FieldNo);
    if (Header.StoredSize <= 0) {
        ReplaceHandle(Record, FieldNo, TORQBlobHandleTable::NoHandle);
        return;
    }
    if (Data == nullptr) RaiseNative(10511, "Nil pointer occured");
    TORQMemoryBlock block(BlobHeaderSize + Header.StoredSize, true);
    auto* d = block.Data();
    StoreLE32(d, static_cast<uint32_t>(Header.BlockCount));
    StoreLE64(d + 4, static_cast<uint64_t>(Header.UncompressedSize));
    std::memcpy(d + BlobHeaderSize, Data, static_cast<size_t>(Header.StoredSize));
    const uint32_t h = FBlobs.Add(static_cast<uint8_t*>(block.Release()));
    ReplaceHandle(Record, FieldNo, h);
}

void TORQMemoryTableData::DeleteBlob(uint8_t*& Data) { GlobalMemoryManager().FreeAndNillMem(Data); }

// ---------------------------------------------------------------------------------
// Records

bool TORQMemoryTableData::InsertRecord(TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    if (RecordManager == nullptr) RaiseNative(10010, "Nil pointer occured");
    if (Cursor->CurrentRecord == nullptr) RaiseNative(10018, "Nil pointer occured");
    OwnBlobs(Cursor->CurrentRecord, nullptr);
    TORQRecordID id;
    const int32_t stamp = RecordManager->ChangeStamp;
    if (!RecordManager->InsertRecord(SessionIDOf(Cursor), Cursor->CurrentRecord, id)) return false;
    MarkStored(Cursor->CurrentRecord, true);
    Cursor->CurrentRecordID = id;
    id.ToBytes(Cursor->CurrentRecord + RecordManager->RecordSize);
    KeepRecordBitmap(Cursor, id, false, stamp);
    InsertIndexKeys(Cursor);
    Cursor->Bof = 0;
    Cursor->Eof = 0;
    CommitSessionPages(SessionIDOf(Cursor), InTransaction(Cursor));
    return true;
}

bool TORQMemoryTableData::UpdateRecord(TORQCursor* Cursor) {
    int32_t stamp = 0;
    TORQTableLock lock(*this);
    TORQMemoryRecordManager* rm = MemoryRecordManager();
    if (rm == nullptr) RaiseNative(10014, "Nil pointer occured");
    if (Cursor->CurrentRecord == nullptr) RaiseNative(10017, "Nil pointer occured");
    const int32_t slot = Cursor->CurrentRecordID.PageNo;
    // The stored record as it was: its blocks are released only once the update held.
    TORQMemoryBlock old;
    if (rm->IsLive(slot) && rm->RecordSize > 0) {
        old = TORQMemoryBlock(rm->RecordSize);
        std::memcpy(old.Data(), rm->SlotData(slot), static_cast<size_t>(rm->RecordSize));
    }
    const bool indexed = IndexManager != nullptr && IndexManager->IndexDefs.GetCount() > 0;
    // An indexed record must exist: its old keys are taken from the stored record.
    if (indexed && !rm->IsLive(slot)) return false;
    if (rm->IsLive(slot)) OwnBlobs(Cursor->CurrentRecord, static_cast<const uint8_t*>(old.Data()));
    bool ok = false;
    {
        // The index upkeep reads the stored record into the cursor's OldRecord; a cursor
        // without one lends a scratch buffer for the update.
        TORQMemoryBlock scratch;
        uint8_t* const ownOld = Cursor->OldRecord;
        if (ownOld == nullptr && indexed) {
            scratch = TORQMemoryBlock(std::max(rm->RecordSize, Cursor->RecordBufferSize), true);
            Cursor->OldRecord = static_cast<uint8_t*>(scratch.Data());
        }
        try {
            UpdateIndexKeys(Cursor, true);
            stamp = rm->ChangeStamp;
            ok = rm->UpdateRecord(SessionIDOf(Cursor), Cursor->CurrentRecord, Cursor->CurrentRecordID);
            UpdateIndexKeys(Cursor, false);
        } catch (...) {
            Cursor->OldRecord = ownOld;
            throw;
        }
        Cursor->OldRecord = ownOld;
    }
    if (!ok) return false;
    if (old.Data() != nullptr) FreeReplacedBlobs(static_cast<const uint8_t*>(old.Data()), Cursor->CurrentRecord);
    MarkStored(Cursor->CurrentRecord, true);
    KeepRecordBitmap(Cursor, Cursor->CurrentRecordID, false, stamp);
    CommitSessionPages(SessionIDOf(Cursor), InTransaction(Cursor));
    return true;
}

bool TORQMemoryTableData::DeleteRecord(TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    TORQMemoryRecordManager* rm = MemoryRecordManager();
    if (rm == nullptr) RaiseNative(10013, "Nil pointer occured");
    const TORQRecordID id = Cursor->CurrentRecordID;
    const int32_t slot = id.PageNo;
    TORQMemoryBlock stored;
    if (rm->IsLive(slot) && rm->RecordSize > 0) {
        stored = TORQMemoryBlock(rm->RecordSize);
        std::memcpy(stored.Data(), rm->SlotData(slot), static_cast<size_t>(rm->RecordSize));
    }
    const TNeighbours neighbours = ProbeNeighbours(Cursor);
    DeleteIndexKeys(Cursor);
    TORQRecordID deleted = id;
    const int32_t stamp = rm->ChangeStamp;
    if (!rm->DeleteRecord(SessionIDOf(Cursor), deleted)) return false;
    KeepRecordBitmap(Cursor, id, true, stamp);
    PlaceAfterDelete(Cursor, neighbours, static_cast<const uint8_t*>(stored.Data()));
    CommitSessionPages(SessionIDOf(Cursor), InTransaction(Cursor));
    // The record is gone: its blocks with it, and the cursor's copy forgets them.
    if (stored.Data() != nullptr) {
        FreeReplacedBlobs(static_cast<const uint8_t*>(stored.Data()), nullptr);
        if (Cursor->CurrentRecord != nullptr) {
            const TORQFieldDefs& defs = FieldManager->FieldDefs;
            for (int32_t i = 0; i < defs.GetCount(); ++i)
                if (IsBlobBaseType(defs.GetItem(i)->BaseType) && !GetBit(Cursor->CurrentRecord, i) &&
                    FBlobs.Block(HandleOf(Cursor->CurrentRecord, *defs.GetItem(i))) == nullptr)
                    SetHandle(Cursor->CurrentRecord, i, TORQBlobHandleTable::NoHandle);
        }
    }
    return true;
}

void TORQMemoryTableData::SetPhysicalRecNo(TORQCursor* Cursor, int64_t RecNo) {
    TORQTableLock lock(*this);
    TORQMemoryRecordManager* rm = MemoryRecordManager();
    if (rm == nullptr) RaiseNative(10074, "Nil pointer occured");
    const int32_t slot = rm->SlotOfNumber(RecNo);
    if (slot >= 0) Cursor->CurrentRecordID = TORQMemoryRecordManager::SlotID(slot);
}

int64_t TORQMemoryTableData::GetPhysicalRecNo(TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    TORQMemoryRecordManager* rm = MemoryRecordManager();
    if (rm == nullptr) RaiseNative(10033, "Nil pointer occured");
    return rm->NumberOfSlot(Cursor->CurrentRecordID.PageNo);
}

int64_t TORQMemoryTableData::GetPhysicalRecordCount(TORQCursor*) {
    TORQTableLock lock(*this);
    if (RecordManager == nullptr) RaiseNative(10009, "Nil pointer occured");
    return RecordManager->RecordCount;
}

int64_t TORQMemoryTableData::GetLastAutoincValue(int32_t FieldNo, TORQCursor* Cursor) {
    return FieldManager->GetLastAutoincValue(Cursor != nullptr ? Cursor->Session : nullptr, FieldNo);
}

// ---------------------------------------------------------------------------------
// Database

TORQMemoryDatabaseData::TORQMemoryDatabaseData() { DatabaseName = "MEMORY"; }

// The base frees the tables without any check; DropAllTables is the checked road.
TORQMemoryDatabaseData::~TORQMemoryDatabaseData() = default;

void TORQMemoryDatabaseData::ConnectSession(TORQBaseSession* Session) {
    Session->SessionID = 0;
    TORQDatabaseData::ConnectSession(Session);
}

TORQTableData* TORQMemoryDatabaseData::CreateTableData(TORQCursor* Cursor) {
    std::lock_guard guard(LockSection());
    auto table = std::make_unique<TORQMemoryTableData>(this, 1000);
    table->TableName = Cursor->TableName;
    TORQMemoryTableData* result = table.get();
    AddTableData(table.release());
    return result;
}

int32_t TORQMemoryDatabaseData::GetNextObjectID() {
    std::lock_guard guard(LockSection());
    return ++FObjectID;
}

void TORQMemoryDatabaseData::Commit(int32_t SessionID, bool Flush) {
    std::lock_guard guard(LockSection());
    TORQDatabaseData::Commit(SessionID, Flush);
    CommitTablePages(SessionID);
}

void TORQMemoryDatabaseData::Rollback(int32_t SessionID) {
    std::lock_guard guard(LockSection());
    // Dropping the session's page list would give back the pages its splits took while
    // the tree, changed in place, still points at them: the pages are kept, like the
    // records. A stale temporary index is then rebuilt over them.
    CommitTablePages(SessionID);
    TORQDatabaseData::Rollback(SessionID);
}

void TORQMemoryDatabaseData::DropAllTables() { DeleteAllTables(10258); }

TORQMemoryDatabaseData& MemoryDatabase() {
    auto* db = dynamic_cast<TORQMemoryDatabaseData*>(DatabaseList().Find("MEMORY"));
    if (db == nullptr) RaiseNative(20007, "Database Engine is not initialized");
    return *db;
}

}  // namespace orq
