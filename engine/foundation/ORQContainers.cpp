#include "engine/foundation/ORQContainers.h"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cerrno>
#include <cstring>
#include <random>

#include "classlib/SysUtils.h"
#include "engine/foundation/ORQEndian.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/foundation/ORQStreams.h"

namespace orq {

namespace {

constexpr std::array<uint8_t, 256> MakeBitCountTable() {
    std::array<uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
        int n = 0;
        for (int b = i; b != 0; b >>= 1) n += b & 1;
        t[static_cast<std::size_t>(i)] = static_cast<uint8_t>(n);
    }
    return t;
}
constexpr std::array<uint8_t, 256> BitCountTable = MakeBitCountTable();

constexpr std::string_view SInvalidBitNo = "Invalid bit no = %d, number of bits = %d";

void FillRandom(uint8_t* Buffer, std::size_t Count) {
    std::size_t done = 0;
    while (done < Count) {
        ssize_t n = ::getrandom(Buffer + done, Count - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (done < Count) {
        std::random_device rd;
        for (; done < Count; ++done) Buffer[done] = static_cast<uint8_t>(rd());
    }
}

}  // namespace

std::string MakeUniqueName(std::string_view Prefix) {
    uint8_t g[16];
    FillRandom(g, sizeof g);
    g[6] = static_cast<uint8_t>((g[6] & 0x0F) | 0x40);  // version 4: random
    g[8] = static_cast<uint8_t>((g[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string name(Prefix);
    name += '{';
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) name += '-';
        name += Hex[g[i] >> 4];
        name += Hex[g[i] & 15];
    }
    name += '}';
    return name;
}

// ---------------------------------------------------------------------------------
// TORQIntegerArray

TORQIntegerArray::TORQIntegerArray(int32_t InitialCount, int32_t Step, int32_t MaxStep)
    : FGrowStep(Step), FShrinkStep(Step), FMaxStep(MaxStep) {
    SetSize(InitialCount);
}

std::size_t TORQIntegerArray::CheckedIndex(int32_t Index) const {
    if (Index < 0 || Index >= FCount) throw std::out_of_range("TORQIntegerArray: index out of range");
    return static_cast<std::size_t>(Index);
}

void TORQIntegerArray::SetSize(int32_t NewCount) {
    if (NewCount <= 0) {
        FCount = FCapacity = 0;
        FItems = std::vector<int32_t>();
        return;
    }
    if (NewCount > FCapacity) {
        FGrowStep = FGrowStep * 2 > FMaxStep ? FMaxStep : FGrowStep * 2;
        int64_t capacity = static_cast<int64_t>(FCapacity) + FGrowStep;
        FCapacity = capacity < NewCount ? NewCount : static_cast<int32_t>(capacity > INT32_MAX ? INT32_MAX : capacity);
        FItems.resize(static_cast<std::size_t>(FCapacity));
    } else if (NewCount < FCount && FCapacity - NewCount > FShrinkStep) {
        FShrinkStep = FShrinkStep * 2 > FMaxStep ? FMaxStep : FShrinkStep * 2;
        FCapacity = NewCount;
        FItems.resize(static_cast<std::size_t>(FCapacity));
        FItems.shrink_to_fit();
    }
    // Slots a deletion left behind must not come back with old values.
    for (int32_t i = FCount; i < NewCount; ++i) FItems[static_cast<std::size_t>(i)] = 0;
    FCount = NewCount;
}

void TORQIntegerArray::Append(int32_t Value) {
    SetSize(FCount + 1);
    FItems[static_cast<std::size_t>(FCount - 1)] = Value;
}

void TORQIntegerArray::Delete(int32_t Index) {
    std::size_t i = CheckedIndex(Index);
    std::memmove(&FItems[i], &FItems[i] + 1, (static_cast<std::size_t>(FCount) - i - 1) * sizeof(int32_t));
    SetSize(FCount - 1);
}

bool TORQIntegerArray::Contains(int32_t Value) const {
    for (int32_t i = 0; i < FCount; ++i)
        if (FItems[static_cast<std::size_t>(i)] == Value) return true;
    return false;
}

// ---------------------------------------------------------------------------------
// TORQBitsArray

TORQBitsArray::~TORQBitsArray() {
    try {
        GlobalMemoryManager().FreeAndNillMem(FBits);
    } catch (const std::exception&) {
        // An overrun cannot be reported from a destructor; the block is released anyway.
    }
}

void TORQBitsArray::SetSize(int32_t NewBitCount) {
    if (NewBitCount <= 0) {
        GlobalMemoryManager().FreeAndNillMem(FBits);
        FBitCount = FSetBitsCount = 0;
        FCapacityBytes = 0;
        return;
    }
    int64_t bytes = (static_cast<int64_t>(NewBitCount) + 7) / 8;
    if (FBits == nullptr) {
        FBits = static_cast<uint8_t*>(GlobalMemoryManager().AllocMem(bytes));
        FCapacityBytes = bytes;
    } else if (bytes <= FCapacityBytes && NewBitCount >= FBitCount) {
        // Growing within the block: the bytes past the old count may hold old bits (a
        // shrink leaves them), and every new bit must read 0.
        const int64_t oldBytes = ByteCount();
        if (bytes > oldBytes)
            std::memset(FBits + oldBytes, 0, static_cast<std::size_t>(bytes - oldBytes));
        if (NewBitCount > FBitCount && (FBitCount & 7) != 0)
            FBits[FBitCount >> 3] &= static_cast<uint8_t>((1u << (FBitCount & 7)) - 1);
    } else {
        // A growth by a bit at a time (a bitmap following its table's inserts) would copy
        // the whole block on every bit: the block grows by half at least.
        const int64_t room = NewBitCount > FBitCount ? std::max<int64_t>(bytes, FCapacityBytes + FCapacityBytes / 2)
                                                     : bytes;
        try {
            GlobalMemoryManager().ReallocMemZeroed(FBits, room);
            FCapacityBytes = room;
        } catch (...) {
            if (FBits == nullptr) {  // an overrun lost the block
                FBitCount = FSetBitsCount = 0;
                FCapacityBytes = 0;
            }
            throw;
        }
        // The old last byte may hold bits beyond the old count (set-all fills whole
        // bytes, shrinking leaves them): they become real bits now and must read 0.
        if (NewBitCount > FBitCount && (FBitCount & 7) != 0)
            FBits[FBitCount >> 3] &= static_cast<uint8_t>((1u << (FBitCount & 7)) - 1);
    }
    int32_t old = FBitCount;
    FBitCount = NewBitCount;
    if (NewBitCount < old) CountSetBits();
}

bool TORQBitsArray::GetBit(int32_t Index) const {
    if (Index < 0 || Index >= FBitCount) RaiseNativeFmt(10394, SInvalidBitNo, {Index, FBitCount});
    return orq::GetBit(FBits, Index);
}

void TORQBitsArray::SetBit(int32_t Index, bool Value) {
    if (Index < 0 || Index >= FBitCount) RaiseNativeFmt(10395, SInvalidBitNo, {Index, FBitCount});
    if (orq::GetBit(FBits, Index) == Value) return;
    orq::SetBit(FBits, Index, Value);
    FSetBitsCount += Value ? 1 : -1;
}

void TORQBitsArray::SetAll() {
    if (FBits != nullptr) std::memset(FBits, 0xFF, static_cast<std::size_t>(ByteCount()));
    FSetBitsCount = FBitCount;
}

int32_t TORQBitsArray::CountSetBits() {
    int32_t n = 0;
    for (int32_t i = 0; i < FBitCount; ++i) n += orq::GetBit(FBits, i) ? 1 : 0;
    FSetBitsCount = n;
    return n;
}

int32_t TORQBitsArray::GetSetBitPosition(int32_t K) const {
    if (K < 0 || K >= FSetBitsCount) RaiseNativeFmt(10428, SInvalidBitNo, {K, FSetBitsCount});
    if (FSetBitsCount == FBitCount) return K;
    int32_t byte = 0;
    int32_t left = K;
    int32_t bytes = ByteCount();
    while (byte < bytes - 1 && BitCountTable[FBits[byte]] <= left) left -= BitCountTable[FBits[byte++]];
    for (int32_t i = byte * 8; i < FBitCount; ++i) {
        if (orq::GetBit(FBits, i)) {
            if (left == 0) return i;
            --left;
        }
    }
    // Unreachable while the running count is right; keep the answer in range.
    RaiseNativeFmt(10428, SInvalidBitNo, {K, FSetBitsCount});
}

int32_t TORQBitsArray::GetBitRank(int32_t Index) const {
    if (Index < 0 || Index >= FBitCount) RaiseNativeFmt(10429, SInvalidBitNo, {Index, FBitCount});
    if (FSetBitsCount == FBitCount) return Index;
    int32_t n = 0;
    int32_t whole = Index >> 3;
    for (int32_t b = 0; b < whole; ++b) n += BitCountTable[FBits[b]];
    for (int32_t i = whole * 8; i <= Index; ++i) n += orq::GetBit(FBits, i) ? 1 : 0;
    return n - 1;
}

bool TORQBitsArray::FindFirst(bool Value, int32_t& Index) const {
    for (int32_t i = 0; i < FBitCount; ++i) {
        if (orq::GetBit(FBits, i) == Value) {
            Index = i;
            return true;
        }
    }
    return false;
}

bool TORQBitsArray::FindNextSetBit(bool First, bool Forward, int32_t& Index, int32_t From) const {
    int64_t i = First ? (Forward ? 0 : static_cast<int64_t>(FBitCount) - 1)
                      : static_cast<int64_t>(From) + (Forward ? 1 : -1);
    for (; i >= 0 && i < FBitCount; i += Forward ? 1 : -1) {
        if (orq::GetBit(FBits, i)) {
            Index = static_cast<int32_t>(i);
            return true;
        }
    }
    return false;
}

void TORQBitsArray::SaveToStream(TORQStream& Stream) const {
    uint8_t word[4];
    StoreLE32(word, static_cast<uint32_t>(FBitCount));
    WriteStreamChecked(word, 4, Stream, 10398);
    StoreLE32(word, static_cast<uint32_t>(FSetBitsCount));
    WriteStreamChecked(word, 4, Stream, 10427);
    if (FBitCount > 0) {
        if (FBits == nullptr) RaiseNative(10399, "Nil pointer occured");
        WriteStreamChecked(FBits, ByteCount(), Stream, 10400);
    }
}

void TORQBitsArray::LoadFromStream(TORQStream& Stream) {
    uint8_t word[4];
    ReadStreamChecked(word, 4, Stream, 10401);
    int32_t bitCount = static_cast<int32_t>(LoadLE32(word));
    ReadStreamChecked(word, 4, Stream, 10426);
    SetSize(0);  // nothing of the old bits may survive into the loaded ones
    SetSize(bitCount);
    if (FBitCount > 0) ReadStreamChecked(FBits, ByteCount(), Stream, 10402);
    CountSetBits();
}

// ---------------------------------------------------------------------------------
// Scan conditions

TORQScanSearchCondition::~TORQScanSearchCondition() {
    try {
        FreeKey();
    } catch (const std::exception&) {
        // An overrun cannot be reported from a destructor; the block is released anyway.
    }
}

void TORQScanSearchCondition::FreeKey() {
    if (!KeyIsBorrowed) GlobalMemoryManager().FreeAndNillMem(Key);
    Key = nullptr;
}

void TORQScanSearchCondition::Assign(const TORQScanSearchCondition& Source) {
    if (&Source == this) return;
    uint8_t* key = nullptr;
    if (Source.Key != nullptr && Source.KeySize > 0) {
        key = static_cast<uint8_t*>(GlobalMemoryManager().GetMem(Source.KeySize));
        std::memcpy(key, Source.Key, static_cast<std::size_t>(Source.KeySize));
    }
    FreeKey();
    Key = key;
    KeyIsBorrowed = false;
    Operator = Source.Operator;
    KeySize = Source.KeySize;
    FieldCount = Source.FieldCount;
    IndexID = Source.IndexID;
    Expression = Source.Expression;
    Merged = Source.Merged;
    PartialCompare = Source.PartialCompare;
    Expressions = Source.Expressions;
    Nodes = Source.Nodes;
}

TORQScanSearchCondition& TORQScanSearchConditionArray::Items(int32_t Index) const {
    if (Index < 0 || Index >= Count())
        RaiseNativeFmt(10413, "Invalid item number - ItemNo = %d, ItemCount = %d", {Index, Count()});
    return *FItems[static_cast<std::size_t>(Index)];
}

TORQScanSearchCondition& TORQScanSearchConditionArray::AddNode(TORQBaseExpression* Expression) {
    auto condition = std::make_unique<TORQScanSearchCondition>();
    condition->Expression = Expression;
    FItems.push_back(std::move(condition));
    return *FItems.back();
}

TORQScanSearchCondition& TORQScanSearchConditionArray::AddCondition(const TORQScanSearchCondition& Condition) {
    if (Condition.Expression == nullptr && Condition.IndexID == -1)
        RaiseNativeFmt(10388, "Invalid scan condition - indexID = %d, count = %d", {Condition.IndexID, Count()});
    auto copy = std::make_unique<TORQScanSearchCondition>();
    copy->Assign(Condition);
    FItems.push_back(std::move(copy));
    return *FItems.back();
}

void TORQScanSearchConditionArray::Delete(int32_t Index) {
    if (Index < 0 || Index >= Count())
        RaiseNativeFmt(10413, "Invalid item number - ItemNo = %d, ItemCount = %d", {Index, Count()});
    if (!FItems[static_cast<std::size_t>(Index)]) RaiseNative(10414, "Nil pointer occured");
    FItems.erase(FItems.begin() + Index);
}

void TORQScanSearchConditionArray::ChooseIndexes(const TORQIndexDefs& IndexDefs, bool RestrictValue) {
    // Collecting appends to this array: only the conditions present now are asked.
    int32_t count = Count();
    for (int32_t i = 0; i < count; ++i) {
        TORQBaseExpression* expression = FItems[static_cast<std::size_t>(i)]->Expression;
        if (expression != nullptr) expression->CollectScanConditions(IndexDefs, *this, RestrictValue);
    }
    std::vector<TORQBaseExpression*> expressions;
    for (const auto& c : FItems)
        if (c->Expression != nullptr) expressions.push_back(c->Expression);
    if (expressions.empty()) return;
    for (int32_t i = 0; i < Count(); ++i) {
        TORQScanSearchCondition& condition = *FItems[static_cast<std::size_t>(i)];
        if (condition.Expression != nullptr) continue;
        int32_t columns = 0;
        const TORQIndexDef* def = expressions.front()->FindIndexDef(IndexDefs, condition.IndexID, columns);
        if (def != nullptr) ExtendCondition(condition, *def, columns, expressions);
    }
}

void TORQScanSearchConditionArray::ExtendCondition(TORQScanSearchCondition& Condition, const TORQIndexDef& IndexDef,
                                                   int32_t ColumnCount,
                                                   const std::vector<TORQBaseExpression*>& Expressions) {
    if (ColumnCount < 2) return;
    bool extended = true;
    while (extended && Condition.FieldCount < ColumnCount) {
        extended = false;
        for (TORQBaseExpression* expression : Expressions) {
            int32_t before = Condition.FieldCount;
            if (expression->CanUseIndex(Condition, IndexDef)) {
                // A claimed extension that covers no further column would loop forever.
                extended = Condition.FieldCount > before;
                break;
            }
        }
    }
}

void TORQScanSearchConditionArray::RemoveMergedConditions(int32_t& A, int32_t& B) {
    int32_t i = 0;
    while (i < Count() - 1) {
        if (i != A && i != B && FItems[static_cast<std::size_t>(i)]->Merged != 0) {
            FItems.erase(FItems.begin() + i);
            if (A > i) --A;
            if (B > i) --B;
            i = 0;
        } else {
            ++i;
        }
    }
}

void TORQScanSearchConditionArray::DetachConditions(int32_t A, int32_t B) {
    for (int32_t i = 0; i < Count(); ++i) {
        TORQBaseExpression* expression = FItems[static_cast<std::size_t>(i)]->Expression;
        if (expression != nullptr) expression->RemoveScanConditionNodes(*this, A, B);
    }
}

void TORQScanSearchConditionArray::AttachConditions(int32_t A, int32_t B) {
    for (int32_t n : {A, B}) {
        if (n < 0 || n >= Count()) continue;
        const TORQScanSearchCondition& c = *FItems[static_cast<std::size_t>(n)];
        for (std::size_t k = 0; k < c.Expressions.size() && k < c.Nodes.size(); ++k)
            if (c.Expressions[k] != nullptr) c.Expressions[k]->AppendNode(c.Nodes[k]);
        if (A == B) break;
    }
}

// ---------------------------------------------------------------------------------
// TORQKeyPath

namespace {

int64_t CheckedMul(int64_t A, int64_t B) {
    int64_t r = 0;
    if (__builtin_mul_overflow(A, B, &r)) throw classlib::EIntOverflow("Integer overflow");
    return r;
}
int64_t CheckedAdd(int64_t A, int64_t B) {
    int64_t r = 0;
    if (__builtin_add_overflow(A, B, &r)) throw classlib::EIntOverflow("Integer overflow");
    return r;
}

[[noreturn]] void RaiseTooDeep() { RaiseNative(20058, "Index error: key path deeper than 32 levels"); }
[[noreturn]] void RaiseLevelRange() { RaiseNative(20059, "Index error: key path level out of range"); }

}  // namespace

void TORQKeyPath::Push(int32_t PageNo, int32_t EntryNo, int32_t EntryCount) {
    if (CurrentLevel < 0 || CurrentLevel >= MaxLevels || LevelCount >= MaxLevels) RaiseTooDeep();
    Levels[CurrentLevel] = {PageNo, EntryNo, EntryCount};
    ++CurrentLevel;
    ++LevelCount;
}

void TORQKeyPath::Pop() {
    if (LevelCount <= 0 || CurrentLevel <= 0) RaiseLevelRange();
    --CurrentLevel;
    --LevelCount;
}

void TORQKeyPath::LevelUp() {
    if (CurrentLevel <= 0) RaiseLevelRange();
    --CurrentLevel;
}

void TORQKeyPath::LevelDown() {
    if (CurrentLevel >= LevelCount) RaiseLevelRange();
    ++CurrentLevel;
}

int32_t TORQKeyPath::CurrentPageNo() const {
    if (CurrentLevel < 0 || CurrentLevel >= LevelCount) RaiseLevelRange();
    return Levels[CurrentLevel].PageNo;
}

bool TORQKeyPath::ContainsPage(int32_t PageNo) const {
    for (int32_t i = 0; i < LevelCount; ++i)
        if (Levels[i].PageNo == PageNo) return true;
    return false;
}

int TORQKeyPath::CompareKeyPaths(const TORQKeyPath& Path1, const TORQKeyPath& Path2) {
    if (Path1.LevelCount != Path2.LevelCount) RaiseNative(20051, "Invalid index key path");
    for (int32_t i = 0; i < Path1.LevelCount; ++i) {
        if (Path1.Levels[i].PageNo != Path2.Levels[i].PageNo) RaiseNative(20052, "Invalid index key path");
        if (Path1.Levels[i].EntryNo != Path2.Levels[i].EntryNo)
            return Path1.Levels[i].EntryNo < Path2.Levels[i].EntryNo ? -1 : 1;
    }
    return 0;
}

double TORQKeyPath::RelativePosition() const {
    int64_t w = 1;
    int64_t s = 0;
    for (int32_t i = LevelCount - 1; i >= 0; --i) {
        const TORQKeyPathLevel& level = Levels[i];
        // A count not above the entry would give a fraction outside [0, 1) or a zero divisor.
        if (level.EntryNo < 0 || level.EntryCount <= level.EntryNo) RaiseLevelRange();
        s = CheckedAdd(s, CheckedMul(level.EntryNo, w));
        w = CheckedMul(w, level.EntryCount);
    }
    return static_cast<double>(s) / static_cast<double>(w);
}

int64_t TORQKeyPath::ToApproxPosition(int32_t MaxEntries) const {
    if (MaxEntries < 1) RaiseLevelRange();
    const int64_t base = int64_t{MaxEntries} + 1;
    int64_t sum = 0;
    int64_t power = 1;
    for (int32_t i = LevelCount - 1; i >= 0; --i) {
        sum = CheckedAdd(sum, CheckedMul(int64_t{Levels[i].EntryNo} + 1, power));
        if (i > 0) power = CheckedMul(power, base);
    }
    return sum;
}

void TORQKeyPath::FromApproxPosition(int64_t Position, int32_t MaxEntries) {
    if (MaxEntries < 1 || Position < 0) RaiseLevelRange();
    const int64_t base = int64_t{MaxEntries} + 1;
    int32_t digits = 0;
    for (int64_t p = Position; p > 0; p /= base) ++digits;
    if (digits > MaxLevels) RaiseTooDeep();
    Clear();
    for (int32_t i = 1; i <= digits; ++i) {
        const int64_t digit = Position % base;
        Position /= base;
        Levels[digits - i] = {-1, static_cast<int32_t>(digit - 1), 0};
    }
    LevelCount = digits;
}

}  // namespace orq
