// The PPM coder (see ORQPPM.h). Layout of the model memory, all in 12-byte units
// addressed by 32-bit offsets from the block's base (offset 0 is "none"):
//   context: symbol count u16 | frequency sum u16 | state array u32 | suffix u32
//            a one-symbol context keeps its single state in bytes 2..7;
//            a context with 0 symbols is a placeholder: its state records the
//            byte that followed it in the data and the next placeholder.
//   state:   symbol u8 | frequency u8 | successor u32   (6 bytes, two per unit)
// The first 16384 units are a reserve opened once when the rest runs out; state
// arrays grow upward from behind it, contexts downward from the top. When memory
// runs out during an update the model restarts from its initial state; encoder
// and decoder reach that point at the same byte.
#include "engine/foundation/ORQPPM.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/foundation/ORQEndian.h"

namespace orq {

namespace {

constexpr uint32_t UnitSize = 12;
constexpr int IndexCount = 38;
constexpr uint32_t ReserveUnits = 16384;
constexpr int MaxFreq = 124;
constexpr uint32_t BinScale = 1u << 14;
constexpr int MaxCollected = 64;

constexpr std::array<uint8_t, IndexCount> Indx2Units = [] {
    std::array<uint8_t, IndexCount> t{};
    const uint8_t head[12] = {1, 2, 3, 4, 6, 8, 10, 12, 15, 18, 21, 24};
    for (int i = 0; i < 12; ++i) t[i] = head[i];
    for (int i = 12; i < IndexCount; ++i) t[i] = uint8_t(28 + 4 * (i - 12));
    return t;
}();

// Units2Indx[n - 1]: the smallest class holding n units.
constexpr std::array<uint8_t, 128> Units2Indx = [] {
    std::array<uint8_t, 128> t{};
    int k = 0;
    for (int n = 1; n <= 128; ++n) {
        if (Indx2Units[k] < n) ++k;
        t[n - 1] = uint8_t(k);
    }
    return t;
}();

constexpr uint16_t InitBinEsc[16] = {0x3CDD, 0x1F3F, 0x59BF, 0x48F3, 0x5FFB, 0x5545, 0x63D1, 0x5D9D,
                                     0x64A1, 0x5ABC, 0x6632, 0x6051, 0x68F6, 0x549B, 0x6BCA, 0x3AB0};
constexpr uint8_t ExpEscape[16] = {25, 14, 9, 7, 5, 5, 4, 4, 4, 3, 3, 3, 2, 2, 2, 2};

// Column class of a binary context by its suffix's symbol count - 1.
constexpr std::array<uint8_t, 256> NS2BSIndx = [] {
    std::array<uint8_t, 256> t{};
    for (int n = 0; n < 256; ++n) t[n] = uint8_t(n < 6 ? 2 * n : n < 50 ? 12 : 14);
    return t;
}();

// Row class of a secondary escape context by the remaining symbol count - 1.
constexpr std::array<uint8_t, 256> NS2Indx = [] {
    std::array<uint8_t, 256> t{};
    for (int n = 0; n < 256; ++n)
        t[n] = uint8_t(n < 4 ? n : n < 12 ? 4 + (n - 4) / 2 : n < 44 ? 8 + (n - 12) / 4 : 16 + (n - 44) / 8);
    return t;
}();

// ---------------------------------------------------------------------------
// Sub-allocator

class TSubAllocator {
public:
    ~TSubAllocator() { std::free(FBase); }

    bool Start(uint32_t memoryMB) {
        const uint64_t bytes = uint64_t(memoryMB) * 1048576u;
        FUnits = uint32_t(bytes / UnitSize);
        // One spare unit in front keeps offset 0 free to mean "none".
        FBase = static_cast<uint8_t*>(std::malloc(size_t(FUnits + 1) * UnitSize));
        return FBase != nullptr && FUnits > ReserveUnits + 256;
    }

    void Init() {
        std::memset(FFreeList, 0, sizeof(FFreeList));
        FUnitsStart = UnitSize * (1 + ReserveUnits);
        FLoUnit = FUnitsStart;
        FHiUnit = UnitSize * (1 + FUnits);
        FReserveOpened = false;
    }

    uint8_t* Base() const { return FBase; }

    uint32_t AllocUnits(uint32_t nu) {
        const int i = Units2Indx[nu - 1];
        if (FFreeList[i]) return Pop(i);
        const uint32_t bytes = Indx2Units[i] * UnitSize;
        if (FHiUnit - FLoUnit >= bytes) {
            const uint32_t p = FLoUnit;
            FLoUnit += bytes;
            return p;
        }
        if (!FReserveOpened) {
            FReserveOpened = true;
            for (uint32_t u = 0; u < ReserveUnits; u += 128) Insert(UnitSize * (1 + u), IndexCount - 1);
        }
        for (int j = i; j < IndexCount; ++j) {
            if (FFreeList[j]) {
                const uint32_t p = Pop(j);
                SplitTail(p, j, i);
                return p;
            }
        }
        return 0;
    }

    uint32_t AllocContext() {
        if (FHiUnit != FLoUnit) return FHiUnit -= UnitSize;
        return AllocUnits(1);
    }

    // A state array of OldNU units grown by one; 0 when memory is out.
    uint32_t ExpandUnits(uint32_t p, uint32_t oldNU) {
        const int i0 = Units2Indx[oldNU - 1], i1 = Units2Indx[oldNU];
        if (i0 == i1) return p;
        const uint32_t q = AllocUnits(oldNU + 1);
        if (q) {
            std::memcpy(FBase + q, FBase + p, oldNU * UnitSize);
            Insert(p, i0);
        }
        return q;
    }

    uint32_t ShrinkUnits(uint32_t p, uint32_t oldNU, uint32_t newNU) {
        const int i0 = Units2Indx[oldNU - 1], i1 = Units2Indx[newNU - 1];
        if (i0 == i1) return p;
        if (FFreeList[i1]) {
            const uint32_t q = Pop(i1);
            std::memcpy(FBase + q, FBase + p, newNU * UnitSize);
            Insert(p, i0);
            return q;
        }
        SplitTail(p, i0, i1);
        return p;
    }

    void FreeUnits(uint32_t p, uint32_t nu) { Insert(p, Units2Indx[nu - 1]); }

private:
    void Insert(uint32_t p, int i) {
        std::memcpy(FBase + p, &FFreeList[i], 4);
        FFreeList[i] = p;
    }
    uint32_t Pop(int i) {
        const uint32_t p = FFreeList[i];
        std::memcpy(&FFreeList[i], FBase + p, 4);
        return p;
    }
    // Block P of class OldIndx keeps the units of class NewIndx; its tail returns
    // to the free lists as one listed size, or the largest listed size below it
    // plus the rest.
    void SplitTail(uint32_t p, int oldIndx, int newIndx) {
        uint32_t diff = Indx2Units[oldIndx] - Indx2Units[newIndx];
        if (diff == 0) return;
        uint32_t tail = p + Indx2Units[newIndx] * UnitSize;
        int k = Units2Indx[diff - 1];
        if (Indx2Units[k] != diff) {
            --k;
            Insert(tail, k);
            tail += Indx2Units[k] * UnitSize;
            diff -= Indx2Units[k];
            k = Units2Indx[diff - 1];
        }
        Insert(tail, k);
    }

    uint8_t* FBase = nullptr;
    uint32_t FUnits = 0;
    uint32_t FFreeList[IndexCount] = {};
    uint32_t FUnitsStart = 0, FLoUnit = 0, FHiUnit = 0;
    bool FReserveOpened = false;
};

// ---------------------------------------------------------------------------
// Range coder (carry-less, 32 bits)

constexpr uint32_t Top = 1u << 24, Bot = 1u << 15;

class TRangeEncoder {
public:
    TRangeEncoder(uint8_t* out, uint32_t pos, uint32_t capacity) : FOut(out), FPos(pos), FCap(capacity) {}

    // False when the interval can no longer be split (never for a sound model).
    bool Encode(uint32_t cum, uint32_t freq, uint32_t total) {
        const uint32_t r = FRange / total;
        if (r == 0 || freq == 0) return false;
        FLow += cum * r;
        FRange = r * freq;
        Normalize();
        return !FOverflow;
    }
    bool EncodeBin(uint32_t cum, uint32_t freq) {
        const uint32_t r = FRange >> 14;
        FLow += cum * r;
        FRange = r * freq;
        Normalize();
        return !FOverflow;
    }
    bool Flush() {
        for (int i = 0; i < 4; ++i) {
            Put(uint8_t(FLow >> 24));
            FLow <<= 8;
        }
        return !FOverflow;
    }
    uint32_t Pos() const { return FPos; }

private:
    void Normalize() {
        for (;;) {
            if ((FLow ^ (FLow + FRange)) >= Top) {
                if (FRange >= Bot) break;
                FRange = (0u - FLow) & (Bot - 1);
            }
            Put(uint8_t(FLow >> 24));
            FLow <<= 8;
            FRange <<= 8;
        }
    }
    void Put(uint8_t b) {
        if (FPos < FCap) FOut[FPos++] = b;
        else FOverflow = true;
    }

    uint8_t* FOut;
    uint32_t FPos, FCap;
    uint32_t FLow = 0, FRange = 0xFFFFFFFFu;
    bool FOverflow = false;
};

class TRangeDecoder {
public:
    TRangeDecoder(const uint8_t* in, uint32_t pos, uint32_t size) : FIn(in), FPos(pos), FSize(size) {
        for (int i = 0; i < 4; ++i) FCode = (FCode << 8) | Next();
    }
    // The count within Total of the next event; false when the interval is gone.
    bool GetCount(uint32_t total, uint32_t& count) {
        FRange /= total;
        if (FRange == 0) return false;
        count = (FCode - FLow) / FRange;
        return true;
    }
    uint32_t GetBinCount() {
        FRange >>= 14;
        return (FCode - FLow) / FRange;
    }
    // After GetCount / GetBinCount: remove the chosen sub-interval.
    void Decode(uint32_t cum, uint32_t freq) {
        FLow += cum * FRange;
        FRange *= freq;
        for (;;) {
            if ((FLow ^ (FLow + FRange)) >= Top) {
                if (FRange >= Bot) break;
                FRange = (0u - FLow) & (Bot - 1);
            }
            FCode = (FCode << 8) | Next();
            FLow <<= 8;
            FRange <<= 8;
        }
    }
    bool Alive() const { return FRange != 0; }

private:
    // A byte beyond the input reads as the all-ones word.
    uint32_t Next() { return FPos < FSize ? FIn[FPos++] : 0xFFFFFFFFu; }

    const uint8_t* FIn;
    uint32_t FPos, FSize;
    uint32_t FLow = 0, FRange = 0xFFFFFFFFu, FCode = 0;
};

// Output of the decoder: a fixed buffer, or a heap buffer growing to a limit.
class TOutput {
public:
    TOutput(uint8_t* fixed, uint32_t capacity) : FBuf(fixed), FCap(capacity), FLimit(capacity), FOwned(false) {}
    explicit TOutput(uint32_t limit) : FLimit(limit), FOwned(true) {}
    ~TOutput() {
        if (FOwned) std::free(FBuf);
    }
    bool Put(uint8_t b) {
        if (FSize == FCap && !Grow()) return false;
        FBuf[FSize++] = b;
        return true;
    }
    uint32_t Size() const { return FSize; }
    uint8_t* Release() {
        uint8_t* p = FBuf;
        FBuf = nullptr;
        return p;
    }

private:
    bool Grow() {
        if (!FOwned || FCap >= FLimit) return false;
        uint64_t cap = FCap ? uint64_t(FCap) * 2 : 65536;
        if (cap > FLimit) cap = FLimit;
        auto* p = static_cast<uint8_t*>(std::realloc(FBuf, size_t(cap)));
        if (!p) return false;
        FBuf = p;
        FCap = uint32_t(cap);
        return true;
    }

    uint8_t* FBuf = nullptr;
    uint32_t FSize = 0, FCap = 0, FLimit;
    bool FOwned;
};

// ---------------------------------------------------------------------------
// The model

struct TSee2Context {
    uint16_t Summ;
    uint8_t Shift;
    uint8_t Count;

    uint32_t GetMean() {
        const uint32_t r = uint32_t(Summ >> Shift);
        Summ = uint16_t(Summ - r);
        const uint32_t esc = r % 1024;
        return esc ? esc : 1;
    }
    void Update() {
        if (Shift < 7 && --Count == 0) {
            Summ = uint16_t(Summ * 2);
            Count = uint8_t(3 << Shift++);
        }
    }
};

struct TState {
    uint8_t Symbol;
    uint8_t Freq;
    uint32_t Successor;
};

class TPPMModel {
public:
    explicit TPPMModel(int32_t maxOrder) : FMaxOrder(maxOrder) {}

    bool Start(uint32_t memoryMB) {
        if (!FAlloc.Start(memoryMB)) return false;
        B = FAlloc.Base();
        RestartModel();
        return true;
    }

    bool Encode(const uint8_t* in, uint32_t size, TRangeEncoder& rc);
    bool Decode(TRangeDecoder& rc, TOutput& out);

private:
    // --- field access (offsets into the model memory)
    uint16_t NumStats(uint32_t c) const { return Get16(c); }
    void SetNumStats(uint32_t c, uint32_t v) { Set16(c, uint16_t(v)); }
    uint16_t SummFreq(uint32_t c) const { return Get16(c + 2); }
    void SetSummFreq(uint32_t c, uint32_t v) { Set16(c + 2, uint16_t(v)); }
    uint32_t Stats(uint32_t c) const { return Get32(c + 4); }
    void SetStats(uint32_t c, uint32_t v) { Set32(c + 4, v); }
    uint32_t Suffix(uint32_t c) const { return Get32(c + 8); }
    void SetSuffix(uint32_t c, uint32_t v) { Set32(c + 8, v); }
    static uint32_t OneState(uint32_t c) { return c + 2; }

    uint8_t Sym(uint32_t s) const { return B[s]; }
    uint8_t Freq(uint32_t s) const { return B[s + 1]; }
    void SetFreq(uint32_t s, uint32_t f) { B[s + 1] = uint8_t(f); }
    uint32_t Succ(uint32_t s) const { return Get32(s + 2); }
    void SetSucc(uint32_t s, uint32_t v) { Set32(s + 2, v); }
    TState ReadState(uint32_t s) const { return {B[s], B[s + 1], Get32(s + 2)}; }
    void WriteState(uint32_t s, const TState& t) {
        B[s] = t.Symbol;
        B[s + 1] = t.Freq;
        Set32(s + 2, t.Successor);
    }
    void SwapStates(uint32_t a, uint32_t b) {
        uint8_t t[6];
        std::memcpy(t, B + a, 6);
        std::memmove(B + a, B + b, 6);
        std::memcpy(B + b, t, 6);
    }
    // A real context (at least one symbol), as opposed to a placeholder.
    bool IsContext(uint32_t c) const { return c != 0 && NumStats(c) != 0; }
    // The state of symbol Sym in context C; 0 when absent.
    uint32_t FindState(uint32_t c, uint8_t sym) const {
        const uint32_t ns = NumStats(c);
        if (ns == 1) return Sym(OneState(c)) == sym ? OneState(c) : 0;
        uint32_t p = Stats(c);
        for (uint32_t i = 0; i < ns; ++i, p += 6)
            if (Sym(p) == sym) return p;
        return 0;
    }

    uint16_t Get16(uint32_t o) const {
        uint16_t v;
        std::memcpy(&v, B + o, 2);
        return v;
    }
    void Set16(uint32_t o, uint16_t v) { std::memcpy(B + o, &v, 2); }
    uint32_t Get32(uint32_t o) const {
        uint32_t v;
        std::memcpy(&v, B + o, 4);
        return v;
    }
    void Set32(uint32_t o, uint32_t v) { std::memcpy(B + o, &v, 4); }

    // --- model
    void RestartModel();
    void UpdateModel();
    uint32_t CreateSuccessors(int skipMode, uint32_t givenState);
    void Rescale();
    void AfterSymbol();
    uint16_t& BinProbability();
    TSee2Context* MakeEscFreq(uint32_t diff, uint32_t& escFreq);
    void MaskAll(uint32_t c);

    // --- coding decisions
    bool EncodeBinSymbol(int c, TRangeEncoder& rc);
    bool EncodeSymbol1(int c, TRangeEncoder& rc);
    bool EncodeSymbol2(int c, TRangeEncoder& rc);
    bool DecodeBinSymbol(TRangeDecoder& rc);
    bool DecodeSymbol1(TRangeDecoder& rc);
    bool DecodeSymbol2(TRangeDecoder& rc);
    void Update1(uint32_t p);
    void Update2(uint32_t p);

    uint8_t* B = nullptr;
    TSubAllocator FAlloc;
    int32_t FMaxOrder;
    uint32_t MinContext = 0, MaxContext = 0, FoundState = 0, Recorder = 0;
    int32_t OrderFall = 0;
    uint32_t NumMasked = 0;
    uint8_t EscCount = 1, PrevSuccess = 0, InitEsc = 0;
    uint8_t CharMask[256] = {};
    uint16_t BinSumm[128][16] = {};
    TSee2Context See2Cont[43][8] = {};
    TSee2Context DummySee2Cont = {};
};

void TPPMModel::RestartModel() {
    FAlloc.Init();
    std::memset(CharMask, 0, sizeof(CharMask));
    EscCount = 1;
    PrevSuccess = 0;
    OrderFall = 1;
    NumMasked = 0;
    for (int i = 0; i < 128; ++i)
        for (int k = 0; k < 16; ++k) BinSumm[i][k] = uint16_t(BinScale - InitBinEsc[k] / (i + 2));
    for (int i = 0; i < 43; ++i)
        for (int k = 0; k < 8; ++k) See2Cont[i][k] = {uint16_t((4 * i + 10) * 8), 3, 3};
    DummySee2Cont = {0, 7, 64};

    const uint32_t root = FAlloc.AllocContext();
    SetNumStats(root, 256);
    SetSummFreq(root, 257);
    SetStats(root, FAlloc.AllocUnits(128));
    SetSuffix(root, 0);
    for (int i = 0; i < 256; ++i) WriteState(Stats(root) + 6 * i, {uint8_t(i), 1, 0});

    // A chain of one-symbol contexts of symbol 0 up to the maximum order, the
    // last one empty: it is the first placeholder that records the data.
    uint32_t prev = root, prevState = Stats(root);
    for (int k = 1; k <= FMaxOrder; ++k) {
        const uint32_t c = FAlloc.AllocContext();
        std::memset(B + c, 0, UnitSize);
        SetSuffix(c, prev);
        SetSucc(prevState, c);
        if (k < FMaxOrder) {
            SetNumStats(c, 1);
            WriteState(OneState(c), {0, 1, 0});
            prevState = OneState(c);
            MinContext = MaxContext = c;
        } else {
            Recorder = c;
        }
        prev = c;
    }
}

uint16_t& TPPMModel::BinProbability() {
    const uint32_t s = OneState(MinContext);
    const uint32_t suffix = Suffix(MinContext);
    const uint32_t n = suffix ? NumStats(suffix) : 1;
    return BinSumm[(Freq(s) - 1) & 127][PrevSuccess + NS2BSIndx[(n - 1) & 0xFF]];
}

void TPPMModel::MaskAll(uint32_t c) {
    const uint32_t ns = NumStats(c);
    uint32_t p = Stats(c);
    for (uint32_t i = 0; i < ns; ++i, p += 6) CharMask[Sym(p)] = EscCount;
    NumMasked = ns;
    FoundState = 0;
}

TSee2Context* TPPMModel::MakeEscFreq(uint32_t diff, uint32_t& escFreq) {
    const uint32_t ns = NumStats(MinContext);
    if (ns == 256) {
        escFreq = 1;
        return &DummySee2Cont;
    }
    const uint32_t suffix = Suffix(MinContext);
    const int32_t suffixNS = suffix ? NumStats(suffix) : 0;
    const int col = (int32_t(diff) < suffixNS - int32_t(ns)) + 2 * (SummFreq(MinContext) < 11 * ns) +
                    4 * (NumMasked > diff);
    TSee2Context* see = &See2Cont[NS2Indx[diff - 1]][col];
    escFreq = see->GetMean();
    return see;
}

void TPPMModel::Update1(uint32_t p) {
    SetFreq(p, Freq(p) + 4);
    SetSummFreq(MinContext, SummFreq(MinContext) + 4);
    if (Freq(p) > Freq(p - 6)) {
        SwapStates(p, p - 6);
        p -= 6;
    }
    FoundState = p;
    if (Freq(p) > MaxFreq) Rescale();
}

void TPPMModel::Update2(uint32_t p) {
    FoundState = p;
    SetFreq(p, Freq(p) + 4);
    SetSummFreq(MinContext, SummFreq(MinContext) + 4);
    if (Freq(p) > MaxFreq) Rescale();
    ++EscCount;
}

void TPPMModel::Rescale() {
    const uint32_t oldNS = NumStats(MinContext);
    const uint32_t stats = Stats(MinContext);
    for (uint32_t p = FoundState; p != stats; p -= 6) SwapStates(p, p - 6);
    SetFreq(stats, Freq(stats) + 4);
    SetSummFreq(MinContext, SummFreq(MinContext) + 4);
    int32_t escFreq = int32_t(SummFreq(MinContext)) - Freq(stats);
    const uint32_t adder = OrderFall != 0;
    SetFreq(stats, (Freq(stats) + adder) >> 1);
    uint32_t sum = Freq(stats);
    uint32_t p = stats;
    for (uint32_t i = 1; i < oldNS; ++i) {
        p += 6;
        escFreq -= Freq(p);
        SetFreq(p, (Freq(p) + adder) >> 1);
        sum += Freq(p);
        if (Freq(p) > Freq(p - 6)) {
            const TState tmp = ReadState(p);
            uint32_t p1 = p;
            do {
                std::memmove(B + p1, B + p1 - 6, 6);
                p1 -= 6;
            } while (p1 != stats && tmp.Freq > Freq(p1 - 6));
            WriteState(p1, tmp);
        }
    }
    uint32_t ns = oldNS;
    if (Freq(p) == 0) {
        uint32_t zeros = 0;
        do {
            ++zeros;
            p -= 6;
        } while (Freq(p) == 0);
        escFreq += int32_t(zeros);
        ns -= zeros;
        SetNumStats(MinContext, ns);
        if (ns == 1) {
            TState tmp = ReadState(stats);
            do {
                tmp.Freq = uint8_t(tmp.Freq - (tmp.Freq >> 1));
                escFreq >>= 1;
            } while (escFreq > 3);
            FAlloc.FreeUnits(stats, (oldNS + 1) >> 1);
            WriteState(OneState(MinContext), tmp);
            FoundState = OneState(MinContext);
            return;
        }
    }
    SetSummFreq(MinContext, sum + uint32_t(escFreq - (escFreq >> 1)));
    const uint32_t n0 = (oldNS + 1) >> 1, n1 = (ns + 1) >> 1;
    if (n0 != n1) SetStats(MinContext, FAlloc.ShrinkUnits(stats, n0, n1));
    FoundState = Stats(MinContext);
}

// New contexts for the data that followed FoundState's placeholder successor.
// Returns the context that becomes FoundState's successor, 0 when memory is out
// (or the chain is not what the model guarantees, which restarts it the same way).
uint32_t TPPMModel::CreateSuccessors(int skipMode, uint32_t givenState) {
    uint32_t pc = MinContext;
    const uint32_t upBranch = Succ(FoundState);
    const uint8_t sym = Sym(FoundState);
    if (!upBranch) return 0;
    uint32_t collected[MaxCollected];
    int n = 0;
    uint32_t parent = 0;

    if (skipMode == 0) {
        collected[n++] = FoundState;
        if (!Suffix(pc)) parent = pc;
    } else if (skipMode == 2) {
        pc = Suffix(pc);
        if (!pc) return 0;
    }
    if (!parent) {
        uint32_t p = 0;
        if (givenState) {
            pc = Suffix(pc);
            if (!pc) return 0;
            p = givenState;
        }
        for (;;) {
            if (!p) {
                if (!Suffix(pc)) {
                    parent = pc;
                    break;
                }
                pc = Suffix(pc);
                p = FindState(pc, sym);
                if (!p) return 0;
            }
            if (Succ(p) != upBranch) {
                parent = Succ(p);
                break;
            }
            if (n == MaxCollected) return 0;
            collected[n++] = p;
            p = 0;
            if (!Suffix(pc)) {
                parent = pc;
                break;
            }
        }
    }
    if (!IsContext(parent) || IsContext(upBranch)) return 0;

    const TState up = ReadState(OneState(upBranch));
    uint32_t upFreq;
    if (NumStats(parent) == 1) {
        upFreq = Freq(OneState(parent));
    } else {
        const uint32_t q = FindState(parent, up.Symbol);
        if (!q) return 0;
        const int32_t cf = Freq(q) - 1;
        // The parent's other frequencies and escape room; never 0 as a divisor.
        int32_t s0 = int32_t(SummFreq(parent)) - int32_t(NumStats(parent)) - cf;
        if (s0 < 1) s0 = 1;
        upFreq = 1 + ((2 * cf > s0) ? (2 * cf + 3 * s0 - 1) / (2 * s0) : (5 * cf > s0));
    }
    if (upFreq > 128) upFreq = 128;

    uint32_t child = parent;
    while (n > 0) {
        const uint32_t c = FAlloc.AllocContext();
        if (!c) return 0;
        SetNumStats(c, 1);
        WriteState(OneState(c), {up.Symbol, uint8_t(upFreq), up.Successor});
        SetSuffix(c, child);
        SetSucc(collected[--n], c);
        child = c;
    }
    if (OrderFall == 0) {
        // At the top order the placeholder itself becomes the new context.
        SetNumStats(upBranch, 1);
        SetFreq(OneState(upBranch), upFreq);
        SetSuffix(upBranch, child);
        return upBranch;
    }
    return child;
}

void TPPMModel::UpdateModel() {
    const TState fs = ReadState(FoundState);
    uint32_t p = 0;
    uint32_t pc = Suffix(MinContext);

    if (fs.Freq <= 30 && pc) {
        if (NumStats(pc) != 1) {
            p = Stats(pc);
            if (Sym(p) != fs.Symbol) {
                p = FindState(pc, fs.Symbol);
                if (p && Freq(p) >= Freq(p - 6)) {
                    SwapStates(p, p - 6);
                    p -= 6;
                }
            }
            if (p && Freq(p) < 108) {
                SetFreq(p, Freq(p) + 2);
                SetSummFreq(pc, SummFreq(pc) + 2);
            }
        } else if (Sym(OneState(pc)) == fs.Symbol) {
            p = OneState(pc);
            if (Freq(p) < 32) SetFreq(p, Freq(p) + 1);
        }
    }

    if (OrderFall == 0) {
        const uint32_t s = CreateSuccessors(2, 0);
        if (!s) return RestartModel();
        SetSucc(FoundState, s);
        MinContext = MaxContext = s;
        return;
    }

    const int32_t oldOrderFall = OrderFall--;
    uint32_t successor;
    if (oldOrderFall == 1 && fs.Successor) {
        successor = fs.Successor;
    } else {
        successor = FAlloc.AllocContext();
        if (!successor) return RestartModel();
        std::memset(B + successor, 0, UnitSize);
    }
    if (Recorder && NumStats(Recorder) == 0) {
        B[OneState(Recorder)] = fs.Symbol;
        SetSucc(OneState(Recorder), successor);
    }

    const uint32_t ns = NumStats(MinContext);
    const int64_t s0 = int64_t(SummFreq(MinContext)) - ns - (fs.Freq - 1);
    for (pc = MaxContext; pc != MinContext; pc = Suffix(pc)) {
        if (!pc) return RestartModel();
        uint32_t ns1 = NumStats(pc);
        if (ns1 != 1) {
            if ((ns1 & 1) == 0) {
                const uint32_t st = FAlloc.ExpandUnits(Stats(pc), ns1 >> 1);
                if (!st) return RestartModel();
                SetStats(pc, st);
            }
            const uint32_t sum = SummFreq(pc);
            SetSummFreq(pc, sum + 2 * ((8 * ns1 >= sum) && (ns >= 4 * ns1)) + (2 * ns1 < ns));
        } else {
            const uint32_t st = FAlloc.AllocUnits(1);
            if (!st) return RestartModel();
            TState one = ReadState(OneState(pc));
            one.Freq = one.Freq >= 30 ? 120 : uint8_t(2 * one.Freq);
            WriteState(st, one);
            SetStats(pc, st);
            SetSummFreq(pc, one.Freq + InitEsc + (ns > 3));
        }
        const int64_t sum = SummFreq(pc);
        int64_t cf = 2 * int64_t(fs.Freq) * (sum + 6);
        const int64_t sf = s0 + sum;
        if (cf < 6 * sf) {
            cf = 1 + (cf > sf) + (cf >= 4 * sf);
            SetSummFreq(pc, sum + 3);
        } else {
            cf = 4 + (cf >= 9 * sf) + (cf >= 12 * sf) + (cf >= 15 * sf);
            SetSummFreq(pc, uint32_t(sum + cf));
        }
        WriteState(Stats(pc) + 6 * ns1, {fs.Symbol, uint8_t(cf), successor});
        SetNumStats(pc, ++ns1);
    }

    if (!fs.Successor) {
        SetSucc(FoundState, successor);
        ++OrderFall;
    } else if (IsContext(fs.Successor)) {
        MinContext = fs.Successor;
    } else {
        const uint32_t s = CreateSuccessors(oldOrderFall == 1 ? 1 : 0, p);
        if (!s) return RestartModel();
        SetSucc(FoundState, s);
        MinContext = s;
    }
    MaxContext = MinContext;
    Recorder = successor;
}

void TPPMModel::AfterSymbol() {
    const uint32_t succ = Succ(FoundState);
    if (OrderFall == 0 && IsContext(succ)) {
        MinContext = MaxContext = succ;
    } else {
        UpdateModel();
        if (EscCount == 0) {
            EscCount = 1;
            std::memset(CharMask, 0, sizeof(CharMask));
        }
    }
}

// --- encoder

bool TPPMModel::EncodeBinSymbol(int c, TRangeEncoder& rc) {
    const uint32_t s = OneState(MinContext);
    uint16_t& bs = BinProbability();
    if (Sym(s) == c) {
        if (!rc.EncodeBin(0, bs)) return false;
        FoundState = s;
        if (Freq(s) < 128) SetFreq(s, Freq(s) + 1);
        bs = uint16_t(bs + 128 - ((bs + 32) >> 7));
        PrevSuccess = 1;
    } else {
        if (!rc.EncodeBin(bs, BinScale - bs)) return false;
        bs = uint16_t(bs - ((bs + 32) >> 7));
        InitEsc = ExpEscape[bs >> 10];
        CharMask[Sym(s)] = EscCount;
        NumMasked = 1;
        PrevSuccess = 0;
        FoundState = 0;
    }
    return true;
}

bool TPPMModel::EncodeSymbol1(int c, TRangeEncoder& rc) {
    const uint32_t ns = NumStats(MinContext);
    const uint32_t sum = SummFreq(MinContext);
    uint32_t p = Stats(MinContext);
    if (Sym(p) == c) {
        const uint32_t f = Freq(p);
        PrevSuccess = 2 * f > sum;
        if (!rc.Encode(0, f, sum)) return false;
        FoundState = p;
        SetFreq(p, f + 4);
        SetSummFreq(MinContext, sum + 4);
        if (f + 4 > MaxFreq) Rescale();
        return true;
    }
    PrevSuccess = 0;
    uint32_t lo = Freq(p);
    for (uint32_t i = 1; i < ns; ++i) {
        p += 6;
        if (Sym(p) == c) {
            if (!rc.Encode(lo, Freq(p), sum)) return false;
            Update1(p);
            return true;
        }
        lo += Freq(p);
    }
    if (lo >= sum || !rc.Encode(lo, sum - lo, sum)) return false;
    MaskAll(MinContext);
    return true;
}

bool TPPMModel::EncodeSymbol2(int c, TRangeEncoder& rc) {
    const uint32_t ns = NumStats(MinContext);
    const uint32_t diff = ns - NumMasked;
    uint32_t escFreq;
    TSee2Context* see = MakeEscFreq(diff, escFreq);
    uint32_t p = Stats(MinContext), found = 0, lo = 0, hi = 0;
    for (uint32_t i = 0; i < ns; ++i, p += 6) {
        if (CharMask[Sym(p)] == EscCount) continue;
        if (Sym(p) == c) {
            found = p;
            lo = hi;
        }
        hi += Freq(p);
    }
    const uint32_t total = hi + escFreq;
    if (found) {
        if (!rc.Encode(lo, Freq(found), total)) return false;
        see->Update();
        Update2(found);
        return true;
    }
    if (!rc.Encode(hi, escFreq, total)) return false;
    see->Summ = uint16_t(see->Summ + total);
    MaskAll(MinContext);
    return true;
}

bool TPPMModel::Encode(const uint8_t* in, uint32_t size, TRangeEncoder& rc) {
    for (uint32_t i = 0;; ++i) {
        const int c = i < size ? in[i] : -1;  // -1: the end symbol, found nowhere
        if (!IsContext(MinContext)) return false;
        if (NumStats(MinContext) != 1 ? !EncodeSymbol1(c, rc) : !EncodeBinSymbol(c, rc)) return false;
        while (!FoundState) {
            do {
                ++OrderFall;
                MinContext = Suffix(MinContext);
                if (!MinContext) return rc.Flush();
            } while (NumStats(MinContext) == NumMasked);
            if (!EncodeSymbol2(c, rc)) return false;
        }
        AfterSymbol();
    }
}

// --- decoder

bool TPPMModel::DecodeBinSymbol(TRangeDecoder& rc) {
    const uint32_t s = OneState(MinContext);
    uint16_t& bs = BinProbability();
    if (rc.GetBinCount() < bs) {
        rc.Decode(0, bs);
        FoundState = s;
        if (Freq(s) < 128) SetFreq(s, Freq(s) + 1);
        bs = uint16_t(bs + 128 - ((bs + 32) >> 7));
        PrevSuccess = 1;
    } else {
        rc.Decode(bs, BinScale - bs);
        bs = uint16_t(bs - ((bs + 32) >> 7));
        InitEsc = ExpEscape[bs >> 10];
        CharMask[Sym(s)] = EscCount;
        NumMasked = 1;
        PrevSuccess = 0;
        FoundState = 0;
    }
    return rc.Alive();
}

bool TPPMModel::DecodeSymbol1(TRangeDecoder& rc) {
    const uint32_t ns = NumStats(MinContext);
    const uint32_t sum = SummFreq(MinContext);
    uint32_t count;
    if (!rc.GetCount(sum, count)) return false;
    uint32_t p = Stats(MinContext);
    uint32_t hi = Freq(p);
    if (count < hi) {
        PrevSuccess = 2 * hi > sum;
        rc.Decode(0, hi);
        FoundState = p;
        SetFreq(p, hi + 4);
        SetSummFreq(MinContext, sum + 4);
        if (hi + 4 > MaxFreq) Rescale();
        return rc.Alive();
    }
    PrevSuccess = 0;
    for (uint32_t i = 1; i < ns; ++i) {
        p += 6;
        if ((hi += Freq(p)) > count) {
            rc.Decode(hi - Freq(p), Freq(p));
            Update1(p);
            return rc.Alive();
        }
    }
    if (hi >= sum) return false;
    rc.Decode(hi, sum - hi);
    MaskAll(MinContext);
    return rc.Alive();
}

bool TPPMModel::DecodeSymbol2(TRangeDecoder& rc) {
    const uint32_t ns = NumStats(MinContext);
    const uint32_t diff = ns - NumMasked;
    uint32_t escFreq;
    TSee2Context* see = MakeEscFreq(diff, escFreq);
    uint32_t p = Stats(MinContext), hi = 0;
    for (uint32_t i = 0; i < ns; ++i, p += 6)
        if (CharMask[Sym(p)] != EscCount) hi += Freq(p);
    const uint32_t total = hi + escFreq;
    uint32_t count;
    if (!rc.GetCount(total, count)) return false;
    if (count < hi) {
        uint32_t lo = 0;
        p = Stats(MinContext);
        for (;; p += 6) {
            if (CharMask[Sym(p)] == EscCount) continue;
            if (lo + Freq(p) > count) break;
            lo += Freq(p);
        }
        rc.Decode(lo, Freq(p));
        see->Update();
        Update2(p);
        return rc.Alive();
    }
    rc.Decode(hi, escFreq);
    see->Summ = uint16_t(see->Summ + total);
    MaskAll(MinContext);
    return rc.Alive();
}

bool TPPMModel::Decode(TRangeDecoder& rc, TOutput& out) {
    for (;;) {
        if (!IsContext(MinContext)) return false;
        if (NumStats(MinContext) != 1 ? !DecodeSymbol1(rc) : !DecodeBinSymbol(rc)) return false;
        while (!FoundState) {
            do {
                ++OrderFall;
                MinContext = Suffix(MinContext);
                if (!MinContext) return true;  // the end symbol
            } while (NumStats(MinContext) == NumMasked);
            if (!DecodeSymbol2(rc)) return false;
        }
        if (!out.Put(Sym(FoundState))) return false;
        AfterSymbol();
    }
}

bool ValidParams(int32_t maxOrder, int32_t memoryMB) {
    return maxOrder >= 2 && maxOrder <= 16 && memoryMB >= 1 && memoryMB <= 256;
}

int32_t DecodeStream(const uint8_t* inBuf, int32_t inSize, TOutput& out) {
    if (!inBuf || inSize < 4) return 0;
    const uint32_t word = LoadLE32(inBuf);
    if (((word >> 12) & 0xF) != 6) return 0;
    const int32_t maxOrder = int32_t(word & 0xF) + 1;
    const int32_t memoryMB = int32_t((word >> 4) & 0xFF) + 1;
    if (!ValidParams(maxOrder, memoryMB)) return 0;
    auto model = std::make_unique<TPPMModel>(maxOrder);
    if (!model->Start(uint32_t(memoryMB))) return 0;
    TRangeDecoder rc(inBuf, 4, uint32_t(inSize));
    if (!model->Decode(rc, out)) return 0;
    return int32_t(out.Size());
}

}  // namespace

TPPMParams PPMModeParams(uint8_t mode) {
    static constexpr TPPMParams table[10] = {{0, 0},  {2, 2},   {3, 3},   {4, 7},   {5, 16},
                                             {7, 22}, {8, 25}, {10, 40}, {13, 100}, {16, 100}};
    return mode <= 9 ? table[mode] : TPPMParams{0, 0};
}

uint32_t PPMParameterWord(int32_t maxOrder, int32_t memoryMB) {
    return (uint32_t(maxOrder - 1) & 0xF) | (uint32_t(memoryMB - 1) & 0xFF) << 4 | 6u << 12;
}

int32_t PPMCompress(const uint8_t* inBuf, int32_t inSize, uint8_t* outBuf, int32_t outCapacity,
                    int32_t maxOrder, int32_t memoryMB) {
    if (!outBuf || outCapacity < 4 || inSize < 0 || (inSize > 0 && !inBuf) || !ValidParams(maxOrder, memoryMB))
        return 0;
    const uint32_t word = PPMParameterWord(maxOrder, memoryMB);
    StoreLE32(outBuf, word);
    auto model = std::make_unique<TPPMModel>(maxOrder);
    if (!model->Start(uint32_t(memoryMB))) return 0;
    TRangeEncoder rc(outBuf, 4, uint32_t(outCapacity));
    if (!model->Encode(inBuf, uint32_t(inSize), rc)) return 0;
    return int32_t(rc.Pos());
}

int32_t PPMDecompress(const uint8_t* inBuf, int32_t inSize, uint8_t* outBuf, int32_t outCapacity) {
    if (!outBuf || outCapacity < 0) return 0;
    TOutput out(outBuf, uint32_t(outCapacity));
    return DecodeStream(inBuf, inSize, out);
}

int32_t PPMDecompressAlloc(const uint8_t* inBuf, int32_t inSize, int32_t outLimit, uint8_t*& outBuf) {
    outBuf = nullptr;
    if (outLimit <= 0) return 0;
    TOutput out{uint32_t(outLimit)};
    const int32_t n = DecodeStream(inBuf, inSize, out);
    if (n > 0) outBuf = out.Release();
    return n;
}

}  // namespace orq
