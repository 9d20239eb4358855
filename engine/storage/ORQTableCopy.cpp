#include "engine/storage/ORQTableCopy.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "engine/foundation/ORQContainers.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQConst.h"
#include "engine/storage/ORQBTreeRecordIndex.h"
#include "engine/storage/ORQConstraints.h"
#include "engine/storage/ORQDiskTable.h"
#include "engine/storage/ORQTableCursor.h"

namespace orq {

namespace {

// What a table's constraints demand, independent of object ids: two tables of equal
// signatures and fields accept the same records.
std::string ConstraintSignature(const TORQConstraintDefs& Defs) {
    std::string s;
    for (int32_t i = 0; i < Defs.GetCount(); ++i) {
        const TORQConstraintDef* c = Defs.GetItem(i);
        s += std::to_string(c->ConstraintType);
        s += '\x1f';
        s += c->TargetName;
        if (const auto* u = dynamic_cast<const TORQConstraintDefUnique*>(c))
            for (const TORQConstraintColumn& col : u->Columns) {
                s += '\x1f';
                s += col.FieldName;
            }
        if (const auto* k = dynamic_cast<const TORQConstraintDefCheck*>(c)) {
            for (const TORQVariant* bound : {&k->MinValue, &k->MaxValue}) {
                s += '\x1f';
                s += bound->IsNull() ? std::string("\x1e") : bound->GetAsString();
            }
        }
        s += '\x1d';
    }
    return s;
}

bool SameField(const TORQFieldDef& A, const TORQFieldDef& B) {
    return SameName(A.Name, B.Name) && A.BaseType == B.BaseType && A.FieldType == B.FieldType && A.Size == B.Size &&
           A.MemoryOffset == B.MemoryOffset && A.MemorySize == B.MemorySize;
}

// A page taken from a page manager, released on every road out.
class TTakenPage {
public:
    TTakenPage(TORQPageManager& Manager, TORQPage* Page) : FManager(Manager), FPage(Page) {}
    ~TTakenPage() { FManager.ReleasePage(FPage); }
    TTakenPage(const TTakenPage&) = delete;
    TTakenPage& operator=(const TTakenPage&) = delete;
    TORQPage* get() const { return FPage; }

private:
    TORQPageManager& FManager;
    TORQPage* FPage;
};

// Whether the two records' values under the key reference's columns are equal in full.
bool SameFullKeys(TORQRecordKeyRef& KeyRef, int32_t SessionID, const TORQRecordID& A, const TORQRecordID& B) {
    if (KeyRef.FullKeySize <= 0) return true;
    uint8_t* a = KeyRef.AllocFullKey();
    uint8_t* b = nullptr;
    try {
        b = KeyRef.AllocFullKey();
        KeyRef.LoadRecordFullKey(A, a, SessionID);
        KeyRef.LoadRecordFullKey(B, b, SessionID);
        const bool same = KeyRef.CompareFullKeys(a, b) == 0;
        TORQBTreeKeyRef::FreeKey(a);
        TORQBTreeKeyRef::FreeKey(b);
        return same;
    } catch (...) {
        TORQBTreeKeyRef::FreeKey(a);
        TORQBTreeKeyRef::FreeKey(b);
        throw;
    }
}

// The violation an insert of the second record would have met: the index's constraint.
[[noreturn]] void RaiseDuplicate(const TORQDiskTableData& Table, const TORQIndexDef& Index) {
    const TORQConstraintDefs& defs = Table.ConstraintManager->ConstraintDefs;
    for (int32_t i = 0; i < defs.GetCount(); ++i) {
        const TORQConstraintDef& c = *defs.GetItem(i);
        if (c.TargetID != Index.ObjectID) continue;
        if (c.ConstraintType == ctPrimaryKey)
            RaiseNativeFmt(30319, "Primary Key constraint '%s' violated. Duplicate found.", {c.Name});
        if (c.ConstraintType == ctUnique)
            RaiseNativeFmt(30320, "Constraint unique '%s' violated. Duplicate found.", {c.Name});
    }
    RaiseNativeFmt(30320, "Constraint unique '%s' violated. Duplicate found.", {Index.Name});
}

// The number of the field named Name in Defs, -1 when none.
int32_t FieldNumber(const TORQFieldDefs& Defs, const std::string& Name) {
    for (int32_t i = 0; i < Defs.GetCount(); ++i)
        if (SameName(Defs.GetItem(i)->Name, Name)) return i;
    return -1;
}

}  // namespace

TORQTableCopy::~TORQTableCopy() = default;

TORQTableCopy::TORQTableCopy(TORQTableData& Source, int32_t SourceSessionID, TORQTableData& Dest,
                             TORQBaseSession* DestSession, std::vector<int32_t> FieldMap)
    : FSourceData(Source), FSourceSession(SourceSessionID), FDestData(Dest), FDestSession(DestSession),
      FFieldMap(std::move(FieldMap)) {}

bool TORQTableCopy::Plan(std::string& Why) {
    FPlanned = false;
    FSource = dynamic_cast<TORQDiskTableData*>(&FSourceData);
    FDest = dynamic_cast<TORQDiskTableData*>(&FDestData);
    auto refuse = [&](const char* Reason) {
        Why = Reason;
        return false;
    };
    if (FSource == nullptr || FDest == nullptr) return refuse("not two disk tables");
    if (FSource->FieldManager == nullptr || FSource->RecordManager == nullptr || FSource->BlobManager == nullptr ||
        FDest->FieldManager == nullptr || FDest->RecordManager == nullptr || FDest->BlobManager == nullptr ||
        FDest->IndexManager == nullptr || FDest->ConstraintManager == nullptr)
        return refuse("a table is not open");
    if (FSource->IsMultiUser() || FDest->IsMultiUser()) return refuse("multi-user tables");
    if (FSource->DiskRecordManager()->SkipUnreadable) return refuse("a repair's read");
    if (FDest->RecordManager->RecordCount != 0) return refuse("the destination holds records");
    if (FDestSession != nullptr && FDestSession->InTransaction != 0) return refuse("a transaction");
    for (const TORQCursor* c : FDest->Cursors)
        if (c->Session != FDestSession) return refuse("the destination is open in another session");
    const TORQFieldDefs& from = FSource->FieldManager->FieldDefs;
    const TORQFieldDefs& to = FDest->FieldManager->FieldDefs;
    if (static_cast<int32_t>(FFieldMap.size()) != from.GetCount()) return refuse("a field map of another table");
    std::vector<bool> fed(static_cast<size_t>(to.GetCount()), false);
    bool identity = from.GetCount() == to.GetCount();
    for (int32_t i = 0; i < from.GetCount(); ++i) {
        const int32_t d = FFieldMap[static_cast<size_t>(i)];
        if (d != i) identity = false;
        if (d < 0) continue;
        if (d >= to.GetCount() || fed[static_cast<size_t>(d)]) return refuse("a field map of another table");
        fed[static_cast<size_t>(d)] = true;
        const TORQFieldDef& s = *from.GetItem(i);
        const TORQFieldDef& t = *to.GetItem(d);
        if (s.BaseType != t.BaseType) return refuse("a field changes its type");
        if (IsBlobBaseType(s.BaseType)) {
            if (s.BlobCompressionAlgorithm != t.BlobCompressionAlgorithm ||
                (s.BlobCompressionAlgorithm != 0 &&
                 (s.BlobCompressionMode != t.BlobCompressionMode || s.BlobBlockSize != t.BlobBlockSize)))
                return refuse("a BLOB field changes its compression");
        } else if (IsStringBaseType(s.BaseType) ? t.MemorySize < s.MemorySize : t.MemorySize != s.MemorySize) {
            return refuse("a field changes its size");
        }
    }
    FAllFed = true;
    FHasAutoinc = false;
    for (int32_t k = 0; k < to.GetCount(); ++k) {
        const TORQFieldDef& t = *to.GetItem(k);
        if (IsAutoincAdvancedType(t.FieldType)) FHasAutoinc = true;
        if (fed[static_cast<size_t>(k)]) continue;
        FAllFed = false;
        // Such a default is written through a stream by the dataset's insert.
        if (IsBlobBaseType(t.BaseType) && !t.DefaultValue.IsNull()) return refuse("a new BLOB field with a default");
    }
    FSameLayout = identity && from.GetMemoryRecordSize() == to.GetMemoryRecordSize();
    for (int32_t i = 0; FSameLayout && i < from.GetCount(); ++i)
        FSameLayout = SameField(*from.GetItem(i), *to.GetItem(i));
    // Indexes whose keys the source holds in order already.
    std::vector<int32_t> sourceOf(static_cast<size_t>(to.GetCount()), -1);
    for (int32_t i = 0; i < from.GetCount(); ++i)
        if (const int32_t d = FFieldMap[static_cast<size_t>(i)]; d >= 0) sourceOf[static_cast<size_t>(d)] = i;
    FBulkIndexes.clear();
    const TORQIndexDefs* sourceIndexes = FSource->IndexManager != nullptr ? &FSource->IndexManager->IndexDefs : nullptr;
    const TORQIndexDefs& destIndexes = FDest->IndexManager->IndexDefs;
    for (int32_t x = 0; sourceIndexes != nullptr && x < destIndexes.GetCount(); ++x) {
        const TORQIndexDef& d = *destIndexes.GetItem(x);
        if (d.Temporary != 0) continue;
        for (int32_t y = 0; y < sourceIndexes->GetCount(); ++y) {
            const TORQIndexDef& s = *sourceIndexes->GetItem(y);
            bool same = s.Temporary == 0 && s.GetColumnCount() == d.GetColumnCount() && d.GetColumnCount() > 0;
            for (int32_t k = 0; same && k < d.GetColumnCount(); ++k) {
                const TORQIndexColumn& dc = d.GetColumn(k);
                const TORQIndexColumn& sc = s.GetColumn(k);
                const int32_t df = FieldNumber(to, dc.FieldName);
                const int32_t sf = df >= 0 ? sourceOf[static_cast<size_t>(df)] : -1;
                same = sf >= 0 && SameName(from.GetItem(sf)->Name, sc.FieldName) &&
                       dc.Descending == sc.Descending && dc.CaseInsensitive == sc.CaseInsensitive &&
                       dc.MaxIndexedSize == sc.MaxIndexedSize && from.GetItem(sf)->BaseType == to.GetItem(df)->BaseType &&
                       from.GetItem(sf)->Size == to.GetItem(df)->Size &&
                       from.GetItem(sf)->FieldType == to.GetItem(df)->FieldType;
            }
            if (!same) continue;
            FBulkIndexes.emplace_back(d.ObjectID, s.ObjectID);
            break;
        }
    }
    const TORQConstraintDefs& destConstraints = FDest->ConstraintManager->ConstraintDefs;
    FCheckConstraints = destConstraints.GetCount() > 0 &&
                        !(FSameLayout && FSource->ConstraintManager != nullptr &&
                          ConstraintSignature(FSource->ConstraintManager->ConstraintDefs) ==
                              ConstraintSignature(destConstraints));
    FChecker.reset();
    if (FCheckConstraints) {
        // A unique key whose index is built from the bottom up is checked there, in one
        // pass over its ordered entries: the index is empty while records are placed.
        FChecker = std::make_unique<TORQBaseConstraintManager>(FDest);
        FChecker->ConstraintDefs.Assign(destConstraints);
        for (int32_t i = FChecker->ConstraintDefs.GetCount() - 1; i >= 0; --i) {
            const TORQConstraintDef& c = *FChecker->ConstraintDefs.GetItem(i);
            if (c.ConstraintType != ctUnique) continue;
            for (const auto& b : FBulkIndexes)
                if (b.first == c.TargetID) {
                    FChecker->ConstraintDefs.Delete(i);
                    break;
                }
        }
        FCheckConstraints = FChecker->ConstraintDefs.GetCount() > 0;
    }
    FPlanned = true;
    return true;
}

int64_t TORQTableCopy::Run(const std::function<bool(int64_t, int64_t)>& Progress, int64_t Every) {
    if (Every < 1) Every = 1;
    std::string why;
    if (!FPlanned && !Plan(why)) RaiseNativeFmt(31470, "Cannot copy table '%s' by pages: %s", {FSourceData.TableName, why});
    FStopped = false;
    FFailedRecord = 0;
    TORQTableLock sourceLock(*FSource);
    TORQTableLock destLock(*FDest);
    const int32_t ss = FSourceSession;
    const int32_t ds = FDestSession != nullptr ? FDestSession->SessionID : -2;
    TORQDiskRecordManager& srm = *FSource->DiskRecordManager();
    TORQDiskRecordManager& drm = *FDest->DiskRecordManager();
    TORQDiskBlobManager& sbm = *FSource->BlobManager;
    TORQDiskBlobManager& dbm = *FDest->BlobManager;
    TORQDiskPageManager& spm = *FSource->DiskPageManager();
    TORQDiskPageManager& dpm = *FDest->DiskPageManager();
    const TORQFieldDefs& from = FSource->FieldManager->FieldDefs;
    const TORQFieldDefs& to = FDest->FieldManager->FieldDefs;
    // Each table's counters as this session sees them.
    FSource->ReadMostUpdatedFile(ss);
    FDest->ReadMostUpdatedFile(ds);

    struct TMove {
        int32_t From, To, FromOffset, ToOffset, FromSize, ToSize;
        bool Blob;
    };
    std::vector<TMove> moves;
    for (int32_t i = 0; i < from.GetCount(); ++i) {
        const int32_t d = FFieldMap[static_cast<size_t>(i)];
        if (d < 0) continue;
        const TORQFieldDef& s = *from.GetItem(i);
        const TORQFieldDef& t = *to.GetItem(d);
        moves.push_back({i, d, s.MemoryOffset, t.MemoryOffset, s.MemorySize, t.MemorySize, IsBlobBaseType(s.BaseType)});
    }
    const int32_t bitmap = to.GetNullBitmapSize();
    const int32_t destSize = to.GetMemoryRecordSize();
    // The indexes that take each record's keys as it is placed.
    TORQBaseIndexManager& destIndexManager = *FDest->IndexManager;
    std::vector<int32_t> keyed;
    for (int32_t x = 0; x < destIndexManager.IndexDefs.GetCount(); ++x) {
        const int32_t id = destIndexManager.IndexDefs.GetItem(x)->ObjectID;
        bool bulk = false;
        for (const auto& b : FBulkIndexes) bulk = bulk || b.first == id;
        if (!bulk) keyed.push_back(id);
    }
    // Source record id -> destination record id, for the bulk builds: each source page's
    // records by slot, from where its first one stands in the copy's order.
    std::vector<int32_t> pageFirst;
    std::vector<uint16_t> pageCount;
    std::vector<uint16_t> fromSlots;
    std::vector<TORQRecordID> toIds;
    if (!FBulkIndexes.empty()) {
        pageFirst.assign(static_cast<size_t>(std::max(spm.GetPageCount(), 0)) + 1, -1);
        pageCount.assign(pageFirst.size(), 0);
    }
    // The record's place in the copy's order, -1 when it was not copied.
    auto placeOf = [&](const TORQRecordID& From) -> int64_t {
        if (From.PageNo < 0 || static_cast<size_t>(From.PageNo) >= pageFirst.size()) return -1;
        const int32_t first = pageFirst[static_cast<size_t>(From.PageNo)];
        if (first < 0) return -1;
        const auto begin = fromSlots.begin() + first;
        const auto end = begin + pageCount[static_cast<size_t>(From.PageNo)];
        const auto at = std::lower_bound(begin, end, From.SlotNo);
        if (at == end || *at != From.SlotNo) return -1;
        return at - fromSlots.begin();
    };

    // The destination's own cursor carries the record into the key maintenance.
    TORQTableCursor keys;
    keys.Session = FDestSession;
    keys.OpenTable(*FDest);
    uint8_t* record = keys.CurrentRecord;
    TORQMemoryBlock sourceRecord(from.GetMemoryRecordSize() + TORQRecordID::ByteSize + 1, true);
    auto* source = static_cast<uint8_t*>(sourceRecord.Data());
    const int32_t storedSize = srm.StoredRecordSize();
    const int32_t perPage = srm.RecordsPerPage();
    std::vector<uint8_t> stored(static_cast<size_t>(storedSize) * static_cast<size_t>(perPage));
    std::vector<uint16_t> slots(static_cast<size_t>(perPage));

    const int64_t total = srm.RecordCount;
    int64_t done = 0;
    using Clock = std::chrono::steady_clock;
    auto lastReport = Clock::now();
    auto settle = [&] {
        drm.EndAppend(ds);
        dbm.EndAppend(ds);
        FDest->SaveState(ds);
    };
    auto commit = [&] {
        settle();
        FDest->CommitSessionPages(ds, false);
    };
    try {
        int32_t pageNo = -1;
        bool more = srm.PageIndex().RootPageNo() != -1 && srm.PageIndex().FirstPage(ss, pageNo);
        while (more && !FStopped) {
            // The page's records are taken out first: no page stays taken while the
            // destination's pages are made or committed (they may be the same file's).
            int32_t count = 0;
            {
                TTakenPage page(spm, spm.GetPage(ss, pageNo, true, ptTableRecord));
                if (srm.PageBelongsToTable(*page.get())) {
                    TORQSmallRecordPage view(page.get(), storedSize, perPage);
                    for (int32_t slot = 0; slot < perPage; ++slot)
                        if (view.IsSlotUsed(slot)) {
                            slots[static_cast<size_t>(count)] = static_cast<uint16_t>(slot);
                            view.ReadRecord(TORQRecordID{pageNo, static_cast<uint16_t>(slot)},
                                            stored.data() + static_cast<size_t>(count++) * storedSize);
                        }
                }
            }
            for (int32_t k = 0; k < count && !FStopped; ++k) {
                FSource->FieldManager->DiskToMemoryRecord(stored.data() + static_cast<size_t>(k) * storedSize, source);
                if (FSameLayout) {
                    std::memcpy(record, source, static_cast<size_t>(destSize));
                } else {
                    std::memset(record, 0xFF, static_cast<size_t>(bitmap));
                    std::memset(record + bitmap, 0, static_cast<size_t>(destSize - bitmap));
                    if (!FAllFed) FDest->FieldManager->ApplyDefaults(record);
                }
                for (const TMove& m : moves) {
                    uint8_t* at = record + m.ToOffset;
                    const bool null = GetBit(source, m.From);
                    if (m.Blob) {
                        TORQBlobReference ref = TORQBlobReference::FromBytes(source + m.FromOffset);
                        std::memset(at, 0, static_cast<size_t>(m.ToSize));
                        if (!null && ref.IsStored()) {
                            ref = sbm.CopyStoredValue(ss, ref, dbm, ds);
                            ref.ToBytes(at);
                            SetBit(record, m.To, false);
                        } else {
                            SetBit(record, m.To, true);
                        }
                        continue;
                    }
                    if (FSameLayout) continue;
                    SetBit(record, m.To, null);
                    std::memset(at, 0, static_cast<size_t>(m.ToSize));
                    if (!null) std::memcpy(at, source + m.FromOffset, static_cast<size_t>(m.FromSize));
                }
                FFailedRecord = done + 1;
                if (BeforeInsert) BeforeInsert(record);
                if (FHasAutoinc) FDest->FieldManager->ApplyAutoincValues(FDestSession, record);
                if (FCheckConstraints) FChecker->CheckRecord(ds, record, true, TORQRecordID{}, true, nullptr);
                TORQRecordID id;
                drm.AppendRecord(ds, record, id);
                keys.CurrentRecordID = id;
                id.ToBytes(record + drm.RecordSize);
                for (const int32_t index : keyed) {
                    TORQIndex& into = destIndexManager.GetIndex(index);
                    into.InsertKey(&keys);
                    auto* def = static_cast<TORQIndexDef*>(destIndexManager.IndexDefs.FindByID(index));
                    ++def->RecordStamp;
                    def->RootPage = into.IndexDef->RootPage;
                }
                FFailedRecord = 0;
                if (!FBulkIndexes.empty() && static_cast<size_t>(pageNo) < pageFirst.size()) {
                    if (pageFirst[static_cast<size_t>(pageNo)] < 0)
                        pageFirst[static_cast<size_t>(pageNo)] = static_cast<int32_t>(fromSlots.size());
                    ++pageCount[static_cast<size_t>(pageNo)];
                    fromSlots.push_back(slots[static_cast<size_t>(k)]);
                    toIds.push_back(id);
                }
                ++done;
                const bool step = (done - 1) % Every == 0;
                if (!step && (done & 31) != 0) continue;
                if (const TORQSortedPageList* own = dpm.PrivateList(ds); own != nullptr && own->Count() >= CommitEvery)
                    commit();
                if (Progress &&
                    (step || Clock::now() - lastReport >= std::chrono::milliseconds(ProgressEveryMs))) {
                    // The program may work on the database inside its progress event.
                    settle();
                    lastReport = Clock::now();
                    if (!Progress(done, total)) FStopped = true;
                }
            }
            int32_t next = -1;
            more = srm.PageIndex().NextPage(ss, pageNo, next);
            pageNo = next;
        }
        settle();
        // The indexes built from the source's, entry by entry in its order. A stop asked
        // for meanwhile ends the copy once they are whole.
        for (const auto& [destID, sourceID] : FBulkIndexes) {
            auto* into = dynamic_cast<TORQBTreeRecordIndex*>(&destIndexManager.GetIndex(destID));
            auto* walk = dynamic_cast<TORQBTreeRecordIndex*>(&FSource->IndexManager->GetIndex(sourceID));
            if (into == nullptr || walk == nullptr || into->KeyRef().KeySize != walk->KeyRef().KeySize)
                RaiseNativeFmt(31470, "Cannot copy table '%s' by pages: %s",
                               {FSourceData.TableName, std::string("an index of another key layout")});
            auto* def = static_cast<TORQIndexDef*>(destIndexManager.IndexDefs.FindByID(destID));
            const bool unique = def->Unique != 0 || def->Primary != 0;
            TORQRecordKeyRef& keyRef = walk->KeyRef();
            std::vector<uint8_t> previousKey(static_cast<size_t>(keyRef.KeySize));
            uint8_t previousValue[TORQRecordID::ByteSize];
            bool havePrevious = false;
            uint8_t value[TORQRecordID::ByteSize];
            into->BulkLoad(ds, [&](const std::function<void(const uint8_t*, const uint8_t*)>& Sink) {
                walk->ForEachEntry(
                    ss,
                    [&](const uint8_t* Key, const uint8_t* Value) {
                        // A record the copy did not reach (it was stopped) has no entry.
                        const int64_t place = placeOf(TORQRecordID::FromBytes(Value));
                        if (place < 0) return;
                        if (unique) {
                            // Equal keys stand side by side: a tie on stored prefixes is
                            // settled by the full values. The insert of the later of the
                            // two is the one that would have failed.
                            if (havePrevious &&
                                keyRef.CompareKeys(Key, previousKey.data(), previousValue, nullptr, ss, false) == 0 &&
                                SameFullKeys(keyRef, ss, TORQRecordID::FromBytes(previousValue),
                                             TORQRecordID::FromBytes(Value))) {
                                FFailedRecord = std::max(place, placeOf(TORQRecordID::FromBytes(previousValue))) + 1;
                                RaiseDuplicate(*FDest, *def);
                            }
                            std::memcpy(previousKey.data(), Key, previousKey.size());
                            std::memcpy(previousValue, Value, sizeof previousValue);
                            havePrevious = true;
                        }
                        toIds[static_cast<size_t>(place)].ToBytes(value);
                        Sink(Key, value);
                    },
                    [&] {
                        if (Progress && Clock::now() - lastReport >= std::chrono::milliseconds(ProgressEveryMs)) {
                            lastReport = Clock::now();
                            if (!Progress(done, total)) FStopped = true;
                        }
                    });
            });
            def->RecordStamp = static_cast<int32_t>(static_cast<uint32_t>(def->RecordStamp) + static_cast<uint32_t>(done));
        }
        commit();
        drm.CancelAppend();
        dbm.CancelAppend();
    } catch (...) {
        drm.CancelAppend();
        dbm.CancelAppend();
        try {
            FDest->RollbackSessionPages(ds, false);
        } catch (...) {
            // The session stays marked; the caller drops the table it was filling.
        }
        throw;
    }
    keys.CloseTable();
    return done;
}

}  // namespace orq
