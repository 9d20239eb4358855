// TORQMemoryManager: the one allocator behind every engine buffer (record buffers, page
// images, key buffers, BLOB blocks, memory streams, bit arrays).
//
// Every block is guarded: a header in front of the user bytes holds the user size, the
// allocation method and a start signature, and an end signature follows the user bytes.
// A pointer whose start signature is wrong was not handed out here and is refused before
// anything is touched; a broken end signature (a write past the end) is reported when the
// block is freed, after the block has been released and the caller's pointer cleared.
// User bytes are 16-byte aligned. UsedMemory is the sum of the user sizes of all live
// blocks; an allocation that fails leaves it unchanged. The memory limit is a soft bound
// (tested without a lock) and an allocation that reaches it exactly is allowed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace orq {

class TORQMemoryManager {
public:
    TORQMemoryManager() = default;
    TORQMemoryManager(const TORQMemoryManager&) = delete;
    TORQMemoryManager& operator=(const TORQMemoryManager&) = delete;

    // Size uninitialised user bytes. 0: 30286; over the limit: 30004; a negative size,
    // one no block can hold, or a refusal by the system: 30015.
    void* GetMem(int64_t Size);
    // GetMem, then the user bytes are zero.
    void* AllocMem(int64_t Size);

    // Releases the block of P and sets P to nil; nil is left alone. Foreign pointer:
    // 30001, nothing released. Overrun: the block is released, P is nil, then 30137.
    void FreeAndNillMem(void*& P);
    template <typename T>
    void FreeAndNillMem(T*& P) {
        void* v = P;
        try {
            FreeAndNillMem(v);
        } catch (...) {
            P = static_cast<T*>(v);
            throw;
        }
        P = nullptr;
    }

    // Replaces the block of P by one of NewSize bytes holding the old contents (and
    // zeros beyond the old size when ZeroNewTail). Every failure is 30014 with the inner
    // message; the old block then stays valid, except when freeing it found an overrun:
    // then both blocks are released and P is nil. A nil P gets a new block.
    void ReallocMem(void*& P, int64_t NewSize, bool ZeroNewTail = false);
    void ReallocMemZeroed(void*& P, int64_t NewSize) { ReallocMem(P, NewSize, true); }
    template <typename T>
    void ReallocMem(T*& P, int64_t NewSize, bool ZeroNewTail = false) {
        void* v = P;
        try {
            ReallocMem(v, NewSize, ZeroNewTail);
        } catch (...) {
            P = static_cast<T*>(v);
            throw;
        }
        P = static_cast<T*>(v);
    }
    template <typename T>
    void ReallocMemZeroed(T*& P, int64_t NewSize) { ReallocMem(P, NewSize, true); }

    // User size of the block of P; 0 for nil; 30005 for a foreign pointer.
    int64_t GetBlockSize(const void* P) const;

    // Bytes engine caches may plan to use: the memory the system reports available
    // (within this process's cgroup limit), clamped to 4 GiB - 1 because the caches
    // size themselves in 32-bit arithmetic; the limit instead when one is set and smaller.
    // The system's figure costs several file reads, and every table open asks: it is
    // read once and then at most once per RefreshInterval; a new limit applies at once.
    int64_t GetAvailableMemory();
    // How often the system's figure has been read.
    int64_t SystemReads() const { return FSystemReads.load(std::memory_order_relaxed); }
    void SetRefreshInterval(std::chrono::steady_clock::duration Interval) {
        FRefreshInterval.store(Interval.count(), std::memory_order_relaxed);
        FNextRefresh.store(0, std::memory_order_relaxed);
    }

    // 0 means no limit.
    int64_t MemoryLimit() const { return FMemoryLimit.load(std::memory_order_relaxed); }
    void SetMemoryLimit(int64_t Limit) { FMemoryLimit.store(Limit, std::memory_order_relaxed); }
    int64_t UsedMemory() const { return FUsedMemory.load(std::memory_order_relaxed); }
    // The most UsedMemory reached since the last ResetPeakUsedMemory (which starts it at
    // the present use): what a piece of work held at its height.
    int64_t PeakUsedMemory() const { return FPeakUsedMemory.load(std::memory_order_relaxed); }
    void ResetPeakUsedMemory() { FPeakUsedMemory.store(UsedMemory(), std::memory_order_relaxed); }
    // The value GetAvailableMemory last read from the system.
    int64_t AvailableMemory() const { return FAvailableMemory.load(std::memory_order_relaxed); }

    // Hands the system the free memory the C library keeps after a large release (a big
    // transaction's pages), so that the process shrinks again.
    static void ReturnFreeMemory();

    // How many overruns FreeAndNillMem has found, also those whose 30137 no caller could
    // see (a block freed by a destructor): an overrun is never silent.
    int64_t OverrunsFound() const { return FOverrunsFound.load(std::memory_order_relaxed); }

    // Largest user size a block can have.
    static constexpr int64_t MaxBlockSize = INT64_C(0x7FFFFFFFFFFF0000);

private:
    void NotePeak(int64_t Used);

    std::atomic<int64_t> FMemoryLimit{0};
    std::atomic<int64_t> FUsedMemory{0};
    std::atomic<int64_t> FPeakUsedMemory{0};
    std::atomic<int64_t> FAvailableMemory{0};
    std::atomic<int64_t> FOverrunsFound{0};
    std::atomic<int64_t> FSystemReads{0};
    // steady_clock ticks; 0: read at the next call.
    std::atomic<int64_t> FNextRefresh{0};
    std::atomic<int64_t> FRefreshInterval{
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::seconds(1)).count()};
};

// Room left under the memory limits of the process's own cgroup and its ancestors, read
// from ProcCgroupFile (/proc/self/cgroup) and the hierarchy mounted at CgroupRoot
// (/sys/fs/cgroup; v2 there, v1 under its "memory" folder); -1 when none applies.
int64_t CgroupMemoryRoom(const std::string& ProcCgroupFile, const std::string& CgroupRoot);

// The process-wide manager, made on first use; blocks may still be freed by other
// objects' destructors at process end.
TORQMemoryManager& GlobalMemoryManager();

// The owner of one block of the global manager: the block is freed on every road out.
// Free releases it now and raises what the manager finds (30137 for an overrun, the
// block gone all the same); the destructor frees without raising, the overrun still
// counted in OverrunsFound. Release hands the block to a new owner.
class TORQMemoryBlock {
public:
    TORQMemoryBlock() = default;
    // Size bytes from the manager (zero-filled when Zeroed); 30286/30004/30015 as GetMem.
    explicit TORQMemoryBlock(int64_t Size, bool Zeroed = false);
    // Takes over a block the manager handed out (nil: nothing).
    static TORQMemoryBlock Adopt(void* Block);
    ~TORQMemoryBlock() { Destroy(); }
    TORQMemoryBlock(TORQMemoryBlock&& Other) noexcept : FData(std::exchange(Other.FData, nullptr)) {}
    TORQMemoryBlock& operator=(TORQMemoryBlock&& Other) noexcept;
    TORQMemoryBlock(const TORQMemoryBlock&) = delete;
    TORQMemoryBlock& operator=(const TORQMemoryBlock&) = delete;

    uint8_t* Data() const { return FData; }
    // The block's user size; 0 without a block.
    int64_t Size() const;
    explicit operator bool() const { return FData != nullptr; }
    void* Release() noexcept { return std::exchange(FData, nullptr); }
    void Free();

private:
    void Destroy() noexcept;

    uint8_t* FData = nullptr;
};

// Copies Count bytes, correct also when the ranges overlap.
void MoveOverlapped(const void* Source, void* Dest, std::size_t Count);

}  // namespace orq
