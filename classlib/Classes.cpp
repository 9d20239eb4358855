#include "classlib/Classes.h"

#include <algorithm>
#include <cstring>

namespace classlib {

namespace {

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameTextAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
    return true;
}

bool IsValidIdent(std::string_view s) {
    if (s.empty()) return false;
    auto alpha = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
    if (!alpha(s[0])) return false;
    for (char c : s)
        if (!alpha(c) && !(c >= '0' && c <= '9')) return false;
    return true;
}

}  // namespace

// ---- TPersistent ----

void TPersistent::DefineProperties(TFiler&) {}

void TPersistent::Assign(const TPersistent* Source) {
    if (Source != nullptr) {
        Source->AssignTo(this);
        return;
    }
    throw EConvertError("Cannot assign nil to a " + ClassName());
}

void TPersistent::AssignTo(TPersistent* Dest) const {
    throw EConvertError("Cannot assign a " + ClassName() + " to a " + (Dest ? Dest->ClassName() : std::string("nil")));
}

// ---- TComponent ----

TComponent::TComponent(TComponent* AOwner) {
    if (AOwner == nullptr) return;
    // The newcomer is still being constructed while its owner hears of it: receivers
    // may only keep or compare the pointer.
    FComponentState = AOwner->FComponentState & (csLoading | csDesigning);
    AOwner->Insert(this);
    AOwner->Notification(this, TOperation::opInsert);
}

TComponent::~TComponent() {
    Destroying();
    while (!FFreeNotifies.empty()) {
        TComponent* other = FFreeNotifies.back();
        FFreeNotifies.pop_back();
        auto& back = other->FFreeNotifies;
        back.erase(std::remove(back.begin(), back.end(), this), back.end());
        other->Notification(this, TOperation::opRemove);
    }
    // Last created first; each leaves this list from its own destructor.
    while (!FComponents.empty()) delete FComponents.back();
    if (FOwner != nullptr) {
        TComponent* owner = FOwner;
        owner->Remove(this);
        owner->Notification(this, TOperation::opRemove);
    }
}

void TComponent::Insert(TComponent* AComponent) {
    FComponents.push_back(AComponent);
    AComponent->FOwner = this;
}

void TComponent::Remove(TComponent* AComponent) {
    FComponents.erase(std::remove(FComponents.begin(), FComponents.end(), AComponent), FComponents.end());
    AComponent->FOwner = nullptr;
}

void TComponent::SetName(const std::string& NewName) {
    if (NewName == FName) return;
    if (!NewName.empty() && !IsValidIdent(NewName))
        throw EComponentError(Format("'%s' is not a valid component name", {NewName}));
    if (!NewName.empty() && FOwner != nullptr) {
        TComponent* same = FOwner->FindComponent(NewName);
        if (same != nullptr && same != this)
            throw EComponentError(Format("A component named %s already exists", {NewName}));
    }
    FName = NewName;
}

TComponent* TComponent::FindComponent(std::string_view AName) const {
    if (AName.empty()) return nullptr;
    for (TComponent* c : FComponents)
        if (SameTextAscii(c->FName, AName)) return c;
    return nullptr;
}

void TComponent::SetDesigning(bool Value) {
    if (Value)
        FComponentState |= csDesigning;
    else
        FComponentState &= ~static_cast<uint32_t>(csDesigning);
    for (TComponent* c : FComponents) c->SetDesigning(Value);
}

void TComponent::FreeNotification(TComponent* AComponent) {
    if (AComponent == nullptr || AComponent == this) return;
    if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end())
        FFreeNotifies.push_back(AComponent);
    auto& back = AComponent->FFreeNotifies;
    if (std::find(back.begin(), back.end(), this) == back.end()) back.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
    if (AComponent == nullptr) return;
    FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent), FFreeNotifies.end());
    auto& back = AComponent->FFreeNotifies;
    back.erase(std::remove(back.begin(), back.end(), this), back.end());
}

void TComponent::Notification(TComponent* AComponent, TOperation Operation) {
    if (Operation == TOperation::opRemove && AComponent != nullptr)
        FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent), FFreeNotifies.end());
    // A handler may free components: walk a copy and skip those gone meanwhile.
    const std::vector<TComponent*> owned = FComponents;
    for (TComponent* c : owned)
        if (std::find(FComponents.begin(), FComponents.end(), c) != FComponents.end()) c->Notification(AComponent, Operation);
}

void TComponent::Destroying() {
    if (IsDestroying()) return;
    FComponentState |= csDestroying;
    for (TComponent* c : FComponents) c->Destroying();
}

void TComponent::CollectLoading(std::vector<TComponent*>& List) {
    List.push_back(this);
    for (TComponent* c : FComponents) c->CollectLoading(List);
}

void TComponent::BeginLoading() {
    std::vector<TComponent*> all;
    CollectLoading(all);
    for (TComponent* c : all) c->FComponentState |= csLoading;
}

void TComponent::EndLoading() {
    std::vector<TComponent*> all;
    CollectLoading(all);
    size_t i = 0;
    try {
        for (; i < all.size(); ++i)
            if (all[i]->IsLoading()) all[i]->Loaded();
    } catch (...) {
        // The failed one and those after it are no longer loading either.
        for (; i < all.size(); ++i) all[i]->FComponentState &= ~static_cast<uint32_t>(csLoading);
        throw;
    }
}

void TComponent::Loaded() { FComponentState &= ~static_cast<uint32_t>(csLoading); }

// ---- TStrings ----

int TStrings::Add(const std::string& S) {
    const int index = Count();
    Insert(index, S);
    return index;
}

void TStrings::AddStrings(const TStrings& Strings) {
    BeginUpdate();
    try {
        for (int i = 0; i < Strings.Count(); ++i) Add(Strings.Get(i));
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

int TStrings::IndexOf(std::string_view S) const {
    for (int i = 0; i < Count(); ++i)
        if (SameTextAscii(Get(i), S)) return i;
    return -1;
}

void TStrings::Exchange(int Index1, int Index2) {
    const std::string a = Get(Index1);
    const std::string b = Get(Index2);
    BeginUpdate();
    try {
        Put(Index1, b);
        Put(Index2, a);
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

void TStrings::Move(int CurIndex, int NewIndex) {
    if (CurIndex == NewIndex) return;
    const std::string s = Get(CurIndex);
    BeginUpdate();
    try {
        Delete(CurIndex);
        Insert(NewIndex, s);
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

bool TStrings::Equals(const TStrings& Strings) const {
    if (Count() != Strings.Count()) return false;
    for (int i = 0; i < Count(); ++i)
        if (Get(i) != Strings.Get(i)) return false;
    return true;
}

std::string TStrings::Text() const {
    std::string s;
    for (int i = 0; i < Count(); ++i) {
        s += Get(i);
        s += "\r\n";
    }
    return s;
}

void TStrings::SetText(std::string_view Value) {
    BeginUpdate();
    try {
        Clear();
        size_t start = 0;
        while (start < Value.size()) {
            size_t end = start;
            while (end < Value.size() && Value[end] != '\r' && Value[end] != '\n') ++end;
            Add(std::string(Value.substr(start, end - start)));
            if (end < Value.size() && Value[end] == '\r') {
                ++end;
                if (end < Value.size() && Value[end] == '\n') ++end;
            } else if (end < Value.size()) {
                ++end;  // LF
            }
            start = end;
        }
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

void TStrings::Assign(const TPersistent* Source) {
    if (const auto* src = dynamic_cast<const TStrings*>(Source)) {
        if (src == this) return;
        BeginUpdate();
        try {
            Clear();
            AddStrings(*src);
        } catch (...) {
            EndUpdate();
            throw;
        }
        EndUpdate();
        return;
    }
    TPersistent::Assign(Source);
}

void TStrings::BeginUpdate() {
    if (FUpdateCount++ == 0) SetUpdateState(true);
}

void TStrings::EndUpdate() {
    if (FUpdateCount == 0) return;
    if (--FUpdateCount == 0) SetUpdateState(false);
}

// ---- TStringList ----

void TStringList::CheckIndex(int Index, int Limit) const {
    if (Index < 0 || Index > Limit) throw EStringListError(Format("List index out of bounds (%d)", {Index}));
}

const std::string& TStringList::Get(int Index) const {
    CheckIndex(Index, Count() - 1);
    return FList[static_cast<size_t>(Index)];
}

void TStringList::Put(int Index, const std::string& S) {
    CheckIndex(Index, Count() - 1);
    Changing();
    FList[static_cast<size_t>(Index)] = S;
    Changed();
}

void TStringList::Insert(int Index, const std::string& S) {
    CheckIndex(Index, Count());
    Changing();
    FList.insert(FList.begin() + Index, S);
    Changed();
}

void TStringList::Delete(int Index) {
    CheckIndex(Index, Count() - 1);
    Changing();
    FList.erase(FList.begin() + Index);
    Changed();
}

void TStringList::Clear() {
    if (FList.empty()) return;
    Changing();
    FList.clear();
    Changed();
}

void TStringList::Changing() {
    if (UpdateCount() == 0 && OnChanging) OnChanging(this);
}

void TStringList::Changed() {
    if (UpdateCount() != 0) {
        FChangedInUpdate = true;
        return;
    }
    if (OnChange) OnChange(this);
}

void TStringList::SetUpdateState(bool Updating) {
    if (Updating) {
        FChangedInUpdate = false;
        return;
    }
    if (FChangedInUpdate) {
        FChangedInUpdate = false;
        if (OnChange) OnChange(this);
    }
}

// ---- TStream ----

int64_t TStream::Size() {
    const int64_t pos = Seek(0, soCurrent);
    const int64_t size = Seek(0, soEnd);
    Seek(pos, soBeginning);
    return size;
}

void TStream::ReadBuffer(void* Buffer, int64_t Count) {
    if (Count != 0 && Read(Buffer, Count) != Count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* Buffer, int64_t Count) {
    if (Count != 0 && Write(Buffer, Count) != Count) throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& Source, int64_t Count) {
    if (Count == 0) {
        Source.SetPosition(0);
        Count = Source.Size();
    }
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<int64_t>(Count, 65536)) + 1);
    int64_t left = Count;
    while (left > 0) {
        const int64_t n = std::min<int64_t>(left, static_cast<int64_t>(buffer.size()));
        Source.ReadBuffer(buffer.data(), n);
        WriteBuffer(buffer.data(), n);
        left -= n;
    }
    return Count;
}

// ---- TMemoryStream ----

int64_t TMemoryStream::Read(void* Buffer, int64_t Count) {
    if (Count <= 0 || FPosition >= Size()) return 0;
    const int64_t n = std::min(Count, Size() - FPosition);
    std::memcpy(Buffer, FData.data() + FPosition, static_cast<size_t>(n));
    FPosition += n;
    return n;
}

int64_t TMemoryStream::Write(const void* Buffer, int64_t Count) {
    if (Count <= 0) return 0;
    if (FPosition + Count > Size()) FData.resize(static_cast<size_t>(FPosition + Count), 0);
    std::memcpy(FData.data() + FPosition, Buffer, static_cast<size_t>(Count));
    FPosition += Count;
    return Count;
}

int64_t TMemoryStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    int64_t target = Offset;
    if (Origin == soCurrent) target += FPosition;
    if (Origin == soEnd) target += Size();
    if (target >= 0) FPosition = target;
    return FPosition;
}

void TMemoryStream::SetSize(int64_t NewSize) {
    if (NewSize < 0) throw EStreamError("Stream size cannot be negative");
    FData.resize(static_cast<size_t>(NewSize), 0);
    if (FPosition > NewSize) FPosition = NewSize;
}

void TMemoryStream::Clear() {
    FData.clear();
    FPosition = 0;
}

}  // namespace classlib
