// The class library's non-visual base: persistent objects, components with owners,
// string lists and byte streams.
//
// Rules the component model keeps:
// - An owner frees its components (in reverse creation order) when it dies; a component
//   freed on its own leaves its owner's list first. Owned components are raw pointers in
//   the owner's list because their lifetime is the owner's, not a scope's.
// - A component told about another through FreeNotification is sent
//   Notification(other, opRemove) before that other dies; the link is two-way, so
//   whichever of the two dies first unhooks itself from the survivor and no pointer to
//   a dead component is ever followed.
// - Stored properties are set between BeginLoading and EndLoading on the root; while
//   loading, a component only records them. EndLoading then calls Loaded on the root and
//   every owned component in creation order, and that is where the recorded values
//   take effect (a database stored as connected opens there).
// - A string list sends one OnChange per change, or one at the end of the outermost
//   BeginUpdate/EndUpdate bracket when anything changed inside it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "classlib/SysUtils.h"

namespace classlib {

class TFiler;

class TPersistent {
public:
    virtual ~TPersistent() = default;
    // Declares to Filer the entries this object keeps beyond its properties
    // (classlib/Streaming.h); none by default.
    virtual void DefineProperties(TFiler& Filer);
    // Copies Source into this object; a class that cannot take Source raises EConvertError.
    virtual void Assign(const TPersistent* Source);
    virtual std::string ClassName() const { return "TPersistent"; }

protected:
    virtual void AssignTo(TPersistent* Dest) const;
};

enum class TOperation { opInsert, opRemove };

// TComponent's state flags.
enum TComponentStateFlag : uint32_t {
    csLoading = 1u << 0,
    csDesigning = 1u << 1,
    csDestroying = 1u << 2,
};

class TComponent : public TPersistent {
public:
    // A component with an owner is freed by it; one without is freed by its creator.
    explicit TComponent(TComponent* AOwner);
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    std::string ClassName() const override { return "TComponent"; }

    TComponent* Owner() const { return FOwner; }
    const std::string& Name() const { return FName; }
    // An empty name or an identifier unique among the owner's components; else EComponentError.
    virtual void SetName(const std::string& NewName);

    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int Index) const { return FComponents.at(static_cast<size_t>(Index)); }
    TComponent* FindComponent(std::string_view AName) const;  // by name, ignoring case

    uint32_t ComponentState() const { return FComponentState; }
    bool IsLoading() const { return (FComponentState & csLoading) != 0; }
    bool IsDesigning() const { return (FComponentState & csDesigning) != 0; }
    bool IsDestroying() const { return (FComponentState & csDestroying) != 0; }
    // Sets or clears the designing state here and in every owned component.
    void SetDesigning(bool Value);

    // AComponent will be sent Notification(this, opRemove) before this component dies.
    void FreeNotification(TComponent* AComponent);
    void RemoveFreeNotification(TComponent* AComponent);

    // The loading bracket of the root of a component tree: see the file comment.
    // Components created with a loading owner start loading too.
    void BeginLoading();
    void EndLoading();

    // Marks this component and its owned ones as being destroyed.
    void Destroying();

    int32_t Tag = 0;

protected:
    // Called once stored properties are set; clears the loading state.
    virtual void Loaded();
    // Insertion into and removal from the owner, and free notifications. Passed on to
    // every owned component.
    virtual void Notification(TComponent* AComponent, TOperation Operation);

private:
    void Insert(TComponent* AComponent);
    void Remove(TComponent* AComponent);
    void CollectLoading(std::vector<TComponent*>& List);

    TComponent* FOwner = nullptr;
    std::string FName;
    uint32_t FComponentState = 0;
    std::vector<TComponent*> FComponents;
    std::vector<TComponent*> FFreeNotifies;
};

// A component name that is no identifier or is taken among the owner's components.
class EComponentError : public Exception { using Exception::Exception; };
// Raised by string lists and streams for a bad index or a short transfer.
class EStringListError : public Exception { using Exception::Exception; };
class EStreamError : public Exception { using Exception::Exception; };
class EReadError : public EStreamError { using EStreamError::EStreamError; };
class EWriteError : public EStreamError { using EStreamError::EStreamError; };

using TNotifyEvent = std::function<void(TPersistent* Sender)>;

// A list of 8-bit lines. Text joins them with CR LF; SetText splits at LF, CR LF or a
// lone CR, and a final line break adds no empty line.
class TStrings : public TPersistent {
public:
    std::string ClassName() const override { return "TStrings"; }

    virtual int Count() const = 0;
    virtual const std::string& Get(int Index) const = 0;
    virtual void Put(int Index, const std::string& S) = 0;
    virtual void Insert(int Index, const std::string& S) = 0;
    virtual void Delete(int Index) = 0;
    virtual void Clear() = 0;

    const std::string& operator[](int Index) const { return Get(Index); }
    int Add(const std::string& S);
    void AddStrings(const TStrings& Strings);
    int IndexOf(std::string_view S) const;  // ignoring case, -1 when absent
    void Exchange(int Index1, int Index2);
    void Move(int CurIndex, int NewIndex);
    bool Equals(const TStrings& Strings) const;

    std::string Text() const;
    void SetText(std::string_view Value);

    void Assign(const TPersistent* Source) override;

    // Counted: only the outermost EndUpdate reports.
    void BeginUpdate();
    void EndUpdate();
    int UpdateCount() const { return FUpdateCount; }

protected:
    virtual void SetUpdateState(bool Updating) { (void)Updating; }

private:
    int FUpdateCount = 0;
};

class TStringList : public TStrings {
public:
    std::string ClassName() const override { return "TStringList"; }

    int Count() const override { return static_cast<int>(FList.size()); }
    const std::string& Get(int Index) const override;
    void Put(int Index, const std::string& S) override;
    void Insert(int Index, const std::string& S) override;
    void Delete(int Index) override;
    void Clear() override;

    TNotifyEvent OnChanging;
    TNotifyEvent OnChange;

protected:
    void SetUpdateState(bool Updating) override;

private:
    void CheckIndex(int Index, int Limit) const;
    void Changing();
    void Changed();

    std::vector<std::string> FList;
    bool FChangedInUpdate = false;
};

enum TSeekOrigin : uint16_t { soBeginning = 0, soCurrent = 1, soEnd = 2 };

// A byte stream. Read and Write return how much they moved and never raise for a short
// transfer; ReadBuffer and WriteBuffer do (EReadError, EWriteError).
class TStream {
public:
    virtual ~TStream() = default;
    virtual int64_t Read(void* Buffer, int64_t Count) = 0;
    virtual int64_t Write(const void* Buffer, int64_t Count) = 0;
    // The new position; a target below 0 leaves the position unchanged.
    virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;
    virtual int64_t Size();
    virtual void SetSize(int64_t NewSize) = 0;

    int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(int64_t Pos) { Seek(Pos, soBeginning); }
    void ReadBuffer(void* Buffer, int64_t Count);
    void WriteBuffer(const void* Buffer, int64_t Count);
    // Copies Count bytes from Source's position (Count 0: all of Source from its start).
    int64_t CopyFrom(TStream& Source, int64_t Count);
};

class TMemoryStream : public TStream {
public:
    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Write(const void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override { return static_cast<int64_t>(FData.size()); }
    void SetSize(int64_t NewSize) override;

    const std::vector<uint8_t>& Data() const { return FData; }
    void Clear();

private:
    std::vector<uint8_t> FData;
    int64_t FPosition = 0;
};

}  // namespace classlib
