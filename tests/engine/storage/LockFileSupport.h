// Support for the sessions and table-locks tests: a layer over the engine's direct files
// that records which operations reach the database file and can make lock calls fail.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/storage/ORQDiskEngine.h"

namespace lockfiles {

// What reached the file through every direct file made while a Recorder is installed.
// Fail, when set, is asked before each lock call ('F' file lock, 'f' its release, 'L' byte
// lock, 'U' byte unlock, 'R' region lock, 'r' region unlock, with the position): true
// makes the call answer false untried.
struct FileLog {
    int64_t Calls = 0;  // every operation that locks, probes, reads or writes
    std::vector<int32_t> LockedBytes;
    std::vector<std::pair<int32_t, int32_t>> LockedRegions;  // position, count
    std::vector<std::pair<int32_t, std::vector<uint8_t>>> Writes;
    std::function<bool(char Op, int32_t Position)> Fail;
    void Clear() { *this = FileLog{}; }
    bool Fails(char Op, int32_t Position) const { return Fail && Fail(Op, Position); }
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
    bool LockFile() override { return ++FLog.Calls, !FLog.Fails('F', 0) && FInner->LockFile(); }
    bool UnlockFile() override { return ++FLog.Calls, !FLog.Fails('f', 0) && FInner->UnlockFile(); }
    bool LockByte(int32_t P) override {
        ++FLog.Calls;
        const bool ok = !FLog.Fails('L', P) && FInner->LockByte(P);
        if (ok) FLog.LockedBytes.push_back(P);
        return ok;
    }
    bool UnlockByte(int32_t P) override { return ++FLog.Calls, !FLog.Fails('U', P) && FInner->UnlockByte(P); }
    bool IsByteLocked(int32_t P) override { return ++FLog.Calls, FInner->IsByteLocked(P); }
    bool IsRegionLocked(int32_t P, int32_t C) override { return ++FLog.Calls, FInner->IsRegionLocked(P, C); }
    bool LockRegion(int32_t P, int32_t C) override {
        ++FLog.Calls;
        const bool ok = !FLog.Fails('R', P) && FInner->LockRegion(P, C);
        if (ok) FLog.LockedRegions.emplace_back(P, C);
        return ok;
    }
    bool UnlockRegion(int32_t P, int32_t C) override { return ++FLog.Calls, !FLog.Fails('r', P) && FInner->UnlockRegion(P, C); }

private:
    std::unique_ptr<orq::TORQDirectFileAccess> FInner;
    FileLog& FLog;
};

// Installs the recording layer over the engine's direct file for one scope.
struct Recorder {
    Recorder() {
        orq::SetDirectFileFactory([this](orq::TORQDiskPageManager* M, uint16_t Type) {
            return std::make_unique<RecordingFile>(orq::MakeEngineDirectFile(M, Type), Log);
        });
    }
    ~Recorder() { orq::SetDirectFileFactory({}); }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;
    FileLog Log;
};

}  // namespace lockfiles
