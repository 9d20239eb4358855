// TProtection: the base of every cipher and hash. It owns a reference count, an
// optional chained protection object behind it, and the set of actions it performs
// itself; it runs coding runs (BeginCoding, CodeChunk..., EndCoding) and offers
// whole-run coding of a buffer, a text, a file and a byte store.
//
// Invariants:
// - Every live TProtection is in a process-wide registry, so that a stale or
//   foreign pointer is recognised (IsLiveObject) instead of being dereferenced.
//   A chain link remembers the serial number of its target, so an address reused
//   by a new object does not revive the link.
// - A chain never leads back to the object that holds it; setting such a link
//   raises EProtection and changes nothing.
// - Ownership has one rule: an object that is shared is held through TProtectionRef
//   handles (MakeProtection, the cipher factory), each holding one count, and a chain
//   link holds one more. The release that brings the count to 0 deletes the object,
//   after its last holder. A chain accepts only an object some handle holds (count
//   at least 1): an object on the stack or owned by anything else is never chained,
//   so no chain can free what another owner frees again.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "classlib/SysUtils.h"

namespace orq {

class TORQStream;

class EProtection : public classlib::Exception {
public:
    using classlib::Exception::Exception;
};

// Action codes of a coding run.
enum ProtectionAction : uint8_t {
    actEncode = 0,
    actDecode = 1,
    actScramble = 2,
    actCalculate = 3,
    actWipe = 4,
};

constexpr uint8_t AllProtectionActions = 0x1F;  // actions 0 to 4

// A random-access store of bytes that a coding run reads from and writes back to:
// the common ground of streams, files and in-memory texts.
class TCodingPort {
public:
    virtual ~TCodingPort() = default;
    virtual int64_t Size() = 0;
    virtual int64_t Position() = 0;
    virtual void SetPosition(int64_t position) = 0;
    // Bytes read, at most count; 0 at the end. Failures raise.
    virtual int32_t Read(void* buffer, int32_t count) = 0;
    // Bytes written; fewer than count is a short write, which the caller reports.
    virtual int32_t Write(const void* buffer, int32_t count) = 0;
};

class TProtection {
public:
    explicit TProtection(TProtection* chained = nullptr);
    virtual ~TProtection();
    TProtection(const TProtection&) = delete;
    TProtection& operator=(const TProtection&) = delete;

    virtual const char* ClassName() const { return "TProtection"; }

    // The chained object; a link to an object that no longer lives is cleared.
    TProtection* ChainedProtection();
    // Raises EProtection "Circular Protection detected, ..." when Value's chain leads
    // back to this object, and EProtection when no handle holds Value.
    void SetChainedProtection(TProtection* value);

    uint8_t EnabledActions() const { return FEnabledActions; }
    void SetEnabledActions(uint8_t actions) { FEnabledActions = actions; }
    bool ActionEnabled(ProtectionAction action) const {
        return action <= 7 && (FEnabledActions & (1u << action)) != 0;
    }
    int32_t RefCount() const { return FRefCount.load(); }
    uint64_t Serial() const { return FSerial; }

    // A coding run. The base versions pass the call on to the chained object.
    virtual void BeginCoding(ProtectionAction action);
    virtual void EndCoding(ProtectionAction action);
    virtual void CodeChunk(void* buffer, int32_t size, ProtectionAction action);

    // Codes DataSize bytes of Source into Dest in pieces of at most 4096 bytes; a
    // negative DataSize means all of Source from its start; Dest none means Source
    // (coded in place). actCalculate reads only. A short write raises EInOutError.
    virtual void ProcessPort(TCodingPort* source, TCodingPort* dest, int64_t dataSize,
                             ProtectionAction action);
    // ProcessPort over engine streams: DataSize bytes of Source into Dest (none: Source
    // itself, coded in place); a negative DataSize means all of Source from position 0.
    virtual void ProcessStream(TORQStream* source, TORQStream* dest, int64_t dataSize,
                               ProtectionAction action);
    // Codes a file into another, or in place when the names are equal or DestName is
    // blank. Names are compared exactly (file names are case-sensitive here).
    virtual void ProcessFile(const std::string& sourceName, const std::string& destName,
                             ProtectionAction action);
    // Codes a text; the text side goes through the string format FormatId.
    virtual std::string ProcessText(const std::string& source, ProtectionAction action,
                                    int32_t formatId);
    // One whole run over one buffer in place; returns Size.
    virtual int32_t ProcessBuffer(void* buffer, int32_t size, ProtectionAction action);

private:
    void CodePieces(TCodingPort* source, TCodingPort* dest, int64_t dataSize, ProtectionAction action);

    friend int32_t RetainProtection(TProtection* p);
    friend int32_t ReleaseProtection(TProtection* p);

    std::atomic<int32_t> FRefCount{0};
    TProtection* FChained = nullptr;
    uint64_t FChainedSerial = 0;
    uint8_t FEnabledActions = AllProtectionActions;
    uint64_t FSerial;
};

// The live object P when it is a registered TProtection (and FSerial matches when
// given), otherwise nullptr. Never dereferences P before it is found live.
TProtection* LiveProtection(const void* p, uint64_t serial = 0);

// True exactly when P is a live instance of T or a descendant.
template <class T>
bool IsLiveObject(const void* p) {
    static_assert(std::is_base_of_v<TProtection, T>);
    TProtection* live = LiveProtection(p);
    return live != nullptr && dynamic_cast<T*>(live) != nullptr;
}

// Raise or lower P's reference count and return the new count; 0 and nothing done
// when P is not a live protection object. A release to 0 deletes P.
int32_t RetainProtection(TProtection* p);
int32_t ReleaseProtection(TProtection* p);

// A counted reference to a protection object: it takes one count when it takes the
// object and gives it back when it lets go; the last one to let go deletes it.
template <class T>
class TProtectionRef {
public:
    TProtectionRef() = default;
    // Takes a count of P, which must come from new (MakeProtection does both).
    explicit TProtectionRef(T* p) : FObject(p) {
        if (p != nullptr) RetainProtection(p);
    }
    TProtectionRef(const TProtectionRef& other) : TProtectionRef(other.FObject) {}
    TProtectionRef(TProtectionRef&& other) noexcept : FObject(std::exchange(other.FObject, nullptr)) {}
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    TProtectionRef(const TProtectionRef<U>& other) : TProtectionRef(other.Get()) {}
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    TProtectionRef(TProtectionRef<U>&& other) noexcept : FObject(other.Detach()) {}
    ~TProtectionRef() { Reset(); }
    TProtectionRef& operator=(TProtectionRef other) noexcept {
        std::swap(FObject, other.FObject);
        return *this;
    }

    T* Get() const { return FObject; }
    T* operator->() const { return FObject; }
    T& operator*() const { return *FObject; }
    explicit operator bool() const { return FObject != nullptr; }
    // Gives the count back (deleting the object when it was the last) and holds nothing.
    void Reset() {
        if (T* p = std::exchange(FObject, nullptr)) ReleaseProtection(p);
    }

private:
    template <class>
    friend class TProtectionRef;
    T* Detach() noexcept { return std::exchange(FObject, nullptr); }

    T* FObject = nullptr;
};

template <class T, class... Args>
TProtectionRef<T> MakeProtection(Args&&... args) {
    return TProtectionRef<T>(new T(std::forward<Args>(args)...));
}

// Progress of stream, file and text runs. Unassigned by default.
using TCodingProgressEvent = std::function<void(TProtection* sender, int64_t current, int64_t maximal)>;
extern TCodingProgressEvent CodingProgress;
void ReportProgress(TProtection* sender, int64_t current, int64_t maximal);

}  // namespace orq
