// Field, index and constraint definitions: the stored bytes of each layout (written out by
// hand below, field by field), every truncation refused with the element's read code,
// counts that promise more than the stream holds, the record layout, default expressions,
// the index search and the name rules.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "FakeExpression.h"
#include "GoldenBytes.h"
#include "engine/foundation/ORQStreams.h"
#include "engine/storage/ORQBase.h"
#include "foundation/ExpectNative.h"

using namespace orq;

namespace {

using golden::Bytes;
using golden::I32;
using golden::I64;
using golden::Txt;
using golden::operator+;

// One element of a stored definition and the code a short read of it raises.
struct Seg {
    Bytes bytes;
    int32_t code;
};

struct Golden {
    std::vector<Seg> segs;
    // Cut lengths at which a count is refused before its elements are read: the count
    // promises more elements than there are bytes left.
    std::map<std::size_t, int32_t> countRefused;

    Bytes All() const {
        Bytes all;
        for (const Seg& s : segs) all = all + s.bytes;
        return all;
    }
    // The code expected when the stream ends after Cut bytes.
    int32_t CodeAt(std::size_t cut) const {
        auto it = countRefused.find(cut);
        if (it != countRefused.end()) return it->second;
        std::size_t end = 0;
        for (const Seg& s : segs) {
            end += s.bytes.size();
            if (cut < end) return s.code;
        }
        return 0;
    }
};

Golden operator+(Golden a, const Golden& b) {
    const std::size_t shift = a.All().size();
    a.segs.insert(a.segs.end(), b.segs.begin(), b.segs.end());
    for (auto [cut, code] : b.countRefused) a.countRefused[cut + shift] = code;
    return a;
}
std::unique_ptr<TORQMemoryStream> StreamOf(const Bytes& b, std::size_t n) {
    auto s = std::make_unique<TORQMemoryStream>();
    if (n > 0) s->Write(b.data(), static_cast<int64_t>(n));
    s->SetPosition(0);
    return s;
}

template <typename T>
Bytes Saved(const T& def) {
    TORQMemoryStream s;
    def.SaveToStream(s);
    return Bytes(s.Memory(), s.Memory() + s.Size());
}

// Every cut short of the whole stream raises the element's read code.
void ExpectEveryCutRefused(const Golden& g, const std::function<void(TORQStream&)>& load) {
    const Bytes all = g.All();
    for (std::size_t cut = 0; cut < all.size(); ++cut) {
        auto s = StreamOf(all, cut);
        auto r = Raised([&] { load(*s); });
        EXPECT_EQ(r.first, g.CodeAt(cut)) << "cut at " << cut << ": " << r.second;
    }
}

// ----- hand-written layouts

// Index "PK", id 5, unique, primary, root 7, one column "ID" ascending, case-sensitive.
Golden PKIndexBytes() {
    Golden g{{{{0x02}, 10166},
              {{'P', 'K'}, 10167},
              {{0x05, 0x00, 0x00, 0x00}, 10169},
              {{0x00}, 10349},
              {{0x01}, 10350},
              {{0x01}, 10351},
              {{0x01, 0x00, 0x00, 0x00}, 10352},
              {{0x07, 0x00, 0x00, 0x00}, 10353},
              {{0x02}, 10358},
              {{'I', 'D'}, 10359},
              {{0x00}, 10360},
              {{0x00}, 10361},
              {{0x14, 0x00, 0x00, 0x00}, 20168}},
             {}};
    g.countRefused[18] = 10352;  // one column promised, no byte left after the root page
    return g;
}

void MakePKIndex(TORQIndexDef& d) {
    d.Name = "PK";
    d.ObjectID = 5;
    d.Unique = 1;
    d.Primary = 1;
    d.RootPage = 7;
    d.SetColumns({"ID"}, {"ASC"}, {"CASE"});
}

Golden Header(const std::string& name, int32_t id) {
    Golden g{{{{static_cast<uint8_t>(name.size())}, 10166}, {Txt(name), 10167}, {I32(id), 10169}}, {}};
    if (name.empty()) g.segs.erase(g.segs.begin() + 1);
    return g;
}

Golden Autoinc(int64_t inc, int64_t init, int64_t min, int64_t max, uint8_t cycled) {
    return {{{I64(inc), 30407}, {I64(init), 30408}, {I64(min), 30409}, {I64(max), 30410}, {{cycled}, 30411}}, {}};
}
Golden NullVariant() { return {{{{0x00}, 10183}, {{0xFF}, 10184}}, {}}; }
Golden IntVariant(int32_t v) {
    return {{{{0x07}, 10183}, {{0x00}, 10184}, {{0x04, 0x00, 0x00, 0x00}, 10185}, {I32(v), 10186}}, {}};
}

// "ID": autoincrement integer (advanced 12, base 7) with its counter settings.
Golden PlainFieldBytes() {
    return Header("ID", 1) + Golden{{{{0x07}, 10187}, {{0x0C}, 10188}, {I32(0), 10189}}, {}} +
           Autoinc(2, 100, 1, 1000, 1) + NullVariant();
}
void MakePlainField(TORQFieldDef& f) {
    f.Name = "ID";
    f.ObjectID = 1;
    f.SetDataType(aftAutoInc, 0);
    f.AutoincIncrement = 2;
    f.AutoincInitialValue = 100;
    f.AutoincMinValue = 1;
    f.AutoincMaxValue = 1000;
    f.AutoincCycled = 1;
    f.BlobBlockSize = 5;  // not stored for a non-BLOB field
}

// "DATA": BLOB (advanced 31, base 18), zlib, mode 2, blocks of 4096.
Golden BlobFieldBytes() {
    return Header("DATA", 2) +
           Golden{{{{0x12}, 10187},
                   {{0x1F}, 10188},
                   {I32(0), 10189},
                   {{0x01}, 10192},
                   {{0x02}, 10193},
                   {{0x00, 0x10, 0x00, 0x00}, 10194}},
                  {}} +
           Autoinc(1, 0, 0, INT64_MAX, 0) + NullVariant();
}
void MakeBlobField(TORQFieldDef& f) {
    f.Name = "DATA";
    f.ObjectID = 2;
    f.SetDataType(aftBlob, 0);
    f.BlobCompressionAlgorithm = 1;
    f.BlobCompressionMode = 2;
    f.BlobBlockSize = 4096;
}

// "NAME": VARCHAR(10) (advanced 2, base 3) defaulting to Text ("abc" by default).
Golden DefaultFieldBytes(const std::string& text = "abc") {
    return Header("NAME", 3) + Golden{{{{0x03}, 10187}, {{0x02}, 10188}, {I32(10), 10189}}, {}} +
           Autoinc(1, 0, 0, INT64_MAX, 0) +
           Golden{{{{0x03}, 10183},
                   {{0x00}, 10184},
                   {I32(static_cast<int32_t>(text.size() + 1)), 10185},
                   {Txt(text) + Bytes{0x00}, 10186}},
                  {}};
}
void MakeDefaultField(TORQFieldDef& f, const std::string& text = "abc") {
    f.Name = "NAME";
    f.ObjectID = 3;
    f.SetDataType(aftVarChar, 10);
    f.DefaultValue.SetAsString(text);
}

// NOT NULL and CHECK names: count byte C = length + 1, then the short string.
Golden ShortName(const std::string& s, int32_t countCode, int32_t bytesCode) {
    return {{{{static_cast<uint8_t>(s.size() + 1)}, countCode},
             {Bytes{static_cast<uint8_t>(s.size())} + Txt(s), bytesCode}},
            {}};
}
// UNIQUE and PRIMARY KEY names: Int32 count C = length + 1, then the short string.
Golden LongName(const std::string& s, int32_t countCode, int32_t bytesCode) {
    return {{{I32(static_cast<int32_t>(s.size() + 1)), countCode},
             {Bytes{static_cast<uint8_t>(s.size())} + Txt(s), bytesCode}},
            {}};
}

// NOT NULL "NN", id 8, on field "AGE" (id 3) of table "T" (id 2).
Golden NotNullBytes() {
    return Header("NN", 8) + Golden{{{I32(0), 10249}, {I32(2), 10250}, {I32(3), 10251}}, {}} +
           ShortName("", 10252, 10253) + ShortName("T", 10254, 10255) + ShortName("AGE", 10256, 10257);
}
void MakeNotNull(TORQConstraintDefNotNull& c) {
    c.Name = "NN";
    c.ObjectID = 8;
    c.TableName = "T";
    c.TableID = 2;
    c.TargetName = "AGE";
    c.TargetID = 3;
}

// CHECK "CK", id 9, on "AGE" of "T", between Integer 0 and Integer 150.
Golden CheckBytes() {
    return Header("CK", 9) + Golden{{{I32(0), 10230}, {I32(2), 10231}, {I32(3), 10232}}, {}} +
           ShortName("", 10233, 10234) + ShortName("T", 10235, 10236) + ShortName("AGE", 10237, 10238) +
           IntVariant(0) + IntVariant(150);
}
void MakeCheck(TORQConstraintDefCheck& c) {
    c.Name = "CK";
    c.ObjectID = 9;
    c.TableName = "T";
    c.TableID = 2;
    c.TargetName = "AGE";
    c.TargetID = 3;
    c.MinValue.SetAsInteger(0);
    c.MaxValue.SetAsInteger(150);
}

// UNIQUE (or PRIMARY KEY) "UQ", id 4, of "T" (id 2), enforced by index "IX" (id 6), on
// columns "A" (id 1) and "B" (id 2).
Golden UniqueBytes() {
    Golden g = Header("UQ", 4) + Golden{{{I32(0), 30303}, {I32(2), 30304}, {I32(6), 30317}}, {}} +
               LongName("", 30305, 30306) + LongName("T", 30307, 30308) + LongName("IX", 30321, 30322);
    const std::size_t columnCountEnd = g.All().size() + 4;
    g = g + Golden{{{I32(2), 30309}}, {}} + Golden{{{I32(1), 30310}}, {}} + LongName("A", 30311, 30312) +
        Golden{{{I32(2), 30310}}, {}} + LongName("B", 30311, 30312);
    g.countRefused[columnCountEnd] = 30309;      // two columns promised, no byte left
    g.countRefused[columnCountEnd + 1] = 30309;  // one byte left
    return g;
}
template <typename T>
void MakeUnique(T& c) {
    c.Name = "UQ";
    c.ObjectID = 4;
    c.TableName = "T";
    c.TableID = 2;
    c.TargetName = "IX";
    c.TargetID = 6;
    c.Columns = {{"A", 1}, {"B", 2}};
}

// A collection count and the cuts at which it promises more items than bytes are left.
Golden CollectionCount(int32_t count, int32_t readCode) {
    Golden g{{{I32(count), readCode}}, {}};
    for (int32_t left = 0; left < count; ++left) g.countRefused[4 + static_cast<std::size_t>(left)] = readCode;
    return g;
}

Golden ConstraintTypeByte(uint8_t type) { return {{{{type}, 10220}}, {}}; }

}  // namespace

// ---------------------------------------------------------------------------------

TEST(DefinitionStreams, DefinitionsSaveTheirHandWrittenLayout) {
    TORQIndexDef pk;
    MakePKIndex(pk);
    TORQFieldDef plain, blob, withDefault;
    MakePlainField(plain);
    MakeBlobField(blob);
    MakeDefaultField(withDefault);
    TORQConstraintDefNotNull notNull;
    MakeNotNull(notNull);
    TORQConstraintDefCheck check;
    MakeCheck(check);
    TORQConstraintDefUnique unique;
    MakeUnique(unique);
    TORQConstraintDefPrimary primary;
    MakeUnique(primary);

    EXPECT_EQ(Saved(pk), PKIndexBytes().All());
    EXPECT_EQ(Saved(plain), PlainFieldBytes().All());
    EXPECT_EQ(Saved(blob), BlobFieldBytes().All());
    EXPECT_EQ(Saved(withDefault), DefaultFieldBytes().All());
    EXPECT_EQ(Saved(notNull), NotNullBytes().All());
    EXPECT_EQ(Saved(check), CheckBytes().All());
    EXPECT_EQ(Saved(unique), UniqueBytes().All());
    EXPECT_EQ(Saved(primary), UniqueBytes().All());
}

TEST(DefinitionStreams, CollectionsSaveCountsAndLeaveTemporaryIndexesOut) {
    TORQFieldDefs fields;
    MakePlainField(*fields.Add());
    MakeBlobField(*fields.Add());
    EXPECT_EQ(Saved(fields), (CollectionCount(2, 10159) + PlainFieldBytes() + BlobFieldBytes()).All());

    TORQIndexDefs indexes;
    TORQIndexDef* temp = indexes.Add();
    temp->Name = "TMP";
    temp->Temporary = 1;
    temp->SetColumns({"X"}, {""}, {""});
    MakePKIndex(*indexes.Add());
    EXPECT_EQ(Saved(indexes), (CollectionCount(1, 10159) + PKIndexBytes()).All());

    TORQConstraintDefs constraints;
    MakeNotNull(*constraints.AddNotNull());
    MakeCheck(*constraints.AddCheck());
    MakeUnique(*constraints.AddUnique());
    MakeUnique(*constraints.AddPrimary());
    EXPECT_EQ(Saved(constraints), (CollectionCount(4, 10159) + ConstraintTypeByte(3) + NotNullBytes() +
                                   ConstraintTypeByte(4) + CheckBytes() + ConstraintTypeByte(2) + UniqueBytes() +
                                   ConstraintTypeByte(0) + UniqueBytes())
                                      .All());
}

namespace {

struct GoldenCase {
    const char* what;
    Golden golden;
    // Loads into a fresh object and saves it again.
    std::function<Bytes(TORQStream&)> reload;
};

template <typename T>
std::function<Bytes(TORQStream&)> Reload() {
    return [](TORQStream& s) {
        T def;
        def.LoadFromStream(s);
        return Saved(def);
    };
}

std::vector<GoldenCase> GoldenCases() {
    return {
        {"PK index", PKIndexBytes(), Reload<TORQIndexDef>()},
        {"plain field", PlainFieldBytes(), Reload<TORQFieldDef>()},
        {"BLOB field", BlobFieldBytes(), Reload<TORQFieldDef>()},
        {"field with default", DefaultFieldBytes(), Reload<TORQFieldDef>()},
        {"NOT NULL", NotNullBytes(), Reload<TORQConstraintDefNotNull>()},
        {"CHECK", CheckBytes(), Reload<TORQConstraintDefCheck>()},
        {"UNIQUE", UniqueBytes(), Reload<TORQConstraintDefUnique>()},
        {"PRIMARY KEY", UniqueBytes(), Reload<TORQConstraintDefPrimary>()},
        {"field collection", CollectionCount(3, 10159) + PlainFieldBytes() + BlobFieldBytes() + DefaultFieldBytes(),
         Reload<TORQFieldDefs>()},
        {"index collection", CollectionCount(1, 10159) + PKIndexBytes(), Reload<TORQIndexDefs>()},
        {"constraint collection",
         CollectionCount(4, 10159) + ConstraintTypeByte(3) + NotNullBytes() + ConstraintTypeByte(4) + CheckBytes() +
             ConstraintTypeByte(2) + UniqueBytes() + ConstraintTypeByte(0) + UniqueBytes(),
         Reload<TORQConstraintDefs>()},
    };
}

}  // namespace

TEST(DefinitionStreams, ReloadingAndSavingGivesTheSameBytes) {
    for (const GoldenCase& c : GoldenCases()) {
        const Bytes all = c.golden.All();
        auto s = StreamOf(all, all.size());
        EXPECT_EQ(c.reload(*s), all) << c.what;
        EXPECT_EQ(s->Position(), s->Size()) << c.what;
    }
}

TEST(DefinitionStreams, EveryCutIsRefusedWithTheElementsReadCode) {
    for (const GoldenCase& c : GoldenCases()) {
        SCOPED_TRACE(c.what);
        ExpectEveryCutRefused(c.golden, [&](TORQStream& s) { c.reload(s); });
    }
}

TEST(DefinitionStreams, AFailedLoadLeavesTheCollectionAsItWas) {
    const Bytes all = (CollectionCount(2, 10159) + PlainFieldBytes() + BlobFieldBytes()).All();
    TORQFieldDefs fields;
    MakeDefaultField(*fields.Add());
    const Bytes before = Saved(fields);
    auto s = StreamOf(all, all.size() - 1);
    EXPECT_EQ(Raised([&] { fields.LoadFromStream(*s); }).first, 10184);  // the last null marker
    EXPECT_EQ(Saved(fields), before);
}

TEST(DefinitionStreams, LoadedDefinitionsHoldTheStoredValues) {
    Bytes all = (CollectionCount(3, 10159) + PlainFieldBytes() + BlobFieldBytes() + DefaultFieldBytes()).All();
    auto s = StreamOf(all, all.size());
    TORQFieldDefs fields;
    TORQFieldDef* stale = fields.Add();
    stale->Name = "OLD";
    fields.LoadFromStream(*s);
    ASSERT_EQ(fields.GetCount(), 3);
    EXPECT_EQ(fields.LoadedCount, 3);
    const TORQFieldDef& id = *fields.GetItem(0);
    EXPECT_EQ(id.Name, "ID");
    EXPECT_EQ(id.BaseType, bdtInteger);
    EXPECT_EQ(id.MemorySize, 4);
    EXPECT_EQ(id.BlobBlockSize, 102400);  // not stored for a non-BLOB field
    EXPECT_EQ(id.AutoincInitialValue, 100);
    EXPECT_EQ(id.AutoincMaxValue, 1000);
    EXPECT_EQ(id.AutoincCycled, 1);
    const TORQFieldDef& blob = *fields.GetItem(1);
    EXPECT_EQ(blob.DataSize, 6);
    EXPECT_EQ(blob.MemorySize, 10);
    EXPECT_EQ(blob.BlobCompressionMode, 2);
    EXPECT_EQ(blob.BlobBlockSize, 4096);
    const TORQFieldDef& name = *fields.GetItem(2);
    EXPECT_EQ(name.MemorySize, 11);
    EXPECT_EQ(name.DefaultValue.GetAsString(), "abc");

    Bytes idx = (CollectionCount(1, 10159) + PKIndexBytes()).All();
    auto si = StreamOf(idx, idx.size());
    TORQIndexDefs indexes;
    indexes.LoadFromStream(*si);
    ASSERT_EQ(indexes.GetCount(), 1);
    const TORQIndexDef& pk = *indexes.GetItem(0);
    EXPECT_EQ(pk.Temporary, 0);
    EXPECT_EQ(pk.RootPage, 7);
    ASSERT_EQ(pk.GetColumnCount(), 1);
    EXPECT_EQ(pk.GetColumn(0).FieldName, "ID");
    EXPECT_EQ(pk.GetColumn(0).MaxIndexedSize, 20);

    Bytes ck = CheckBytes().All();
    auto sc = StreamOf(ck, ck.size());
    TORQConstraintDefCheck check;
    check.LoadFromStream(*sc);
    EXPECT_EQ(check.TargetName, "AGE");
    EXPECT_EQ(check.MaxValue.GetAsInteger(), 150);
}

TEST(DefinitionStreams, CountsBeyondTheStreamAreRefusedBeforeAllocating) {
    struct Case {
        const char* what;
        Bytes bytes;
        std::function<void(TORQStream&)> load;
        int32_t code;
    };
    auto fields = [](TORQStream& s) { TORQFieldDefs().LoadFromStream(s); };
    auto indexes = [](TORQStream& s) { TORQIndexDefs().LoadFromStream(s); };
    auto constraints = [](TORQStream& s) { TORQConstraintDefs().LoadFromStream(s); };
    auto index = [](TORQStream& s) { TORQIndexDef().LoadFromStream(s); };
    auto unique = [](TORQStream& s) { TORQConstraintDefUnique().LoadFromStream(s); };
    const Bytes pkHead = Bytes{0x02, 'P', 'K'} + I32(5) + Bytes{0, 1, 1};
    const Bytes uqHead = Txt("\x02UQ") + I32(4) + I32(0) + I32(2) + I32(6);
    const Bytes uqNames = I32(1) + Bytes{0} + I32(2) + Txt("\x01T") + I32(3) + Txt("\x02IX");
    const std::vector<Case> cases = {
        {"huge field count", I32(0x7FFFFFFF) + Bytes(60, 0), fields, 10159},
        {"negative field count", I32(-1), fields, 10159},
        {"huge index count", I32(0x40000000) + Bytes(8, 0), indexes, 10159},
        {"huge constraint count", I32(0x7FFFFFFF) + Bytes{3}, constraints, 10159},
        {"huge column count", pkHead + I32(0x7FFFFFFF) + I32(7) + Bytes(10, 0), index, 10352},
        {"negative column count", pkHead + I32(-5) + I32(7), index, 10352},
        {"huge UNIQUE column count", uqHead + uqNames + I32(0x7FFFFFFF) + Bytes(12, 0), unique, 30309},
        {"name count above a short string", uqHead + I32(0x7FFFFFFF) + Bytes(300, 0), unique, 30305},
        {"name count zero bytes short", uqHead + I32(1) + Bytes{0} + I32(200) + Bytes(20, 0), unique, 30308},
        {"column name count beyond the stream", uqHead + uqNames + I32(1) + I32(1) + I32(256) + Bytes{0x01, 'A'},
         unique, 30312},
        {"length byte beyond its count", uqHead + I32(2) + Bytes{0x05, 'X'}, unique, 30306},
        {"unknown constraint type", I32(1) + Bytes{1} + Bytes(40, 0), constraints, 30316},
        {"negative field size", Bytes{0x01, 'F'} + I32(1) + Bytes{0x03, 0x02} + I32(-2) + Bytes(40, 0),
         [](TORQStream& s) { TORQFieldDef().LoadFromStream(s); }, 10189},
    };
    for (const Case& c : cases) {
        auto s = StreamOf(c.bytes, c.bytes.size());
        EXPECT_EQ(Raised([&] { c.load(*s); }).first, c.code) << c.what;
    }
    auto s = StreamOf(I32(1) + Bytes{7}, 5);
    EXPECT_EQ(Raised([&] { TORQConstraintDefs().LoadFromStream(*s); }).second,
              "Unknown Constraint Type: '7' - Native error: 30316");
}

// ---------------------------------------------------------------------------------

TEST(FieldDefs, RecordLayoutPacksTheNullBitmapAndTheFields) {
    for (int n : {8, 9, 16, 17}) {
        TORQFieldDefs fields;
        for (int i = 0; i < n; ++i) fields.Add()->SetDataType(aftSmallInt, 0);
        fields.CalculateOffsets();
        const int bitmap = (n + 7) / 8;
        EXPECT_EQ(fields.GetItem(0)->DataOffset, bitmap) << n;
        EXPECT_EQ(fields.GetItem(n - 1)->MemoryOffset, bitmap + 2 * (n - 1)) << n;
        EXPECT_EQ(fields.GetRecordDataSize(), bitmap + 2 * n) << n;
    }
    EXPECT_EQ(TORQFieldDefs().GetMemoryRecordSize(), 0);

    // INTEGER, BLOB, INTEGER, MEMO, SMALLINT: each BLOB takes 6 stored and 10 in memory.
    TORQFieldDefs fields;
    for (uint8_t t : {aftInteger, aftBlob, aftInteger, aftMemo, aftSmallInt}) fields.Add()->SetDataType(t, 0);
    fields.CalculateOffsets();
    const int32_t data[] = {1, 5, 11, 15, 21}, memory[] = {1, 5, 15, 19, 29};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(fields.GetItem(i)->DataOffset, data[i]) << i;
        EXPECT_EQ(fields.GetItem(i)->MemoryOffset, memory[i]) << i;
    }
    EXPECT_EQ(fields.GetRecordDataSize(), 23);
    EXPECT_EQ(fields.GetMemoryRecordSize(), 31);
}

TEST(FieldDefs, SetDataTypeDerivesTheBaseTypeAndSizes) {
    struct Case {
        uint8_t type;
        int32_t size;
        uint8_t base;
        int32_t memory, data;
    } cases[] = {
        {aftVarChar, 10, bdtVarChar, 11, 11},   {aftWideVarChar, 5, bdtWideVarChar, 12, 12},
        {aftLargeInt, 0, bdtLargeInt, 8, 8},    {aftWideMemo, 0, bdtWideClob, 10, 6},
        {aftGuid, 38, bdtFixedChar, 39, 39},
    };
    for (const Case& c : cases) {
        TORQFieldDef f;
        f.SetDataType(c.type, c.size);
        EXPECT_EQ(f.BaseType, c.base) << int(c.type);
        EXPECT_EQ(f.MemorySize, c.memory) << int(c.type);
        EXPECT_EQ(f.DataSize, c.data) << int(c.type);
    }
    TORQFieldDef f;
    auto r = Raised([&] { f.SetDataType(37, 0); });
    EXPECT_EQ(r.first, 30007);
    EXPECT_EQ(r.second, "Unsupported data type 'Unknown' - Native error: 30007");
    EXPECT_EQ(f.FieldType, 0);
}

TEST(FieldDefs, DefaultExpressionNeedsAFactoryAndAnExpressionText) {
    // Without the SQL layer "NOW()" loads as a literal and is stored unchanged.
    const Bytes now = DefaultFieldBytes("NOW()").All();
    {
        auto s = StreamOf(now, now.size());
        TORQFieldDef f;
        f.LoadFromStream(*s);
        EXPECT_EQ(f.DefaultExpression, nullptr);
        EXPECT_EQ(f.DefaultValue.GetAsString(), "NOW()");
        EXPECT_EQ(Saved(f), now);
    }
    orq_test::FakeExpressionFactory factory;
    {
        auto s = StreamOf(now, now.size());
        TORQFieldDef f;
        f.LoadFromStream(*s);
        ASSERT_NE(f.DefaultExpression, nullptr);
        EXPECT_EQ(static_cast<orq_test::FakeExpression&>(*f.DefaultExpression).Parsed, "NOW()");
        EXPECT_EQ(Saved(f), now);

        TORQFieldDef copy;
        copy.Assign(f);
        ASSERT_NE(copy.DefaultExpression, nullptr);
        EXPECT_NE(copy.DefaultExpression.get(), f.DefaultExpression.get());
    }
    // The SQL layer is asked only about non-Null text.
    struct Case {
        const char* what;
        std::function<void(TORQVariant&)> set;
        int asked;
    } cases[] = {
        {"literal text", [](TORQVariant& v) { v.SetAsString("abc"); }, 1},
        {"Null", [](TORQVariant&) {}, 0},
        {"integer", [](TORQVariant& v) { v.SetAsInteger(5); }, 0},
    };
    for (const Case& c : cases) {
        TORQFieldDef source;
        source.SetDataType(aftVarChar, 10);
        c.set(source.DefaultValue);
        factory.Made = 0;
        TORQFieldDef f;
        f.Assign(source);
        EXPECT_EQ(f.DefaultExpression, nullptr) << c.what;
        EXPECT_EQ(factory.Made, c.asked) << c.what;
    }
}

TEST(FieldDefs, AssignCopiesAllButTheProjectedFieldNumber) {
    TORQFieldDef source;
    MakeBlobField(source);
    source.DataOffset = 3;
    source.MemoryOffset = 4;
    source.BaseFieldNo = 9;
    source.AutoincMinValue = -7;
    source.DefaultValue.SetAsString("x");
    TORQFieldDef f;
    f.Assign(source);
    EXPECT_EQ(Saved(f), Saved(source));
    EXPECT_EQ(f.DataOffset, 3);
    EXPECT_EQ(f.MemoryOffset, 4);
    EXPECT_EQ(f.MemorySize, 10);
    EXPECT_EQ(f.BaseFieldNo, 0);
    EXPECT_NE(f.DefaultValue.Data(), source.DefaultValue.Data());  // the data is duplicated
}

// ---------------------------------------------------------------------------------

TEST(MetaObjectDefs, CollectionsOwnAndCopyTheirItems) {
    TORQFieldDefs fields;
    for (const char* n : {"A", "B", "C"}) fields.Add()->Name = n;
    fields.GetItem(1)->ObjectID = 42;
    EXPECT_EQ(fields.IndexOfName("b"), 1);
    EXPECT_EQ(fields.IndexOfName("D"), -1);
    EXPECT_EQ(fields.IndexOfID(42), 1);
    EXPECT_EQ(fields.FindByID(42), fields.GetItem(1));
    EXPECT_EQ(fields.FindByID(7), nullptr);
    EXPECT_EQ(fields.FindByName("c"), fields.GetItem(2));
    fields.Move(0, 2);
    EXPECT_EQ(fields.GetItem(2)->Name, "A");
    fields.Delete(0);
    EXPECT_EQ(fields.GetItem(0)->Name, "C");

    TORQFieldDefs copy;
    copy.Add()->Name = "stale";
    copy.Assign(fields);
    ASSERT_EQ(copy.GetCount(), 2);
    EXPECT_NE(copy.GetItem(0), fields.GetItem(0));
    EXPECT_EQ(copy.GetItem(0)->Name, "C");

    fields.Add()->Name = "c";  // the same name in another case
    auto r = Raised([&] { copy.Assign(fields); });
    EXPECT_EQ(r.first, 10424);
    EXPECT_EQ(r.second, "Duplicate field name c - Native error: 10424");

    TORQIndexDefs indexes;
    indexes.Add()->Name = "I1";
    auto* replacement = new TORQIndexDef;
    replacement->Name = "I2";
    indexes.SetItem(0, replacement);
    EXPECT_EQ(indexes.FindByName("i2"), replacement);
    EXPECT_EQ(indexes.FindByName("I1"), nullptr);

    auto base = Raised([] { TORQMetaObjectDefs().InternalAddCreated(); });
    EXPECT_EQ(base.second,
              "The method 'InternalAddCreated' not overrided in class 'TORQMetaObjectDefs' - Native error: 30339");
}

TEST(MetaObjectDefs, ConstraintsAreCopiedByKind) {
    TORQConstraintDefs source;
    MakeNotNull(*source.AddNotNull());
    MakeCheck(*source.AddCheck());
    MakeUnique(*source.AddUnique());
    MakeUnique(*source.AddPrimary());
    source.AddNotNull()->Name = "NN";  // constraints are copied without the duplicate check
    TORQConstraintDefs copy;
    copy.Assign(source);
    ASSERT_EQ(copy.GetCount(), 5);
    EXPECT_EQ(Saved(copy), Saved(source));
    EXPECT_NE(dynamic_cast<TORQConstraintDefPrimary*>(copy.GetItem(3)), nullptr);
    auto* check = static_cast<TORQConstraintDefCheck*>(copy.GetItem(1));
    EXPECT_NE(check->MaxValue.Data(), static_cast<TORQConstraintDefCheck*>(source.GetItem(1))->MaxValue.Data());

    source.GetItem(0)->ConstraintType = 1;
    EXPECT_EQ(Raised([&] { copy.Assign(source); }).first, 30035);
}

// ---------------------------------------------------------------------------------

TEST(IndexDefs, SetColumnsMatchesItsWordsExactly) {
    TORQIndexDef d;
    d.SetColumns({"A", "B", "C", "D"}, {"DESC", "desc", "ASC", ""}, {"NO_CASE", "no_case", "CASE", "x"});
    ASSERT_EQ(d.GetColumnCount(), 4);
    EXPECT_EQ(d.GetColumn(0).Descending, 1);
    EXPECT_EQ(d.GetColumn(0).CaseInsensitive, 1);
    EXPECT_EQ(d.GetColumn(1).Descending, 0);
    EXPECT_EQ(d.GetColumn(1).CaseInsensitive, 0);
    EXPECT_EQ(d.GetColumn(3).MaxIndexedSize, 20);
    d.SetColumnCount(2);
    EXPECT_EQ(d.GetColumnCount(), 2);
    d.SetColumnCount(3);
    EXPECT_EQ(d.GetColumn(2).FieldName, "");
    EXPECT_EQ(d.GetColumn(2).MaxIndexedSize, 20);

    auto orders = Raised([&] { d.SetColumns({"A", "B"}, {"ASC"}, {"", ""}); });
    EXPECT_EQ(orders.second, "Error - different list lengths. L1 = 2, L2 = 1 - Native error: 10278");
    EXPECT_EQ(Raised([&] { d.SetColumns({"A"}, {"ASC"}, {}); }).first, 10279);
    EXPECT_EQ(d.GetColumnCount(), 3);
}

TEST(IndexDefs, FindIndexForFieldsServesLeadingColumns) {
    TORQFieldDefs fields;
    for (auto [name, type, size] : {std::tuple{"A", aftInteger, 0}, {"B", aftInteger, 0}, {"C", aftInteger, 0},
                                    {"NAME", aftVarChar, 20}}) {
        TORQFieldDef* f = fields.Add();
        f->Name = name;
        f->SetDataType(type, size);
    }
    TORQIndexDefs indexes;
    auto add = [&](int32_t id, std::vector<std::string> names, std::vector<std::string> orders,
                   std::vector<std::string> cases) {
        TORQIndexDef* d = indexes.Add();
        d->ObjectID = id;
        d->SetColumns(names, orders, cases);
        return d;
    };
    add(1, {"A", "B", "C"}, {"ASC", "DESC", "ASC"}, {"CASE", "CASE", "CASE"});
    TORQIndexDef* temp = add(2, {"NAME"}, {"ASC"}, {"NO_CASE"});
    temp->Temporary = 1;
    temp->OwnerSessionID = 7;
    add(3, {"NAME"}, {"ASC"}, {"CASE"});
    add(4, {"B"}, {"ASC"}, {"CASE"});

    using L = std::vector<std::string>;
    struct Case {
        L names, orders, cases;
        int32_t session, want;
    } cases[] = {
        {{"a", "b"}, {"ASC", "DESC"}, {"CASE", "CASE"}, 1, 1},        // two of three columns, any name case
        {{"A", "B"}, {"ASC", "ASC"}, {"", ""}, 1, -1},                // B is descending in index 1
        {{"B"}, {"ASC"}, {""}, 1, 4},
        {{"B"}, {"DESC"}, {""}, 1, -1},
        {{"NAME"}, {"ASC"}, {"NO_CASE"}, 7, 2},                        // the session's own temporary index
        {{"NAME"}, {"ASC"}, {"NO_CASE"}, 1, -1},                       // another session's: skipped
        {{"NAME"}, {""}, {"CASE"}, 7, 3},                              // a string field needs a case-sensitive one
        {{"NAME"}, {"asc"}, {"case"}, 7, 2},                           // words in other cases impose nothing
        {{"A"}, {""}, {"NO_CASE"}, 1, -1},                             // NO_CASE whatever the type
        {{"A", "B", "C", "A"}, {"", "", "", ""}, {"", "", "", ""}, 1, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(indexes.FindIndexForFields(c.names, c.orders, c.cases, fields, c.session), c.want)
            << c.names[0] << " " << c.orders[0] << " " << c.cases[0] << " session " << c.session;
        EXPECT_EQ(indexes.HasIndexForFields(c.names, c.orders, c.cases, fields, c.session), c.want != -1);
    }
    EXPECT_EQ(Raised([&] { indexes.FindIndexForFields({"A"}, {}, {""}, fields, 1); }).first, 10276);
    EXPECT_EQ(Raised([&] { indexes.FindIndexForFields({"A"}, {""}, {"", ""}, fields, 1); }).second,
              "Error - different list lengths. L1 = 1, L2 = 2 - Native error: 10277");
}

// ---------------------------------------------------------------------------------

TEST(Names, SameNameFoldsAsciiOnly) {
    struct Case {
        std::string a, b;
        bool same;
    } cases[] = {
        {"abc", "ABC", true},   {"Field_1", "fIELD_1", true}, {"AB", "ABC", false},
        {"i", "I", true},       {"\xE4", "\xC4", false},       {"a b", "A B", true},
        {"", "", true},         {"[", "{", false},
    };
    for (const Case& c : cases) EXPECT_EQ(SameName(c.a, c.b), c.same) << c.a << " / " << c.b;
    TORQFieldDefs fields;
    fields.Add()->Name = "\xE4rger";
    EXPECT_EQ(fields.IndexOfName("\xC4RGER"), -1);
    EXPECT_EQ(fields.IndexOfName("\xE4RGER"), 0);
}

TEST(Names, OverLongNamesAreRefusedAndNothingIsWritten) {
    const std::string n254(254, 'N'), n255(255, 'N'), n256(256, 'N');
    EXPECT_EQ(FitName(n256 + "xyz"), n255);
    EXPECT_EQ(FitName("abc"), "abc");

    auto refused = [](const std::function<void(TORQStream&)>& save) {
        TORQMemoryStream s;
        auto r = Raised([&] { save(s); });
        EXPECT_EQ(s.Size(), 0) << r.second;
        return r.first;
    };
    TORQIndexDef index;
    MakePKIndex(index);
    index.GetColumn(0).FieldName = n256;
    EXPECT_EQ(refused([&](TORQStream& s) { index.SaveToStream(s); }), 30340);

    TORQFieldDefs fields;
    fields.Add()->SetDataType(aftInteger, 0);
    fields.Add()->SetDataType(aftInteger, 0);
    fields.GetItem(1)->Name = n256;
    EXPECT_EQ(refused([&](TORQStream& s) { fields.SaveToStream(s); }), 30340);
    EXPECT_EQ(Raised([&] { fields.CheckNames(); }).first, 30340);
    fields.GetItem(1)->Name = n255;
    EXPECT_NO_THROW(fields.CheckNames());

    // NOT NULL and CHECK keep length + 1 in one byte: 254 characters at most.
    TORQConstraintDefs constraints;
    TORQConstraintDefCheck* check = constraints.AddCheck();
    MakeCheck(*check);
    check->TableName = n255;
    EXPECT_EQ(refused([&](TORQStream& s) { constraints.SaveToStream(s); }), 30340);
    TORQConstraintDefNotNull notNull;
    MakeNotNull(notNull);
    notNull.TargetName = n255;
    auto r = Raised([&] { notNull.CheckNames(); });
    EXPECT_EQ(r.first, 30340);
    EXPECT_NE(r.second.find("at most 254"), std::string::npos) << r.second;

    // 254 characters fit the byte (count 255) and come back whole; UNIQUE takes 255.
    notNull.TargetName = n254;
    check->TableName = n254;
    TORQConstraintDefUnique* unique = constraints.AddUnique();
    MakeUnique(*unique);
    unique->TargetName = n255;
    unique->Columns[0].FieldName = n255;
    TORQMemoryStream s;
    notNull.SaveToStream(s);
    EXPECT_EQ(s.Memory()[7 + 12 + 2 + 3], 255);  // header, ids, reserved, table: the target's count
    s.SetPosition(0);
    TORQConstraintDefNotNull back;
    back.LoadFromStream(s);
    EXPECT_EQ(back.TargetName, n254);
    TORQMemoryStream cs;
    constraints.SaveToStream(cs);
    cs.SetPosition(0);
    TORQConstraintDefs loaded;
    loaded.LoadFromStream(cs);
    EXPECT_EQ(static_cast<TORQConstraintDefUnique*>(loaded.GetItem(1))->Columns[0].FieldName, n255);
    EXPECT_EQ(loaded.GetItem(0)->TableName, n254);
}
