// What operators do with the world around them: BLOB and memo values through a join and
// a derived table byte for byte, results beyond the memory limit spilled to files, a
// failure mid-materialisation leaving no result table behind, the base tables' locks
// against another process, and LASTAUTOINC per session.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "RelationalAlgebraFixture.h"
#include "engine/access/ORQSessions.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/storage/ORQCursor.h"
#include "engine/storage/ORQTempEngine.h"

using namespace ratest;

namespace {

class OperatorLifecycle : public EngineTest {};

std::string Bytes(std::size_t Size, uint32_t Seed, bool Text) {
    std::string s(Size, '\0');
    uint32_t x = Seed;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = Text ? static_cast<char>('a' + (x >> 16) % 26) : static_cast<char>(x >> 16);
    }
    return s;
}

TEST_F(OperatorLifecycle, BlobAndMemoValuesPassAJoinAndADerivedTableByteForByte) {
    const std::size_t sizes[] = {0, 1, 4095, 4096, 4097, 70000, 400000};
    for (TEngineKind kind : {dstest::ekMemory, dstest::ekDisk}) {
        SCOPED_TRACE(dstest::KindName(kind));
        TEngineEnv env(kind);
        TData a{{{"K", aftInteger}, {"B", aftBlob}, {"M", aftMemo}}, {}};
        TData b{{{"K", aftInteger}, {"X", aftInteger}}, {}};
        int k = 0;
        for (std::size_t n : sizes) {
            a.Data.push_back({std::to_string(k), Bytes(n, static_cast<uint32_t>(n) + 1, false),
                              Bytes(n, static_cast<uint32_t>(n) + 2, true)});
            b.Data.push_back({std::to_string(k), std::to_string(k * 10)});
            ++k;
        }
        a.Data.push_back({"99", Null, Null});
        MakeTable(env, "A", a);
        MakeTable(env, "B", b);
        auto blobs = [](const Rows& R) {
            std::map<std::string, std::pair<std::size_t, std::size_t>> out;
            for (const Row& r : R) out[*r[0]] = {r[1] ? r[1]->size() : 0, r[2] ? r[2]->size() : 0};
            return out;
        };
        // The values as stored, with their sizes.
        for (std::size_t i = 0; i < std::size(sizes); ++i) {
            if (sizes[i] == 0) continue;
            ASSERT_EQ(*a.Data[i][1], Bytes(sizes[i], static_cast<uint32_t>(sizes[i]) + 1, false));
        }
        TORQFields lk = Keys({{"A", "K"}}), rk = Keys({{"B", "K"}});
        TORQAOJoin join(Base(env, "A"), nullptr, &rk, &lk, false, jkLeft, Base(env, "B"));
        OpenAll(join);
        const Rows joined = Result(join);
        ASSERT_EQ(joined.size(), a.Data.size());
        for (const Row& r : joined) {
            const int key = std::stoi(*r[0]);
            if (key == 99) {
                EXPECT_EQ(r[1], Null);
                EXPECT_EQ(r[2], Null);
                EXPECT_EQ(r[4], Null);
                continue;
            }
            const std::size_t n = sizes[key];
            EXPECT_EQ(r[1].value_or(""), Bytes(n, static_cast<uint32_t>(n) + 1, false)) << n;
            EXPECT_EQ(r[2].value_or(""), Bytes(n, static_cast<uint32_t>(n) + 2, true)) << n;
            EXPECT_EQ(r[4], Cell(std::to_string(key * 10)));
        }
        TORQAOTableExpr derived(Base(env, "A"));
        OpenAll(derived);
        const Rows copied = Result(derived);
        EXPECT_EQ(blobs(copied), blobs(joined));
        EXPECT_EQ(Sorted(copied), Sorted(Read(*Base(env, "A")->GetResultTable())));
    }
    EXPECT_EQ(ResultTablesLeft(), 0);
}

// The bytes a result table keeps in files beyond its memory block and its index pages.
struct TSpill {
    int64_t Records = 0, Pages = 0;
};

TSpill SpillOf(TORQAO& Root) {
    TSpill s;
    TORQTableData* data = Root.GetResultTable()->Cursor()->TableData;
    if (auto* rm = dynamic_cast<TORQTemporaryRecordManager*>(data->RecordManager.get()); rm && rm->SpillStream)
        s.Records = rm->SpillStream->Size();
    if (auto* pm = dynamic_cast<TORQTemporaryPageManager*>(data->PageManager); pm && pm->SpillStream)
        s.Pages = pm->SpillStream->Size();
    return s;
}

class TMemoryLimit {
public:
    explicit TMemoryLimit(int64_t Room) : FOld(GlobalMemoryManager().MemoryLimit()) {
        GlobalMemoryManager().SetMemoryLimit(GlobalMemoryManager().UsedMemory() + Room);
    }
    ~TMemoryLimit() { GlobalMemoryManager().SetMemoryLimit(FOld); }

private:
    int64_t FOld;
};

constexpr int BigRows = 30000;

// A: N a permutation of 0..BigRows-1, K = N mod 997, P a long text; B: BK 0..996, W.
void MakeBigTables(TEngineEnv& Env, TData& A, TData& B) {
    A.Columns = {{"N", aftInteger}, {"K", aftInteger}, {"P", aftVarChar, 40}};
    for (int i = 0; i < BigRows; ++i) {
        const int n = static_cast<int>((static_cast<int64_t>(i) * 7919) % BigRows);
        A.Data.push_back({std::to_string(n), std::to_string(n % 997), Bytes(20 + n % 20, static_cast<uint32_t>(n), true)});
    }
    B.Columns = {{"BK", aftInteger}, {"W", aftVarChar, 200}};
    for (int k = 0; k < 997; ++k) B.Data.push_back({std::to_string(k), Bytes(180, static_cast<uint32_t>(k) + 7, true)});
    MakeTable(Env, "A", A);
    MakeTable(Env, "B", B);
}

std::unique_ptr<TORQAO> Derived(TEngineEnv& Env, const std::string& Table) {
    auto d = std::make_unique<TORQAOTableExpr>(Base(Env, Table));
    std::vector<TORQSelectListItem> none;
    d->SetSelectList(none, -1, false);
    return d;
}

// Result tables and their temporary indexes spill to files; the rows are the model's.
TEST_F(OperatorLifecycle, ResultsBeyondTheMemoryLimitSpillAndStayRight) {
    TEngineEnv env(dstest::ekMemory);
    TData a, b;
    MakeBigTables(env, a, b);
    TMemoryLimit limit(6 << 20);
    const int64_t available = GlobalMemoryManager().GetAvailableMemory();
    {
        TORQAOTableExpr ordered(Derived(env, "A"));
        ordered.SetOrderBy("P;N", "P", "");
        OpenAll(ordered);
        Rows expected = a.Data;
        std::sort(expected.begin(), expected.end(), [](const Row& x, const Row& y) {
            return *x[2] != *y[2] ? *x[2] > *y[2] : std::stoi(*x[0]) < std::stoi(*y[0]);
        });
        EXPECT_EQ(Result(ordered), expected);
        const TSpill s = SpillOf(ordered);
        std::printf("ORDER BY: %d rows, memory for caches %lld bytes, records spilled %lld bytes, index pages %lld\n",
                    BigRows, static_cast<long long>(available), static_cast<long long>(s.Records),
                    static_cast<long long>(s.Pages));
        EXPECT_GT(s.Records, 0);
        EXPECT_GT(s.Pages, 0);
    }
    {
        std::vector<TORQSelectListItem> items;
        items.push_back(Field("", "K"));
        items.push_back(Computed("COUNT(*)"));
        TORQFields by = Keys({{"", "K"}});
        TORQAOGroupBy group(Derived(env, "A"), 1, items, &by);
        group.SetSelectList(items, 1, false);
        group.Open(true);
        std::map<int, int> model;
        for (const Row& r : a.Data) ++model[std::stoi(*r[1])];
        const Rows got = Result(group);
        ASSERT_EQ(got.size(), model.size());
        for (const Row& r : got) EXPECT_EQ(std::stoi(*r[1]), model[std::stoi(*r[0])]) << *r[0];
    }
    {
        TORQFields lk = Keys({{"", "K"}}), rk = Keys({{"", "BK"}});
        // Both inputs as result tables of their own, sorted by the key in TEMP.
        auto left = Derived(env, "A");
        auto right = Derived(env, "B");
        TORQAOJoin join(std::move(left), nullptr, &rk, &lk, false, jkInner, std::move(right));
        std::vector<TORQSelectListItem> items;
        items.push_back(Field("", "N"));
        items.push_back(Field("", "W"));
        OpenWith(join, items);
        Rows expected;
        for (const Row& r : a.Data) expected.push_back({r[0], b.Data[static_cast<size_t>(std::stoi(*r[1]))][1]});
        EXPECT_EQ(Sorted(Result(join)), Sorted(expected));
        const TSpill s = SpillOf(join);
        std::printf("join: %d rows, records spilled %lld bytes\n", BigRows, static_cast<long long>(s.Records));
        EXPECT_GT(s.Records, 0);
    }
    EXPECT_EQ(ResultTablesLeft(), 0);
}

// A spill file that cannot be made fails the materialisation; destroying the tree
// drops every result table made so far.
TEST_F(OperatorLifecycle, AFailureMidMaterialisationLeavesNoResultTable) {
    TEngineEnv env(dstest::ekMemory);
    TData a, b;
    MakeBigTables(env, a, b);
    disktest::TempDir dir;
    const char* old = std::getenv("TMPDIR");
    const std::string saved = old != nullptr ? old : "";
    setenv("TMPDIR", (dir.Path + "/missing").c_str(), 1);
    int32_t code = 0;
    {
        TMemoryLimit limit(6 << 20);
        for (int tree = 0; tree < 2; ++tree) {
            SCOPED_TRACE(tree);
            code = NativeCode([&] {
                std::unique_ptr<TORQAO> root;
                if (tree == 0) {
                    auto ordered = std::make_unique<TORQAOTableExpr>(Derived(env, "A"));
                    ordered->SetOrderBy("P", "", "");
                    root = std::move(ordered);
                } else {
                    TORQFields lk = Keys({{"", "BK"}}), rk = Keys({{"", "K"}});
                    root = std::make_unique<TORQAOJoin>(Derived(env, "B"), nullptr, &rk, &lk, false, jkInner,
                                                       Derived(env, "A"));
                }
                OpenAll(*root);
            });
            EXPECT_NE(code, 0);
            EXPECT_EQ(ResultTablesLeft(), 0);
        }
    }
    if (old != nullptr) setenv("TMPDIR", saved.c_str(), 1);
    else unsetenv("TMPDIR");
    // The same tree runs once files can be made again.
    TORQAOTableExpr ordered(Derived(env, "B"));
    OpenAll(ordered);
    EXPECT_EQ(Result(ordered).size(), b.Data.size());
}

// A forked child holds a table's post lock: the tree's read lock is refused, nothing is
// left held (also where another input was locked first), and it is granted once the
// child lets go.
TEST_F(OperatorLifecycle, LockTablesAnswersFalseWhileAnotherProcessPosts) {
    int toChild[2], toParent[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(toParent), 0);
    disktest::TempDir dir;
    const std::string path = dir.File("LOCKS.ORQ");
    {
        TORQLocalSession s;
        s.DatabaseName = "LOCKDB";
        s.DatabaseFileName = path;
        s.MaxConnections = 8;
        s.CreateDatabase();
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(toChild[1]);
        close(toParent[0]);
        int rc = 90;
        try {
            char c = 0;
            if (read(toChild[0], &c, 1) != 1) _exit(91);
            TORQDatabase db(nullptr);
            db.SetDatabaseName("CHILDDB");
            db.SetDatabaseFileName(path);
            db.MultiUser = true;
            db.Open();
            TORQTable t;
            t.SetDatabaseName("CHILDDB");
            t.SetTableName("T");
            t.Open();
            if (!t.Cursor()->LockTable(4, 1, 1, 0)) _exit(92);
            if (write(toParent[1], "L", 1) != 1) _exit(93);
            if (read(toChild[0], &c, 1) != 1) _exit(94);
            {
                // U is free again only if the parent let its read lock go.
                TORQTable u;
                u.SetDatabaseName("CHILDDB");
                u.SetTableName("U");
                u.Open();
                const bool free = u.Cursor()->LockTable(4, 1, 1, 0);
                if (free) u.Cursor()->UnlockTable(4, 1);
                if (write(toParent[1], free ? "Y" : "N", 1) != 1) _exit(98);
            }
            if (read(toChild[0], &c, 1) != 1) _exit(99);
            t.Cursor()->UnlockTable(4, 1);
            if (write(toParent[1], "U", 1) != 1) _exit(95);
            if (read(toChild[0], &c, 1) != 1) _exit(96);
            // Only a read lock the parent still held would refuse this.
            const bool again = t.Cursor()->LockTable(4, 1, 1, 0);
            if (write(toParent[1], again ? "Y" : "N", 1) != 1) _exit(97);
            rc = 0;
        } catch (...) {
        }
        _exit(rc);
    }
    close(toChild[0]);
    close(toParent[1]);
    char c = 0;
    {
        TORQDatabase db(nullptr);
        db.SetDatabaseName("LOCKDB");
        db.SetDatabaseFileName(path);
        db.MultiUser = true;
        db.Open();
        TORQTable make;
        make.SetDatabaseName("LOCKDB");
        make.SetTableName("T");
        make.AdvFieldDefs().Add()->Name = "K";
        make.AdvFieldDefs().GetItem(0)->DataType = aftInteger;
        make.CreateTable();
        make.SetTableName("U");
        make.CreateTable();
        auto base = [&db](const char* Name, const char* Alias) {
            auto t = std::make_unique<TORQTable>();
            t->SetDatabaseName("LOCKDB");
            t->SetTableName(Name);
            return std::make_unique<TORQAOTable>(Name, std::move(t), &db, Alias);
        };
        // U is locked first, then T is refused: U's lock goes again.
        TORQAOJoin second(base("U", ""), nullptr, nullptr, nullptr, false, jkCross, base("T", ""));
        EXPECT_TRUE(second.OpenTables());
        auto table = std::make_unique<TORQTable>();
        table->SetDatabaseName("LOCKDB");
        table->SetTableName("T");
        auto other = std::make_unique<TORQTable>();
        other->SetDatabaseName("LOCKDB");
        other->SetTableName("T");
        // The left input is locked first; the right one is not asked once the left failed.
        TORQAOJoin join(std::make_unique<TORQAOTable>("T", std::move(table), &db, ""), nullptr, nullptr, nullptr,
                        false, jkCross, std::make_unique<TORQAOTable>("T", std::move(other), &db, "X"));
        EXPECT_TRUE(join.OpenTables());
        ASSERT_EQ(write(toChild[1], "G", 1), 1);
        ASSERT_EQ(read(toParent[0], &c, 1), 1);
        ASSERT_EQ(c, 'L');
        EXPECT_FALSE(join.LockTables());
        EXPECT_FALSE(join.Left->TablesLocked);
        EXPECT_FALSE(join.Right->TablesLocked);
        EXPECT_TRUE(join.UnlockTables());
        EXPECT_FALSE(second.LockTables());
        EXPECT_FALSE(second.Left->TablesLocked);
        EXPECT_FALSE(second.Right->TablesLocked);
        ASSERT_EQ(write(toChild[1], "P", 1), 1);
        ASSERT_EQ(read(toParent[0], &c, 1), 1);
        EXPECT_EQ(c, 'Y') << "the left input's lock was let go";
        ASSERT_EQ(write(toChild[1], "R", 1), 1);
        ASSERT_EQ(read(toParent[0], &c, 1), 1);
        ASSERT_EQ(c, 'U');
        EXPECT_TRUE(join.LockTables());
        EXPECT_TRUE(join.Left->TablesLocked);
        EXPECT_TRUE(join.Right->TablesLocked);
        EXPECT_TRUE(join.UnlockTables());
        EXPECT_FALSE(join.Left->TablesLocked);
        ASSERT_EQ(write(toChild[1], "A", 1), 1);
        ASSERT_EQ(read(toParent[0], &c, 1), 1);
        EXPECT_EQ(c, 'Y');
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    close(toChild[1]);
    close(toParent[0]);
}

std::unique_ptr<TORQExpression> LastAutoinc(const std::string& Text, const std::string& Database,
                                            const std::string& Session) {
    auto e = std::make_unique<TORQExpression>();
    e->DatabaseName = Database;
    e->SessionName = Session;
    TORQLexer lexer(Text, nullptr);
    lexer.NextCommand();
    e->ParseValueExpression(nullptr, lexer);
    return e;
}

// Each session reads the value its own last insert drew.
TEST_F(OperatorLifecycle, LastAutoincIsEachSessionsOwnValue) {
    for (TEngineKind kind : {dstest::ekMemory, dstest::ekDisk}) {
        SCOPED_TRACE(dstest::KindName(kind));
        // Two connections to one file need the multi-user mode.
        TEngineEnv env(kind, kind == dstest::ekDisk);
        MakeTable(env, "A", {{{"ID", aftAutoInc}, {"V", aftInteger}}, {}});
        classlib::TComponent owner(nullptr);
        auto* work = new TORQSession(&owner);
        work->SetSessionName("Work");
        work->SetActive(true);
        std::unique_ptr<TORQDatabase> second;
        if (kind == dstest::ekDisk) {
            second = std::make_unique<TORQDatabase>(nullptr);
            second->SetSessionName("Work");
            second->SetDatabaseName(env.Name());
            second->SetDatabaseFileName(env.Path);
            second->MultiUser = true;
            second->Open();
        }
        auto insert = [&](const std::string& Session, int Rows) {
            TORQTable t;
            t.SetSessionName(Session);
            t.SetDatabaseName(env.Name());
            t.SetTableName("A");
            t.Open();
            for (int i = 0; i < Rows; ++i) {
                t.Append();
                t.Fields()[1]->SetAsInteger(i);
                t.Post();
            }
        };
        insert("Default", 2);
        insert("Work", 3);
        const std::string text = kind == dstest::ekMemory ? "LASTAUTOINC(A MEMORY, ID)" : "LASTAUTOINC(A, ID)";
        const std::string database = kind == dstest::ekMemory ? "" : env.Name();
        auto mine = LastAutoinc(text, database, "Default");
        auto theirs = LastAutoinc(text, database, "Work");
        TORQVariant* v = mine->GetValue(true);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->DataType(), bdtLargeInt);
        EXPECT_EQ(v->GetAsLargeInt(), 2);
        EXPECT_EQ(theirs->GetValue(true)->GetAsLargeInt(), 5);
        EXPECT_EQ(mine->GetDataType(), aftAutoInc);
        insert("Default", 1);
        EXPECT_EQ(mine->GetValue(true)->GetAsLargeInt(), 6);
        EXPECT_EQ(theirs->GetValue(true)->GetAsLargeInt(), 5);
        EXPECT_EQ(Raised([&] { LastAutoinc(kind == dstest::ekMemory ? "LASTAUTOINC(A MEMORY, NOPE)" : "LASTAUTOINC(A, NOPE)",
                                           database, "Default"); }),
                  "Field 'NOPE' not found - Native error: 30337");
        // The nodes hold their tables open until they are freed.
        mine.reset();
        theirs.reset();
        TORQTable drop;
        drop.SetDatabaseName(env.Name());
        drop.SetTableName("A");
        EXPECT_EQ(NativeCode([&] { drop.DeleteTable(); }), 0);
        EXPECT_FALSE(drop.Exists());
        if (second) second->Close();
    }
}

}  // namespace
