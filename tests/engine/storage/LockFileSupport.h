// Support for the sessions and table-locks tests: a direct file in place over pages of the
// database, and a layer that records which of its operations reach the file.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/storage/ORQDiskEngine.h"

namespace lockfiles {

// A direct file laid out as the engine lays one out (10-byte header, content from data
// offset 10 of the first page on, in place), its page list kept in memory: it stands in
// until the engine's direct internal file is linked here, and a forked child inherits it.
class PageBytesFile : public orq::TORQDirectFileAccess {
public:
    PageBytesFile(orq::TORQDiskPageManager* M, uint16_t Type) : FM(M), FType(Type) {}

    int32_t CreateFile(int32_t Size) override {
        const int32_t u = FM->PageSize - 40;
        const int32_t pages = (Size + 10 + u - 1) / u;
        Chain chain;
        chain.Size = Size;
        for (int32_t i = 0; i < pages; ++i) {
            orq::TORQPage* page = FM->AddNewPage(-2, FType);
            chain.Pages.push_back(page->PageNo);
            FM->ReleasePage(page);
        }
        FM->CommitSession(-2);
        FFirst = chain.Pages.front();
        Chains()[FFirst] = chain;
        return FFirst;
    }
    void OpenFile(int32_t First) override {
        if (Chains().count(First) == 0) throw std::runtime_error("no such file");
        FFirst = First;
    }
    void DeleteFile(int32_t First) override {
        Chains().erase(First < 0 ? FFirst : First);
        FFirst = -1;
    }
    void CloseFile() override { FFirst = -1; }
    int32_t FirstPage() const override { return FFirst; }
    int32_t GetSize() override { return Chains().at(FFirst).Size; }
    int32_t OpenSize() const override {
        const Chain& c = Chains().at(FFirst);
        return c.Pages.size() == 1 ? FM->PageSize - 50 : c.Size;
    }
    int32_t DirectReadBuffer(void* Buffer, int32_t Count, int32_t Position) override {
        for (int32_t i = 0; i < Count; ++i) {
            auto [page, offset] = Map(Position + i);
            FM->ReadPageRegion(static_cast<uint8_t*>(Buffer) + i, page, 1, offset);
        }
        return Count;
    }
    int32_t DirectWriteBuffer(const void* Buffer, int32_t Count, int32_t Position) override {
        for (int32_t i = 0; i < Count; ++i) {
            auto [page, offset] = Map(Position + i);
            FM->WritePageRegion(static_cast<const uint8_t*>(Buffer) + i, page, 1, offset);
        }
        return Count;
    }
    bool LockFile() override { return FM->LockPageByte(FFirst, 0); }
    bool UnlockFile() override { return FM->UnlockPageByte(FFirst, 0); }
    bool LockByte(int32_t P) override {
        auto [page, offset] = Map(P);
        return FM->LockPageByte(page, offset);
    }
    bool UnlockByte(int32_t P) override {
        auto [page, offset] = Map(P);
        return FM->UnlockPageByte(page, offset);
    }
    bool IsByteLocked(int32_t P) override {
        auto [page, offset] = Map(P);
        return FM->IsPageByteLocked(page, offset);
    }
    bool IsRegionLocked(int32_t P, int32_t Count) override {
        for (int32_t i = 0; i < Count; ++i)
            if (IsByteLocked(P + i)) return true;
        return false;
    }

    std::pair<int32_t, int32_t> Map(int32_t P) const {
        const int32_t u = FM->PageSize - 40;
        return {Chains().at(FFirst).Pages.at(static_cast<std::size_t>((P + 10) / u)), 40 + (P + 10) % u};
    }

private:
    struct Chain {
        int32_t Size = 0;
        std::vector<int32_t> Pages;
    };
    static std::map<int32_t, Chain>& Chains() {
        static std::map<int32_t, Chain> chains;
        return chains;
    }
    orq::TORQDiskPageManager* FM;
    uint16_t FType;
    int32_t FFirst = -1;
};

// What reached the file through every direct file made while a Recorder is installed.
struct FileLog {
    int64_t Calls = 0;  // every operation that locks, probes, reads or writes
    std::vector<int32_t> LockedBytes;
    std::vector<std::pair<int32_t, std::vector<uint8_t>>> Writes;
    void Clear() { *this = FileLog{}; }
};

class RecordingFile : public orq::TORQDirectFileAccess {
public:
    RecordingFile(std::unique_ptr<orq::TORQDirectFileAccess> Inner, FileLog& Log)
        : FInner(std::move(Inner)), FLog(Log) {}
    int32_t CreateFile(int32_t Size) override { return FInner->CreateFile(Size); }
    void OpenFile(int32_t First) override { FInner->OpenFile(First); }
    void DeleteFile(int32_t First) override { FInner->DeleteFile(First); }
    void CloseFile() override { FInner->CloseFile(); }
    int32_t FirstPage() const override { return FInner->FirstPage(); }
    int32_t GetSize() override { return FInner->GetSize(); }
    int32_t OpenSize() const override { return FInner->OpenSize(); }
    int32_t DirectReadBuffer(void* B, int32_t C, int32_t P) override {
        ++FLog.Calls;
        return FInner->DirectReadBuffer(B, C, P);
    }
    int32_t DirectWriteBuffer(const void* B, int32_t C, int32_t P) override {
        ++FLog.Calls;
        const auto* b = static_cast<const uint8_t*>(B);
        FLog.Writes.emplace_back(P, std::vector<uint8_t>(b, b + C));
        return FInner->DirectWriteBuffer(B, C, P);
    }
    bool LockFile() override { return ++FLog.Calls, FInner->LockFile(); }
    bool UnlockFile() override { return ++FLog.Calls, FInner->UnlockFile(); }
    bool LockByte(int32_t P) override {
        ++FLog.Calls;
        const bool ok = FInner->LockByte(P);
        if (ok) FLog.LockedBytes.push_back(P);
        return ok;
    }
    bool UnlockByte(int32_t P) override { return ++FLog.Calls, FInner->UnlockByte(P); }
    bool IsByteLocked(int32_t P) override { return ++FLog.Calls, FInner->IsByteLocked(P); }
    bool IsRegionLocked(int32_t P, int32_t C) override { return ++FLog.Calls, FInner->IsRegionLocked(P, C); }

private:
    std::unique_ptr<orq::TORQDirectFileAccess> FInner;
    FileLog& FLog;
};

inline std::unique_ptr<orq::TORQDirectFileAccess> EngineDirectFile(orq::TORQDiskPageManager* M, uint16_t Type) {
    return std::make_unique<PageBytesFile>(M, Type);
}

// Installs the recording layer over the engine's direct file for one scope.
struct Recorder {
    Recorder() {
        orq::SetDirectFileFactory([this](orq::TORQDiskPageManager* M, uint16_t Type) {
            return std::make_unique<RecordingFile>(EngineDirectFile(M, Type), Log);
        });
    }
    ~Recorder() { orq::SetDirectFileFactory({}); }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;
    FileLog Log;
};

}  // namespace lockfiles
