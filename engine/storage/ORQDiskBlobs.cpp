#include "engine/storage/ORQDiskBlobs.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "engine/foundation/ORQCompressedStream.h"
#include "engine/foundation/ORQContainers.h"
#include "engine/foundation/ORQEndian.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQStreams.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQConst.h"
#include "engine/storage/ORQLocalBLOBStream.h"

namespace orq {

namespace {

constexpr int16_t AmbiguousBlobID = 255;

// A page taken from the page manager, released on every road out.
class TPageHold {
public:
    TPageHold() = default;
    TPageHold(TORQPageManager& Manager, TORQPage* Page) : FManager(&Manager), FPage(Page) {}
    ~TPageHold() { Reset(); }
    TPageHold(TPageHold&& Other) noexcept
        : FManager(Other.FManager), FPage(std::exchange(Other.FPage, nullptr)) {}
    TPageHold& operator=(TPageHold&& Other) noexcept {
        if (this != &Other) {
            Reset();
            FManager = Other.FManager;
            FPage = std::exchange(Other.FPage, nullptr);
        }
        return *this;
    }
    TPageHold(const TPageHold&) = delete;
    TPageHold& operator=(const TPageHold&) = delete;

    TORQPage* operator->() const { return FPage; }
    TORQPage* get() const { return FPage; }
    void Reset() {
        if (FPage != nullptr) FManager->ReleasePage(std::exchange(FPage, nullptr));
    }

private:
    TORQPageManager* FManager = nullptr;
    TORQPage* FPage = nullptr;
};

TPageHold TakePage(TORQPageManager& Manager, int32_t SessionID, int32_t PageNo) {
    return TPageHold(Manager, Manager.GetPage(SessionID, PageNo, true, ptTableBlob));
}

TPageHold NewPage(TORQPageManager& Manager, int32_t SessionID) {
    return TPageHold(Manager, Manager.AddNewPage(SessionID, ptTableBlob));
}

// Data pages of a large BLOB of S stored bytes: U - 32 on the first, U on each further.
int64_t DataPagesFor(int64_t StoredSize, int32_t DataSize) {
    const int64_t first = DataSize - TORQDiskBlobManager::LargeBlobDataOffset;
    if (StoredSize <= first) return 1;
    return 1 + (StoredSize - first + DataSize - 1) / DataSize;
}

// Bytes used on the last data page.
int32_t LastPageUsed(int64_t StoredSize, int32_t DataSize, int64_t Pages) {
    if (Pages == 1) return static_cast<int32_t>(TORQDiskBlobManager::LargeBlobDataOffset + StoredSize);
    return static_cast<int32_t>(StoredSize - (DataSize - TORQDiskBlobManager::LargeBlobDataOffset) -
                                (Pages - 2) * DataSize);
}

[[noreturn]] void RaiseLargeDamaged(int32_t PageNo) {
    RaiseNativeFmt(31011, "Invalid large blob. Possible data corruption. PageNo: %d", {PageNo});
}

}  // namespace

// ---------------------------------------------------------------------------------
// Reference and header bytes

void TORQBlobReference::ToBytes(uint8_t* Dest) const {
    StoreLE32(Dest, static_cast<uint32_t>(PageNo));
    StoreLE16(Dest + 4, static_cast<uint16_t>(BlobID));
}

TORQBlobReference TORQBlobReference::FromBytes(const uint8_t* Source) {
    return TORQBlobReference{static_cast<int32_t>(LoadLE32(Source)), static_cast<int16_t>(LoadLE16(Source + 4))};
}

void TORQBlobHeader::ToBytes(uint8_t* Dest) const {
    StoreLE16(Dest, static_cast<uint16_t>(BlobID));
    StoreLE32(Dest + 2, static_cast<uint32_t>(BlockCount));
    StoreLE64(Dest + 6, static_cast<uint64_t>(StoredSize));
    StoreLE64(Dest + 14, static_cast<uint64_t>(UncompressedSize));
}

TORQBlobHeader TORQBlobHeader::FromBytes(const uint8_t* Source) {
    TORQBlobHeader h;
    h.BlobID = static_cast<int16_t>(LoadLE16(Source));
    h.BlockCount = static_cast<int32_t>(LoadLE32(Source + 2));
    h.StoredSize = static_cast<int64_t>(LoadLE64(Source + 6));
    h.UncompressedSize = static_cast<int64_t>(LoadLE64(Source + 14));
    return h;
}

// ---------------------------------------------------------------------------------
// Shared page view

void TORQSmallBlobPage::RaiseDamaged() const {
    RaiseNativeFmt(31010, "Invalid blob page. Possible data corruption. PageNo: %d", {GetPageNo()});
}

uint16_t TORQSmallBlobPage::GetBlobCount() const { return LoadLE16(GetData()); }

void TORQSmallBlobPage::SetBlobCount(uint16_t Count) { StoreLE16(GetData(), Count); }

TORQBlobHeader TORQSmallBlobPage::HeaderAt(int32_t Offset) const {
    return TORQBlobHeader::FromBytes(GetData() + Offset);
}

int32_t TORQSmallBlobPage::GetEntry(int32_t K) const {
    const int32_t size = GetDataSize();
    if (K < 0 || K > GetBlobCount()) RaiseDamaged();
    int32_t at = CountSize;
    for (int32_t k = 0; k < K; ++k) {
        if (at + TORQBlobHeader::ByteSize > size) RaiseDamaged();
        const int64_t s = HeaderAt(at).StoredSize;
        if (s < 0 || s > size - at - TORQBlobHeader::ByteSize) RaiseDamaged();
        at += TORQBlobHeader::ByteSize + static_cast<int32_t>(s);
    }
    if (K < GetBlobCount()) {
        // The entry itself must fit as well before anyone reads it.
        if (at + TORQBlobHeader::ByteSize > size) RaiseDamaged();
        const int64_t s = HeaderAt(at).StoredSize;
        if (s < 0 || s > size - at - TORQBlobHeader::ByteSize) RaiseDamaged();
    }
    return at;
}

int32_t TORQSmallBlobPage::GetEntriesEnd() const { return GetEntry(GetBlobCount()); }

int32_t TORQSmallBlobPage::FindEntry(int16_t BlobID) const {
    const int32_t count = GetBlobCount();
    GetEntriesEnd();  // every entry fits
    int32_t at = CountSize;
    for (int32_t k = 0; k < count; ++k) {
        const TORQBlobHeader h = HeaderAt(at);
        if (h.BlobID == BlobID) return k;
        at += TORQBlobHeader::ByteSize + static_cast<int32_t>(h.StoredSize);
    }
    return -1;
}

int16_t TORQSmallBlobPage::NewBlobID() const {
    const int32_t count = GetBlobCount();
    GetEntriesEnd();
    // The ids in use, sorted: a page holds far fewer entries than there are ids.
    std::vector<int16_t> taken;
    taken.reserve(static_cast<size_t>(count));
    int32_t at = CountSize;
    for (int32_t k = 0; k < count; ++k) {
        const TORQBlobHeader h = HeaderAt(at);
        taken.push_back(h.BlobID);
        at += TORQBlobHeader::ByteSize + static_cast<int32_t>(h.StoredSize);
    }
    std::sort(taken.begin(), taken.end());
    auto id = static_cast<int16_t>(count);
    for (int32_t step = 0; step < 65536; ++step) {
        if (id != -1 && id != AmbiguousBlobID && !std::binary_search(taken.begin(), taken.end(), id)) return id;
        id = id == -2 ? int16_t{0} : static_cast<int16_t>(static_cast<uint16_t>(id) + 1u);
    }
    RaiseNative(20172, "Invalid blob field ID");
}

bool TORQSmallBlobPage::HasRoom(int64_t Need) const { return GetEntriesEnd() + Need <= GetDataSize(); }

void TORQSmallBlobPage::RaisePageFull(int64_t Need, int32_t SizeInIndex) const {
    RaiseNativeFmt(20290,
                   "Cannot add blob. Page is full: BlobCount=%d, BlobOffset=%d, BlobSize=%d, PageDataSize=%d, "
                   "SizeInBlobPageIndex=%d",
                   {GetBlobCount(), GetEntriesEnd(), Need, GetDataSize(), SizeInIndex});
}

void TORQSmallBlobPage::AddBlob(const TORQBlobCacheEntry& Entry, TORQBlobReference& Reference, int32_t SizeInIndex) {
    const int64_t need = Entry.StoredSize() + TORQBlobHeader::ByteSize;
    if (!HasRoom(need)) RaisePageFull(need, SizeInIndex);
    const int32_t end = GetEntriesEnd();
    const int16_t id = NewBlobID();
    TORQBlobHeader h;
    h.BlobID = id;
    h.BlockCount = Entry.BlockCount;
    h.StoredSize = Entry.StoredSize();
    h.UncompressedSize = Entry.UncompressedSize;
    h.ToBytes(GetData() + end);
    if (h.StoredSize > 0)
        std::memcpy(GetData() + end + TORQBlobHeader::ByteSize, Entry.Data.Data(), static_cast<size_t>(h.StoredSize));
    SetBlobCount(static_cast<uint16_t>(GetBlobCount() + 1));
    SetModified(true);
    Reference = TORQBlobReference{GetPageNo(), id};
}

void TORQSmallBlobPage::RemoveBlob(const TORQBlobReference& Reference, int32_t& FreedSize) {
    const int32_t k = FindEntry(Reference.BlobID);
    if (k < 0) RaiseNative(20171, "Cannot find blob field");
    const int32_t at = GetEntry(k);
    FreedSize = TORQBlobHeader::ByteSize + static_cast<int32_t>(HeaderAt(at).StoredSize);
    const int32_t size = GetDataSize();
    uint8_t* data = GetData();
    std::memmove(data + at, data + at + FreedSize, static_cast<size_t>(size - at - FreedSize));
    std::memset(data + size - FreedSize, 0, static_cast<size_t>(FreedSize));
    SetBlobCount(static_cast<uint16_t>(GetBlobCount() - 1));
    SetModified(true);
}

const uint8_t* TORQSmallBlobPage::BlobBytes(const TORQBlobReference& Reference, TORQBlobHeader& Header) const {
    // Walks the entries up to the one sought, checking that each one passed fits: the
    // entries beyond it are not needed to read it and are checked by whoever reads them.
    // Only an entry's identifier and size are read on the way, the whole header at the end.
    const int32_t size = GetDataSize();
    const int32_t count = GetBlobCount();
    const uint8_t* data = GetData();
    int32_t at = CountSize;
    for (int32_t k = 0; k < count; ++k) {
        if (at + TORQBlobHeader::ByteSize > size) RaiseDamaged();
        const auto stored = static_cast<int64_t>(LoadLE64(data + at + 6));
        if (stored < 0 || stored > size - at - TORQBlobHeader::ByteSize) RaiseDamaged();
        if (static_cast<int16_t>(LoadLE16(data + at)) == Reference.BlobID) {
            Header = HeaderAt(at);
            return data + at + TORQBlobHeader::ByteSize;
        }
        at += TORQBlobHeader::ByteSize + static_cast<int32_t>(stored);
    }
    RaiseNative(20171, "Cannot find blob field");
}

void TORQSmallBlobPage::ReadBlob(TORQBlobCacheEntry& Entry, const TORQBlobReference& Reference) const {
    const int32_t k = FindEntry(Reference.BlobID);
    if (k < 0) RaiseNative(20171, "Cannot find blob field");
    const int32_t at = GetEntry(k);
    const TORQBlobHeader h = HeaderAt(at);
    TORQMemoryBlock data;
    if (h.StoredSize > 0) {
        data = TORQMemoryBlock(h.StoredSize);
        std::memcpy(data.Data(), GetData() + at + TORQBlobHeader::ByteSize, static_cast<size_t>(h.StoredSize));
    }
    Entry.BlockCount = h.BlockCount;
    Entry.UncompressedSize = h.UncompressedSize;
    Entry.Modified = 0;
    Entry.Data = std::move(data);
}

// ---------------------------------------------------------------------------------
// Manager

TORQDiskBlobManager::TORQDiskBlobManager(TORQDiskPageManager& PageManager, TORQBaseFieldManager& FieldManager,
                                         TORQBaseRecordManager& RecordManager)
    : FPageManager(PageManager),
      FFieldManager(FieldManager),
      FRecordManager(RecordManager),
      FBlobPageIndex(PageManager) {}

TORQDiskBlobManager::~TORQDiskBlobManager() = default;

void TORQDiskBlobManager::Close() {
    if (!FEntries.empty()) RaiseNative(20150, "Blob cache not released");
}

bool TORQDiskBlobManager::HasBlobFields() const {
    return FFieldManager.HasBlobFields();
}

bool TORQDiskBlobManager::IsSmallBlob(int64_t StoredSize) const {
    return StoredSize + 24 < static_cast<int64_t>(FPageManager.DataSize);
}

const TORQFieldDef& TORQDiskBlobManager::BlobField(int32_t FieldNo) const {
    const TORQFieldDef& f = FFieldManager.FieldAt(FieldNo);
    if (!IsBlobBaseType(f.BaseType)) RaiseNativeFmt(31013, "Field is not a BLOB field - FieldNo = %d", {FieldNo});
    return f;
}

TORQBlobReference TORQDiskBlobManager::GetReference(const uint8_t* Record, int32_t FieldNo) const {
    return TORQBlobReference::FromBytes(Record + BlobField(FieldNo).MemoryOffset);
}

TORQBlobCacheEntry* TORQDiskBlobManager::GetCacheEntry(const uint8_t* Record, int32_t FieldNo) const {
    const uint32_t h = LoadLE32(Record + BlobField(FieldNo).MemoryOffset + TORQBlobReference::ByteSize);
    if (h == 0) return nullptr;
    const auto it = FEntries.find(h);
    return it == FEntries.end() ? nullptr : it->second.get();
}

uint32_t TORQDiskBlobManager::NewHandle() {
    // Drawn in turn, so a freed handle comes back only after 2^32 - 1 others.
    for (;;) {
        ++FLastHandle;
        if (FLastHandle != 0 && FEntries.find(FLastHandle) == FEntries.end()) return FLastHandle;
    }
}

void TORQDiskBlobManager::AttachEntry(uint8_t* Record, int32_t FieldNo, std::unique_ptr<TORQBlobCacheEntry> Entry) {
    const TORQFieldDef& f = BlobField(FieldNo);
    const uint32_t h = NewHandle();
    FEntries.emplace(h, std::move(Entry));
    DropEntry(Record, FieldNo);
    StoreLE32(Record + f.MemoryOffset + TORQBlobReference::ByteSize, h);
}

void TORQDiskBlobManager::ReadEntryHandles(const uint8_t* Record, std::vector<uint32_t>& Handles) const {
    if (Record == nullptr || FEntries.empty()) return;
    const TORQFieldDefs& defs = FFieldManager.FieldDefs;
    for (int32_t i = 0; i < defs.GetCount(); ++i) {
        const TORQFieldDef& f = *defs.GetItem(i);
        if (!IsBlobBaseType(f.BaseType)) continue;
        const uint32_t h = LoadLE32(Record + f.MemoryOffset + TORQBlobReference::ByteSize);
        const auto it = h == 0 ? FEntries.end() : FEntries.find(h);
        if (it != FEntries.end() && it->second->Modified == 0) Handles.push_back(h);
    }
}

void TORQDiskBlobManager::DropReadEntries(const uint8_t* Record, const std::vector<uint32_t>& Handles) {
    std::vector<uint32_t> kept;
    ReadEntryHandles(Record, kept);
    for (const uint32_t h : Handles) {
        if (std::find(kept.begin(), kept.end(), h) != kept.end()) continue;
        const auto it = FEntries.find(h);
        if (it != FEntries.end() && it->second->Modified == 0) FEntries.erase(it);
    }
}

void TORQDiskBlobManager::DropEntry(uint8_t* Record, int32_t FieldNo) {
    uint8_t* handle = Record + BlobField(FieldNo).MemoryOffset + TORQBlobReference::ByteSize;
    const uint32_t h = LoadLE32(handle);
    if (h != 0) FEntries.erase(h);
    StoreLE32(handle, 0);
}

TORQBlobCacheEntry* TORQDiskBlobManager::LoadCacheEntry(int32_t SessionID, uint8_t* Record, int32_t FieldNo) {
    if (TORQBlobCacheEntry* e = GetCacheEntry(Record, FieldNo)) return e;
    const TORQBlobReference ref = GetReference(Record, FieldNo);
    if (!ref.IsStored()) return nullptr;
    // Listed only once it was read: a value that cannot be read leaves no entry behind.
    auto entry = std::make_unique<TORQBlobCacheEntry>();
    LoadBlob(SessionID, ref, *entry);
    TORQBlobCacheEntry* e = entry.get();
    AttachEntry(Record, FieldNo, std::move(entry));
    return e;
}

// ---------------------------------------------------------------------------------
// Values in and out of record buffers

void TORQDiskBlobManager::ReadBlob(int32_t SessionID, uint8_t* Record, TORQStream& Stream,
                                   TORQBLOBDescriptor& Descriptor, int32_t FieldNo) {
    BlobField(FieldNo);
    Descriptor.BlockCount = 0;
    Descriptor.UncompressedSize = 0;
    if (GetBit(Record, FieldNo)) return;
    // A value on a shared page without a copy attached streams straight from the cached
    // page: no copy is made for a value read once.
    const TORQBlobReference ref = GetReference(Record, FieldNo);
    if (GetCacheEntry(Record, FieldNo) == nullptr && ref.IsStored() && !TreatAsLarge(SessionID, ref)) {
        TPageHold page = TakePage(FPageManager, SessionID, ref.PageNo);
        TORQBlobHeader h;
        const uint8_t* bytes = TORQSmallBlobPage(page.get()).BlobBytes(ref, h);
        if (h.StoredSize > 0) WriteStreamChecked(bytes, h.StoredSize, Stream, 20162);
        Descriptor.BlockCount = h.BlockCount;
        Descriptor.UncompressedSize = h.UncompressedSize;
        return;
    }
    const TORQBlobCacheEntry* e = LoadCacheEntry(SessionID, Record, FieldNo);
    if (e == nullptr) RaiseNative(20162, "Cannot read BLOB field value");
    if (e->StoredSize() > 0) WriteStreamChecked(e->Data.Data(), e->StoredSize(), Stream, 20162);
    Descriptor.BlockCount = e->BlockCount;
    Descriptor.UncompressedSize = e->UncompressedSize;
}

bool TORQDiskBlobManager::ReadSharedValue(int32_t SessionID, uint8_t* Record, int32_t FieldNo, std::string& Bytes) {
    const TORQFieldDef& f = BlobField(FieldNo);
    if (f.BlobCompressionAlgorithm != 0 || f.BlobBlockSize == 0) return false;
    if (GetBit(Record, FieldNo)) {
        Bytes.clear();
        return true;
    }
    const TORQBlobReference ref = GetReference(Record, FieldNo);
    if (GetCacheEntry(Record, FieldNo) != nullptr || !ref.IsStored() || TreatAsLarge(SessionID, ref)) return false;
    TPageHold page = TakePage(FPageManager, SessionID, ref.PageNo);
    TORQBlobHeader h;
    const uint8_t* bytes = TORQSmallBlobPage(page.get()).BlobBytes(ref, h);
    // Sizes a stream would refuse are left to it, and its error.
    if (h.BlockCount < 0 || h.UncompressedSize < 0 || h.UncompressedSize > h.StoredSize) return false;
    Bytes.assign(reinterpret_cast<const char*>(bytes), static_cast<size_t>(h.UncompressedSize));
    return true;
}

void TORQDiskBlobManager::GetBlobData(int32_t SessionID, uint8_t* Record, const uint8_t*& Data,
                                      TORQBlobDataHeader& Header, int32_t FieldNo) {
    BlobField(FieldNo);
    Data = nullptr;
    Header = TORQBlobDataHeader{};
    if (GetBit(Record, FieldNo)) return;
    const TORQBlobCacheEntry* e = LoadCacheEntry(SessionID, Record, FieldNo);
    if (e == nullptr) RaiseNative(20291, "Cannot read BLOB field value");
    Data = e->Data.Data();
    Header.BlockCount = e->BlockCount;
    Header.UncompressedSize = e->UncompressedSize;
    Header.StoredSize = e->StoredSize();
}

void TORQDiskBlobManager::WriteBlobFromStream(uint8_t* Record, int32_t FieldNo, TORQLocalBLOBStream& Stream) {
    BlobField(FieldNo);
    if (!Stream.Modified()) return;
    const TORQBLOBDescriptor& d = Stream.CompressedStream().Descriptor();
    if (d.BlockCount < 0 || d.BlockCount > std::numeric_limits<int32_t>::max() || d.UncompressedSize < 0)
        RaiseNativeFmt(31012, "Invalid blob size: BlockCount=%d, UncompressedSize=%d",
                       {d.BlockCount, d.UncompressedSize});
    auto entry = std::make_unique<TORQBlobCacheEntry>();
    entry->Modified = 1;
    entry->BlockCount = static_cast<int32_t>(d.BlockCount);
    entry->UncompressedSize = d.UncompressedSize;
    TORQStream& base = Stream.BaseStream();
    const int64_t stored = base.Size();
    if (stored > 0) {
        entry->Data = TORQMemoryBlock(stored);
        SeekStreamChecked(base, 20162, 0);
        ReadStreamChecked(entry->Data.Data(), stored, base, 20162);
    }
    const bool empty = Stream.Size() == 0;
    AttachEntry(Record, FieldNo, std::move(entry));
    SetBit(Record, FieldNo, empty);
}

void TORQDiskBlobManager::SetBlobData(uint8_t* Record, const uint8_t* Data, const TORQBlobDataHeader& Header,
                                      int32_t FieldNo) {
    BlobField(FieldNo);
    if (Header.StoredSize < 0 || Header.UncompressedSize < 0 || Header.BlockCount < 0)
        RaiseNativeFmt(31012, "Invalid blob size: BlockCount=%d, UncompressedSize=%d",
                       {Header.BlockCount, Header.UncompressedSize});
    if (Header.StoredSize > 0 && Data == nullptr) RaiseNative(20161, "Pointer is nil");
    auto entry = std::make_unique<TORQBlobCacheEntry>();
    entry->Modified = 1;
    entry->BlockCount = Header.BlockCount;
    entry->UncompressedSize = Header.UncompressedSize;
    if (Header.StoredSize > 0) {
        entry->Data = TORQMemoryBlock(Header.StoredSize);
        std::memcpy(entry->Data.Data(), Data, static_cast<size_t>(Header.StoredSize));
    }
    AttachEntry(Record, FieldNo, std::move(entry));
    SetBit(Record, FieldNo, Header.StoredSize == 0);
}

void TORQDiskBlobManager::FlushBlobs(int32_t SessionID, uint8_t* Record, const uint8_t* StoredRecord) {
    const TORQFieldDefs& defs = FFieldManager.FieldDefs;
    for (int32_t i = 0; i < defs.GetCount(); ++i) {
        if (!IsBlobBaseType(defs.GetItem(i)->BaseType)) continue;
        TORQBlobReference stored;
        if (StoredRecord != nullptr && !GetBit(StoredRecord, i)) stored = GetReference(StoredRecord, i);
        FlushBlob(SessionID, Record, i, stored);
    }
}

void TORQDiskBlobManager::FlushBlob(int32_t SessionID, uint8_t* Record, int32_t FieldNo,
                                    const TORQBlobReference& StoredReference) {
    const TORQFieldDef& f = BlobField(FieldNo);
    TORQBlobCacheEntry* e = GetCacheEntry(Record, FieldNo);
    if (e == nullptr || e->Modified == 0) return;
    // The old value goes first so that the new one may take its room on the same page.
    TORQBlobReference old = StoredReference;
    if (old.IsStored()) FreeStoredBlob(SessionID, old);
    TORQBlobReference ref{GetReference(Record, FieldNo).PageNo == 0 ? 0 : -1, -1};
    if (e->UncompressedSize > 0) ref = StoreBlob(SessionID, *e);
    ref.ToBytes(Record + f.MemoryOffset);
    SetBit(Record, FieldNo, !ref.IsStored());
    e->Modified = 0;
    DropEntry(Record, FieldNo);
}

void TORQDiskBlobManager::FreeBlobs(int32_t SessionID, uint8_t* Record, const uint8_t* StoredRecord) {
    const TORQFieldDefs& defs = FFieldManager.FieldDefs;
    for (int32_t i = 0; i < defs.GetCount(); ++i) {
        if (!IsBlobBaseType(defs.GetItem(i)->BaseType)) continue;
        if (StoredRecord != nullptr && !GetBit(StoredRecord, i)) {
            TORQBlobReference ref = GetReference(StoredRecord, i);
            FreeStoredBlob(SessionID, ref);
        }
        if (Record != nullptr)
            if (TORQBlobCacheEntry* e = GetCacheEntry(Record, i)) e->Modified = 0;
    }
}

void TORQDiskBlobManager::ReleaseBlobCache(uint8_t* Record, int32_t FieldNo, bool Force) {
    const TORQBlobCacheEntry* e = GetCacheEntry(Record, FieldNo);
    if (e == nullptr) return;
    if (e->Modified != 0 && !Force) return;
    DropEntry(Record, FieldNo);
}

void TORQDiskBlobManager::EmptyBlobs(int32_t SessionID) {
    if (!HasBlobFields()) return;
    TORQMemoryBlock record(FFieldManager.FieldDefs.GetMemoryRecordSize(), true);
    TORQGetRecordRequest request;
    request.Mode = gmNext;
    request.IndexID = -1;
    request.AtBeginning = 1;
    request.RecordBuffer = record.Data();
    for (;;) {
        FRecordManager.ReadRecord(SessionID, request);
        if (request.Result != grOK) break;
        FreeBlobs(SessionID, nullptr, record.Data());
    }
    FBlobPageIndex.EmptyIndex(SessionID);
}

void TORQDiskBlobManager::DropBlobs(int32_t SessionID) {
    if (!HasBlobFields()) return;
    EmptyBlobs(SessionID);
    FBlobPageIndex.DropIndex(SessionID);
}

void TORQDiskBlobManager::LoadIndexRoot(TORQStream& Stream) {
    uint8_t b[4];
    ReadStreamChecked(b, 4, Stream, 31014);
    FBlobPageIndex.SetRootPageNo(static_cast<int32_t>(LoadLE32(b)));
}

void TORQDiskBlobManager::SaveIndexRoot(TORQStream& Stream) const {
    uint8_t b[4];
    StoreLE32(b, static_cast<uint32_t>(FBlobPageIndex.RootPageNo()));
    WriteStreamChecked(b, 4, Stream, 31014);
}

void TORQDiskBlobManager::ResetIndex() { FBlobPageIndex.CreateIndex(-2); }

// ---------------------------------------------------------------------------------
// Stored values

TORQBlobReference TORQDiskBlobManager::StoreBlob(int32_t SessionID, const TORQBlobCacheEntry& Entry) {
    return IsSmallBlob(Entry.StoredSize()) ? StoreSmallBlob(SessionID, Entry) : StoreLargeBlob(SessionID, Entry);
}

TORQBlobReference TORQDiskBlobManager::StoreSmallBlob(int32_t SessionID, const TORQBlobCacheEntry& Entry) {
    const auto need = static_cast<int32_t>(Entry.StoredSize() + TORQBlobHeader::ByteSize);
    int32_t pageNo = -1;
    TPageHold page = FBlobPageIndex.FindPageWithRoom(SessionID, need, pageNo) ? TakePage(FPageManager, SessionID, pageNo)
                                                                             : NewPage(FPageManager, SessionID);
    pageNo = page->PageNo;
    TORQSmallBlobPage view(page.get());
    // Room and id are settled before the index or the page changes.
    if (!view.HasRoom(need)) view.RaisePageFull(need, FBlobPageIndex.GetUsedSize(SessionID, pageNo));
    view.NewBlobID();
    FBlobPageIndex.AddUsedSize(SessionID, need, pageNo);
    TORQBlobReference ref;
    view.AddBlob(Entry, ref);
    return ref;
}

TORQBlobReference TORQDiskBlobManager::CopyStoredValue(int32_t SessionID, const TORQBlobReference& Reference,
                                                      TORQDiskBlobManager& Dest, int32_t DestSessionID) {
    if (!TreatAsLarge(SessionID, Reference)) {
        TPageHold page = TakePage(FPageManager, SessionID, Reference.PageNo);
        TORQBlobHeader header;
        const uint8_t* bytes = TORQSmallBlobPage(page.get()).BlobBytes(Reference, header);
        if (header.BlockCount < 0 || header.UncompressedSize < 0)
            RaiseNativeFmt(31012, "Invalid blob size: BlockCount=%d, UncompressedSize=%d",
                           {header.BlockCount, header.UncompressedSize});
        if (Dest.IsSmallBlob(header.StoredSize)) return Dest.AppendSmallBlob(DestSessionID, header, bytes);
    }
    // Large values (and a shared one too large for the other file's pages) through an
    // entry. One that Dest shares goes to the page being filled too: the index may offer
    // that page with room it no longer has.
    TORQBlobCacheEntry entry;
    LoadBlob(SessionID, Reference, entry);
    if (Dest.IsSmallBlob(entry.StoredSize())) {
        TORQBlobHeader header;
        header.BlockCount = entry.BlockCount;
        header.StoredSize = entry.StoredSize();
        header.UncompressedSize = entry.UncompressedSize;
        return Dest.AppendSmallBlob(DestSessionID, header, entry.Data.Data());
    }
    return Dest.StoreBlob(DestSessionID, entry);
}

TORQBlobReference TORQDiskBlobManager::AppendSmallBlob(int32_t SessionID, const TORQBlobHeader& Header,
                                                      const uint8_t* Bytes) {
    const auto need = static_cast<int32_t>(Header.StoredSize + TORQBlobHeader::ByteSize);
    TPageHold page;
    if (FAppendPage != -1 && FAppendEnd + need <= FPageManager.DataSize &&
        FAppendCount < std::numeric_limits<uint16_t>::max()) {
        page = TakePage(FPageManager, SessionID, FAppendPage);
    } else {
        EndAppend(SessionID);
        page = NewPage(FPageManager, SessionID);
        FAppendPage = page->PageNo;
        FAppendEnd = TORQSmallBlobPage::CountSize;
        FAppendCount = 0;
        FAppendUsed = 0;
        FAppendListed = 0;
        FAppendNextID = 0;
    }
    // Ids in turn from 0 on a page of this append's own, past the one readers cannot tell
    // from a large BLOB.
    if (FAppendNextID == AmbiguousBlobID) ++FAppendNextID;
    TORQBlobHeader h = Header;
    h.BlobID = FAppendNextID;
    uint8_t* data = page->GetData();
    h.ToBytes(data + FAppendEnd);
    if (h.StoredSize > 0)
        std::memcpy(data + FAppendEnd + TORQBlobHeader::ByteSize, Bytes, static_cast<size_t>(h.StoredSize));
    ++FAppendCount;
    StoreLE16(data, static_cast<uint16_t>(FAppendCount));
    page->Modified = 1;
    FAppendEnd += need;
    FAppendUsed += need;
    ++FAppendNextID;
    return TORQBlobReference{FAppendPage, h.BlobID};
}

void TORQDiskBlobManager::EndAppend(int32_t SessionID) {
    if (FAppendPage == -1 || FAppendUsed == FAppendListed) return;
    FBlobPageIndex.AddUsedSize(SessionID, FAppendUsed - FAppendListed, FAppendPage);
    FAppendListed = FAppendUsed;
}

void TORQDiskBlobManager::CancelAppend() {
    FAppendPage = -1;
    FAppendEnd = 0;
    FAppendCount = 0;
    FAppendUsed = 0;
    FAppendListed = 0;
    FAppendNextID = 0;
}

TORQBlobReference TORQDiskBlobManager::StoreLargeBlob(int32_t SessionID, const TORQBlobCacheEntry& Entry) {
    const int32_t u = FPageManager.DataSize;
    const int64_t s = Entry.StoredSize();
    const int64_t pages = DataPagesFor(s, u);
    if (pages > std::numeric_limits<int32_t>::max() / 4)
        RaiseNativeFmt(31012, "Invalid blob size: BlockCount=%d, UncompressedSize=%d",
                       {Entry.BlockCount, Entry.UncompressedSize});
    const uint8_t* src = Entry.Data.Data();
    std::vector<int32_t> dataPages;
    dataPages.reserve(static_cast<size_t>(pages));

    TPageHold first = NewPage(FPageManager, SessionID);
    dataPages.push_back(first->PageNo);
    TORQBlobHeader h;
    h.BlobID = TORQBlobReference::LargeBlobID;
    h.BlockCount = Entry.BlockCount;
    h.StoredSize = s;
    h.UncompressedSize = Entry.UncompressedSize;
    h.ToBytes(first->GetData());
    int64_t written = std::min<int64_t>(s, u - LargeBlobDataOffset);
    if (written > 0) std::memcpy(first->GetData() + LargeBlobDataOffset, src, static_cast<size_t>(written));

    TPageHold lastHold;
    TORQPage* last = first.get();
    while (written < s) {
        lastHold = NewPage(FPageManager, SessionID);
        last = lastHold.get();
        dataPages.push_back(last->PageNo);
        const int64_t n = std::min<int64_t>(s - written, u);
        std::memcpy(last->GetData(), src + written, static_cast<size_t>(n));
        written += n;
    }

    // The page list: after the last stored byte, or on a new page when that one is full.
    const int32_t used = LastPageUsed(s, u, pages);
    TPageHold listHold;
    TORQPage* list = last;
    int32_t offset = used;
    if (used == u) {
        listHold = NewPage(FPageManager, SessionID);
        list = listHold.get();
        offset = 0;
    }
    const int32_t locatorPage = list->PageNo;
    const int32_t locatorOffset = offset;
    size_t next = 0;
    for (;;) {
        const size_t take = std::min<size_t>(static_cast<size_t>((u - offset) / 4), dataPages.size() - next);
        for (size_t i = 0; i < take; ++i)
            StoreLE32(list->GetData() + offset + 4 * static_cast<int32_t>(i), static_cast<uint32_t>(dataPages[next + i]));
        next += take;
        if (next == dataPages.size()) break;
        TPageHold more = NewPage(FPageManager, SessionID);
        StoreLE32(list->GetBuffer() + NextPageOffset, static_cast<uint32_t>(more->PageNo));
        listHold = std::move(more);
        list = listHold.get();
        offset = 0;
    }

    uint8_t* locator = first->GetData() + LocatorOffset;
    StoreLE32(locator, static_cast<uint32_t>(locatorPage));
    StoreLE16(locator + 4, static_cast<uint16_t>(locatorOffset));
    StoreLE32(locator + 6, static_cast<uint32_t>(pages));
    return TORQBlobReference{first->PageNo, TORQBlobReference::LargeBlobID};
}

TORQDiskBlobManager::TLargeBlobLayout TORQDiskBlobManager::ReadLargeBlobLayout(int32_t SessionID, int32_t PageNo) {
    const int32_t u = FPageManager.DataSize;
    const int32_t pageCount = FPageManager.GetPageCount();
    if (PageNo <= 0 || PageNo >= pageCount) RaiseLargeDamaged(PageNo);
    TLargeBlobLayout layout;
    int32_t listPage = 0;
    int32_t offset = 0;
    int64_t entries = 0;
    {
        TPageHold first = TakePage(FPageManager, SessionID, PageNo);
        layout.Header = TORQBlobHeader::FromBytes(first->GetData());
        const uint8_t* locator = first->GetData() + LocatorOffset;
        listPage = static_cast<int32_t>(LoadLE32(locator));
        offset = LoadLE16(locator + 4);
        entries = static_cast<int32_t>(LoadLE32(locator + 6));
    }
    const TORQBlobHeader& h = layout.Header;
    // Size, count and locator must say exactly what the writer leaves, checked against
    // the file's size before anything is allocated.
    if (h.StoredSize < 0 || h.BlockCount < 0 || h.UncompressedSize < 0) RaiseLargeDamaged(PageNo);
    if (h.StoredSize > int64_t{pageCount} * u) RaiseLargeDamaged(PageNo);
    const int64_t pages = DataPagesFor(h.StoredSize, u);
    if (entries != pages || pages > pageCount) RaiseLargeDamaged(PageNo);
    const int32_t used = LastPageUsed(h.StoredSize, u, pages);
    const int32_t expectedOffset = used == u ? 0 : used;
    if (offset != expectedOffset) RaiseLargeDamaged(PageNo);

    layout.DataPages.reserve(static_cast<size_t>(pages));
    for (int32_t walked = 0; static_cast<int64_t>(layout.DataPages.size()) < pages; ++walked) {
        if (walked >= pageCount || listPage <= 0 || listPage >= pageCount) RaiseLargeDamaged(PageNo);
        if (std::find(layout.ListPages.begin(), layout.ListPages.end(), listPage) != layout.ListPages.end())
            RaiseLargeDamaged(PageNo);
        layout.ListPages.push_back(listPage);
        TPageHold p = TakePage(FPageManager, SessionID, listPage);
        const int64_t take = std::min<int64_t>((u - offset) / 4, pages - static_cast<int64_t>(layout.DataPages.size()));
        for (int64_t i = 0; i < take; ++i) {
            const auto no = static_cast<int32_t>(LoadLE32(p->GetData() + offset + 4 * i));
            if (no <= 0 || no >= pageCount) RaiseLargeDamaged(PageNo);
            layout.DataPages.push_back(no);
        }
        listPage = static_cast<int32_t>(LoadLE32(p->GetBuffer() + NextPageOffset));
        offset = 0;
    }

    if (layout.DataPages.front() != PageNo) RaiseLargeDamaged(PageNo);
    std::vector<int32_t> sorted = layout.DataPages;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) RaiseLargeDamaged(PageNo);
    // The list begins on the last data page unless that page is full; every other list
    // page is one of its own.
    const bool listOnLastData = used != u;
    if (listOnLastData != (layout.ListPages.front() == layout.DataPages.back())) RaiseLargeDamaged(PageNo);
    for (size_t i = listOnLastData ? 1 : 0; i < layout.ListPages.size(); ++i)
        if (std::binary_search(sorted.begin(), sorted.end(), layout.ListPages[i])) RaiseLargeDamaged(PageNo);
    return layout;
}

bool TORQDiskBlobManager::IsLargeBlob(int32_t SessionID, int32_t PageNo) {
    try {
        ReadLargeBlobLayout(SessionID, PageNo);
        return true;
    } catch (const EORQException&) {
        // Any failure while reading says "not a large BLOB": the caller tries the other kind.
        return false;
    }
}

bool TORQDiskBlobManager::TreatAsLarge(int32_t SessionID, const TORQBlobReference& Reference) {
    if (Reference.BlobID == TORQBlobReference::LargeBlobID) return true;
    if (Reference.BlobID != AmbiguousBlobID) return false;
    return IsLargeBlob(SessionID, Reference.PageNo);
}

void TORQDiskBlobManager::ReadSmallBlob(int32_t SessionID, const TORQBlobReference& Reference,
                                        TORQBlobCacheEntry& Entry) {
    TPageHold page = TakePage(FPageManager, SessionID, Reference.PageNo);
    TORQSmallBlobPage(page.get()).ReadBlob(Entry, Reference);
}

void TORQDiskBlobManager::ReadLargeBlob(int32_t SessionID, int32_t PageNo, TORQBlobCacheEntry& Entry) {
    const TLargeBlobLayout layout = ReadLargeBlobLayout(SessionID, PageNo);
    const int32_t u = FPageManager.DataSize;
    const int64_t s = layout.Header.StoredSize;
    TORQMemoryBlock data;
    if (s > 0) data = TORQMemoryBlock(s);
    int64_t copied = 0;
    for (size_t i = 0; i < layout.DataPages.size() && copied < s; ++i) {
        TPageHold p = TakePage(FPageManager, SessionID, layout.DataPages[i]);
        const int32_t from = i == 0 ? LargeBlobDataOffset : 0;
        const int64_t n = std::min<int64_t>(s - copied, u - from);
        std::memcpy(data.Data() + copied, p->GetData() + from, static_cast<size_t>(n));
        copied += n;
    }
    Entry.BlockCount = layout.Header.BlockCount;
    Entry.UncompressedSize = layout.Header.UncompressedSize;
    Entry.Modified = 0;
    Entry.Data = std::move(data);
}

void TORQDiskBlobManager::LoadBlob(int32_t SessionID, const TORQBlobReference& Reference, TORQBlobCacheEntry& Entry) {
    if (TreatAsLarge(SessionID, Reference))
        ReadLargeBlob(SessionID, Reference.PageNo, Entry);
    else
        ReadSmallBlob(SessionID, Reference, Entry);
}

void TORQDiskBlobManager::FreeSmallBlob(int32_t SessionID, const TORQBlobReference& Reference) {
    TPageHold page = TakePage(FPageManager, SessionID, Reference.PageNo);
    TORQSmallBlobPage view(page.get());
    const int32_t k = view.FindEntry(Reference.BlobID);
    if (k < 0) RaiseNative(20171, "Cannot find blob field");
    const int32_t freed =
        TORQBlobHeader::ByteSize + static_cast<int32_t>(TORQBlobHeader::FromBytes(view.GetData() + view.GetEntry(k)).StoredSize);
    // The index first: when it refuses, the page is left as it was. A page that empties
    // leaves the index whatever amount it recorded, so that it is never offered again.
    const bool empty = view.GetBlobCount() == 1;
    if (empty)
        FBlobPageIndex.SubtractAmount(SessionID, freed, 0, Reference.PageNo);
    else
        FBlobPageIndex.RemoveUsedSize(SessionID, freed, Reference.PageNo);
    int32_t removed = 0;
    view.RemoveBlob(Reference, removed);
    page.Reset();
    if (empty) FPageManager.FreePageForSession(SessionID, Reference.PageNo);
}

void TORQDiskBlobManager::FreeLargeBlob(int32_t SessionID, int32_t PageNo) {
    const TLargeBlobLayout layout = ReadLargeBlobLayout(SessionID, PageNo);
    // Every page must be a BLOB page before any is freed.
    for (const int32_t no : layout.DataPages) TakePage(FPageManager, SessionID, no);
    {
        // The session's copy of the first page stops reading as a large BLOB, so freeing
        // the same value twice raises instead of freeing its pages twice at commit.
        TPageHold first = TakePage(FPageManager, SessionID, PageNo);
        std::memset(first->GetData(), 0, static_cast<size_t>(first->GetDataSize()));
        first->Modified = 1;
    }
    for (const int32_t no : layout.DataPages) FPageManager.FreePageForSession(SessionID, no);
    for (const int32_t no : layout.ListPages)
        if (no != layout.DataPages.back()) FPageManager.FreePageForSession(SessionID, no);
}

void TORQDiskBlobManager::FreeStoredBlob(int32_t SessionID, TORQBlobReference& Reference) {
    if (!Reference.IsStored()) return;
    if (TreatAsLarge(SessionID, Reference))
        FreeLargeBlob(SessionID, Reference.PageNo);
    else
        FreeSmallBlob(SessionID, Reference);
    Reference = TORQBlobReference{-1, -1};
}

}  // namespace orq
