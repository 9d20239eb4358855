// Strict bounds on a string index that keeps only a prefix of each value, the same cases
// for every engine: one VARCHAR(40) field S, index BY_S keeping 20 characters, N values
// that all share their first 23 characters and differ only in five digits after them.
// Every separator of such a tree ties on its prefix, so only the full values, read from
// the records, order the entries around a bound.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/foundation/ORQContainers.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/foundation/ORQVariant.h"
#include "engine/storage/ORQCursor.h"
#include "engine/storage/ORQTableData.h"

namespace prefixkeys {

using namespace orq;

inline constexpr int32_t Width = 40;
inline constexpr int32_t Kept = 20;
inline constexpr const char* IndexName = "BY_S";

// I in 0 .. 99999 as five digits after the shared 23 characters.
inline std::string Value(int I) {
    std::string digits = std::to_string(I);
    if (digits.size() < 5) digits.insert(0, 5 - digits.size(), '0');
    return "ABCDEFGHIJKLMNOPQRSTUVW" + digits;
}

inline void Fields(TORQFieldDefs& Defs) {
    TORQFieldDef* f = Defs.Add();
    f->Name = "S";
    f->SetDataType(aftVarChar, Width);
}

inline void Indexes(TORQIndexDefs& Defs, bool Descending) {
    TORQIndexDef* d = Defs.Add();
    d->Name = IndexName;
    d->SetColumnCount(1);
    d->GetColumn(0).FieldName = "S";
    d->GetColumn(0).Descending = Descending ? 1 : 0;
    d->GetColumn(0).MaxIndexedSize = Kept;
}

inline void Put(TORQCursor& C, uint8_t* Record, const std::string& V) {
    std::memset(Record, 0, static_cast<size_t>(C.RecordBufferSize));
    SetBit(Record, 0, false);
    TORQVariant v;
    v.SetAsString(V);
    C.SetFieldValue(v, 0, Record, true);
}

inline std::string Current(const TORQCursor& C) {
    TORQVariant v;
    C.GetFieldValue(v, 0, true);
    return v.IsNull() ? std::string("<null>") : v.GetAsString();
}

// Values 0 .. N - 1 in a seeded order.
inline void Fill(TORQTableData& T, TORQCursor& C, int N) {
    std::vector<int> order(static_cast<size_t>(N));
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(N));
    for (int i : order) {
        Put(C, C.CurrentRecord, Value(i));
        ASSERT_TRUE(T.InsertRecord(&C)) << Value(i);
    }
}

// The values a walk meets, in the walk's direction.
inline std::vector<std::string> Walk(TORQTableData& T, TORQCursor& C, bool Forward) {
    C.Bof = Forward ? 1 : 0;
    C.Eof = Forward ? 0 : 1;
    std::vector<std::string> seen;
    while (T.GetRecord(&C, Forward ? gmNext : gmPrior) == grOK && seen.size() < 100000) seen.push_back(Current(C));
    return seen;
}

// Checks every case on a filled table through cursor C (which must be open on it) and
// answers how many cases gave a wrong result.
inline int CheckStrictBounds(TORQTableData& T, TORQCursor& C, int N, bool Descending) {
    C.IndexDefs.Assign(T.IndexManager->IndexDefs);
    C.SetIndexName(IndexName);
    EXPECT_NE(C.IndexID, -1);
    // The values in key order, and where the bound stands among them.
    std::vector<std::string> order;
    for (int i = 0; i < N; ++i) order.push_back(Value(i));
    if (Descending) std::reverse(order.begin(), order.end());
    const int mid = N / 2;
    const std::string bound = Value(mid);
    const auto at = static_cast<size_t>(std::find(order.begin(), order.end(), bound) - order.begin());
    const int32_t keySize = std::max({C.RecordIDBufferSize, C.RecordBufferSize, C.FullBufferSize});
    std::vector<uint8_t> key(static_cast<size_t>(keySize), 0);
    Put(C, key.data(), bound);
    int failed = 0;

    // FindKey: the first record in key order that meets the operator.
    const struct {
        uint8_t Operator;
        const char* Name;
        size_t Expected;
    } finds[] = {{scoGreater, ">", at + 1},   {scoGreaterOrEqual, ">=", at}, {scoEqual, "=", at},
                 {scoLess, "<", 0},           {scoLessOrEqual, "<=", 0}};
    for (const auto& f : finds) {
        C.SearchKey = key.data();
        C.SearchKeySize = C.RecordIDBufferSize;
        C.SearchKeyFieldCount = 1;
        C.Bof = 1;
        C.Eof = 0;
        std::string found = "<none>";
        if (T.FindKey(&C, f.Operator) && T.GetRecord(&C, gmCurrent) == grOK) found = Current(C);
        const std::string& want = order.at(f.Expected);
        EXPECT_EQ(found, want) << "FindKey " << f.Name << " " << bound;
        if (found != want) ++failed;
    }
    C.SearchKey = nullptr;

    // Ranges cut at the bound, open at the other end, walked both ways and counted.
    const struct {
        bool Above;  // (bound, end] when true, [start, bound) otherwise
        bool Exclusive;
    } ranges[] = {{true, true}, {false, true}, {true, false}, {false, false}};
    for (const auto& r : ranges) {
        std::vector<std::string> want;
        if (r.Above)
            want.assign(order.begin() + static_cast<long>(r.Exclusive ? at + 1 : at), order.end());
        else
            want.assign(order.begin(), order.begin() + static_cast<long>(r.Exclusive ? at : at + 1));
        const std::string name = r.Above ? (r.Exclusive ? "(" : "[") + bound + ", end]"
                                         : "[start, " + bound + (r.Exclusive ? ")" : "]");
        if (r.Above)
            C.SetRange(key.data(), nullptr, r.Exclusive, false, 1, 0);
        else
            C.SetRange(nullptr, key.data(), false, r.Exclusive, 0, 1);
        const std::vector<std::string> forward = Walk(T, C, true);
        std::vector<std::string> backward = Walk(T, C, false);
        std::reverse(backward.begin(), backward.end());
        const int64_t count = T.GetRecordCount(&C);
        EXPECT_EQ(forward, want) << "range " << name << " forward";
        EXPECT_EQ(backward, want) << "range " << name << " backward";
        EXPECT_EQ(count, static_cast<int64_t>(want.size())) << "range " << name << " count";
        failed += (forward != want) + (backward != want) + (count != static_cast<int64_t>(want.size()));
        C.CancelRange();
    }
    return failed;
}

}  // namespace prefixkeys
