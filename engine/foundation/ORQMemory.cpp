// Guarded block layout (16-byte header keeps the user bytes 16-byte aligned):
//   [0..8)   user size, 64-bit signed little-endian
//   [8]      allocation method (always 2: the system heap, released with free)
//   [9..12)  zero
//   [12..16) start signature 0xACCACCAC
//   user bytes
//   4 bytes  end signature 0xACCEACCE (unaligned)
#include "engine/foundation/ORQMemory.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <new>
#include <string>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "engine/foundation/ORQEndian.h"
#include "engine/foundation/ORQExcept.h"

namespace orq {

namespace {

constexpr uint32_t StartSignature = 0xACCACCACu;
constexpr uint32_t EndSignature = 0xACCEACCEu;
constexpr int64_t HeaderSize = 16;
constexpr int64_t Overhead = HeaderSize + 4;
constexpr uint8_t MethodHeap = 0, MethodVirtual = 1, MethodGlobal = 2;
constexpr int64_t AvailableMemoryCeiling = INT64_C(0xFFFFFFFF);

uint8_t* HeaderOf(const void* p) { return static_cast<uint8_t*>(const_cast<void*>(p)) - HeaderSize; }

int64_t Load64(const uint8_t* p) { return int64_t(LoadLE64(p)); }

bool HasStartSignature(const void* p) { return LoadLE32(HeaderOf(p) + 12) == StartSignature; }

// Reads a number from the first line of a file; false when absent or not a number
// (cgroup files say "max" for no limit).
bool ReadNumberFile(const char* path, int64_t& value) {
    std::ifstream f(path);
    std::string line;
    if (!f || !std::getline(f, line) || line.empty()) return false;
    int64_t v = 0;
    for (char c : line) {
        if (c < '0' || c > '9') return false;
        if (v > (std::numeric_limits<int64_t>::max() - 9) / 10) return false;
        v = v * 10 + (c - '0');
    }
    value = v;
    return true;
}

// MemAvailable of /proc/meminfo in bytes; -1 when unreadable.
int64_t MemInfoAvailable() {
    std::ifstream f("/proc/meminfo");
    std::string key;
    int64_t kb = 0;
    std::string unit;
    while (f >> key >> kb) {
        std::getline(f, unit);
        if (key == "MemAvailable:") return kb > std::numeric_limits<int64_t>::max() / 1024 ? -1 : kb * 1024;
    }
    return -1;
}

// Room under the limit of one cgroup directory; -1 when it sets none or has no files.
int64_t DirectoryRoom(const std::string& dir, bool v2) {
    int64_t limit = 0, used = 0;
    const std::string limitFile = dir + (v2 ? "/memory.max" : "/memory.limit_in_bytes");
    const std::string usageFile = dir + (v2 ? "/memory.current" : "/memory.usage_in_bytes");
    if (!ReadNumberFile(limitFile.c_str(), limit)) return -1;  // absent, or "max"
    if (!v2 && limit >= (INT64_C(1) << 60)) return -1;        // v1's "no limit"
    if (!ReadNumberFile(usageFile.c_str(), used)) used = 0;
    return limit > used ? limit - used : 0;
}

// The smallest room from Dir up to Root: a parent's limit binds its children too.
int64_t HierarchyRoom(const std::string& root, std::string path, bool v2) {
    int64_t room = -1;
    for (;;) {
        while (!path.empty() && path.back() == '/') path.pop_back();
        const int64_t r = DirectoryRoom(root + path, v2);
        if (r >= 0 && (room < 0 || r < room)) room = r;
        if (path.empty()) break;
        const size_t slash = path.rfind('/');
        path.erase(slash == std::string::npos ? 0 : slash);
    }
    return room;
}

}  // namespace

int64_t CgroupMemoryRoom(const std::string& ProcCgroupFile, const std::string& CgroupRoot) {
    std::ifstream f(ProcCgroupFile);
    std::string line, v2Path, v1Path;
    bool haveV2 = false, haveV1 = false;
    // Lines "id:controllers:path"; v2 is "0::path", v1's memory line lists "memory".
    while (std::getline(f, line)) {
        const size_t a = line.find(':');
        const size_t b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos) continue;
        const std::string controllers = line.substr(a + 1, b - a - 1);
        const std::string path = line.substr(b + 1);
        if (controllers.empty()) {
            haveV2 = true;
            v2Path = path;
            continue;
        }
        size_t start = 0;
        while (start <= controllers.size()) {
            size_t end = controllers.find(',', start);
            if (end == std::string::npos) end = controllers.size();
            if (controllers.compare(start, end - start, "memory") == 0) {
                haveV1 = true;
                v1Path = path;
            }
            start = end + 1;
        }
    }
    int64_t room = -1;
    if (haveV2) room = HierarchyRoom(CgroupRoot, v2Path, true);
    if (room < 0 && haveV1) room = HierarchyRoom(CgroupRoot + "/memory", v1Path, false);
    return room;
}

void* TORQMemoryManager::GetMem(int64_t Size) {
    if (Size == 0) RaiseNative(30286, "Cannot allocate 0 bytes");
    if (Size < 0)
        RaiseNativeFmt(30015, "GetMem error: %s", {classlib::Format("Invalid block size = %d", {Size})});
    int64_t limit = MemoryLimit();
    if (limit != 0 && (Size > limit || UsedMemory() > limit - Size))
        RaiseNativeFmt(30004, "Memory limit exceeded (Limit = %d bytes)", {limit});
    if (Size > MaxBlockSize)
        RaiseNativeFmt(30015, "GetMem error: %s", {classlib::Format("Invalid block size = %d", {Size})});
    auto* block = static_cast<uint8_t*>(std::malloc(static_cast<std::size_t>(Size + Overhead)));
    if (block == nullptr)
        RaiseNativeFmt(30015, "GetMem error: %s", {classlib::Format("Out of memory (%d bytes)", {Size})});
    StoreLE64(block, uint64_t(Size));
    block[8] = MethodGlobal;
    block[9] = block[10] = block[11] = 0;
    StoreLE32(block + 12, StartSignature);
    StoreLE32(block + HeaderSize + Size, EndSignature);
    NotePeak(FUsedMemory.fetch_add(Size, std::memory_order_relaxed) + Size);
    return block + HeaderSize;
}

void TORQMemoryManager::ReturnFreeMemory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

void TORQMemoryManager::NotePeak(int64_t Used) {
    int64_t peak = FPeakUsedMemory.load(std::memory_order_relaxed);
    while (Used > peak && !FPeakUsedMemory.compare_exchange_weak(peak, Used, std::memory_order_relaxed)) {
    }
}

void* TORQMemoryManager::AllocMem(int64_t Size) {
    void* p = GetMem(Size);
    std::memset(p, 0, static_cast<std::size_t>(Size));
    return p;
}

void TORQMemoryManager::FreeAndNillMem(void*& P) {
    if (P == nullptr) return;
    if (!HasStartSignature(P)) RaiseNative(30001, "Invalid pointer");
    uint8_t* block = HeaderOf(P);
    int64_t size = Load64(block);
    bool intact = LoadLE32(block + HeaderSize + size) == EndSignature;
    FUsedMemory.fetch_sub(size, std::memory_order_relaxed);
    // Clear the signature so that a second free of the same pointer is caught while
    // the memory has not been reused.
    StoreLE32(block + 12, 0);
    switch (block[8]) {
        case MethodHeap:
        case MethodVirtual:
        case MethodGlobal:
        default:
            std::free(block);
            break;
    }
    P = nullptr;
    if (!intact) {
        FOverrunsFound.fetch_add(1, std::memory_order_relaxed);
        RaiseNative(30137, "Memory overrun detected");
    }
}

void TORQMemoryManager::ReallocMem(void*& P, int64_t NewSize, bool ZeroNewTail) {
    void* fresh = nullptr;
    try {
        if (P == nullptr) {
            fresh = GetMem(NewSize);
            if (ZeroNewTail) std::memset(fresh, 0, static_cast<std::size_t>(NewSize));
            P = fresh;
            return;
        }
        if (!HasStartSignature(P)) RaiseNative(30002, "Invalid pointer");
        uint8_t* block = HeaderOf(P);
        const int64_t oldSize = Load64(block);
        // The checks of GetMem, with the old block still counted, as a copy would need.
        if (NewSize == 0) RaiseNative(30286, "Cannot allocate 0 bytes");
        if (NewSize < 0)
            RaiseNativeFmt(30015, "GetMem error: %s", {classlib::Format("Invalid block size = %d", {NewSize})});
        const int64_t limit = MemoryLimit();
        if (limit != 0 && (NewSize > limit || UsedMemory() > limit - NewSize))
            RaiseNativeFmt(30004, "Memory limit exceeded (Limit = %d bytes)", {limit});
        if (NewSize > MaxBlockSize)
            RaiseNativeFmt(30015, "GetMem error: %s", {classlib::Format("Invalid block size = %d", {NewSize})});
        // An overrun old block is released and reported, as freeing it would.
        if (LoadLE32(block + HeaderSize + oldSize) != EndSignature) FreeAndNillMem(P);
        // The system resizes in place where it can (large blocks are remapped, not
        // copied): a growing block no longer costs a copy of itself each time.
        auto* moved = static_cast<uint8_t*>(std::realloc(block, static_cast<std::size_t>(NewSize + Overhead)));
        if (moved == nullptr)
            RaiseNativeFmt(30015, "GetMem error: %s", {classlib::Format("Out of memory (%d bytes)", {NewSize})});
        StoreLE64(moved, uint64_t(NewSize));
        StoreLE32(moved + HeaderSize + NewSize, EndSignature);
        if (NewSize > oldSize)
            NotePeak(FUsedMemory.fetch_add(NewSize - oldSize, std::memory_order_relaxed) + NewSize - oldSize);
        else FUsedMemory.fetch_sub(oldSize - NewSize, std::memory_order_relaxed);
        P = moved + HeaderSize;
        if (ZeroNewTail && NewSize > oldSize)
            std::memset(static_cast<uint8_t*>(P) + oldSize, 0, static_cast<std::size_t>(NewSize - oldSize));
    } catch (const std::exception& e) {
        if (fresh != nullptr && P != fresh) FreeAndNillMem(fresh);
        RaiseNativeFmt(30014, "ReallocMem error: %s", {e.what()});
    }
}

int64_t TORQMemoryManager::GetBlockSize(const void* P) const {
    if (P == nullptr) return 0;
    if (!HasStartSignature(P)) RaiseNative(30005, "Invalid pointer");
    return Load64(HeaderOf(P));
}

int64_t TORQMemoryManager::GetAvailableMemory() {
    const int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
    const int64_t next = FNextRefresh.load(std::memory_order_acquire);
    int64_t available = 0;
    if (next != 0 && now < next) {
        available = FAvailableMemory.load(std::memory_order_relaxed);
    } else {
        // Two threads may both read here; either figure is current.
        available = MemInfoAvailable();
        int64_t room = CgroupMemoryRoom("/proc/self/cgroup", "/sys/fs/cgroup");
        if (available < 0) available = room >= 0 ? room : 0;
        else if (room >= 0 && room < available) available = room;
        if (available > AvailableMemoryCeiling) available = AvailableMemoryCeiling;
        FAvailableMemory.store(available, std::memory_order_relaxed);
        FSystemReads.fetch_add(1, std::memory_order_relaxed);
        const int64_t refreshed = now + FRefreshInterval.load(std::memory_order_relaxed);
        FNextRefresh.store(refreshed != 0 ? refreshed : 1, std::memory_order_release);
    }
    int64_t limit = MemoryLimit();
    return limit != 0 && limit < available ? limit : available;
}

TORQMemoryManager& GlobalMemoryManager() {
    static TORQMemoryManager manager;  // trivially destructible: usable during exit
    return manager;
}

TORQMemoryBlock::TORQMemoryBlock(int64_t Size, bool Zeroed)
    : FData(static_cast<uint8_t*>(Zeroed ? GlobalMemoryManager().AllocMem(Size) : GlobalMemoryManager().GetMem(Size))) {}

TORQMemoryBlock TORQMemoryBlock::Adopt(void* Block) {
    TORQMemoryBlock b;
    b.FData = static_cast<uint8_t*>(Block);
    return b;
}

TORQMemoryBlock& TORQMemoryBlock::operator=(TORQMemoryBlock&& Other) noexcept {
    if (this != &Other) {
        Destroy();
        FData = std::exchange(Other.FData, nullptr);
    }
    return *this;
}

int64_t TORQMemoryBlock::Size() const { return GlobalMemoryManager().GetBlockSize(FData); }

void TORQMemoryBlock::Free() { GlobalMemoryManager().FreeAndNillMem(FData); }

void TORQMemoryBlock::Destroy() noexcept {
    try {
        GlobalMemoryManager().FreeAndNillMem(FData);
    } catch (...) {
        // Nothing can be raised from here; the manager has counted the overrun and the
        // block is released all the same.
    }
    FData = nullptr;
}

void MoveOverlapped(const void* Source, void* Dest, std::size_t Count) {
    if (Count != 0) std::memmove(Dest, Source, Count);
}

}  // namespace orq
