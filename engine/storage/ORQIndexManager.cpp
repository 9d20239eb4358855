#include "engine/storage/ORQIndexManager.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQBTreeRecordIndex.h"
#include "engine/storage/ORQCursor.h"
#include "engine/storage/ORQDatabaseData.h"
#include "engine/storage/ORQTableData.h"

namespace orq {

TORQIndex::~TORQIndex() = default;

bool TORQIndex::HoldsPosition(const TORQIndexPositionCache* Cache, const TORQRecordID& RecordID,
                              int32_t ChangeStamp) const {
    return Cache != nullptr && IndexDef != nullptr && Cache->IndexID == IndexDef->ObjectID &&
           Cache->RecordPageNo == RecordID.PageNo && Cache->RecordSlotNo == RecordID.SlotNo &&
           Cache->PositionStamp == ChangeStamp;
}

bool TORQIndex::PathHoldsRecord(int32_t, const TORQKeyPath&, const TORQRecordID&) { return false; }

void TORQIndex::CreateIndex(TORQCursor* /*Cursor*/, TORQIndexDef& Definition) {
    if (IndexDef.get() == &Definition) return;
    auto copy = std::make_unique<TORQIndexDef>();
    copy->Assign(Definition);
    IndexDef = std::move(copy);
}

void TORQIndex::OpenIndex(const TORQIndexDef& Definition) {
    auto copy = std::make_unique<TORQIndexDef>();
    copy->Assign(Definition);
    IndexDef = std::move(copy);
}

// ---------------------------------------------------------------------------------
// TORQBaseIndexManager

TORQBaseIndexManager::TORQBaseIndexManager(TORQTableData* TableData, TORQPageManager* TemporaryPageManager)
    : TableData(TableData), TemporaryPageManager(TemporaryPageManager) {}

TORQBaseIndexManager::~TORQBaseIndexManager() = default;

void TORQBaseIndexManager::LoadFromStream(TORQStream& Stream) { IndexDefs.LoadFromStream(Stream); }

void TORQBaseIndexManager::SaveToStream(TORQStream& Stream) const { IndexDefs.SaveToStream(Stream); }

void TORQBaseIndexManager::AssignDefs(const TORQIndexDefs& Defs) { IndexDefs.Assign(Defs); }

TORQPageManager* TORQBaseIndexManager::GetIndexPageManager(const TORQIndexDef& Index) const {
    return Index.Temporary != 0 ? TemporaryPageManager : TablePageManager;
}

bool TORQBaseIndexManager::HasIndexForFields(const std::vector<std::string>& FieldNames,
                                             const std::vector<std::string>& Descending,
                                             const std::vector<std::string>& CaseInsensitive,
                                             const TORQFieldDefs& FieldDefs, int32_t SessionID) const {
    return IndexDefs.HasIndexForFields(FieldNames, Descending, CaseInsensitive, FieldDefs, SessionID);
}

int32_t TORQBaseIndexManager::FindIndexForFields(const std::vector<std::string>& FieldNames,
                                                 const std::vector<std::string>& Descending,
                                                 const std::vector<std::string>& CaseInsensitive,
                                                 const TORQFieldDefs& FieldDefs, int32_t SessionID) const {
    return IndexDefs.FindIndexForFields(FieldNames, Descending, CaseInsensitive, FieldDefs, SessionID);
}

void TORQBaseIndexManager::RenameColumn(const std::string& OldName, const std::string& NewName) {
    for (int32_t i = 0; i < IndexDefs.GetCount(); ++i)
        for (TORQIndexColumn& c : IndexDefs.GetItem(i)->Columns)
            if (SameName(c.FieldName, OldName)) c.FieldName = NewName;
}

// ---------------------------------------------------------------------------------
// Building, opening and dropping

namespace {

int32_t SessionOf(const TORQCursor* Cursor) {
    return Cursor != nullptr && Cursor->Session != nullptr ? Cursor->Session->SessionID : -2;
}

}  // namespace

int32_t TORQBaseIndexManager::CreateTemporaryIndex(TORQCursor* Cursor, const std::vector<std::string>& FieldNames,
                                                   const std::vector<std::string>& Descending,
                                                   const std::vector<std::string>& CaseInsensitive) {
    TORQIndexDef def;
    do {
        def.Name = MakeUniqueName("TEMPORARY_INDEX_");
    } while (IndexDefs.IndexOfName(def.Name) >= 0);
    def.Temporary = 255;
    def.Unique = 0;
    def.Primary = 0;
    def.SetColumns(FieldNames, Descending, CaseInsensitive);
    def.OwnerSessionID = SessionOf(Cursor);
    def.RecordStamp = TableData != nullptr && TableData->RecordManager ? TableData->RecordManager->ChangeStamp : 0;
    return AddIndex(Cursor, def);
}

int32_t TORQBaseIndexManager::FindOrCreateTemporaryIndex(TORQCursor* Cursor,
                                                         const std::vector<std::string>& FieldNames,
                                                         const std::vector<std::string>& Descending,
                                                         const std::vector<std::string>& CaseInsensitive,
                                                         bool& Created) {
    Created = false;
    const int32_t found = FindIndexForFields(FieldNames, Descending, CaseInsensitive,
                                             TableData->FieldManager->FieldDefs, SessionOf(Cursor));
    if (found != -1) return found;
    const int32_t id = CreateTemporaryIndex(Cursor, FieldNames, Descending, CaseInsensitive);
    Created = true;
    return id;
}

int32_t TORQBaseIndexManager::AddIndex(TORQCursor* Cursor, TORQIndexDef& Definition) {
    Definition.ObjectID = TableData->DatabaseData->GetNextObjectID();
    TORQIndexDef* stored = IndexDefs.Add();
    stored->Assign(Definition);
    BuildIndex(Cursor, Definition);
    return Definition.ObjectID;
}

void TORQBaseIndexManager::BuildIndex(TORQCursor* Cursor, TORQIndexDef& Definition) {
    const int32_t id = Definition.ObjectID;
    // A stale object of that id would keep the old tree's root.
    CloseIndex(id);
    try {
        TORQBTreeRecordIndex index(this);
        index.CreateIndex(Cursor, Definition);
        auto* stored = static_cast<TORQIndexDef*>(IndexDefs.FindByID(id));
        if (stored != nullptr && stored != &Definition) stored->Assign(Definition);
    } catch (...) {
        const int32_t at = IndexDefs.IndexOfID(id);
        if (at >= 0) IndexDefs.Delete(at);
        throw;
    }
}

void TORQBaseIndexManager::BuildAllIndexes(TORQCursor* Cursor) {
    // A failed build takes its definition out of the list: walk by id, not position.
    std::vector<int32_t> ids;
    for (int32_t i = 0; i < IndexDefs.GetCount(); ++i) ids.push_back(IndexDefs.GetItem(i)->ObjectID);
    for (int32_t id : ids) {
        auto* def = static_cast<TORQIndexDef*>(IndexDefs.FindByID(id));
        if (def != nullptr) BuildIndex(Cursor, *def);
    }
}

TORQIndex& TORQBaseIndexManager::GetIndex(int32_t IndexID) {
    if (TORQIndex* index = FindOpenIndex(IndexID)) return *index;
    return OpenIndex(IndexID);
}

TORQIndex& TORQBaseIndexManager::OpenIndex(int32_t IndexID) {
    const int32_t at = IndexDefs.IndexOfID(IndexID);
    if (at < 0) RaiseNative(20018, "Index not found");
    auto index = std::make_unique<TORQBTreeRecordIndex>(this);
    index->OpenIndex(*IndexDefs.GetItem(at));
    TORQIndex& result = *index;
    AddOpenIndex(std::move(index));
    return result;
}

void TORQBaseIndexManager::DropIndex(int32_t SessionID, int32_t IndexID) {
    GetIndex(IndexID).DropIndex(SessionID);
    CloseIndex(IndexID);
    const int32_t at = IndexDefs.IndexOfID(IndexID);
    if (at >= 0) IndexDefs.Delete(at);
}

void TORQBaseIndexManager::EmptyIndex(int32_t SessionID, int32_t IndexID) {
    GetIndex(IndexID).EmptyIndex(SessionID);
    CloseIndex(IndexID);
}

void TORQBaseIndexManager::EmptyAllIndexes(int32_t SessionID) {
    for (int32_t i = 0; i < IndexDefs.GetCount(); ++i) EmptyIndex(SessionID, IndexDefs.GetItem(i)->ObjectID);
}

// ---------------------------------------------------------------------------------
// Navigation and key maintenance

void TORQBaseIndexManager::NavigateByIndex(int32_t SessionID, TORQGetRecordRequest& Request, int32_t ChangeStamp,
                                           TORQIndexPositionCache* PositionCache) {
    TORQIndex& index = GetIndex(Request.IndexID);
    if (Request.AtBeginning == 0 && Request.AtEnd == 0 && index.HoldsPosition(PositionCache, Request.RecordID, ChangeStamp)) {
        // Nothing changed since the cursor came to this record: it is there, and the index
        // steps on from the kept key path without reading it first. The buffer is read only
        // when no step is taken, so that it ends as a read before the step leaves it.
        index.GetRecord(SessionID, Request, ChangeStamp, PositionCache);
        if (Request.Result != grOK) {
            TORQGetRecordRequest current = Request;
            current.Mode = gmCurrent;
            current.AtBeginning = 0;
            current.AtEnd = 0;
            TableData->RecordManager->ReadRecord(SessionID, current);
        }
        return;
    }
    if (Request.AtBeginning == 0 && Request.AtEnd == 0) {
        // The index finds the current record by its key, so the buffer must hold the
        // stored record; a record that is gone leaves its last values there.
        TORQGetRecordRequest current = Request;
        current.Mode = gmCurrent;
        TableData->RecordManager->ReadRecord(SessionID, current);
        if (current.Result == grError) {
            index.GetNearestRecord(SessionID, Request, ChangeStamp, PositionCache);
            return;
        }
    }
    index.GetRecord(SessionID, Request, ChangeStamp, PositionCache);
}

void TORQBaseIndexManager::InsertRecordKeys(TORQCursor* Cursor) {
    for (int32_t i = 0; i < IndexDefs.GetCount(); ++i) {
        TORQIndexDef* def = IndexDefs.GetItem(i);
        TORQIndex& index = GetIndex(def->ObjectID);
        index.InsertKey(Cursor);
        ++def->RecordStamp;
        def->RootPage = index.IndexDef->RootPage;
    }
}

void TORQBaseIndexManager::DeleteRecordKeys(TORQCursor* Cursor, const uint8_t* Stored) {
    if (IndexDefs.GetCount() == 0) return;
    // The keys to remove are the stored record's, whatever the cursor's buffer holds
    // now; the buffer itself is left as it is.
    const int32_t size = TableData->RecordManager->RecordSize;
    std::vector<uint8_t> stored(static_cast<size_t>(std::max(1, size)), 0);
    if (Stored != nullptr) {
        std::memcpy(stored.data(), Stored, static_cast<size_t>(size));
    } else {
        TORQGetRecordRequest request;
        request.Mode = gmCurrent;
        request.RecordID = Cursor->CurrentRecordID;
        request.RecordBuffer = stored.data();
        request.Result = grError;
        TableData->RecordManager->ReadRecord(SessionOf(Cursor), request);
        if (request.Result == grError) return;
    }
    uint8_t* buffer = Cursor->CurrentRecord;
    Cursor->CurrentRecord = stored.data();
    try {
        for (int32_t i = 0; i < IndexDefs.GetCount(); ++i) {
            TORQIndexDef* def = IndexDefs.GetItem(i);
            GetIndex(def->ObjectID).DeleteKey(Cursor);
            ++def->RecordStamp;
        }
    } catch (...) {
        Cursor->CurrentRecord = buffer;
        throw;
    }
    Cursor->CurrentRecord = buffer;
}

void TORQBaseIndexManager::UpdateRecordKeys(TORQCursor* Cursor, bool RemoveOld) {
    if (IndexDefs.GetCount() == 0) return;
    if (Cursor->OldRecord == nullptr) RaiseNative(30922, "No buffer for the record before its update");
    if (RemoveOld) {
        TORQGetRecordRequest request;
        request.Mode = gmCurrent;
        request.RecordID = Cursor->CurrentRecordID;
        request.RecordBuffer = Cursor->OldRecord;
        request.Result = grError;
        TableData->RecordManager->ReadRecord(SessionOf(Cursor), request);
        if (request.Result != grOK) RaiseNative(20170, "Cannot retrieve record for index");
    }
    for (int32_t i = 0; i < IndexDefs.GetCount(); ++i) {
        TORQIndexDef* def = IndexDefs.GetItem(i);
        TORQIndex& index = GetIndex(def->ObjectID);
        index.UpdateKey(Cursor, RemoveOld);
        if (!RemoveOld) {
            ++def->RecordStamp;
            def->RootPage = index.IndexDef->RootPage;
        }
    }
}

void TORQBaseIndexManager::RebuildStaleTemporaryIndexes(TORQCursor* Cursor, bool& Rebuilt) {
    Rebuilt = false;
    if (Busy != 0) return;
    const int32_t stamp = TableData->RecordManager->ChangeStamp;
    struct TBusy {
        uint8_t& Flag;
        explicit TBusy(uint8_t& Flag) : Flag(Flag) { Flag = 1; }
        ~TBusy() { Flag = 0; }
    } busy(Busy);
    for (int32_t i = 0; i < IndexDefs.GetCount(); ++i) {
        TORQIndexDef* def = IndexDefs.GetItem(i);
        if (def->Temporary == 0 || def->RecordStamp == stamp) continue;
        const int32_t id = def->ObjectID;
        TORQIndex& index = GetIndex(id);
        try {
            index.RebuildIndex(Cursor);
        } catch (...) {
            // Its old tree is gone: a temporary index is made again when next asked for.
            CloseIndex(id);
            IndexDefs.Delete(IndexDefs.IndexOfID(id));
            throw;
        }
        def->RootPage = index.IndexDef->RootPage;
        def->RecordStamp = stamp;
        Rebuilt = true;
    }
}

TORQIndex* TORQBaseIndexManager::FindOpenIndex(int32_t IndexID) const {
    for (const auto& index : OpenIndexes)
        if (index->IndexDef && index->IndexDef->ObjectID == IndexID) return index.get();
    return nullptr;
}

void TORQBaseIndexManager::AddOpenIndex(std::unique_ptr<TORQIndex> Index) { OpenIndexes.push_back(std::move(Index)); }

void TORQBaseIndexManager::CloseIndex(int32_t IndexID) {
    auto it = std::find_if(OpenIndexes.begin(), OpenIndexes.end(), [IndexID](const std::unique_ptr<TORQIndex>& i) {
        return i->IndexDef && i->IndexDef->ObjectID == IndexID;
    });
    if (it != OpenIndexes.end()) OpenIndexes.erase(it);
}

}  // namespace orq
