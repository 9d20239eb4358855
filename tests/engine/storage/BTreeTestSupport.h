// Shared fixtures of the B-tree tests: a page manager with small pages and an injectable
// failure, a key reference over a 4-byte signed key padded to any size, and a strong
// tree validator. The validator decodes pages from their bytes by itself, so what it
// checks never comes from the accessors under test.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQBTree.h"
#include "engine/storage/ORQPage.h"

namespace btreetest {

// Stores pages as byte copies: a page read is a private copy, so a session's rollback
// really restores the committed tree. New pages come with their data area filled with
// 0xA5, so code that relies on zeroed fresh pages shows. FailAt = n makes the n-th page
// operation (GetPage or AllocatePage, counted from 1) raise 29999; 0 never fails.
class TTestPageManager : public orq::TORQPageManager {
public:
    static constexpr int32_t InjectedCode = 29999;

    explicit TTestPageManager(uint16_t Size, uint16_t Header = 0) : orq::TORQPageManager(int64_t{1} << 30) {
        PageSize = Size;
        HeaderSize = Header;
        DataSize = static_cast<uint16_t>(Size - Header);
    }

    void AllocatePage(orq::TORQPage* Page) override {
        Count();
        int32_t number = 0;
        while (number < static_cast<int32_t>(FUsed.size()) && FUsed[static_cast<std::size_t>(number)]) ++number;
        if (number == static_cast<int32_t>(FUsed.size())) {
            FUsed.push_back(false);
            FStore.emplace_back(PageSize, 0);
        }
        Page->AllocBuffer();
        std::memset(Page->Buffer + HeaderSize, 0xA5, DataSize);
        Page->PageNo = number;
        FUsed[static_cast<std::size_t>(number)] = true;
        ++PageCount;
    }
    void FreePage(int32_t PageNo) override {
        if (!IsUsed(PageNo)) orq::RaiseNativeFmt(29998, "Page %d freed twice", {PageNo});
        FUsed[static_cast<std::size_t>(PageNo)] = false;
        --PageCount;
    }
    bool ReadPage(orq::TORQPage* Page) override {
        if (!IsUsed(Page->PageNo)) return false;
        Page->AllocBuffer();
        std::memcpy(Page->Buffer, FStore[static_cast<std::size_t>(Page->PageNo)].data(), PageSize);
        return true;
    }
    void WritePage(orq::TORQPage* Page) override {
        if (!IsUsed(Page->PageNo)) orq::RaiseNativeFmt(29997, "Page %d written while free", {Page->PageNo});
        std::memcpy(FStore[static_cast<std::size_t>(Page->PageNo)].data(), Page->Buffer, PageSize);
    }
    orq::TORQPage* GetPage(int32_t SessionID, int32_t PageNo, bool Validate, uint16_t ExpectedType) override {
        Count();
        return orq::TORQPageManager::GetPage(SessionID, PageNo, Validate, ExpectedType);
    }

    bool IsUsed(int32_t PageNo) const {
        return PageNo >= 0 && PageNo < static_cast<int32_t>(FUsed.size()) && FUsed[static_cast<std::size_t>(PageNo)];
    }
    // The committed bytes of a page.
    const std::vector<uint8_t>& Stored(int32_t PageNo) const { return FStore.at(static_cast<std::size_t>(PageNo)); }

    // Pages still taken, in the shared list and in the given sessions' private lists.
    int32_t PagesInUse(std::initializer_list<int32_t> Sessions = {0}) {
        int32_t n = 0;
        for (int32_t i = 0; i < SharedList().Count(); ++i) n += SharedList().Items(i)->UseCount > 0 ? 1 : 0;
        for (int32_t s : Sessions)
            if (orq::TORQSortedPageList* own = PrivateList(s))
                for (int32_t i = 0; i < own->Count(); ++i) n += own->Items(i)->UseCount > 0 ? 1 : 0;
        return n;
    }

    int64_t FailAt = 0;
    int64_t Operations = 0;

private:
    void Count() {
        ++Operations;
        if (FailAt != 0 && Operations == FailAt) orq::RaiseNative(InjectedCode, "Injected page failure");
    }

    std::vector<bool> FUsed;
    std::vector<std::vector<uint8_t>> FStore;
};

inline int32_t GetI32(const uint8_t* p) {
    return static_cast<int32_t>(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}
inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline void PutI32(uint8_t* p, int32_t v) {
    for (int k = 0; k < 4; ++k) p[k] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * k));
}

// Keys of KeySize bytes whose first four hold a signed little-endian Int32 that alone
// orders them; 6-byte record-id values.
class TTestKeyRef : public orq::TORQBTreeKeyRef {
public:
    explicit TTestKeyRef(int32_t Size = 12) {
        KeySize = FullKeySize = Size;
        ValueSize = 6;
        SetColumnCount(1);
        ActiveColumnCount = 1;
    }
    int CompareKeys(const uint8_t* Key1, const uint8_t* Key2, const uint8_t*, const uint8_t*, int32_t,
                    bool) override {
        const int32_t a = GetI32(Key1), b = GetI32(Key2);
        return a == b ? 0 : (a < b ? -1 : 1);
    }
    int CompareFullKeys(const uint8_t* Key1, const uint8_t* Key2) override {
        return CompareKeys(Key1, Key2, nullptr, nullptr, 0, false);
    }
};

// One leaf entry as the tests see it: the key's Int32 and the value as a record id.
struct TEntry {
    int32_t Key = 0;
    int32_t Page = 0;
    uint16_t Slot = 0;
    bool operator<(const TEntry& o) const {
        if (Key != o.Key) return Key < o.Key;
        if (Page != o.Page) return Page < o.Page;
        return Slot < o.Slot;
    }
    bool operator==(const TEntry& o) const { return Key == o.Key && Page == o.Page && Slot == o.Slot; }
};

struct TTreeShape {
    std::string Error;  // empty when the tree is sound
    int32_t Depth = 0;  // levels, a lone root leaf being 1
    int32_t Pages = 0;
    std::vector<TEntry> Entries;        // leaf entries in order (record-id values)
    std::vector<std::vector<uint8_t>> Values;  // the raw leaf values in order
};

// Walks the tree from its root and checks: the root's header (IsRoot 1, no links); every
// other page not a root, not empty, not overfull, no page reached twice; every leaf at
// one depth; key size, extra size and trailer flag as written; entries in strictly
// ascending (key, value) order across all leaves; each inner separator k >= 1 between the
// keys of child k - 1's subtree and those of child k's; the same-level chains linking
// every level's pages left to right; the entry area zero past the last entry.
class TTreeValidator {
public:
    TTreeValidator(orq::TORQPageManager& PageManager, orq::TORQBTreeKeyRef& KeyRef, int32_t SessionID)
        : FPM(PageManager), FRef(KeyRef), FSession(SessionID) {}

    TTreeShape Run(int32_t RootPageNo) {
        TTreeShape shape;
        FShape = &shape;
        FLevels.clear();
        FSeen.clear();
        FKeys.clear();
        FLeafDepth = -1;
        try {
            Visit(RootPageNo, 0, true, nullptr, nullptr);
            for (std::size_t l = 0; l < FLevels.size() && shape.Error.empty(); ++l) {
                const auto& pages = FLevels[l];
                for (std::size_t i = 0; i < pages.size(); ++i) {
                    const int32_t prev = i == 0 ? -1 : pages[i - 1].No;
                    const int32_t next = i + 1 == pages.size() ? -1 : pages[i + 1].No;
                    if (pages[i].Prev != prev || pages[i].Next != next)
                        Fail("page " + std::to_string(pages[i].No) + " at level " + std::to_string(l) +
                             " has broken sibling links");
                }
            }
            for (std::size_t i = 1; i < shape.Values.size() && shape.Error.empty(); ++i) {
                const std::vector<uint8_t>& a = shape.Values[i - 1];
                const std::vector<uint8_t>& b = shape.Values[i];
                const int k = KeyOrder(i - 1, i);
                if (k > 0 || (k == 0 && orq::CompareValues(a.data(), b.data(), FRef.ValueSize) >= 0))
                    Fail("leaf entries out of order at " + std::to_string(i));
            }
        } catch (const std::exception& e) {
            Fail(std::string("exception: ") + e.what());
        }
        shape.Depth = FLeafDepth + 1;
        shape.Pages = static_cast<int32_t>(FSeen.size());
        return shape;
    }

private:
    struct TPageLink {
        int32_t No, Prev, Next;
    };

    void Fail(const std::string& Message) {
        if (FShape->Error.empty()) FShape->Error = Message;
    }

    int KeyOrder(std::size_t A, std::size_t B) {
        return FRef.CompareKeys(FKeys[A].data(), FKeys[B].data(), nullptr, nullptr, FSession, false);
    }

    // Lo / Hi: the separators bounding this subtree (nil: open).
    void Visit(int32_t PageNo, int32_t Depth, bool IsRootPage, const uint8_t* Lo, const uint8_t* Hi) {
        if (!FShape->Error.empty()) return;
        if (!FSeen.insert(PageNo).second) return Fail("page " + std::to_string(PageNo) + " reached twice");
        orq::TORQPage* page = FPM.GetPage(FSession, PageNo, true, orq::BTreePageType);
        std::vector<uint8_t> bytes(page->GetData(), page->GetData() + page->GetDataSize());
        FPM.ReleasePage(page);
        const std::string at = "page " + std::to_string(PageNo) + ": ";
        const bool isRoot = bytes[0] != 0, isLeaf = bytes[1] != 0;
        const int32_t prev = GetI32(&bytes[2]), next = GetI32(&bytes[6]);
        const uint16_t keySize = GetU16(&bytes[12]), count = GetU16(&bytes[14]), extra = GetU16(&bytes[16]);
        if (isRoot != IsRootPage) return Fail(at + "wrong IsRoot");
        if (IsRootPage && (prev != -1 || next != -1)) return Fail(at + "root with links");
        if (bytes[11] != 0 || extra != 0) return Fail(at + "trailer or extra size set");
        if (keySize != FRef.KeySize) return Fail(at + "wrong key size");
        if (!IsRootPage && count == 0) return Fail(at + "empty non-root page");
        const int32_t entry = keySize + (isLeaf ? FRef.ValueSize : 4);
        const int32_t used = 18 + count * entry;
        if (used > static_cast<int32_t>(bytes.size())) return Fail(at + "overfull");
        for (std::size_t i = static_cast<std::size_t>(used); i < bytes.size(); ++i)
            if (bytes[i] != 0) return Fail(at + "nonzero byte past the entries at " + std::to_string(i));
        if (static_cast<std::size_t>(Depth) >= FLevels.size()) FLevels.resize(static_cast<std::size_t>(Depth) + 1);
        FLevels[static_cast<std::size_t>(Depth)].push_back({PageNo, prev, next});
        auto keyAt = [&](int32_t i) { return &bytes[static_cast<std::size_t>(18 + i * entry)]; };
        auto within = [&](const uint8_t* key) {
            if (Lo != nullptr && FRef.CompareKeys(key, Lo, nullptr, nullptr, FSession, false) < 0) return false;
            if (Hi != nullptr && FRef.CompareKeys(key, Hi, nullptr, nullptr, FSession, false) > 0) return false;
            return true;
        };
        if (isLeaf) {
            if (FLeafDepth == -1) FLeafDepth = Depth;
            if (FLeafDepth != Depth) return Fail(at + "leaf at another depth");
            for (int32_t i = 0; i < count; ++i) {
                const uint8_t* k = keyAt(i);
                if (!within(k)) return Fail(at + "key outside its separators at " + std::to_string(i));
                const uint8_t* v = k + keySize;
                FKeys.emplace_back(k, k + keySize);
                FShape->Values.emplace_back(v, v + FRef.ValueSize);
                TEntry e{GetI32(k), 0, 0};
                if (FRef.ValueSize == 6) {
                    e.Page = GetI32(v);
                    e.Slot = GetU16(v + 4);
                } else if (FRef.ValueSize == 2) {
                    e.Slot = GetU16(v);
                }
                FShape->Entries.push_back(e);
            }
            return;
        }
        if (count == 0) return Fail(at + "inner page without entries");
        std::vector<std::vector<uint8_t>> keys;
        for (int32_t i = 0; i < count; ++i) keys.emplace_back(keyAt(i), keyAt(i) + keySize);
        for (int32_t i = 1; i < count; ++i) {
            if (!within(keys[static_cast<std::size_t>(i)].data())) return Fail(at + "separator outside its bounds");
            if (i > 1 && FRef.CompareKeys(keys[static_cast<std::size_t>(i - 1)].data(),
                                          keys[static_cast<std::size_t>(i)].data(), nullptr, nullptr, FSession,
                                          false) > 0)
                return Fail(at + "separators out of order");
        }
        for (int32_t i = 0; i < count; ++i) {
            const uint8_t* lo = i == 0 ? Lo : keys[static_cast<std::size_t>(i)].data();
            const uint8_t* hi = i + 1 < count ? keys[static_cast<std::size_t>(i + 1)].data() : Hi;
            Visit(GetI32(keyAt(i) + keySize), Depth + 1, false, lo, hi);
        }
    }

    orq::TORQPageManager& FPM;
    orq::TORQBTreeKeyRef& FRef;
    int32_t FSession;
    TTreeShape* FShape = nullptr;
    std::vector<std::vector<TPageLink>> FLevels;
    std::set<int32_t> FSeen;
    std::vector<std::vector<uint8_t>> FKeys;
    int32_t FLeafDepth = -1;
};

// A bare tree over a key reference with record-id values: the root page made for the
// session, then every operation starting at the root with a fresh path.
class TTestTree {
public:
    TTestTree(orq::TORQPageManager& PageManager, orq::TORQBTreeKeyRef& KeyRef, int32_t SessionID = 0)
        : PM(PageManager), Ref(KeyRef), Session(SessionID) {
        orq::TORQBTreePageHolder root = orq::TORQBTreePage::New(PM, Ref, Session);
        root->InitRootLeaf();
        root->MarkModified();
        Root = root->GetPageNo();
    }

    std::vector<uint8_t> Key(int32_t K) const {
        std::vector<uint8_t> key(static_cast<std::size_t>(Ref.KeySize), 0);
        PutI32(key.data(), K);
        for (std::size_t i = 4; i < key.size(); ++i) key[i] = static_cast<uint8_t>(0x40 + i);
        return key;
    }
    static std::vector<uint8_t> Value(const TEntry& E) {
        std::vector<uint8_t> v(6);
        PutI32(v.data(), E.Page);
        v[4] = static_cast<uint8_t>(E.Slot);
        v[5] = static_cast<uint8_t>(E.Slot >> 8);
        return v;
    }

    void Insert(const TEntry& E) {
        orq::TORQKeyPath path;
        const auto key = Key(E.Key);
        const auto value = Value(E);
        LoadRoot()->Insert(Session, key.data(), path, value.data());
    }
    bool Delete(const TEntry& E) {
        orq::TORQKeyPath path;
        const auto key = Key(E.Key);
        const auto value = Value(E);
        return LoadRoot()->Delete(Session, key.data(), path, value.data());
    }
    bool FindKey(bool Forward, int32_t Condition, int32_t K, orq::TORQKeyPath& Path) {
        Path.Clear();
        const auto key = Key(K);
        return LoadRoot()->FindKey(Session, Forward, Path, Condition, key.data());
    }
    // The leaf entry a path designates, read from the page's bytes.
    TEntry EntryAt(const orq::TORQKeyPath& Path) {
        const orq::TORQKeyPathLevel& at = Path.Levels[Path.LevelCount - 1];
        orq::TORQPage* page = PM.GetPage(Session, at.PageNo, true, orq::BTreePageType);
        const uint8_t* e = page->GetData() + 18 + at.EntryNo * (Ref.KeySize + Ref.ValueSize);
        TEntry entry{GetI32(e), GetI32(e + Ref.KeySize), GetU16(e + Ref.KeySize + 4)};
        PM.ReleasePage(page);
        return entry;
    }
    orq::TORQBTreePageHolder LoadRoot() { return orq::TORQBTreePage::Load(PM, Ref, Session, Root); }

    orq::TORQPageManager& PM;
    orq::TORQBTreeKeyRef& Ref;
    int32_t Session;
    int32_t Root = -1;
};

inline TTreeShape ValidateTree(orq::TORQPageManager& PageManager, orq::TORQBTreeKeyRef& KeyRef, int32_t SessionID,
                               int32_t RootPageNo) {
    return TTreeValidator(PageManager, KeyRef, SessionID).Run(RootPageNo);
}

}  // namespace btreetest
