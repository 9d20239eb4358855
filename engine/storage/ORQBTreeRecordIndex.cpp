#include "engine/storage/ORQBTreeRecordIndex.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/foundation/ORQEndian.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQConstraints.h"
#include "engine/storage/ORQCursor.h"
#include "engine/storage/ORQTableCursor.h"
#include "engine/storage/ORQTableData.h"

namespace orq {

namespace {

[[noreturn]] void RaiseNoRoot(int32_t Code) { RaiseNative(Code, "Invalid page number"); }
[[noreturn]] void RaiseInvalidPosition(int32_t Code) { RaiseNative(Code, "Index error: invalid position"); }

int32_t CursorSession(const TORQCursor* Cursor) {
    return Cursor != nullptr && Cursor->Session != nullptr ? Cursor->Session->SessionID : -2;
}

// Restores the key reference's active column count on every exit.
struct TActiveColumns {
    TORQRecordKeyRef& Ref;
    int32_t Saved;
    TActiveColumns(TORQRecordKeyRef& Ref, int32_t Count) : Ref(Ref), Saved(Ref.ActiveColumnCount) {
        Ref.ActiveColumnCount = Count;
    }
    ~TActiveColumns() { Ref.ActiveColumnCount = Saved; }
};

}  // namespace

TORQPageManager& TORQBTreeRecordIndex::PageManager() const {
    TORQPageManager* pm = IndexManager != nullptr && IndexDef ? IndexManager->GetIndexPageManager(*IndexDef) : nullptr;
    if (pm == nullptr) RaiseNative(20076, "Pointer is nil");
    return *pm;
}

void TORQBTreeRecordIndex::BuildKeyRef() {
    FKeyRef.BuildFromIndexDef(*IndexDef, IndexManager != nullptr ? IndexManager->TableData : nullptr);
    FKeyRef.ValueSize = TORQRecordID::ByteSize;
    // A split needs at least three leaf entries per page, and the page header keeps the
    // key size in 16 bits.
    const int32_t dataSize = PageManager().DataSize;
    const int32_t limit = (dataSize - BTreeBaseHeaderSize) / 3 - TORQRecordID::ByteSize;
    if (FKeyRef.KeySize > limit)
        RaiseNativeFmt(30920, "Cannot use index '%s'. Its key of %d bytes exceeds the limit of %d bytes",
                       {IndexDef->Name, FKeyRef.KeySize, limit});
}

TORQBTreePageHolder TORQBTreeRecordIndex::LoadRoot(int32_t SessionID, int32_t Code) {
    if (RootPageNo() == -1) RaiseNoRoot(Code);
    return TORQBTreePage::Load(PageManager(), FKeyRef, SessionID, RootPageNo());
}

void TORQBTreeRecordIndex::CreateIndex(TORQCursor* Cursor, TORQIndexDef& Definition) {
    TORQIndex::CreateIndex(Cursor, Definition);
    BuildKeyRef();
    const int32_t session = CursorSession(Cursor);
    {
        TORQBTreePageHolder root = TORQBTreePage::New(PageManager(), FKeyRef, session);
        root->InitRootLeaf();
        root->MarkModified();
        IndexDef->RootPage = root->GetPageNo();
    }
    if (Cursor != nullptr) {
        try {
            Fill(Cursor);
        } catch (...) {
            // A half-built tree is nobody's: its pages go back before the error does.
            try {
                DropIndex(session);
            } catch (...) {
            }
            IndexDef->RootPage = -1;
            Definition.RootPage = -1;
            throw;
        }
    }
    Definition.RootPage = IndexDef->RootPage;  // the caller saves the definition with its root
}

void TORQBTreeRecordIndex::Fill(TORQCursor* Cursor) {
    TORQTableData* table = IndexManager != nullptr ? IndexManager->TableData : nullptr;
    if (table == nullptr) RaiseNative(20076, "Pointer is nil");
    // The table's own cursor, in the requesting cursor's session, reads the records in
    // physical order; each key goes in under that cursor's record id.
    TORQTableCursor reader;
    reader.Session = Cursor->Session;
    reader.TableName = table->TableName;
    reader.OpenTable(*table);
    const bool unique = IndexDef->Unique != 0 || IndexDef->Primary != 0;
    while (reader.GetRecord(gmNext) == grOK) {
        // Rows that break a unique key refuse the index as a later insert would.
        if (unique && !IsKeyFree(reader.Session != nullptr ? reader.Session->SessionID : -2, reader.CurrentRecord))
            RaiseNativeFmt(30320, "Constraint unique '%s' violated. Duplicate found.", {IndexDef->Name});
        InsertKey(&reader);
    }
    reader.CloseTable();
}

void TORQBTreeRecordIndex::DropIndex(int32_t SessionID) {
    {
        TORQBTreePageHolder root = LoadRoot(SessionID, 20119);
        root->FreePages(SessionID, false);
    }
    IndexDef->RootPage = -1;
}

void TORQBTreeRecordIndex::EmptyIndex(int32_t SessionID) {
    TORQBTreePageHolder root = LoadRoot(SessionID, 20120);
    root->FreePages(SessionID, true);
    root->InitRootLeaf();
    root->MarkModified();
}

void TORQBTreeRecordIndex::OpenIndex(const TORQIndexDef& Definition) {
    TORQIndex::OpenIndex(Definition);
    BuildKeyRef();
}

void TORQBTreeRecordIndex::RebuildIndex(TORQCursor* Cursor) {
    DropIndex(CursorSession(Cursor));
    CreateIndex(Cursor, *IndexDef);
}

void TORQBTreeRecordIndex::ForEachEntry(int32_t SessionID,
                                        const std::function<void(const uint8_t* Key, const uint8_t* Value)>& Visit,
                                        const std::function<void()>& BetweenPages) {
    TORQKeyPath path;
    if (!First(SessionID, path)) return;
    TORQPageManager& pm = PageManager();
    int32_t pageNo = path.Levels[path.LevelCount - 1].PageNo;
    // A damaged chain must not loop: the leaves are fewer than the file's pages.
    for (int64_t left = int64_t{pm.GetPageCount()} + 1; pageNo != -1; --left) {
        {
            TORQBTreePageHolder leaf = TORQBTreePage::Load(pm, FKeyRef, SessionID, pageNo);
            if (left <= 0 || !leaf->IsLeaf()) RaiseNativeFmt(31004, "Index page is damaged. PageNo=%d", {pageNo});
            for (int32_t k = 0; k < leaf->EntryCount(); ++k) Visit(leaf->KeyAt(k), leaf->ValueAt(k));
            pageNo = leaf->NextPageNo();
        }
        if (BetweenPages) BetweenPages();
    }
}

void TORQBTreeRecordIndex::BulkLoad(
    int32_t SessionID,
    const std::function<void(const std::function<void(const uint8_t* Key, const uint8_t* Value)>& Sink)>& Feed) {
    TORQPageManager& pm = PageManager();
    int32_t dataSize = 0;
    {
        TORQBTreePageHolder root = LoadRoot(SessionID, 20127);
        if (!root->IsLeaf() || root->EntryCount() != 0)
            RaiseNativeFmt(31471, "Index '%s' holds entries: it cannot be filled from the bottom up",
                           {IndexDef->Name});
        dataSize = root->GetDataSize();
    }
    const int32_t keySize = FKeyRef.KeySize;
    const int32_t leafEntry = keySize + FKeyRef.ValueSize;
    const int32_t innerEntry = keySize + 4;
    const int32_t room = dataSize - BTreeBaseHeaderSize;
    const int32_t leafMax = room / leafEntry;
    const int32_t innerMax = room / innerEntry;
    CheckKeyRefFitsPage(FKeyRef, dataSize);

    // A page of the level being built: header as splits leave it, entries from Data.
    auto fill = [&](TORQBTreePage& Page, bool Leaf, const uint8_t* Data, int32_t Count) {
        Page.SetIsLeaf(Leaf);
        Page.SetRootLeafMark(true);
        Page.SetKeySize(static_cast<uint16_t>(keySize));
        std::memcpy(Page.KeyAt(0), Data, static_cast<size_t>(Count) * static_cast<size_t>(Leaf ? leafEntry : innerEntry));
        Page.SetEntryCount(Count);
        Page.ZeroEntriesFrom(Count);
        Page.MarkModified();
    };
    // The pages of one level, chained in turn; the first key and number of each, for the
    // level above. No page stays taken between two entries: Feed's caller may commit.
    std::vector<uint8_t> firstKeys;
    std::vector<int32_t> pageNos;
    int32_t previous = -1;
    auto writePage = [&](bool Leaf, const uint8_t* Data, int32_t Count) {
        TORQBTreePageHolder page = TORQBTreePage::New(pm, FKeyRef, SessionID);
        fill(*page, Leaf, Data, Count);
        if (previous != -1) {
            TORQBTreePageHolder before = TORQBTreePage::Load(pm, FKeyRef, SessionID, previous);
            before->SetNextPageNo(page->GetPageNo());
            before->MarkModified();
            page->SetPrevPageNo(previous);
        }
        firstKeys.insert(firstKeys.end(), Data, Data + keySize);
        pageNos.push_back(page->GetPageNo());
        previous = page->GetPageNo();
    };

    std::vector<uint8_t> leaf(static_cast<size_t>(leafMax) * static_cast<size_t>(leafEntry));
    int32_t count = 0;
    Feed([&](const uint8_t* Key, const uint8_t* Value) {
        if (count == leafMax) {
            writePage(true, leaf.data(), count);
            count = 0;
        }
        uint8_t* at = leaf.data() + static_cast<size_t>(count) * static_cast<size_t>(leafEntry);
        std::memcpy(at, Key, static_cast<size_t>(keySize));
        std::memcpy(at + keySize, Value, static_cast<size_t>(FKeyRef.ValueSize));
        ++count;
    });
    TORQBTreePageHolder root = LoadRoot(SessionID, 20127);
    if (pageNos.empty()) {
        // Everything fits the root leaf.
        fill(*root, true, leaf.data(), count);
        return;
    }
    if (count > 0) writePage(true, leaf.data(), count);
    previous = -1;
    // Inner levels until one fits the root; entries spread evenly over a level's pages.
    std::vector<uint8_t> entries;
    for (;;) {
        const auto n = static_cast<int32_t>(pageNos.size());
        entries.resize(static_cast<size_t>(n) * static_cast<size_t>(innerEntry));
        for (int32_t k = 0; k < n; ++k) {
            uint8_t* at = entries.data() + static_cast<size_t>(k) * static_cast<size_t>(innerEntry);
            std::memcpy(at, firstKeys.data() + static_cast<size_t>(k) * static_cast<size_t>(keySize),
                        static_cast<size_t>(keySize));
            StoreLE32(at + keySize, static_cast<uint32_t>(pageNos[static_cast<size_t>(k)]));
        }
        if (n <= innerMax) {
            fill(*root, false, entries.data(), n);
            return;
        }
        firstKeys.clear();
        pageNos.clear();
        const int32_t pages = (n + innerMax - 1) / innerMax;
        for (int32_t p = 0, from = 0; p < pages; ++p) {
            const int32_t take = n / pages + (p < n % pages ? 1 : 0);
            writePage(false, entries.data() + static_cast<size_t>(from) * static_cast<size_t>(innerEntry), take);
            from += take;
        }
        previous = -1;
    }
}

bool TORQBTreeRecordIndex::First(int32_t SessionID, TORQKeyPath& Path) {
    Path.Clear();
    return LoadRoot(SessionID, 20121)->First(SessionID, Path);
}

bool TORQBTreeRecordIndex::Last(int32_t SessionID, TORQKeyPath& Path) {
    Path.Clear();
    return LoadRoot(SessionID, 20122)->Last(SessionID, Path);
}

bool TORQBTreeRecordIndex::Next(int32_t SessionID, TORQKeyPath& Path) {
    return StepKeyPathNext(PageManager(), FKeyRef, SessionID, Path, 20069, 20070);
}

bool TORQBTreeRecordIndex::Prior(int32_t SessionID, TORQKeyPath& Path) {
    return StepKeyPathPrior(PageManager(), FKeyRef, SessionID, Path, 20069, 20071);
}

TORQRecordID TORQBTreeRecordIndex::RecordIdAtPath(int32_t SessionID, const TORQKeyPath& Path) {
    if (Path.LevelCount <= 0 || Path.LevelCount > TORQKeyPath::MaxLevels) RaiseInvalidPosition(20068);
    const TORQKeyPathLevel& at = Path.Levels[Path.LevelCount - 1];
    TORQBTreePageHolder leaf = TORQBTreePage::Load(PageManager(), FKeyRef, SessionID, at.PageNo);
    // A stale path must not read past the page's entries.
    if (!leaf->IsLeaf() || at.EntryNo < 0 || at.EntryNo >= leaf->EntryCount()) RaiseInvalidPosition(20068);
    return TORQRecordID::FromBytes(leaf->ValueAt(at.EntryNo));
}

void TORQBTreeRecordIndex::GetRecordIdAtPath(int32_t SessionID, const TORQKeyPath& KeyPath, TORQRecordID& RecordID) {
    if (KeyPath.LevelCount <= 0 || KeyPath.LevelCount > TORQKeyPath::MaxLevels) RaiseInvalidPosition(20068);
    TORQBTreePageHolder page = LoadRoot(SessionID, 20068);
    for (int32_t level = 0; level < KeyPath.LevelCount; ++level) {
        const int32_t entry = KeyPath.Levels[level].EntryNo;
        const bool last = level == KeyPath.LevelCount - 1;
        if (entry < 0 || entry >= page->EntryCount() || page->IsLeaf() != last) RaiseInvalidPosition(20068);
        if (last) {
            RecordID = TORQRecordID::FromBytes(page->ValueAt(entry));
            return;
        }
        const int32_t child = page->ChildAt(entry);
        page = TORQBTreePage::Load(PageManager(), FKeyRef, SessionID, child);
    }
}

bool TORQBTreeRecordIndex::PathHoldsRecord(int32_t SessionID, const TORQKeyPath& KeyPath,
                                           const TORQRecordID& RecordID) {
    if (KeyPath.LevelCount <= 0 || KeyPath.LevelCount > TORQKeyPath::MaxLevels) return false;
    const TORQKeyPathLevel& at = KeyPath.Levels[KeyPath.LevelCount - 1];
    TORQBTreePageHolder leaf = TORQBTreePage::Load(PageManager(), FKeyRef, SessionID, at.PageNo);
    return leaf->IsLeaf() && at.EntryNo >= 0 && at.EntryNo < leaf->EntryCount() &&
           TORQRecordID::FromBytes(leaf->ValueAt(at.EntryNo)) == RecordID;
}

TORQKeyPath* TORQBTreeRecordIndex::CreateKeyPath() { return new TORQKeyPath(); }

void TORQBTreeRecordIndex::FreeKeyPath(TORQKeyPath*& KeyPath) {
    delete KeyPath;
    KeyPath = nullptr;
}

bool TORQBTreeRecordIndex::FindRecordPath(int32_t SessionID, const TORQRecordID& RecordID, TORQKeyPath& KeyPath,
                                          const uint8_t* Record) {
    KeyPath.Clear();
    TORQBTreePageHolder root = LoadRoot(SessionID, 20124);
    TORQKeyBuffer key(FKeyRef.KeySize);
    FKeyRef.BuildKey(Record, key.Get());
    uint8_t value[TORQRecordID::ByteSize];
    RecordID.ToBytes(value);
    return root->FindRecord(SessionID, key.Get(), KeyPath, value);
}

bool TORQBTreeRecordIndex::FindKey(int32_t SessionID, bool Forward, TORQKeyPath& Path, int32_t Condition,
                                   const uint8_t* Record, int32_t ColumnCount) {
    Path.Clear();
    TORQBTreePageHolder root = LoadRoot(SessionID, 20293);
    TActiveColumns active(FKeyRef, ColumnCount);
    TORQKeyBuffer key(FKeyRef.KeySize);
    FKeyRef.BuildKey(Record, key.Get());
    return root->FindKey(SessionID, Forward, Path, Condition, key.Get());
}

int32_t TORQBTreeRecordIndex::ComparePositions(const TORQKeyPath& A, const TORQKeyPath& B) {
    return TORQKeyPath::CompareKeyPaths(A, B);
}

TORQRecordID TORQBTreeRecordIndex::RecordIdAtPath(int32_t SessionID, const TORQKeyPath& Path,
                                                 TORQIndexPositionCache* PositionCache, int32_t ChangeStamp) {
    if (PositionCache == nullptr) return RecordIdAtPath(SessionID, Path);
    if (Path.LevelCount <= 0 || Path.LevelCount > TORQKeyPath::MaxLevels) RaiseInvalidPosition(20068);
    const TORQKeyPathLevel& at = Path.Levels[Path.LevelCount - 1];
    TORQIndexPositionCache& c = *PositionCache;
    // The leaf's entries are kept as they lie in the page (one copy); LeafValueSize is
    // their stride, the value following the key in each.
    if (c.LeafPageNo != at.PageNo || c.LeafIndexID != IndexDef->ObjectID || c.LeafStamp != ChangeStamp) {
        c.LeafPageNo = -1;
        TORQBTreePageHolder leaf = TORQBTreePage::Load(PageManager(), FKeyRef, SessionID, at.PageNo);
        if (!leaf->IsLeaf() || leaf->ValueSize() != TORQRecordID::ByteSize) RaiseInvalidPosition(20068);
        const int32_t count = leaf->EntryCount();
        const int32_t stride = leaf->EntrySize();
        c.LeafValues.resize(static_cast<size_t>(count) * static_cast<size_t>(stride));
        if (count > 0) std::memcpy(c.LeafValues.data(), leaf->KeyAt(0), c.LeafValues.size());
        c.LeafIndexID = IndexDef->ObjectID;
        c.LeafStamp = ChangeStamp;
        c.LeafValueSize = stride;
        c.LeafPageNo = at.PageNo;
    }
    // A stale path must not read past the page's entries.
    const auto stride = static_cast<size_t>(c.LeafValueSize);
    const size_t count = stride > 0 ? c.LeafValues.size() / stride : 0;
    if (at.EntryNo < 0 || static_cast<size_t>(at.EntryNo) >= count) RaiseInvalidPosition(20068);
    return TORQRecordID::FromBytes(c.LeafValues.data() + static_cast<size_t>(at.EntryNo) * stride +
                                   static_cast<size_t>(FKeyRef.KeySize));
}

void TORQBTreeRecordIndex::ReadAtPath(int32_t SessionID, TORQGetRecordRequest& Request, int32_t ChangeStamp,
                                      TORQIndexPositionCache* PositionCache, const TORQKeyPath& Path) {
    Request.RecordID = RecordIdAtPath(SessionID, Path, PositionCache, ChangeStamp);
    Request.Result = grOK;
    Request.AtBeginning = 0;
    Request.AtEnd = 0;
    TORQTableData* table = IndexManager != nullptr ? IndexManager->TableData : nullptr;
    if (table != nullptr && table->RecordManager && Request.RecordBuffer != nullptr) {
        const uint8_t mode = Request.Mode;
        Request.Mode = gmCurrent;
        try {
            table->RecordManager->ReadRecord(SessionID, Request);
        } catch (...) {
            Request.Mode = mode;
            throw;
        }
        Request.Mode = mode;
    }
    if (PositionCache != nullptr) {
        PositionCache->IndexID = IndexDef->ObjectID;
        PositionCache->PositionStamp = ChangeStamp;
        PositionCache->RecordPageNo = Request.RecordID.PageNo;
        PositionCache->RecordSlotNo = Request.RecordID.SlotNo;
        PositionCache->KeyPath.Assign(Path);
    }
}

void TORQBTreeRecordIndex::GetRecord(int32_t SessionID, TORQGetRecordRequest& Request, int32_t ChangeStamp,
                                     TORQIndexPositionCache* PositionCache) {
    if (Request.Mode == gmCurrent) RaiseNative(20053, "Invalid 'get record' mode for index: grmCurrent");
    if (RootPageNo() == -1) RaiseNoRoot(20123);
    TORQKeyPath path;
    bool found = false;
    bool moved = true;
    if (Request.AtBeginning != 0) {
        found = First(SessionID, path);
    } else if (Request.AtEnd != 0) {
        found = Last(SessionID, path);
    } else {
        if (HoldsPosition(PositionCache, Request.RecordID, ChangeStamp)) {
            found = true;
            path.Assign(PositionCache->KeyPath);
        } else {
            found = FindRecordPath(SessionID, Request.RecordID, path, Request.RecordBuffer);
        }
        if (found) {
            if (Request.Mode == gmNext)
                moved = Next(SessionID, path);
            else if (Request.Mode == gmPrior)
                moved = Prior(SessionID, path);
        }
    }
    if (!found) {
        Request.Result = grError;
    } else if (moved) {
        ReadAtPath(SessionID, Request, ChangeStamp, PositionCache, path);
    } else if (Request.Mode == gmNext) {
        Request.Result = grEOF;
        Request.AtEnd = 1;
        Request.AtBeginning = 0;
    } else {
        Request.Result = grBOF;
        Request.AtBeginning = 1;
        Request.AtEnd = 0;
    }
}

void TORQBTreeRecordIndex::GetNearestRecord(int32_t SessionID, TORQGetRecordRequest& Request, int32_t ChangeStamp,
                                            TORQIndexPositionCache* PositionCache) {
    if (RootPageNo() == -1) RaiseNoRoot(20293);
    const bool next = Request.Mode == gmNext;
    TORQKeyPath path;
    if (FindKey(SessionID, next, path, next ? scGreater : scLess, Request.RecordBuffer, FKeyRef.ColumnCount())) {
        ReadAtPath(SessionID, Request, ChangeStamp, PositionCache, path);
    } else if (next) {
        Request.Result = grEOF;
        Request.AtEnd = 1;
        Request.AtBeginning = 0;
    } else {
        Request.Result = grBOF;
        Request.AtBeginning = 1;
        Request.AtEnd = 0;
    }
}

bool TORQBTreeRecordIndex::FindNearestPath(int32_t SessionID, const TORQRecordID& Gone, const uint8_t* Record,
                                           bool Forward, TORQKeyPath& Path) {
    if (RootPageNo() == -1) RaiseNoRoot(20293);
    bool found = FindKey(SessionID, Forward, Path, Forward ? scGreaterOrEqual : scLessOrEqual, Record,
                         FKeyRef.ColumnCount());
    TORQTableData* table = IndexManager != nullptr ? IndexManager->TableData : nullptr;
    if (!found || table == nullptr || !table->RecordManager) return found;
    // Entries of one key stand in record-id order: those of the gone record's key on the
    // near side of its id are passed.
    uint8_t gone[TORQRecordID::ByteSize];
    Gone.ToBytes(gone);
    TORQKeyBuffer record(table->RecordManager->RecordSize + TORQRecordID::ByteSize + 1);
    while (found) {
        uint8_t at[TORQRecordID::ByteSize];
        const TORQRecordID id = RecordIdAtPath(SessionID, Path);
        id.ToBytes(at);
        const int c = CompareValues(at, gone, TORQRecordID::ByteSize);
        if (Forward ? c > 0 : c < 0) break;
        TORQGetRecordRequest read;
        read.Mode = gmCurrent;
        read.RecordID = id;
        read.RecordBuffer = record.Get();
        read.Result = grError;
        table->RecordManager->ReadRecord(SessionID, read);
        if (read.Result != grOK || CompareRecordKeys(record.Get(), Record, FKeyRef.ColumnCount()) != 0) break;
        found = Forward ? Next(SessionID, Path) : Prior(SessionID, Path);
    }
    return found;
}

int64_t TORQBTreeRecordIndex::GetRecNo(int32_t SessionID, const TORQRecordID& RecordID, const uint8_t* Record) {
    TORQKeyPath path;
    if (!FindRecordPath(SessionID, RecordID, path, Record)) return -1;
    const TORQKeyPathLevel& at = path.Levels[path.LevelCount - 1];
    int64_t result = at.EntryNo + 1;
    int32_t pageNo = at.PageNo;
    {
        TORQBTreePageHolder leaf = TORQBTreePage::Load(PageManager(), FKeyRef, SessionID, pageNo);
        pageNo = leaf->PrevPageNo();
    }
    while (pageNo != -1) {
        TORQBTreePageHolder leaf = TORQBTreePage::Load(PageManager(), FKeyRef, SessionID, pageNo);
        result += leaf->EntryCount();
        pageNo = leaf->PrevPageNo();
    }
    return result;
}

void TORQBTreeRecordIndex::GetRecordIdByRecNo(int32_t SessionID, TORQRecordID& RecordID, int64_t RecNo) {
    TORQKeyPath path;
    if (!First(SessionID, path)) RaiseNative(20074, "Cannot retrieve record from empty index");
    int64_t running = 0;
    int32_t pageNo = path.Levels[path.LevelCount - 1].PageNo;
    while (pageNo != -1) {
        TORQBTreePageHolder leaf = TORQBTreePage::Load(PageManager(), FKeyRef, SessionID, pageNo);
        const int32_t count = leaf->EntryCount();
        if (RecNo >= 1 && running + count >= RecNo) {
            RecordID = TORQRecordID::FromBytes(leaf->ValueAt(static_cast<int32_t>(RecNo - running - 1)));
            return;
        }
        running += count;
        pageNo = leaf->NextPageNo();
    }
    RaiseNative(20075, "Cannot set RecNo greater than RecordCount");
}

void TORQBTreeRecordIndex::RemoveDuplicates(int32_t SessionID, TORQRecordBitmap& Bitmap, int32_t ColumnCount) {
    TActiveColumns active(FKeyRef, ColumnCount);
    TORQKeyPath path;
    if (!First(SessionID, path)) return;
    // Of every run of marked records with equal leading keys only the first in index
    // order keeps its bit.
    TORQKeyBuffer kept(FKeyRef.KeySize);
    uint8_t keptValue[TORQRecordID::ByteSize] = {};
    bool remembered = false;
    std::vector<uint8_t> key(static_cast<size_t>(FKeyRef.KeySize));
    uint8_t value[TORQRecordID::ByteSize];
    do {
        if (!Bitmap.IsSetAtPath(IndexDef->ObjectID, path)) continue;
        {
            const TORQKeyPathLevel& at = path.Levels[path.LevelCount - 1];
            TORQBTreePageHolder leaf = TORQBTreePage::Load(PageManager(), FKeyRef, SessionID, at.PageNo);
            std::memcpy(key.data(), leaf->KeyAt(at.EntryNo), key.size());
            std::memcpy(value, leaf->ValueAt(at.EntryNo), sizeof value);
        }
        if (remembered && FKeyRef.CompareKeys(key.data(), kept.Get(), keptValue, value, SessionID, true) == 0) {
            Bitmap.ClearBitAtPath(IndexDef->ObjectID, path);
            continue;
        }
        std::memcpy(kept.Get(), key.data(), key.size());
        std::memcpy(keptValue, value, sizeof value);
        remembered = true;
    } while (Next(SessionID, path));
}

TORQIndexScanPosition* TORQBTreeRecordIndex::CreateScanPosition() { return new TORQIndexScanPosition(); }

void TORQBTreeRecordIndex::FreeScanPosition(TORQIndexScanPosition*& Position) {
    delete Position;
    Position = nullptr;
}

bool TORQBTreeRecordIndex::FindCondition(int32_t SessionID, bool Forward, TORQKeyPath& Path,
                                         const TORQScanSearchCondition& Condition,
                                         const TORQScanSearchCondition& PartialFrom) {
    Path.Clear();
    TORQBTreePageHolder root = LoadRoot(SessionID, 20293);
    TActiveColumns active(FKeyRef, Condition.FieldCount);
    struct TPartialReset {
        TORQRecordKeyRef& Ref;
        ~TPartialReset() { Ref.SetPartialLengths(nullptr, false); }
    } reset{FKeyRef};
    TORQKeyBuffer key(FKeyRef.KeySize);
    FKeyRef.BuildKey(Condition.Key, key.Get());
    FKeyRef.SetPartialLengths(Condition.Key, PartialFrom.PartialCompare);
    return root->FindKey(SessionID, Forward, Path, Condition.Operator, key.Get());
}

bool TORQBTreeRecordIndex::ScanNext(int32_t SessionID, bool Restart, TORQIndexScanPosition& Position,
                                    TORQRecordID& RecordID, uint8_t* Record,
                                    const TORQScanSearchCondition* EndCondition,
                                    const TORQScanSearchCondition* StartCondition, bool Forward) {
    if (Restart && Position.Started != 0) RaiseNative(20078, "Index error: invalid params");
    TORQKeyPath& current = Position.CurrentPath;
    bool found = true;
    if (Restart || Position.Started == 0) {
        if (StartCondition != nullptr) {
            found = FindCondition(SessionID, Forward, current, *StartCondition, *StartCondition);
            if (found && !Restart) {
                TORQKeyPath own;
                if (!FindRecordPath(SessionID, RecordID, own, Record)) {
                    found = false;
                } else {
                    const int32_t c = ComparePositions(own, current);
                    if (Forward ? c < 0 : c > 0) {
                        // Step back so that the step below lands on the start (the record
                        // lies before it, so there is an entry to step back to).
                        if (Forward)
                            Prior(SessionID, current);
                        else
                            Next(SessionID, current);
                    } else {
                        current.Assign(own);
                    }
                }
            }
        } else if (Restart) {
            found = Forward ? First(SessionID, current) : Last(SessionID, current);
        } else {
            found = FindRecordPath(SessionID, RecordID, current, Record);
        }
    }
    if (found && Position.Started == 0) {
        Position.EndPath.reset();
        // A lone bound the scan moves away from holds up to the tree's end: no end to find.
        const uint8_t op = StartCondition != nullptr ? StartCondition->Operator : scoNone;
        const bool openEnded = EndCondition == nullptr && (Forward ? op == scoGreater || op == scoGreaterOrEqual
                                                                   : op == scoLess || op == scoLessOrEqual);
        if (StartCondition != nullptr && !openEnded) {
            auto end = std::make_unique<TORQKeyPath>();
            const TORQScanSearchCondition& bound = EndCondition != nullptr ? *EndCondition : *StartCondition;
            found = FindCondition(SessionID, !Forward, *end, bound, *StartCondition);
            Position.EndPath = std::move(end);
        }
    }
    if (found) {
        if (!Restart) found = Forward ? Next(SessionID, current) : Prior(SessionID, current);
        if (found && Position.EndPath) {
            const int32_t c = ComparePositions(current, *Position.EndPath);
            found = Forward ? c <= 0 : c >= 0;
        }
    }
    if (!found) return false;
    RecordID = RecordIdAtPath(SessionID, current, &Position.Leaf, 0);
    if (Position.Started == 0) {
        Position.Forward = Forward ? 1 : 0;
        Position.Started = 1;
    }
    return true;
}

int32_t TORQBTreeRecordIndex::CompareRecordKeys(const uint8_t* Record1, const uint8_t* Record2, int32_t ColumnCount) {
    const auto compare = [&](uint8_t* Key1, uint8_t* Key2) {
        FKeyRef.BuildFullKey(Record1, Key1);
        FKeyRef.BuildFullKey(Record2, Key2);
        TActiveColumns active(FKeyRef, ColumnCount);
        return FKeyRef.CompareFullKeys(Key1, Key2);
    };
    // Every update compares a record's keys before and after for each index: small keys
    // are built on the stack (zero-filled, as the engine's blocks are) instead.
    constexpr int32_t kInline = 512;
    if (FKeyRef.FullKeySize <= kInline) {
        uint8_t key1[kInline] = {}, key2[kInline] = {};
        return compare(key1, key2);
    }
    TORQKeyBuffer key1(FKeyRef.FullKeySize);
    TORQKeyBuffer key2(FKeyRef.FullKeySize);
    return compare(key1.Get(), key2.Get());
}

int32_t TORQBTreeRecordIndex::CompareConditions(const TORQScanSearchCondition& A, const TORQScanSearchCondition&) {
    if (A.Operator == scGreater || A.Operator == scGreaterOrEqual) return -1;
    if (A.Operator == scLess || A.Operator == scLessOrEqual) return 1;
    return 0;
}

int64_t TORQBTreeRecordIndex::EstimateRangeCount(int32_t SessionID, const TORQScanSearchCondition* A,
                                                 const TORQScanSearchCondition* B, int64_t RecordCount) {
    if (RootPageNo() == -1) RaiseNoRoot(20125);
    if (A == nullptr || B == nullptr) RaiseNative(20076, "Pointer is nil");
    const bool aIsLower = CompareConditions(*A, *B) < 0;
    const TORQScanSearchCondition& lower = aIsLower ? *A : *B;
    const TORQScanSearchCondition& upper = aIsLower ? *B : *A;
    TORQBTreePageHolder root = LoadRoot(SessionID, 20125);
    TActiveColumns active(FKeyRef, lower.FieldCount);
    TORQKeyBuffer key(FKeyRef.KeySize);
    TORQKeyPath path;
    FKeyRef.BuildKey(lower.Key, key.Get());
    if (!root->FindKey(SessionID, true, path, lower.Operator, key.Get())) return 0;
    const double p1 = path.RelativePosition();
    path.Clear();
    FKeyRef.BuildKey(upper.Key, key.Get());
    if (!root->FindKey(SessionID, false, path, upper.Operator, key.Get())) return 0;
    const double p2 = path.RelativePosition();
    const double estimate = std::nearbyint((p2 - p1) * static_cast<double>(RecordCount));
    if (estimate < 0) return 0;
    if (estimate > static_cast<double>(RecordCount)) return RecordCount;
    return static_cast<int64_t>(estimate);
}

bool TORQBTreeRecordIndex::IsKeyFree(int32_t SessionID, const uint8_t* Record) {
    if (RootPageNo() == -1) RaiseNoRoot(20126);
    if (IndexDef->Unique == 0 && IndexDef->Primary == 0) return true;
    TORQBTreePageHolder root = LoadRoot(SessionID, 20126);
    TORQKeyBuffer key(FKeyRef.KeySize);
    FKeyRef.BuildKey(Record, key.Get());
    TORQKeyPath path;
    return !root->FindKey(SessionID, true, path, scEqual, key.Get());
}

bool TORQBTreeRecordIndex::CanUpdateKey(int32_t SessionID, const uint8_t* OldRecord, const uint8_t* NewRecord) {
    if (CompareRecordKeys(OldRecord, NewRecord, FKeyRef.ColumnCount()) != 0) return IsKeyFree(SessionID, NewRecord);
    return true;
}

void TORQBTreeRecordIndex::InsertKey(TORQCursor* Cursor) {
    const int32_t session = CursorSession(Cursor);
    TORQBTreePageHolder root = LoadRoot(session, 20127);
    TORQKeyBuffer key(FKeyRef.KeySize);
    FKeyRef.BuildKey(Cursor->CurrentRecord, key.Get());
    uint8_t value[TORQRecordID::ByteSize];
    Cursor->CurrentRecordID.ToBytes(value);
    TORQKeyPath path;
    root->Insert(session, key.Get(), path, value);
}

void TORQBTreeRecordIndex::DeleteKey(TORQCursor* Cursor) {
    const int32_t session = CursorSession(Cursor);
    TORQBTreePageHolder root = LoadRoot(session, 20127);
    TORQKeyBuffer key(FKeyRef.KeySize);
    FKeyRef.BuildKey(Cursor->CurrentRecord, key.Get());
    uint8_t value[TORQRecordID::ByteSize];
    Cursor->CurrentRecordID.ToBytes(value);
    TORQKeyPath path;
    if (!root->Delete(session, key.Get(), path, value))
        RaiseNative(20027, "Index error: cannot delete entry. Entry not found");
}

// The record before the change is the cursor's OldRecord (the index manager reads the
// stored record into it): KeyBuffer is the table data's stepping scratch and nil here.
void TORQBTreeRecordIndex::UpdateKey(TORQCursor* Cursor, bool RemoveOld) {
    if (Cursor->OldRecord == nullptr) RaiseNative(30922, "No buffer for the record before its update");
    if (CompareRecordKeys(Cursor->OldRecord, Cursor->CurrentRecord, FKeyRef.ColumnCount()) == 0) return;
    const int32_t session = CursorSession(Cursor);
    TORQBTreePageHolder root = LoadRoot(session, 20127);
    TORQKeyBuffer key(FKeyRef.KeySize);
    uint8_t value[TORQRecordID::ByteSize];
    Cursor->CurrentRecordID.ToBytes(value);
    TORQKeyPath path;
    if (RemoveOld) {
        FKeyRef.BuildKey(Cursor->OldRecord, key.Get());
        if (!root->Delete(session, key.Get(), path, value))
            RaiseNative(20250, "Index error: cannot delete entry. Entry not found");
    } else {
        FKeyRef.BuildKey(Cursor->CurrentRecord, key.Get());
        root->Insert(session, key.Get(), path, value);
    }
}

int32_t TORQBTreeRecordIndex::MaxEntriesPerPage() { return PageManager().DataSize / (FKeyRef.KeySize + 4); }

}  // namespace orq
