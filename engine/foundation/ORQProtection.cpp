// TProtection, its live-object registry and the whole-run coding operations; see
// ORQProtection.h.
#include "engine/foundation/ORQProtection.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/foundation/ORQStreams.h"
#include "engine/foundation/ORQStringFormats.h"

namespace orq {

TCodingProgressEvent CodingProgress;

namespace {

// Live protection objects by address, with the serial number each was given.
struct LiveRegistry {
    std::mutex lock;
    std::unordered_map<const void*, TProtection*> objects;
    uint64_t nextSerial = 1;
};

LiveRegistry& Live() {
    static LiveRegistry registry;
    return registry;
}

constexpr int32_t CodingPieceSize = 4096;

}  // namespace

TProtection* LiveProtection(const void* p, uint64_t serial) {
    if (p == nullptr) return nullptr;
    LiveRegistry& r = Live();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.objects.find(p);
    if (it == r.objects.end()) return nullptr;
    if (serial != 0 && it->second->Serial() != serial) return nullptr;
    return it->second;
}

int32_t RetainProtection(TProtection* p) {
    if (LiveProtection(p) == nullptr) return 0;
    return ++p->FRefCount;
}

int32_t ReleaseProtection(TProtection* p) {
    if (LiveProtection(p) == nullptr) return 0;
    int32_t count = p->FRefCount.load();
    do {
        if (count <= 0) return 0;  // never retained: not ours to free
    } while (!p->FRefCount.compare_exchange_weak(count, count - 1));
    if (count - 1 == 0) delete p;
    return count - 1;
}

void ReportProgress(TProtection* sender, int64_t current, int64_t maximal) {
    if (CodingProgress) CodingProgress(sender, current, maximal);
}

TProtection::TProtection(TProtection* chained) {
    {
        LiveRegistry& r = Live();
        std::lock_guard<std::mutex> guard(r.lock);
        FSerial = r.nextSerial++;
        r.objects[this] = this;
    }
    if (chained != nullptr) {
        try {
            SetChainedProtection(chained);
        } catch (...) {
            LiveRegistry& r = Live();
            std::lock_guard<std::mutex> guard(r.lock);
            r.objects.erase(this);
            throw;
        }
    }
}

TProtection::~TProtection() {
    TProtection* chained = LiveProtection(FChained, FChainedSerial);
    FChained = nullptr;
    {
        LiveRegistry& r = Live();
        std::lock_guard<std::mutex> guard(r.lock);
        r.objects.erase(this);
    }
    if (chained != nullptr) ReleaseProtection(chained);
}

TProtection* TProtection::ChainedProtection() {
    if (FChained != nullptr && LiveProtection(FChained, FChainedSerial) == nullptr) {
        FChained = nullptr;
        FChainedSerial = 0;
    }
    return FChained;
}

void TProtection::SetChainedProtection(TProtection* value) {
    if (value == ChainedProtection()) return;
    // The link's count must not be the only one: a chain never becomes the owner that
    // frees an object someone else owns too.
    TProtection* live = LiveProtection(value);
    if (value != nullptr && (live == nullptr || live->RefCount() < 1))
        throw EProtection("Protection Object is not held by a reference and cannot be chained.");
    // Walk the chain that starts at Value; reaching this object is a cycle.
    std::unordered_set<const TProtection*> seen;
    uint64_t serial = 0;
    for (TProtection* p = value; (p = LiveProtection(p, serial)) != nullptr;) {
        if (p == this)
            throw EProtection("Circular Protection detected, Protection Object is invalid.");
        if (!seen.insert(p).second) break;
        serial = p->FChainedSerial;
        p = p->FChained;
    }
    // The new reference is taken before the old one is dropped: when Value is reached
    // only through the old link, dropping first would destroy it under our hands.
    TProtection* old = FChained;
    uint64_t oldSerial = FChainedSerial;
    RetainProtection(value);
    FChained = value;
    FChainedSerial = value != nullptr ? value->Serial() : 0;
    if (TProtection* stale = LiveProtection(old, oldSerial)) ReleaseProtection(stale);
}

void TProtection::BeginCoding(ProtectionAction action) {
    if (TProtection* c = ChainedProtection()) c->BeginCoding(action);
}

void TProtection::EndCoding(ProtectionAction action) {
    if (TProtection* c = ChainedProtection()) c->EndCoding(action);
}

void TProtection::CodeChunk(void* buffer, int32_t size, ProtectionAction action) {
    if (TProtection* c = ChainedProtection()) c->CodeChunk(buffer, size, action);
}

void TProtection::ProcessPort(TCodingPort* source, TCodingPort* dest, int64_t dataSize,
                              ProtectionAction action) {
    if (source == nullptr) return;
    if (dest == nullptr) dest = source;
    if (dataSize < 0) {
        dataSize = source->Size();
        source->SetPosition(0);
    }
    BeginCoding(action);
    // From here the run ends (progress reset, EndCoding) also when a step raises;
    // the first error is the one the caller sees.
    try {
        CodePieces(source, dest, dataSize, action);
    } catch (...) {
        ReportProgress(this, 0, 0);
        try {
            EndCoding(action);
        } catch (...) {
        }
        throw;
    }
    ReportProgress(this, 0, 0);
    EndCoding(action);
}

void TProtection::CodePieces(TCodingPort* source, TCodingPort* dest, int64_t dataSize,
                             ProtectionAction action) {
    ReportProgress(this, 0, dataSize);
    const int64_t total = dataSize;
    std::vector<uint8_t> buffer(CodingPieceSize, 0);
    int64_t destPos = dest->Position();
    int64_t sourcePos = source->Position();

    if (action == actCalculate) {
        while (dataSize > 0) {
            int32_t n = int32_t(std::min<int64_t>(dataSize, CodingPieceSize));
            n = source->Read(buffer.data(), n);
            if (n <= 0) break;
            CodeChunk(buffer.data(), n, action);
            dataSize -= n;
            ReportProgress(this, total - dataSize, total);
        }
        return;
    }
    // Separate read and write positions let Source and Dest be one store, coded in place.
    while (dataSize > 0) {
        source->SetPosition(sourcePos);
        int32_t n = int32_t(std::min<int64_t>(dataSize, CodingPieceSize));
        n = source->Read(buffer.data(), n);
        sourcePos = source->Position();
        if (n <= 0) break;
        CodeChunk(buffer.data(), n, action);
        dest->SetPosition(destPos);
        const int32_t written = dest->Write(buffer.data(), n);
        if (written != n)
            throw classlib::EInOutError(classlib::Format(
                "Stream write error: %d of %d bytes written", {written, n}));
        destPos = dest->Position();
        dataSize -= n;
        ReportProgress(this, total - dataSize, total);
    }
}

namespace {

// A text held in memory as a coding port.
class TTextPort : public TCodingPort {
public:
    explicit TTextPort(std::string& data) : FData(data) {}
    int64_t Size() override { return int64_t(FData.size()); }
    int64_t Position() override { return FPosition; }
    void SetPosition(int64_t position) override { FPosition = std::max<int64_t>(0, position); }
    int32_t Read(void* buffer, int32_t count) override {
        const int64_t left = int64_t(FData.size()) - FPosition;
        const int32_t n = int32_t(std::max<int64_t>(0, std::min<int64_t>(count, left)));
        if (n > 0) std::memcpy(buffer, FData.data() + FPosition, std::size_t(n));
        FPosition += n;
        return n;
    }
    int32_t Write(const void* buffer, int32_t count) override {
        if (count <= 0) return 0;
        const std::size_t end = std::size_t(FPosition) + std::size_t(count);
        if (end > FData.size()) FData.resize(end);
        std::memcpy(FData.data() + FPosition, buffer, std::size_t(count));
        FPosition += count;
        return count;
    }

private:
    std::string& FData;
    int64_t FPosition = 0;
};

// An open file as a coding port; closes the descriptor when it goes.
class TFilePort : public TCodingPort {
public:
    TFilePort(const std::string& name, int flags, bool create) : FName(name) {
        FHandle = ::open(name.c_str(), flags | O_CLOEXEC, 0666);
        if (FHandle < 0)
            throw classlib::EInOutError(classlib::Format(
                create ? "Cannot create file \"%s\". %s" : "Cannot open file \"%s\". %s",
                {name, std::strerror(errno)}));
    }
    ~TFilePort() override {
        if (FHandle >= 0) ::close(FHandle);
    }
    int64_t Size() override {
        struct stat st {};
        if (::fstat(FHandle, &st) != 0) RaiseError("Cannot read the size of file \"%s\". %s");
        return int64_t(st.st_size);
    }
    int64_t Position() override { return FPosition; }
    void SetPosition(int64_t position) override { FPosition = std::max<int64_t>(0, position); }
    int32_t Read(void* buffer, int32_t count) override {
        int32_t done = 0;
        while (done < count) {
            const ssize_t n = ::pread(FHandle, static_cast<char*>(buffer) + done,
                                      std::size_t(count - done), off_t(FPosition));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) RaiseError("Cannot read file \"%s\". %s");
            if (n == 0) break;
            done += int32_t(n);
            FPosition += n;
        }
        return done;
    }
    int32_t Write(const void* buffer, int32_t count) override {
        int32_t done = 0;
        while (done < count) {
            const ssize_t n = ::pwrite(FHandle, static_cast<const char*>(buffer) + done,
                                       std::size_t(count - done), off_t(FPosition));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) RaiseError("Cannot write file \"%s\". %s");
            if (n == 0) break;
            done += int32_t(n);
            FPosition += n;
        }
        return done;
    }
    // Cuts the file at the current position and closes it, reporting failures.
    void TruncateAndClose() {
        if (::ftruncate(FHandle, off_t(FPosition)) != 0) RaiseError("Cannot truncate file \"%s\". %s");
        const int handle = FHandle;
        FHandle = -1;
        if (::close(handle) != 0) RaiseError("Cannot close file \"%s\". %s");
    }

private:
    [[noreturn]] void RaiseError(const char* fmt) {
        throw classlib::EInOutError(classlib::Format(fmt, {FName, std::strerror(errno)}));
    }

    std::string FName;
    int FHandle = -1;
    int64_t FPosition = 0;
};

// An engine stream as a coding port.
class TStreamPort : public TCodingPort {
public:
    explicit TStreamPort(TORQStream& stream) : FStream(stream) {}
    int64_t Size() override { return FStream.Size(); }
    int64_t Position() override { return FStream.Position(); }
    void SetPosition(int64_t position) override { FStream.SetPosition(position); }
    int32_t Read(void* buffer, int32_t count) override { return int32_t(FStream.Read(buffer, count)); }
    int32_t Write(const void* buffer, int32_t count) override { return int32_t(FStream.Write(buffer, count)); }

private:
    TORQStream& FStream;
};

bool IsBlankOrControl(char c) { return uint8_t(c) <= 0x20; }

}  // namespace

void TProtection::ProcessStream(TORQStream* source, TORQStream* dest, int64_t dataSize,
                                ProtectionAction action) {
    if (source == nullptr) return;
    TStreamPort sourcePort(*source);
    if (dest == nullptr || dest == source) {
        ProcessPort(&sourcePort, &sourcePort, dataSize, action);
        return;
    }
    TStreamPort destPort(*dest);
    ProcessPort(&sourcePort, &destPort, dataSize, action);
}

void TProtection::ProcessFile(const std::string& sourceName, const std::string& destName,
                              ProtectionAction action) {
    std::size_t first = 0, last = destName.size();
    while (first < last && IsBlankOrControl(destName[first])) ++first;
    while (last > first && IsBlankOrControl(destName[last - 1])) --last;
    bool differ = sourceName != destName;
    // Two names of one file ("a" and "./a", a hard link) are coded in place: creating
    // the destination would otherwise empty the source before it is read.
    struct stat s1 {}, s2 {};
    if (differ && ::stat(sourceName.c_str(), &s1) == 0 && ::stat(destName.c_str(), &s2) == 0 &&
        s1.st_dev == s2.st_dev && s1.st_ino == s2.st_ino)
        differ = false;
    if (differ && (last > first || action == actCalculate)) {
        TFilePort source(sourceName, O_RDONLY, false);
        if (action == actCalculate) {
            ProcessPort(&source, &source, source.Size(), action);
            return;
        }
        TFilePort dest(destName, O_WRONLY | O_CREAT | O_TRUNC, true);
        try {
            ProcessPort(&source, &dest, source.Size(), action);
        } catch (...) {
            try {
                dest.TruncateAndClose();
            } catch (...) {
            }
            throw;
        }
        dest.TruncateAndClose();
        return;
    }
    // A calculating run only reads, so it needs no write access to the file.
    TFilePort file(sourceName, action == actCalculate ? O_RDONLY : O_RDWR, false);
    ProcessPort(&file, &file, file.Size(), action);
}

std::string TProtection::ProcessText(const std::string& source, ProtectionAction action,
                                     int32_t formatId) {
    if (source.empty()) return {};
    std::string data = action == actDecode ? FormatTextToBytes(source, formatId) : source;
    TTextPort port(data);
    port.SetPosition(0);
    ProcessPort(&port, &port, port.Size(), action);
    if (action == actDecode) return data;
    return BytesToFormatText(data, formatId);
}

int32_t TProtection::ProcessBuffer(void* buffer, int32_t size, ProtectionAction action) {
    BeginCoding(action);
    try {
        CodeChunk(buffer, size, action);
    } catch (...) {
        EndCoding(action);
        throw;
    }
    EndCoding(action);
    return size;
}

}  // namespace orq
