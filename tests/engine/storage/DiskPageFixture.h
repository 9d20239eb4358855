// Fixture for the page side of the disk engine's tests: a scratch database, managers
// opened on it, pages added through a session, raw page bytes from the file, and the
// file layer's fault hook installed for one scope.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "DiskTestUtil.h"
#include "engine/storage/ORQDiskEngine.h"
#include "engine/storage/ORQEngineState.h"

namespace diskpages {

using orq::TORQDiskPageManager;
using orq::TORQPassword;

// The header as the layout places it: page 0 at 380.
inline constexpr int64_t Page0 = 380;

struct HookScope {
    explicit HookScope(orq::TORQFileFaultHook Hook) { orq::SetFileFaultHook(std::move(Hook)); }
    ~HookScope() { orq::SetFileFaultHook({}); }
    HookScope(const HookScope&) = delete;
    HookScope& operator=(const HookScope&) = delete;
};

// The engine's sleeper counts instead of sleeping.
struct SleepCounter {
    SleepCounter() {
        orq::SetEngineSleeper([this](int32_t) { ++Count; });
    }
    ~SleepCounter() { orq::SetEngineSleeper({}); }
    int64_t Count = 0;
};

struct Database {
    explicit Database(const TORQPassword& Pw = {}, uint16_t Extent = 8, uint16_t PageSize = 4096)
        : Name(Dir.File("pages.orq")), Password(Pw), Size(PageSize) {
        TORQDiskPageManager m;
        m.CreateDatabaseFile(Name, Pw, Extent, PageSize);
        m.CloseDatabaseFile();
    }
    // A manager on the file; multi-user unless told otherwise. NeedsRepair tells what the
    // open found.
    std::unique_ptr<TORQDiskPageManager> Open(bool MultiUser = true, bool* NeedsRepair = nullptr) const {
        auto m = std::make_unique<TORQDiskPageManager>();
        bool multi = MultiUser;
        bool readOnly = false;
        const bool repair = m->OpenDatabaseFile(Name, Password, multi, false, readOnly);
        if (NeedsRepair != nullptr) *NeedsRepair = repair;
        return m;
    }
    bool NeedsRepair() const {
        bool repair = false;
        Open(true, &repair)->CloseDatabaseFile();
        return repair;
    }
    std::vector<uint8_t> File() const { return disktest::ReadAll(Name); }
    std::vector<uint8_t> PageBytes(int32_t PageNo) const {
        const std::vector<uint8_t> all = File();
        const auto at = static_cast<std::size_t>(Page0 + int64_t{PageNo} * Size);
        if (all.size() < at + Size) return {};
        return std::vector<uint8_t>(all.begin() + static_cast<std::ptrdiff_t>(at),
                                    all.begin() + static_cast<std::ptrdiff_t>(at + Size));
    }
    uint8_t StateByte() const { return File().at(42); }
    int32_t HeaderI32(int Offset) const {
        const std::vector<uint8_t> all = File();
        return static_cast<int32_t>(all.at(Offset) | all.at(Offset + 1) << 8 | all.at(Offset + 2) << 16 |
                                    static_cast<uint32_t>(all.at(Offset + 3)) << 24);
    }

    disktest::TempDir Dir;
    std::string Name;
    TORQPassword Password;
    uint16_t Size;
};

inline int32_t LE32(const std::vector<uint8_t>& B, std::size_t At) {
    return static_cast<int32_t>(B.at(At) | B.at(At + 1) << 8 | B.at(At + 2) << 16 |
                                static_cast<uint32_t>(B.at(At + 3)) << 24);
}

// A new record page of the session whose data area is Fill throughout; released, not committed.
inline int32_t AddPage(TORQDiskPageManager& M, int32_t Session, uint8_t Fill) {
    orq::TORQPage* page = M.AddNewPage(Session, orq::ptTableRecord);
    std::memset(page->GetData(), Fill, static_cast<std::size_t>(page->GetDataSize()));
    const int32_t number = page->PageNo;
    M.ReleasePage(page);
    return number;
}

// Takes the page for the session, fills its data area and releases it changed.
inline void ChangePage(TORQDiskPageManager& M, int32_t Session, int32_t PageNo, uint8_t Fill) {
    orq::TORQPage* page = M.GetPage(Session, PageNo, true, orq::ptTableRecord);
    std::memset(page->GetData(), Fill, static_cast<std::size_t>(page->GetDataSize()));
    page->Modified = 1;
    M.ReleasePage(page);
}

// The first data byte of the page as the session sees it.
inline uint8_t FirstDataByte(TORQDiskPageManager& M, int32_t Session, int32_t PageNo) {
    orq::TORQPage* page = M.GetPage(Session, PageNo, true, orq::ptTableRecord);
    const uint8_t b = page->GetData()[0];
    M.ReleasePage(page);
    return b;
}

}  // namespace diskpages
