// Data sources and data links: how a dataset's events reach the controls and detail
// datasets that watch it. A source keeps its links; a link knows its source only. Either
// side may die first: the source detaches its links, a link leaves its source.
#include <algorithm>

#include "classlib/DB.h"

namespace classlib {

// ---- TDataSource ----

TDataSource::TDataSource(TComponent* AOwner) : TComponent(AOwner) {}

TDataSource::~TDataSource() {
    OnStateChange = nullptr;
    OnDataChange = nullptr;
    OnUpdateData = nullptr;
    if (FDataSet != nullptr) FDataSet->RemoveDataSource(this);
    while (!FDataLinks.empty()) RemoveDataLink(FDataLinks.back());
}

bool TDataSource::IsLinkedTo(TDataSet* ADataSet) const {
    while (ADataSet != nullptr) {
        TDataSource* src = ADataSet->GetDataSource();
        if (src == nullptr) break;
        if (src == this) return true;
        ADataSet = src->DataSet();
    }
    return false;
}

void TDataSource::SetDataSet(TDataSet* ADataSet) {
    if (ADataSet == FDataSet) return;
    if (IsLinkedTo(ADataSet)) DatabaseError("Circular datalinks are not allowed", this);
    if (FDataSet != nullptr) {
        FDataSet->RemoveFreeNotification(this);
        FDataSet->RemoveDataSource(this);
    }
    if (ADataSet != nullptr) {
        ADataSet->FreeNotification(this);
        ADataSet->AddDataSource(this);
    }
}

void TDataSource::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    // The dataset's destructor has detached this source already; nothing is left to do.
    (void)AComponent;
    (void)Operation;
}

void TDataSource::SetEnabled(bool Value) {
    FEnabled = Value;
    UpdateState();
}

void TDataSource::Edit() {
    if (AutoEdit && FState == dsBrowse && FDataSet != nullptr) FDataSet->Edit();
}

void TDataSource::UpdateState() {
    SetState(FEnabled && FDataSet != nullptr ? FDataSet->State() : dsInactive);
}

void TDataSource::SetState(TDataSetState Value) {
    if (FState == Value) return;
    const TDataSetState prior = FState;
    FState = Value;
    NotifyDataLinks(deUpdateState, 0);
    if (IsDestroying()) return;
    if (OnStateChange) OnStateChange(this);
    if (prior == dsInactive && OnDataChange) OnDataChange(this, nullptr);
}

void TDataSource::NotifyDataLinks(TDataEvent Event, intptr_t Info) {
    // A link may leave (or its owner die) while the event travels: walk a copy.
    const std::vector<TDataLink*> links = FDataLinks;
    for (TDataLink* link : links)
        if (std::find(FDataLinks.begin(), FDataLinks.end(), link) != FDataLinks.end()) link->DataEvent(Event, Info);
}

void TDataSource::DataEvent(TDataEvent Event, intptr_t Info) {
    if (Event == deUpdateState) {
        UpdateState();
        return;
    }
    if (FState == dsInactive) return;
    NotifyDataLinks(Event, Info);
    switch (Event) {
        case deFieldChange:
        case deRecordChange:
            if (OnDataChange) OnDataChange(this, reinterpret_cast<TField*>(Info));
            break;
        case deDataSetChange:
        case deDataSetScroll:
        case deLayoutChange:
            if (OnDataChange) OnDataChange(this, nullptr);
            break;
        case deUpdateRecord:
            if (OnUpdateData) OnUpdateData(this);
            break;
        default: break;
    }
}

void TDataSource::AddDataLink(TDataLink* Link) {
    FDataLinks.push_back(Link);
    Link->FDataSource = this;
    if (FDataSet != nullptr) FDataSet->UpdateBufferCount();
    Link->UpdateState();
}

void TDataSource::RemoveDataLink(TDataLink* Link) {
    Link->FDataSource = nullptr;
    FDataLinks.erase(std::remove(FDataLinks.begin(), FDataLinks.end(), Link), FDataLinks.end());
    Link->UpdateState();
    if (FDataSet != nullptr) FDataSet->UpdateBufferCount();
}

// ---- TDataLink ----

TDataLink::~TDataLink() {
    if (FDataSource != nullptr) {
        TDataSource* src = FDataSource;
        FDataSource = nullptr;
        src->FDataLinks.erase(std::remove(src->FDataLinks.begin(), src->FDataLinks.end(), this), src->FDataLinks.end());
        // The hooks of a derived link are gone: only the window of the dataset shrinks.
        if (src->FDataSet != nullptr) src->FDataSet->UpdateBufferCount();
    }
}

void TDataLink::SetDataSource(TDataSource* ADataSource) {
    if (ADataSource == FDataSource) return;
    if (FDataSource != nullptr) FDataSource->RemoveDataLink(this);
    if (ADataSource != nullptr) ADataSource->AddDataLink(this);
}

void TDataLink::UpdateState() {
    SetActive(FDataSource != nullptr && FDataSource->State() != dsInactive);
    SetEditing(FDataSource != nullptr && (FDataSource->State() == dsEdit || FDataSource->State() == dsInsert ||
                                          FDataSource->State() == dsSetKey));
}

void TDataLink::SetActive(bool Value) {
    if (FActive == Value) return;
    FActive = Value;
    if (Value)
        UpdateRange();
    else
        FFirstRecord = 0;
    ActiveChanged();
}

void TDataLink::SetEditing(bool Value) {
    if (FEditing == Value) return;
    FEditing = Value;
    EditingChanged();
}

void TDataLink::UpdateRange() {
    TDataSet* ds = DataSet();
    if (ds == nullptr) return;
    // The window must hold the active record and lie within the dataset's buffers.
    int32_t low = std::max(ds->FActiveRecord - FBufferCount + 1, 0);
    int32_t high = std::max(ds->FBufferCount - FBufferCount, 0);
    high = std::min(high, ds->FActiveRecord);
    FFirstRecord = std::clamp(FFirstRecord, low, std::max(low, high));
}

void TDataLink::SetBufferCount(int32_t Value) {
    Value = std::max(Value, 1);
    if (FBufferCount == Value) return;
    FBufferCount = Value;
    if (FActive) {
        UpdateRange();
        DataSet()->UpdateBufferCount();
        UpdateRange();
    }
}

int32_t TDataLink::RecordCount() const {
    TDataSet* ds = DataSet();
    if (ds == nullptr || !FActive) return 0;
    return std::min(ds->FRecordCount - FFirstRecord, FBufferCount);
}

int32_t TDataLink::ActiveRecord() const {
    TDataSet* ds = DataSet();
    if (ds == nullptr || FDataSource->State() == dsSetKey) return 0;
    return ds->FActiveRecord - FFirstRecord;
}

void TDataLink::SetActiveRecord(int32_t Value) {
    TDataSet* ds = DataSet();
    if (ds == nullptr || FDataSource->State() == dsSetKey) return;
    const int32_t at = Value + FFirstRecord;
    if (at < 0 || at >= std::max(ds->FRecordCount, 1)) DatabaseError("Record index out of range", ds);
    ds->FActiveRecord = at;
}

bool TDataLink::Bof() const {
    TDataSet* ds = DataSet();
    return ds == nullptr || ds->Bof();
}

bool TDataLink::Eof() const {
    TDataSet* ds = DataSet();
    return ds == nullptr || ds->Eof();
}

bool TDataLink::Edit() {
    if (!ReadOnly && FDataSource != nullptr) FDataSource->Edit();
    return FEditing;
}

void TDataLink::UpdateRecord() {
    FUpdating = true;
    struct Reset {
        bool& f;
        ~Reset() { f = false; }
    } reset{FUpdating};
    UpdateData();
}

void TDataLink::DataEvent(TDataEvent Event, intptr_t Info) {
    if (Event == deUpdateState) {
        UpdateState();
        return;
    }
    if (!FActive) return;
    switch (Event) {
        case deFieldChange:
        case deRecordChange:
            if (!FUpdating) RecordChanged(reinterpret_cast<TField*>(Info));
            break;
        case deDataSetChange:
        case deDataSetScroll:
        case deLayoutChange: {
            int32_t count = 0;
            if (FDataSource->State() != dsSetKey) {
                const int32_t active = DataSet()->FActiveRecord;
                const int32_t first = FFirstRecord + static_cast<int32_t>(Info);
                const int32_t last = first + FBufferCount - 1;
                if (active > last)
                    count = active - last;
                else if (active < first)
                    count = active - first;
                FFirstRecord = first + count;
            }
            if (Event == deDataSetChange)
                DataSetChanged();
            else if (Event == deDataSetScroll)
                DataSetScrolled(count);
            else
                LayoutChanged();
            break;
        }
        case deUpdateRecord: UpdateRecord(); break;
        case deCheckBrowseMode: CheckBrowseMode(); break;
        default: break;
    }
}

// ---- TMasterDataLink ----

void TMasterDataLink::SetFieldNames(const std::string& Value) {
    if (FFieldNames == Value) return;
    FFieldNames = Value;
    ActiveChanged();
}

void TMasterDataLink::ActiveChanged() {
    FFields.clear();
    if (Active()) {
        FFields = DataSet()->GetFieldList(FFieldNames);  // a missing field raises, leaving none
    }
    if (FDataSet == nullptr || !FDataSet->Active() || FDataSet->IsDestroying()) return;
    if (Active() && !FFields.empty()) {
        if (OnMasterChange) OnMasterChange(this);
    } else if (OnMasterDisable) {
        OnMasterDisable(this);
    }
}

void TMasterDataLink::CheckBrowseMode() {
    if (FDataSet != nullptr && FDataSet->Active()) FDataSet->CheckBrowseMode();
}

void TMasterDataLink::RecordChanged(TField* Field) {
    if (DataSource()->State() == dsSetKey || FDataSet == nullptr || !FDataSet->Active() || FFields.empty()) return;
    if (Field != nullptr && std::find(FFields.begin(), FFields.end(), Field) == FFields.end()) return;
    if (OnMasterChange) OnMasterChange(this);
}

}  // namespace classlib
