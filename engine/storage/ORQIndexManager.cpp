#include "engine/storage/ORQIndexManager.h"

#include <algorithm>

namespace orq {

TORQIndex::~TORQIndex() = default;

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
