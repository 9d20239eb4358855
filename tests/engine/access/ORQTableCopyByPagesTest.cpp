// The rebuilds' record copy at the storage level (record and BLOB pages filled in turn,
// keys placed as each record is) against the dataset road it stands in for: tables of
// every field type with Nulls, memos of every size around the page limits, compressed
// BLOB fields, several indexes, plain and encrypted files of different keys and page
// sizes; restructures that rename, widen, drop and add fields; the copies it leaves to
// the dataset road; constraint failures; progress and the operator's stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "AccessFixture.h"
#include "classlib/DBFields.h"
#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQTable.h"

namespace {

using namespace accesstest;
using classlib::TField;
using classlib::TFieldType;

struct TFieldSpec {
    const char* Name;
    uint8_t Type;
    int32_t Size;
};

// Every advanced type the engine stores, ID first (the row's identity).
const std::vector<TFieldSpec> AllTypes = {
    {"ID", aftInteger, 0},         {"CH", aftChar, 10},          {"VC", aftVarChar, 40},
    {"WVC", aftWideVarChar, 20},   {"SHORTI", aftShortInt, 0},   {"SMALLI", aftSmallInt, 0},
    {"LARGEI", aftLargeInt, 0},    {"BYTEV", aftByte, 0},        {"WORDV", aftWord, 0},
    {"CARD", aftCardinal, 0},      {"AUTO", aftAutoIncInteger, 0}, {"SINGLEV", aftSingle, 0},
    {"DOUBLEV", aftDouble, 0},     {"EXTV", aftExtended, 0},     {"BOOLV", aftBoolean, 0},
    {"CURR", aftCurrency, 0},      {"DATEV", aftDate, 0},        {"TIMEV", aftTime, 0},
    {"DT", aftDateTime, 0},        {"TS", aftTimeStamp, 0},      {"BYTESV", aftBytes, 8},
    {"VBYTES", aftVarBytes, 16},   {"BLOBV", aftBlob, 0},        {"MEMO", aftMemo, 0},
    {"WMEMO", aftWideMemo, 0},     {"GRAPH", aftGraphic, 0},     {"GUIDV", aftGuid, 38},
};

// Memo sizes around a 4096-byte page's limits (4056 bytes of data: a value of S stored
// bytes is shared while S + 24 < 4056) and across several pages.
const std::vector<size_t> MemoSizes = {0, 1, 37, 1000, 4031, 4032, 4033, 4056, 4100, 8111, 12169, 30000};

std::string Bytes(int Row, size_t N) {
    std::string s(N, '\0');
    for (size_t i = 0; i < N; ++i) s[i] = static_cast<char>((Row * 131 + static_cast<int>(i) * 7 + (i / 61)) & 0xFF);
    return s;
}
std::string Text(int Row, size_t N) {
    std::string s;
    while (s.size() < N) s += "ROW " + std::to_string(Row) + " LINE " + std::to_string(s.size()) + "\r\n";
    s.resize(N);
    return s;
}

// Field F of row R: Null on a diagonal (never the identity, never the counter, which
// draws its own value), else a value of its type.
void SetValue(TField& F, int R, int Column) {
    if (Column > 0 && F.DataType() != classlib::ftAutoInc && (R + Column) % 6 == 0) {
        F.Clear();
        return;
    }
    const std::string name = F.FieldName();
    switch (F.DataType()) {
        case classlib::ftAutoInc:
            return;
        case classlib::ftBoolean:
            F.SetAsBoolean(R % 2 == 1);
            return;
        case classlib::ftFloat:
            F.SetAsFloat(R / 3.0 + 0.1 * Column - 40);
            return;
        case classlib::ftCurrency:
            F.SetAsCurrency(R * 1.25 - 40);
            return;
        case classlib::ftDate:
            F.SetAsDateTime(46000 + R);
            return;
        case classlib::ftTime:
            F.SetAsDateTime((R * 997 % 86400) / 86400.0);
            return;
        case classlib::ftDateTime:
        case classlib::ftTimeStamp:
            F.SetAsDateTime(46000 + R + (R * 613 % 1440) / 1440.0 + R * 0.00000123);
            return;
        case classlib::ftBytes:
        case classlib::ftVarBytes:
            F.SetAsString(Bytes(R, name == "BYTESV" ? 8 : static_cast<size_t>(R % 17)));
            return;
        case classlib::ftBlob:
        case classlib::ftGraphic:
            F.SetAsString(Bytes(R + Column, MemoSizes[static_cast<size_t>(R + Column) % MemoSizes.size()]));
            return;
        case classlib::ftMemo:
            F.SetAsString(Text(R, MemoSizes[static_cast<size_t>(R) % MemoSizes.size()]));
            return;
        case classlib::ftGuid: {
            char g[40];
            std::snprintf(g, sizeof g, "{%08X-0000-4000-8000-%012X}", R * 2654435761u, R);
            F.SetAsString(g);
            return;
        }
        case classlib::ftString:
        case classlib::ftFixedChar:
        case classlib::ftWideString:
            // Mixed case, so case-insensitive keys have ties to order.
            F.SetAsString((R % 2 ? "abc" : "ABC") + std::to_string(R % 23) + std::string(static_cast<size_t>(R % 5), 'z'));
            return;
        case classlib::ftLargeint:
            F.SetAsLargeInt(static_cast<int64_t>(R) * 1234567891LL - 77);
            return;
        default:
            F.SetAsInteger(name == "ID" ? R : R * 37 % 120 - (name == "BYTEV" || name == "WORDV" ? 0 : 60));
            return;
    }
}

// A field's value as text that tells any two stored values apart: floating values by
// their bits, BLOBs by their bytes.
std::string ValueOf(const TField& F) {
    if (F.IsNull()) return "<null>";
    switch (F.DataType()) {
        case classlib::ftFloat:
        case classlib::ftCurrency:
        case classlib::ftDate:
        case classlib::ftTime:
        case classlib::ftDateTime:
        case classlib::ftTimeStamp: {
            double v = 0;
            try {
                v = F.AsFloat();
            } catch (const std::exception&) {
                v = F.AsDateTime();
            }
            uint64_t bits = 0;
            std::memcpy(&bits, &v, sizeof bits);
            return std::to_string(bits);
        }
        default:
            return F.AsString();
    }
}

using TRows = std::vector<std::vector<std::string>>;

// Empty when A and B are equal, else where they first differ (values cut short).
std::string FirstDifference(const TRows& A, const TRows& B) {
    auto cut = [](const std::string& V) { return V.size() > 40 ? V.substr(0, 40) + "..." : V; };
    for (size_t r = 0; r < std::min(A.size(), B.size()); ++r)
        for (size_t c = 0; c < std::max(A[r].size(), B[r].size()); ++c) {
            const std::string a = c < A[r].size() ? A[r][c] : "<none>";
            const std::string b = c < B[r].size() ? B[r][c] : "<none>";
            if (a != b)
                return "row " + std::to_string(r) + ", field " + std::to_string(c) + ": " + cut(a) + " / " + cut(b);
        }
    if (A.size() != B.size()) return std::to_string(A.size()) + " rows / " + std::to_string(B.size());
    return {};
}

// Every record in the order of Index (none: the table's natural order), every field.
TRows Walk(TORQDatabase& Db, const std::string& Table, const std::string& Index) {
    TORQTable t(nullptr);
    t.SetDatabaseName(Db.DatabaseName());
    t.SetTableName(Table);
    t.SetIndexName(Index);
    t.Open();
    TRows rows;
    for (t.First(); !t.Eof(); t.Next()) {
        std::vector<std::string> row;
        for (int32_t i = 0; i < t.Fields().Count(); ++i) row.push_back(ValueOf(*t.Fields().Fields(i)));
        rows.push_back(std::move(row));
    }
    return rows;
}

std::unique_ptr<TORQDatabase> OpenDb(const std::string& Path, const std::string& Name, const std::string& Password) {
    auto db = std::make_unique<TORQDatabase>(nullptr);
    db->SetDatabaseName(Name);
    db->SetDatabaseFileName(Path);
    db->Password = Password;
    db->SilentMode = true;
    db->Open();
    return db;
}

std::unique_ptr<TORQTable> TableOn(TORQDatabase& Db, const std::string& Name) {
    auto t = std::make_unique<TORQTable>(nullptr);
    t->SetDatabaseName(Db.DatabaseName());
    t->SetTableName(Name);
    return t;
}

void AddIndex(TORQTable& T, const char* Name, const char* Fields, classlib::TIndexOptions Options = {},
              const char* Desc = "", const char* CaseIns = "") {
    TORQAdvIndexDef* i = T.AdvIndexDefs().Add();
    i->Name = Name;
    i->Fields = Fields;
    i->Options = Options;
    i->DescFields = Desc;
    i->CaseInsFields = CaseIns;
}

const std::vector<std::string> AllTypesIndexes = {"", "IDX_ID", "IDX_VC_DT", "IDX_DT_DESC", "IDX_VC_CI", "IDX_GUID"};

// ALLTYPES with Rows rows, every fifth deleted so pages have holes; BLOB fields compressed
// as Algorithm says (0 none).
void MakeAllTypes(TORQDatabase& Db, int Rows, uint8_t Algorithm) {
    auto t = TableOn(Db, "ALLTYPES");
    for (const TFieldSpec& f : AllTypes) {
        TORQAdvFieldDef* d = t->AdvFieldDefs().Add();
        d->Name = f.Name;
        d->DataType = f.Type;
        d->Size = f.Size;
        if (Algorithm != 0 && (f.Type == aftMemo || f.Type == aftBlob)) {
            d->BlobCompressionAlgorithm = Algorithm;
            d->BlobCompressionMode = 6;
        }
    }
    AddIndex(*t, "IDX_ID", "ID", classlib::ixPrimary | classlib::ixUnique);
    AddIndex(*t, "IDX_VC_DT", "VC;DT");
    AddIndex(*t, "IDX_DT_DESC", "DT", {}, "DT");
    AddIndex(*t, "IDX_VC_CI", "VC", {}, "", "VC");
    AddIndex(*t, "IDX_GUID", "GUIDV");
    t->CreateTable();
    t->Open();
    for (int r = 0; r < Rows; ++r) {
        t->Append();
        for (int32_t c = 0; c < t->Fields().Count(); ++c) SetValue(*t->Fields().Fields(c), r, c);
        t->Post();
    }
    t->SetIndexName("IDX_ID");
    for (t->First(); !t->Eof();) {
        if (t->FieldByName("ID")->AsInteger() % 5 == 2)
            t->Delete();
        else
            t->Next();
    }
}

// An empty table Name in Db shaped as Source's restructure definitions, open, counting the
// posts its dataset sees.
std::unique_ptr<TORQTable> EmptyCopyOf(TORQTable& Source, TORQDatabase& Db, const std::string& Name, int& Posts) {
    auto t = TableOn(Db, Name);
    t->AdvFieldDefs().Assign(Source.RestructureFieldDefs());
    t->AdvIndexDefs().Assign(Source.RestructureIndexDefs(), true);
    t->CreateTable();
    t->BeforePost = [&Posts](classlib::TDataSet*) { ++Posts; };
    t->Open();
    return t;
}

class TableCopyByPages : public EngineTest {};

TEST_F(TableCopyByPages, GivesTheTableTheDatasetRoadGivesInEveryIndexOrder) {
    struct Case {
        const char* What;
        FileOptions From, To;
        uint8_t Algorithm;
    };
    const std::vector<Case> cases = {
        {"plain files", {}, {}, 0},
        {"encrypted files of different keys and ciphers", {"secret", 3, 4096, 8, 500}, {"other", 1, 4096, 8, 500}, 0},
        {"ZLIB-compressed BLOB fields", {}, {}, 1},
        {"BZIP2-compressed BLOB fields", {}, {}, 2},
        {"8192-byte pages into 4096-byte pages", {"", 0, 8192, 4, 500}, {}, 0},
        {"4096-byte pages into 8192-byte pages, compressed", {}, {"", 0, 8192, 4, 500}, 1},
    };
    const int rows = 90;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        const std::string from = Dir.File(std::string("FROM") + std::to_string(&c - cases.data()) + ".ORQ");
        const std::string to = Dir.File(std::string("TO") + std::to_string(&c - cases.data()) + ".ORQ");
        CreateFile(from, c.From);
        CreateFile(to, c.To);
        auto source = OpenDb(from, "SOURCE", c.From.Password);
        auto dest = OpenDb(to, "DEST", c.To.Password);
        MakeAllTypes(*source, rows, c.Algorithm);
        auto table = TableOn(*source, "ALLTYPES");
        table->Open();
        int pagePosts = 0, datasetPosts = 0;
        auto byPages = EmptyCopyOf(*table, *dest, "BYPAGES", pagePosts);
        auto byDataset = EmptyCopyOf(*table, *dest, "BYDATASET", datasetPosts);
        bool go = true;
        std::string pageLog, datasetLog;
        EXPECT_TRUE(TORQDataSet::CopyTableRecords(table.get(), *table, *byPages, 100, 0, {}, false, false, go,
                                                  pageLog, true));
        EXPECT_TRUE(TORQDataSet::CopyTableData(table.get(), *table, *byDataset, 100, 0, {}, false, false, go,
                                               datasetLog, true));
        EXPECT_EQ(pagePosts, 0) << "the storage level copies without the dataset's posts";
        EXPECT_EQ(datasetPosts, rows - rows / 5);
        EXPECT_EQ(pageLog, datasetLog);
        byPages->Close();
        byDataset->Close();
        for (const std::string& index : AllTypesIndexes) {
            const TRows expected = Walk(*source, "ALLTYPES", index);
            ASSERT_EQ(expected.size(), static_cast<size_t>(rows - rows / 5));
            EXPECT_EQ(FirstDifference(Walk(*dest, "BYPAGES", index), Walk(*dest, "BYDATASET", index)), "") << index;
            EXPECT_EQ(FirstDifference(Walk(*dest, "BYPAGES", index), expected), "") << index;
        }
        // The copy takes further records as any table does: its counter goes on.
        auto more = TableOn(*dest, "BYPAGES");
        more->Open();
        more->Append();
        more->FieldByName("ID")->SetAsInteger(100000);
        more->Post();
        EXPECT_EQ(more->FieldByName("AUTO")->AsInteger(), rows + 1);
        EXPECT_EQ(more->RecordCount(), rows - rows / 5 + 1);
        more->Close();
        table->Close();
        source->Close();
        dest->Close();
    }
}

// STATIONS as the receiver restructures it, with a counter, a memo and a unique index.
void MakeStations(TORQDatabase& Db, int Rows) {
    auto t = TableOn(Db, "STATIONS");
    for (const TFieldSpec& f : std::vector<TFieldSpec>{{"NAVAREA", aftSmallInt, 0},
                                                      {"IDLETTER", aftVarChar, 1},
                                                      {"LOCATION", aftVarChar, 50},
                                                      {"IDTEXT", aftVarChar, 100},
                                                      {"UNIQUEID", aftVarChar, 100},
                                                      {"FREQ", aftInteger, 0},
                                                      {"SEQ", aftAutoIncInteger, 0},
                                                      {"NOTES", aftMemo, 0}}) {
        TORQAdvFieldDef* d = t->AdvFieldDefs().Add();
        d->Name = f.Name;
        d->DataType = f.Type;
        d->Size = f.Size;
    }
    AddIndex(*t, "IDX_NAVLOC", "NAVAREA;IDLETTER;LOCATION");
    AddIndex(*t, "IDX_UID", "UNIQUEID", classlib::ixUnique);
    t->CreateTable();
    t->Open();
    for (int r = 0; r < Rows; ++r) {
        t->Append();
        t->FieldByName("NAVAREA")->SetAsInteger(r % 16 + 1);
        t->FieldByName("IDLETTER")->SetAsString(std::string(1, static_cast<char>('A' + r % 26)));
        t->FieldByName("LOCATION")->SetAsString("LOC" + std::to_string(r % 40));
        if (r % 9 != 0) t->FieldByName("IDTEXT")->SetAsString(std::string(90, 'x') + std::to_string(r));
        t->FieldByName("UNIQUEID")->SetAsString("U" + std::to_string(r));
        t->FieldByName("FREQ")->SetAsInteger(r % 3 == 0 ? 490 : 518);
        if (r % 4 != 0) t->FieldByName("NOTES")->SetAsString(Text(r, MemoSizes[static_cast<size_t>(r) % MemoSizes.size()]));
        t->Post();
    }
}

// The restructure road by hand, as RestructureTable runs it: a new table from the
// restructure definitions, records mapped by field id.
TEST_F(TableCopyByPages, ARestructureMapsFieldsByIdAsTheDatasetRoadDoes) {
    const std::string file = Dir.File("ST.ORQ");
    CreateFile(file);
    auto db = OpenDb(file, "NAVTEX", "");
    const int rows = 120;
    MakeStations(*db, rows);
    auto table = TableOn(*db, "STATIONS");
    table->FieldDefs().Update();
    table->IndexDefs().Update();
    TORQAdvFieldDefs& target = table->RestructureFieldDefs();
    target.Find("IDTEXT")->Size = 300;        // widened
    target.Find("LOCATION")->Name = "PLACE";  // renamed: keeps its data by id
    target.Delete("FREQ");                    // dropped: the fields after it move up
    TORQAdvFieldDef* added = target.Add();    // new, with a default
    added->Name = "REMARK";
    added->DataType = aftVarChar;
    added->Size = 20;
    added->DefaultValue.SetAsString("NONE");
    for (int32_t i = 0; i < table->RestructureIndexDefs().Count(); ++i) {
        TORQAdvIndexDef* d = table->RestructureIndexDefs().GetItem(i);
        if (d->Name == "IDX_NAVLOC") d->Fields = "NAVAREA;IDLETTER;PLACE";
    }
    int pagePosts = 0, datasetPosts = 0;
    auto byPages = EmptyCopyOf(*table, *db, "BYPAGES", pagePosts);
    auto byDataset = EmptyCopyOf(*table, *db, "BYDATASET", datasetPosts);
    TORQAdvFieldDefs kept;
    kept.Assign(target);
    table->Open();
    table->RestructureFieldDefs().Assign(kept);
    bool go = true;
    std::string pageLog, datasetLog;
    EXPECT_TRUE(TORQDataSet::CopyTableRecords(table.get(), *table, *byPages, 99, 0, {}, true, false, go, pageLog, true));
    EXPECT_TRUE(
        TORQDataSet::CopyTableData(table.get(), *table, *byDataset, 99, 0, {}, true, false, go, datasetLog, true));
    EXPECT_EQ(pagePosts, 0);
    EXPECT_EQ(datasetPosts, rows);
    byPages->Close();
    byDataset->Close();
    table->Close();
    for (const char* index : {"", "IDX_NAVLOC", "IDX_UID"}) {
        const TRows pages = Walk(*db, "BYPAGES", index);
        ASSERT_EQ(pages.size(), static_cast<size_t>(rows)) << index;
        EXPECT_EQ(FirstDifference(pages, Walk(*db, "BYDATASET", index)), "") << index;
    }
    // Values by name, against the source: moved, renamed, widened, defaulted.
    auto check = TableOn(*db, "BYPAGES");
    check->SetIndexName("IDX_UID");
    check->Open();
    EXPECT_EQ(check->FieldByName("IDTEXT")->Size(), 300);
    EXPECT_EQ(check->FindField("FREQ"), nullptr);
    ASSERT_TRUE(check->Locate("UNIQUEID", classlib::Variant::FromString("U10"), 0));
    EXPECT_EQ(check->FieldByName("PLACE")->AsString(), "LOC10");
    EXPECT_EQ(check->FieldByName("IDTEXT")->AsString(), std::string(90, 'x') + "10");
    EXPECT_EQ(check->FieldByName("REMARK")->AsString(), "NONE");
    EXPECT_EQ(check->FieldByName("SEQ")->AsInteger(), 11);
    ASSERT_TRUE(check->Locate("UNIQUEID", classlib::Variant::FromString("U9"), 0));
    EXPECT_TRUE(check->FieldByName("IDTEXT")->IsNull());
    check->Close();
}

TEST_F(TableCopyByPages, CopiesItCannotMakeByteForByteTakeTheDatasetRoad) {
    struct Case {
        const char* What;
        std::function<void(TORQAdvFieldDefs&)> Change;
    };
    const std::vector<Case> cases = {
        {"a narrowed text", [](TORQAdvFieldDefs& D) { D.Find("IDTEXT")->Size = 95; }},
        {"a type change", [](TORQAdvFieldDefs& D) { D.Find("FREQ")->DataType = aftLargeInt; }},
        {"a memo compressed anew",
         [](TORQAdvFieldDefs& D) {
             D.Find("NOTES")->BlobCompressionAlgorithm = 1;
             D.Find("NOTES")->BlobCompressionMode = 5;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        const std::string file = Dir.File(std::string("F") + std::to_string(&c - cases.data()) + ".ORQ");
        CreateFile(file);
        auto db = OpenDb(file, "NAVTEX", "");
        MakeStations(*db, 30);
        auto table = TableOn(*db, "STATIONS");
        table->FieldDefs().Update();
        table->IndexDefs().Update();
        c.Change(table->RestructureFieldDefs());
        int pagePosts = 0, datasetPosts = 0;
        auto a = EmptyCopyOf(*table, *db, "A", pagePosts);
        auto b = EmptyCopyOf(*table, *db, "B", datasetPosts);
        TORQAdvFieldDefs kept;
        kept.Assign(table->RestructureFieldDefs());
        table->Open();
        table->RestructureFieldDefs().Assign(kept);
        bool go = true;
        std::string logA, logB;
        TORQDataSet::CopyTableRecords(table.get(), *table, *a, 99, 0, {}, true, false, go, logA, true);
        TORQDataSet::CopyTableData(table.get(), *table, *b, 99, 0, {}, true, false, go, logB, true);
        EXPECT_EQ(pagePosts, 30);
        a->Close();
        b->Close();
        EXPECT_EQ(FirstDifference(Walk(*db, "A", "IDX_UID"), Walk(*db, "B", "IDX_UID")), "");
        EXPECT_EQ(logA, logB);
        table->Close();
    }
    // A filtered source copies what the filter lets through, as a dataset reads it.
    const std::string file = Dir.File("FILTERED.ORQ");
    CreateFile(file);
    auto db = OpenDb(file, "NAVTEX", "");
    MakeStations(*db, 30);
    auto table = TableOn(*db, "STATIONS");
    table->Open();
    table->SetFilterText("FREQ = 490");
    table->SetFiltered(true);
    int posts = 0;
    auto copy = EmptyCopyOf(*table, *db, "COPY", posts);
    bool go = true;
    std::string log;
    EXPECT_TRUE(TORQDataSet::CopyTableRecords(table.get(), *table, *copy, 100, 0, {}, false, false, go, log, true));
    EXPECT_EQ(posts, 10);
    EXPECT_EQ(copy->RecordCount(), 10);
}

TEST_F(TableCopyByPages, ARecordTheNewConstraintsRefuseEndsTheCopyWithTheDatasetRoadsError) {
    struct Case {
        const char* What;
        std::function<void(TORQTable&)> Change;
    };
    const std::vector<Case> cases = {
        {"a Null in a field made required", [](TORQTable& T) { T.RestructureFieldDefs().Find("IDTEXT")->Required = true; }},
        {"a duplicate under a new unique index",
         [](TORQTable& T) {
             TORQAdvIndexDef* d = T.RestructureIndexDefs().Add();
             d->Name = "IDX_FREQ";
             d->Fields = "FREQ";
             d->Options = classlib::ixUnique;
         }},
        {"a value outside a new bound",
         [](TORQTable& T) { T.RestructureFieldDefs().Find("FREQ")->MaxValue.SetAsInteger(500); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        const std::string file = Dir.File(std::string("C") + std::to_string(&c - cases.data()) + ".ORQ");
        CreateFile(file);
        auto db = OpenDb(file, "NAVTEX", "");
        MakeStations(*db, 40);
        auto table = TableOn(*db, "STATIONS");
        table->FieldDefs().Update();
        table->IndexDefs().Update();
        c.Change(*table);
        int pagePosts = 0, datasetPosts = 0;
        auto a = EmptyCopyOf(*table, *db, "A", pagePosts);
        auto b = EmptyCopyOf(*table, *db, "B", datasetPosts);
        TORQAdvFieldDefs kept;
        kept.Assign(table->RestructureFieldDefs());
        table->Open();
        table->RestructureFieldDefs().Assign(kept);
        bool go = true;
        std::string logA, logB;
        // The same error and log line, but for the names of the two tables' constraints.
        std::string byPages = Raised(
            [&] { TORQDataSet::CopyTableRecords(table.get(), *table, *a, 99, 0, {}, true, false, go, logA, true); });
        const std::string byDataset = Raised(
            [&] { TORQDataSet::CopyTableData(table.get(), *table, *b, 99, 0, {}, true, false, go, logB, true); });
        auto named = [](std::string Text) {
            for (size_t at = Text.find("$A$"); at != std::string::npos; at = Text.find("$A$")) Text.replace(at, 3, "$B$");
            return Text;
        };
        EXPECT_EQ(pagePosts, 0);
        EXPECT_FALSE(byDataset.empty());
        EXPECT_EQ(named(byPages), byDataset);
        EXPECT_NE(logB.find("Record #"), std::string::npos);
        EXPECT_EQ(named(logA), logB);
        // Nothing of the failed copy stays: a small copy commits nothing before the end.
        EXPECT_EQ(a->RecordCount(), 0);
        a->Close();
        b->Close();
        table->Close();
    }
}

TEST_F(TableCopyByPages, ProgressStepsAndTheOperatorsStopAreTheDatasetRoads) {
    const std::string file = Dir.File("P.ORQ");
    CreateFile(file);
    auto db = OpenDb(file, "NAVTEX", "");
    MakeStations(*db, 100);
    auto table = TableOn(*db, "STATIONS");
    table->Open();
    struct Case {
        const char* What;
        int32_t Min, Max;
        int StopAt;  // the call that answers stop, 0 none
    };
    // Spans below and above the record count: a step after every record, or every few.
    for (const Case& c : std::vector<Case>{{"30 to 70", 30, 70, 0}, {"0 to 100 by 1", 0, 1, 0},
                                           {"stopped at the third step", 0, 100, 3}, {"stopped at once", 0, 20, 1}}) {
        SCOPED_TRACE(c.What);
        struct TRoad {
            std::vector<int32_t> Seen;
            bool Done = false, Go = true;
            std::string Log;
            int64_t Copied = 0;
        };
        TRoad roads[2];
        for (int road = 0; road < 2; ++road) {
            TRoad& r = roads[road];
            int posts = 0;
            auto copy = EmptyCopyOf(*table, *db, std::string(road == 0 ? "PAGES" : "DATASET") + std::to_string(c.Min) +
                                                     "_" + std::to_string(c.StopAt),
                                    posts);
            TORQTableProgressEvent progress = [&](classlib::TDataSet* Sender, int32_t Percent, bool& Continue) {
                EXPECT_EQ(Sender, table.get());
                r.Seen.push_back(Percent);
                if (static_cast<int>(r.Seen.size()) == c.StopAt) Continue = false;
            };
            r.Done = road == 0 ? TORQDataSet::CopyTableRecords(table.get(), *table, *copy, c.Max, c.Min, progress, false,
                                                               false, r.Go, r.Log, true)
                               : TORQDataSet::CopyTableData(table.get(), *table, *copy, c.Max, c.Min, progress, false,
                                                            false, r.Go, r.Log, true);
            EXPECT_EQ(posts == 0, road == 0);
            r.Copied = copy->RecordCount();
        }
        EXPECT_EQ(roads[0].Seen, roads[1].Seen);
        EXPECT_EQ(roads[0].Done, roads[1].Done);
        EXPECT_EQ(roads[0].Go, roads[1].Go);
        EXPECT_EQ(roads[0].Log, roads[1].Log);
        EXPECT_EQ(roads[0].Copied, roads[1].Copied);
        EXPECT_EQ(roads[0].Done, c.StopAt == 0);
        EXPECT_EQ(roads[0].Seen.size() > 3, c.StopAt == 0 || c.StopAt > 3);
    }
}

}  // namespace
