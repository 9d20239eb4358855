// Commits cut short on a disk database. A forked child runs one change and, at the N-th
// write, size change or sync of any file of the database, is killed, or has that call
// fail once, or has every call fail from there on; a power cut also drops what each file
// took after its last sync. The reopened database then holds the table wholly as before
// or wholly as after the change (every row, memo and index, checked against a model),
// opens without asking for repair, and takes a change again. A failure that was reported
// leaves the table as before, a success as after, in the failing process too.
//
// For a change made in one commit, the free-space map a fresh open reads is also checked
// once the commit's first write was made: the pages marked used are exactly those of the file
// before the change (the pages its transaction had allocated given back) or exactly those
// of the change completed.
//
// Every point is swept when there are few; otherwise a seeded sample of them, all of them
// with TILO_JOURNAL_SWEEP=1.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "RelationalAlgebraFixture.h"

#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQQuery.h"
#include "engine/access/ORQTable.h"
#include "engine/storage/ORQDatabaseFile.h"
#include "engine/storage/ORQDiskEngine.h"
#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQFreeSpace.h"

namespace {

using namespace orq;

constexpr int kRows = 1000;
constexpr const char* kDb = "JDB";

enum class TFault { Kill, PowerCut, FailOnce, FailOn };

const char* FaultName(TFault F) {
    switch (F) {
        case TFault::Kill: return "kill";
        case TFault::PowerCut: return "power cut";
        case TFault::FailOnce: return "fail once";
        case TFault::FailOn: return "fail from here on";
    }
    return "";
}

// The table as rows sorted by key, and each index as the key values it yields in order.
struct TModel {
    std::map<int, std::pair<std::string, std::string>> Rows;  // a -> (b, memo)
    std::set<std::string> Columns{"A", "B", "M"};
    std::vector<std::string> Indexes{"IB"};
};

std::string Memo(int A) {
    if (A % 97 != 0) return A % 3 == 0 ? "" : "m" + std::to_string(A);
    std::string t;
    while (t.size() < 5000) t += static_cast<char>('a' + (t.size() * 31 + static_cast<size_t>(A)) % 26);
    return t;
}

std::string BigMemo() {
    std::string t;
    while (t.size() < 100 * 1024) t += static_cast<char>('A' + (t.size() * 7) % 23);
    return t;
}

TModel Baseline() {
    TModel m;
    for (int a = 1; a <= kRows; ++a) m.Rows[a] = {std::to_string(a % 37), Memo(a)};
    return m;
}

// What the database shows, in the model's terms: "" when it matches, else the difference.
std::string Compare(const TModel& M) {
    TORQTable t;
    t.SetDatabaseName(kDb);
    t.SetTableName("T");
    t.Open();
    std::set<std::string> columns;
    std::string names;
    for (int i = 0; i < t.FieldCount(); ++i) {
        std::string name = t.Fields()[i]->FieldName();
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        columns.insert(name);
        names += name + " ";
    }
    if (columns != M.Columns) return "columns differ: " + names;
    // Primary order: every row with its values.
    t.SetIndexName("");
    t.First();
    auto row = M.Rows.begin();
    int seen = 0;
    while (!t.Eof()) {
        if (row == M.Rows.end()) return "more rows than the model";
        const int a = t.FieldByName("A")->AsInteger();
        if (a != row->first) return "row " + std::to_string(seen) + ": key " + std::to_string(a) + " not " +
                                    std::to_string(row->first);
        if (t.FieldByName("B")->AsString() != row->second.first) return "b of row " + std::to_string(a);
        if (t.FieldByName("M")->AsString() != row->second.second) return "memo of row " + std::to_string(a);
        if (M.Columns.count("C") != 0 && !t.FieldByName("C")->IsNull()) return "c of row " + std::to_string(a);
        ++row;
        ++seen;
        t.Next();
    }
    if (row != M.Rows.end()) return "fewer rows than the model: " + std::to_string(seen);
    if (t.RecordCount() != static_cast<int64_t>(M.Rows.size())) return "record count " + std::to_string(t.RecordCount());
    // Each secondary index yields every row once, in the order of its key.
    for (const std::string& index : {std::string("IB"), std::string("IB2")}) {
        const bool expected = std::find(M.Indexes.begin(), M.Indexes.end(), index) != M.Indexes.end();
        bool present = true;
        try {
            t.SetIndexName(index);
        } catch (const std::exception&) {
            present = false;
        }
        if (present != expected) return "index " + index + (expected ? " missing" : " present");
        if (!present) continue;
        std::vector<std::pair<int, int>> keys;
        for (const auto& [a, v] : M.Rows) keys.emplace_back(std::stoi(v.first), a);
        std::sort(keys.begin(), keys.end());
        if (index == "IB2") std::sort(keys.begin(), keys.end(), [](auto x, auto y) {
            return x.first != y.first ? x.first > y.first : x.second < y.second;
        });
        t.First();
        size_t k = 0;
        while (!t.Eof()) {
            if (k >= keys.size()) return "index " + index + " has more entries";
            if (t.FieldByName("B")->AsInteger() != keys[k].first) return "index " + index + " entry " + std::to_string(k);
            if (index == "IB2" && t.FieldByName("A")->AsInteger() != keys[k].second)
                return "index " + index + " row of entry " + std::to_string(k);
            ++k;
            t.Next();
        }
        if (k != keys.size()) return "index " + index + " has " + std::to_string(k) + " entries";
    }
    t.Close();
    return "";
}

// The pages the open database's free-space map shows used.
std::set<int32_t> UsedPages(TORQDatabase& Db) {
    auto* disk = dynamic_cast<TORQDiskDatabaseData*>(Db.Handle()->DatabaseData);
    if (disk == nullptr) std::abort();
    TORQDatabaseFreeSpaceManager& map = *disk->DiskPageManager()->FreeSpaceManager();
    std::set<int32_t> used;
    for (int32_t p = 0; p < disk->DiskPageManager()->GetPageCount(); ++p)
        if (map.IsPageUsed(p)) used.insert(p);
    return used;
}

void Exec(const std::string& Text) {
    TORQQuery q;
    q.SetDatabaseName(kDb);
    q.SQL().SetText(Text);
    q.ExecSQL();
}

struct TWork {
    const char* Name;
    std::function<void(TORQDatabase&)> Run;
    std::function<TModel(TModel)> After;
    // A restructure swaps its tables in three catalog commits: one that fails after the
    // copy is complete is finished by the next open of the table.
    bool FailureMayComplete = false;
};

std::vector<TWork> Works() {
    return {
        {"update in a transaction",
         [](TORQDatabase& Db) {
             Db.StartTransaction();
             Exec("update t set b = b + 1");
             Db.Commit(true);
         },
         [](TModel M) {
             for (auto& [a, v] : M.Rows) v.first = std::to_string(std::stoi(v.first) + 1);
             return M;
         }},
        {"update in autocommit", [](TORQDatabase&) { Exec("update t set b = b + 1"); },
         [](TModel M) {
             for (auto& [a, v] : M.Rows) v.first = std::to_string(std::stoi(v.first) + 1);
             return M;
         }},
        {"delete of half the table", [](TORQDatabase&) { Exec("delete from t where a > 500"); },
         [](TModel M) {
             M.Rows.erase(M.Rows.upper_bound(500), M.Rows.end());
             return M;
         }},
        {"one-row post with a 100 KB memo",
         [](TORQDatabase&) {
             TORQTable t;
             t.SetDatabaseName(kDb);
             t.SetTableName("T");
             t.Open();
             t.Append();
             t.FieldByName("A")->SetAsInteger(kRows + 1);
             t.FieldByName("B")->SetAsInteger(5);
             t.FieldByName("M")->SetAsString(BigMemo());
             t.Post();
             t.Close();
         },
         [](TModel M) {
             M.Rows[kRows + 1] = {"5", BigMemo()};
             return M;
         }},
        {"create index", [](TORQDatabase&) { Exec("create index IB2 on t (b desc, a)"); },
         [](TModel M) {
             M.Indexes.push_back("IB2");
             return M;
         }},
        {"restructure", [](TORQDatabase&) { Exec("alter table t add (c integer)"); },
         [](TModel M) {
             M.Columns.insert("C");
             return M;
         },
         true},
    };
}

// What a power cut would lose: for each write, size change and sync of the child, the
// bytes and size it replaced, kept in a log that the parent plays back from the end to
// each file's last sync.
class TCutLog {
public:
    explicit TCutLog(std::string Path) : FPath(std::move(Path)) {}

    // In the child: records before every write and size change, marks every sync.
    void Install(const std::string& Prefix) {
        FHandle = ::open(FPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
        SetFileWriteObserver([this, Prefix](TORQFileCall Call, const std::string& File, int Handle, int64_t Position,
                                            int64_t Count) {
            if (File.rfind(Prefix, 0) != 0) return;
            struct stat st {};
            ::fstat(Handle, &st);
            const int64_t size = st.st_size;
            std::vector<uint8_t> old;
            int64_t from = Position;
            if (Call == TORQFileCall::Write) {
                old.resize(static_cast<size_t>(std::max<int64_t>(0, std::min(Count, size - Position))));
            } else if (Call == TORQFileCall::Truncate) {
                old.resize(static_cast<size_t>(std::max<int64_t>(0, size - Position)));
            }
            if (!old.empty() && ::pread(Handle, old.data(), old.size(), from) != static_cast<ssize_t>(old.size())) _exit(95);
            Put(Call, File, from, size, old);
        });
    }

    // In the parent: the files as the last syncs left them.
    void Cut() const {
        const std::vector<uint8_t> log = disktest::ReadAll(FPath);
        struct TEntry {
            TORQFileCall Call;
            std::string File;
            int64_t From, Size;
            std::vector<uint8_t> Old;
        };
        std::vector<TEntry> entries;
        size_t at = 0;
        auto take = [&](void* To, size_t N) {
            std::memcpy(To, log.data() + at, N);
            at += N;
        };
        while (at < log.size()) {
            TEntry e;
            uint8_t call;
            uint32_t nameSize, oldSize;
            take(&call, 1);
            take(&nameSize, 4);
            e.File.assign(reinterpret_cast<const char*>(log.data() + at), nameSize);
            at += nameSize;
            take(&e.From, 8);
            take(&e.Size, 8);
            take(&oldSize, 4);
            e.Old.assign(log.begin() + static_cast<long>(at), log.begin() + static_cast<long>(at + oldSize));
            at += oldSize;
            e.Call = static_cast<TORQFileCall>(call);
            entries.push_back(std::move(e));
        }
        std::map<std::string, size_t> lastSync;
        for (size_t i = 0; i < entries.size(); ++i)
            if (entries[i].Call == TORQFileCall::Sync) lastSync[entries[i].File] = i + 1;
        for (size_t i = entries.size(); i-- > 0;) {
            const TEntry& e = entries[i];
            if (e.Call == TORQFileCall::Sync || i < lastSync[e.File]) continue;
            const int handle = ::open(e.File.c_str(), O_WRONLY | O_CLOEXEC);
            if (handle < 0) continue;  // gone since: what a cut does to a removal is not modelled
            if (!e.Old.empty() && ::pwrite(handle, e.Old.data(), e.Old.size(), e.From) < 0) std::abort();
            if (::ftruncate(handle, e.Size) != 0) std::abort();
            ::close(handle);
        }
    }

private:
    void Put(TORQFileCall Call, const std::string& File, int64_t From, int64_t Size, const std::vector<uint8_t>& Old) {
        std::vector<uint8_t> b;
        auto put = [&](const void* P, size_t N) {
            const auto* c = static_cast<const uint8_t*>(P);
            b.insert(b.end(), c, c + N);
        };
        const auto call = static_cast<uint8_t>(Call);
        const auto nameSize = static_cast<uint32_t>(File.size());
        const auto oldSize = static_cast<uint32_t>(Old.size());
        put(&call, 1);
        put(&nameSize, 4);
        put(File.data(), File.size());
        put(&From, 8);
        put(&Size, 8);
        put(&oldSize, 4);
        put(Old.data(), Old.size());
        if (::write(FHandle, b.data(), b.size()) != static_cast<ssize_t>(b.size())) _exit(96);
    }

    std::string FPath;
    int FHandle = -1;
};

// Child exit codes.
constexpr int kKilled = 42;
constexpr int kSucceeded = 10;
constexpr int kFailed = 11;
constexpr int kFailedCompleted = 12;

class CommitJournal : public dstest::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        SetEngineSleeper([](int32_t) {});
        Path = Dir.File("J.ORQ");
        Base = Dir.File("BASE.ORQ");
        auto db = Open(Base);
        db->CreateDatabase();
        db->Open();
        Exec("create table t (a integer not null, b integer, m memo, primary key (a))");
        Exec("create index IB on t (b)");
        TORQTable t;
        t.SetDatabaseName(kDb);
        t.SetTableName("T");
        t.Open();
        for (const auto& [a, v] : Baseline().Rows) {
            t.Append();
            t.FieldByName("A")->SetAsInteger(a);
            t.FieldByName("B")->SetAsString(v.first);
            if (!v.second.empty()) t.FieldByName("M")->SetAsString(v.second);
            t.Post();
        }
        t.Close();
        db->Close();
    }
    void TearDown() override {
        SetFileFaultHook(nullptr);
        SetFileWriteObserver(nullptr);
        SetEngineSleeper(nullptr);
        EngineTest::TearDown();
    }

    std::unique_ptr<TORQDatabase> Open(const std::string& File) {
        auto db = std::make_unique<TORQDatabase>(nullptr);
        db->SetDatabaseName(kDb);
        db->SetDatabaseFileName(File);
        db->SilentMode = true;
        db->OnNeedRepair = [this](classlib::TPersistent*, bool& DoRepair) {
            AskedRepair = true;
            DoRepair = false;
        };
        return db;
    }

    void Restore() {
        std::filesystem::copy_file(Base, Path, std::filesystem::copy_options::overwrite_existing);
        std::filesystem::remove(TORQCommitJournal::JournalFileName(Path));
    }

    // What a child reports of its calls: how many, the first to the journal, the journal's syncs.
    struct TCalls {
        int Count = 0;
        int FirstJournal = 0;
        int JournalSyncs = 0;
        int LastJournalSync = 0;
    };

    // Runs Work in a child with Fault at call N of the database's files (0: none); the
    // child's exit code, and in Calls what it reported of its calls.
    int RunChild(const TWork& Work, TFault Fault, int N, TCalls* Calls = nullptr, const TModel* Before = nullptr,
                 const TModel* After = nullptr) {
        int counter[2];
        if (pipe(counter) != 0) std::abort();
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            ::close(counter[0]);
            int calls = 0;
            bool journalSeen = false;
            try {
                auto db = Open(Path);
                db->Open();
                if (Fault == TFault::PowerCut) Cut.Install(Path);
                SetFileFaultHook([&](TORQFileCall Call, const std::string& File) {
                    if (Call == TORQFileCall::Read || Call == TORQFileCall::Lock || Call == TORQFileCall::Unlock ||
                        File.rfind(Path, 0) != 0)
                        return 0;
                    ++calls;
                    const bool journal = File != Path;
                    const int message[2] = {!journal || journalSeen ? 0 : 1, calls};
                    if (::write(counter[1], message, sizeof message) < 0) _exit(94);
                    journalSeen = journalSeen || journal;
                    if (journal && Call == TORQFileCall::Sync) {
                        const int sync[2] = {2, calls};
                        if (::write(counter[1], sync, sizeof sync) < 0) _exit(94);
                    }
                    if (N == 0) return 0;
                    if (Fault == TFault::Kill || Fault == TFault::PowerCut) {
                        if (calls == N) _exit(kKilled);
                        return 0;
                    }
                    if (Fault == TFault::FailOnce) return calls == N ? EIO : 0;
                    return calls >= N ? EIO : 0;
                });
                bool ok = true;
                try {
                    Work.Run(*db);
                } catch (const std::exception&) {
                    ok = false;
                }
                SetFileFaultHook(nullptr);
                if (db->InTransaction()) db->Rollback();
                // The failing process sees what it reported, with the fault gone.
                if (Before != nullptr && After != nullptr) {
                    const std::string diff = Compare(ok ? *After : *Before);
                    if (!ok && !diff.empty() && Work.FailureMayComplete && Compare(*After).empty()) {
                        db->Close();
                        _exit(kFailedCompleted);
                    }
                    if (!diff.empty()) {
                        std::fprintf(stderr, "%s, in the child: %s\n", ok ? "reported done" : "reported failed",
                                     diff.c_str());
                        _exit(ok ? 20 : 21);
                    }
                }
                db->Close();
                _exit(ok ? kSucceeded : kFailed);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "child: %s\n", e.what());
            }
            _exit(30);
        }
        ::close(counter[1]);
        TCalls seen;
        int message[2];
        while (::read(counter[0], message, sizeof message) == sizeof message) {
            if (message[0] == 2) {
                ++seen.JournalSyncs;
                seen.LastJournalSync = message[1];
                continue;
            }
            seen.Count = message[1];
            if (message[0] == 1) seen.FirstJournal = message[1];
        }
        ::close(counter[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        if (Calls != nullptr) *Calls = seen;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
    }

    // The reopened database shows Expected (or, with two, either), asked for no repair,
    // and takes a change again; with Maps, its map is the one of the state it shows.
    // Answers the pages its map showed used.
    std::set<int32_t> ExpectState(const TModel& Before, const TModel& After, const char* Which,
                                  const std::set<int32_t>* BeforeMap = nullptr,
                                  const std::set<int32_t>* AfterMap = nullptr) {
        AskedRepair = false;
        auto db = Open(Path);
        db->Open();
        EXPECT_FALSE(AskedRepair);
        const std::set<int32_t> used = UsedPages(*db);
        const std::string before = Compare(Before);
        const std::string after = Compare(After);
        if (BeforeMap != nullptr && before.empty())
            EXPECT_TRUE(used == *BeforeMap) << "map of " << used.size() << " pages, before had " << BeforeMap->size();
        else if (AfterMap != nullptr && after.empty())
            EXPECT_TRUE(used == *AfterMap) << "map of " << used.size() << " pages, after had " << AfterMap->size();
        if (std::strcmp(Which, "before") == 0)
            EXPECT_EQ(before, "") << "expected as before";
        else if (std::strcmp(Which, "after") == 0)
            EXPECT_EQ(after, "") << "expected as after";
        else
            EXPECT_TRUE(before.empty() || after.empty()) << "neither before (" << before << ") nor after (" << after
                                                          << ")";
        EXPECT_NO_THROW(Exec("update t set b = b where a = 1"));
        db->Close();
        EXPECT_FALSE(std::filesystem::exists(TORQCommitJournal::JournalFileName(Path)));
        return used;
    }

    // The points to try out of 1..Count.
    static std::vector<int> Points(int Count, int Sample, uint32_t Seed, std::vector<int> Always = {}) {
        std::vector<int> all;
        for (int n = 1; n <= Count; ++n) all.push_back(n);
        const char* sweep = std::getenv("TILO_JOURNAL_SWEEP");
        if (Count <= Sample || (sweep != nullptr && std::atoi(sweep) != 0)) return all;
        std::mt19937 rng(Seed);
        std::shuffle(all.begin(), all.end(), rng);
        all.resize(static_cast<size_t>(Sample));
        // The first and last calls are where the commit begins and ends.
        all.push_back(1);
        all.push_back(Count);
        for (const int n : Always)
            if (n >= 1 && n <= Count) all.push_back(n);
        std::sort(all.begin(), all.end());
        all.erase(std::unique(all.begin(), all.end()), all.end());
        return all;
    }

    void Sweep(const TWork& Work, TFault Fault, int Sample) {
        const TModel before = Baseline();
        const TModel after = Work.After(before);
        Restore();
        std::set<int32_t> beforeMap;
        {
            auto db = Open(Path);
            db->Open();
            beforeMap = UsedPages(*db);
            db->Close();
        }
        TCalls clean;
        ASSERT_EQ(RunChild(Work, Fault, 0, &clean), kSucceeded) << Work.Name;
        const std::set<int32_t> afterMap = ExpectState(before, after, "after");
        const int calls = clean.Count;
        ASSERT_GT(calls, 2);
        // The map is checked for changes of one commit, once its first write (the journal's
        // list of the transaction's pages) was made; the calls just after it always run.
        // The seal's write and sync are always tried too: a seal that failed yet stands
        // whole in the file must not be completed by the next open.
        const bool oneCommit = clean.JournalSyncs == 1;
        const int mapFrom = clean.FirstJournal + 1;
        std::vector<int> always{clean.LastJournalSync - 1, clean.LastJournalSync};
        if (oneCommit) always.insert(always.end(), {mapFrom, mapFrom + 1});
        const std::vector<int> points =
            Points(calls, Sample, static_cast<uint32_t>(calls * 31 + static_cast<int>(Fault)), always);
        std::printf("[ points   ] %s, %s: %zu of %d calls%s\n", Work.Name, FaultName(Fault), points.size(), calls,
                    oneCommit ? (", map checked from call " + std::to_string(mapFrom)).c_str() : "");
        for (const int n : points) {
            SCOPED_TRACE(std::string(Work.Name) + ", " + FaultName(Fault) + " at call " + std::to_string(n) + " of " +
                         std::to_string(calls));
            Restore();
            const bool failing = Fault == TFault::FailOnce || Fault == TFault::FailOn;
            const int code = RunChild(Work, Fault, n, nullptr, failing ? &before : nullptr, failing ? &after : nullptr);
            if (Fault == TFault::PowerCut && code == kKilled) Cut.Cut();
            // A commit whose writes fail for good cannot give its pages back; they stay
            // marked used until an open finds its journal's list, which a later commit
            // overwrites: the map is not checked then.
            const bool mapChecked = oneCommit && n >= mapFrom && Fault != TFault::FailOn;
            const std::set<int32_t>* beforeCheck = mapChecked ? &beforeMap : nullptr;
            const std::set<int32_t>* afterCheck = mapChecked ? &afterMap : nullptr;
            if (failing) {
                ASSERT_TRUE(code == kSucceeded || code == kFailed || code == kFailedCompleted) << "child ended " << code;
                ExpectState(before, after, code == kFailed ? "before" : "after", beforeCheck, afterCheck);
            } else {
                ASSERT_TRUE(code == kKilled || code == kSucceeded) << "child ended " << code;
                ExpectState(before, after, code == kKilled ? "either" : "after", beforeCheck, afterCheck);
            }
            if (HasFatalFailure() || HasFailure()) return;
        }
    }

    disktest::TempDir Dir;
    std::string Path, Base;
    TCutLog Cut{Dir.File("cut.log")};
    bool AskedRepair = false;
};

class CommitJournalWorks : public CommitJournal, public ::testing::WithParamInterface<int> {};

TEST_P(CommitJournalWorks, KilledCommitIsWholeOrAbsent) { Sweep(Works()[GetParam()], TFault::Kill, 14); }
TEST_P(CommitJournalWorks, PowerCutCommitIsWholeOrAbsent) { Sweep(Works()[GetParam()], TFault::PowerCut, 14); }
TEST_P(CommitJournalWorks, FailingCallReportsWhatHappened) {
    Sweep(Works()[GetParam()], TFault::FailOnce, 8);
    Sweep(Works()[GetParam()], TFault::FailOn, 8);
}

// A commit killed after its journal was sealed, part of the way through writing the file;
// then its recovery killed at each of its own writes and syncs: every open after that
// finds the change whole.
TEST_F(CommitJournal, RecoveryKilledAnywhereRecoversAgain) {
    const TWork work = Works()[0];
    const TModel before = Baseline();
    const TModel after = work.After(before);
    // Kills the change at the third write of the database file after the journal's sync.
    auto interrupted = [&] {
        Restore();
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            auto db = Open(Path);
            db->Open();
            bool sealed = false;
            int writes = 0;
            SetFileFaultHook([&](TORQFileCall Call, const std::string& File) {
                const bool journal = File == TORQCommitJournal::JournalFileName(Path);
                if (Call == TORQFileCall::Sync && journal) sealed = true;
                if (sealed && Call == TORQFileCall::Write && File == Path && ++writes == 3) _exit(kKilled);
                return 0;
            });
            try {
                work.Run(*db);
            } catch (...) {
            }
            _exit(31);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kKilled);
        ASSERT_TRUE(std::filesystem::exists(TORQCommitJournal::JournalFileName(Path)));
    };
    // Opens the database in a child, killed at call N of the open's own (0: never); the
    // number of calls.
    auto openKilledAt = [&](int N) {
        int pipeEnds[2];
        if (pipe(pipeEnds) != 0) std::abort();
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            ::close(pipeEnds[0]);
            int calls = 0;
            SetFileFaultHook([&](TORQFileCall Call, const std::string& File) {
                if ((Call != TORQFileCall::Write && Call != TORQFileCall::Sync && Call != TORQFileCall::Truncate) ||
                    File.rfind(Path, 0) != 0)
                    return 0;
                ++calls;
                if (::write(pipeEnds[1], &calls, sizeof calls) < 0) _exit(94);
                if (calls == N) _exit(kKilled);
                return 0;
            });
            try {
                auto db = Open(Path);
                db->Open();
                SetFileFaultHook(nullptr);
                db->Close();
            } catch (...) {
                _exit(32);
            }
            _exit(0);
        }
        ::close(pipeEnds[1]);
        int last = 0, value = 0;
        while (::read(pipeEnds[0], &value, sizeof value) == sizeof value) last = value;
        ::close(pipeEnds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == (N == 0 ? 0 : kKilled)) << "open ended " << status;
        return last;
    };
    interrupted();
    const int calls = openKilledAt(0);
    ExpectState(before, after, "after");
    ASSERT_GT(calls, 2);
    for (const int n : Points(calls, 16, 7)) {
        SCOPED_TRACE("recovery killed at call " + std::to_string(n) + " of " + std::to_string(calls));
        interrupted();
        openKilledAt(n);
        // Killed once more, at a later call of the next recovery.
        if (n + 1 < calls) openKilledAt(n + 1);
        ExpectState(before, after, "after");
        if (HasFailure()) return;
    }
}

// A journal that does not belong to the file (another file's, a damaged one, one cut
// short) is removed and nothing of it is applied.
TEST_F(CommitJournal, ForeignOrBrokenJournalIsIgnored) {
    const TWork work = Works()[1];
    const TModel before = Baseline();
    const TModel after = work.After(before);
    // A sealed journal of the change, kept before the file was touched.
    Restore();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        auto db = Open(Path);
        db->Open();
        bool sealed = false;
        SetFileFaultHook([&](TORQFileCall Call, const std::string& File) {
            if (Call == TORQFileCall::Sync && File == TORQCommitJournal::JournalFileName(Path)) sealed = true;
            if (sealed && Call == TORQFileCall::Write && File == Path) _exit(kKilled);
            return 0;
        });
        try {
            work.Run(*db);
        } catch (...) {
        }
        _exit(31);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kKilled);
    const std::string journal = TORQCommitJournal::JournalFileName(Path);
    const std::vector<uint8_t> sealed = disktest::ReadAll(journal);
    ASSERT_GT(sealed.size(), 200u);
    auto put = [&](const std::vector<uint8_t>& Bytes) {
        Restore();
        FILE* f = std::fopen(journal.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(Bytes.data(), 1, Bytes.size(), f), Bytes.size());
        std::fclose(f);
    };
    struct TCase {
        const char* Name;
        std::function<std::vector<uint8_t>()> Bytes;
        const char* Expected;
    };
    const std::vector<TCase> cases = {
        {"whole", [&] { return sealed; }, "after"},
        {"without its commit mark", [&] { return std::vector<uint8_t>(sealed.begin(), sealed.end() - 16); }, "before"},
        {"cut in a record", [&] { return std::vector<uint8_t>(sealed.begin(), sealed.begin() + 300); }, "before"},
        {"a data byte changed",
         [&] {
             auto b = sealed;
             b[b.size() / 2] ^= 0x40;
             return b;
         },
         "before"},
        {"header damaged",
         [&] {
             auto b = sealed;
             b[20] ^= 1;
             return b;
         },
         "before"},
        {"empty", [&] { return std::vector<uint8_t>(1, 0); }, "before"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        put(c.Bytes());
        ExpectState(before, after, c.Expected);
    }
    // Not this file's: the journal beside a file whose commits went on without it.
    SCOPED_TRACE("beside a file that committed since");
    put(sealed);
    std::filesystem::rename(journal, Dir.File("saved-journal"));
    {
        auto db = Open(Path);
        db->Open();
        Exec("update t set b = 1 where a = 1");
        Exec("update t set b = 0 where a = 1");
        db->Close();
    }
    std::filesystem::rename(Dir.File("saved-journal"), journal);
    TModel changed = before;
    changed.Rows[1].first = "0";
    ExpectState(changed, changed, "before");
}

// The file layer's share of a commit: a one-row change costs two syncs with barriers on,
// and the database file keeps no journal once closed.
TEST_F(CommitJournal, OneRowCommitSyncsTwice) {
    Restore();
    auto db = Open(Path);
    db->Open();
    int dbSyncs = 0, journalSyncs = 0;
    SetFileFaultHook([&](TORQFileCall Call, const std::string& File) {
        if (Call == TORQFileCall::Sync) ++(File == Path ? dbSyncs : journalSyncs);
        return 0;
    });
    Exec("update t set b = b + 1 where a = 10");
    dbSyncs = journalSyncs = 0;
    Exec("update t set b = b + 1 where a = 10");
    SetFileFaultHook(nullptr);
    EXPECT_EQ(dbSyncs, 1);
    EXPECT_EQ(journalSyncs, 1);
    db->Close();
    EXPECT_FALSE(std::filesystem::exists(TORQCommitJournal::JournalFileName(Path)));
}

// Two processes share the file in multi-user mode. One updates every row to the same
// generation in a loop and is killed at random moments; the other, open all along, then
// finds every row at one generation, no older than the last one reported committed, and
// commits rows of its own, none of which is ever lost.
TEST_F(CommitJournal, MultiUserKilledWriterNeverTearsOrLoses) {
    int rounds = 8;
    if (const char* e = std::getenv("TILO_JOURNAL_ROUNDS")) rounds = std::max(1, std::atoi(e));
    {
        auto db = Open(Base);
        db->Open();
        Exec("create table u (k integer not null, primary key (k))");
        db->Close();
    }
    Restore();
    auto openShared = [&] {
        auto db = Open(Path);
        db->MultiUser = true;
        db->Open();
        return db;
    };
    int toChecker[2], fromChecker[2];
    if (pipe(toChecker) != 0 || pipe(fromChecker) != 0) std::abort();
    std::fflush(nullptr);
    const pid_t checker = fork();
    if (pid_t(checker) == 0) {
        ::close(toChecker[1]);
        ::close(fromChecker[0]);
        int rc = 0;
        try {
            auto db = openShared();
            int reported = 0, round = 0;
            // Each message: the last generation the killed writer reported committed.
            while (::read(toChecker[0], &reported, sizeof reported) == sizeof reported) {
                TORQQuery q;
                q.SetDatabaseName(kDb);
                q.SQL().SetText("select min(b), max(b), count(*) from t");
                q.Open();
                const int low = q.Fields()[0]->AsInteger(), high = q.Fields()[1]->AsInteger();
                const int count = q.Fields()[2]->AsInteger();
                q.Close();
                if (low != high || count != kRows || low < reported) {
                    std::fprintf(stderr, "round %d: b from %d to %d in %d rows, %d reported\n", round, low, high,
                                 count, reported);
                    rc = 40;
                    break;
                }
                Exec("insert into u (k) values (" + std::to_string(++round) + ")");
                if (::write(fromChecker[1], &round, sizeof round) != sizeof round) _exit(93);
            }
            db->Close();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "checker: %s\n", e.what());
            rc = 41;
        }
        _exit(rc);
    }
    ::close(toChecker[0]);
    ::close(fromChecker[1]);
    std::mt19937 rng(11);
    int last = 0;
    for (int r = 0; r < rounds; ++r) {
        int generations[2];
        if (pipe(generations) != 0) std::abort();
        std::fflush(nullptr);
        const pid_t writer = fork();
        if (writer == 0) {
            ::close(generations[0]);
            try {
                auto db = openShared();
                for (int g = last + 1;; ++g) {
                    Exec("update t set b = " + std::to_string(g));
                    if (::write(generations[1], &g, sizeof g) != sizeof g) _exit(92);
                }
            } catch (const std::exception& e) {
                std::fprintf(stderr, "writer: %s\n", e.what());
            }
            _exit(43);
        }
        ::close(generations[1]);
        // Killed after a few of its commits, at a moment of the next one.
        int g = 0, seen = 0;
        const int commits = 1 + static_cast<int>(rng() % 3);
        while (seen < commits && ::read(generations[0], &g, sizeof g) == sizeof g) {
            last = g;
            ++seen;
        }
        usleep(static_cast<useconds_t>(rng() % 20000));
        ::kill(writer, SIGKILL);
        int status = 0;
        waitpid(writer, &status, 0);
        while (::read(generations[0], &g, sizeof g) == sizeof g) last = g;
        ::close(generations[0]);
        ASSERT_TRUE(WIFSIGNALED(status)) << "writer ended " << WEXITSTATUS(status);
        ASSERT_EQ(::write(toChecker[1], &last, sizeof last), static_cast<ssize_t>(sizeof last));
        int done = 0;
        ASSERT_EQ(::read(fromChecker[0], &done, sizeof done), static_cast<ssize_t>(sizeof done)) << "round " << r;
        ASSERT_EQ(done, r + 1);
    }
    ::close(toChecker[1]);
    int status = 0;
    waitpid(checker, &status, 0);
    ::close(fromChecker[0]);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "checker ended " << status;
    AskedRepair = false;
    auto db = Open(Path);
    db->Open();
    EXPECT_FALSE(AskedRepair);
    TORQQuery q;
    q.SetDatabaseName(kDb);
    q.SQL().SetText("select count(*), min(k), max(k) from u");
    q.Open();
    EXPECT_EQ(q.Fields()[0]->AsInteger(), rounds);
    EXPECT_EQ(q.Fields()[2]->AsInteger(), rounds);
    q.Close();
    db->Close();
}

// A writer sharing the file is killed between its journal's seal and the state mark that
// tells the others: the process that had the file open all along takes the header lock for
// its next change and finds the commit completed first, and so does a fresh open after it.
TEST_F(CommitJournal, MultiUserWriterKilledAfterSealIsCompletedByTheNextLockTaker) {
    Restore();
    auto openShared = [&] {
        auto db = Open(Path);
        db->MultiUser = true;
        db->Open();
        return db;
    };
    int go[2];
    if (pipe(go) != 0) std::abort();
    std::fflush(nullptr);
    const pid_t writer = fork();
    if (writer == 0) {
        ::close(go[1]);
        try {
            auto db = openShared();
            char byte = 0;
            if (::read(go[0], &byte, 1) != 1) _exit(91);
            bool sealed = false;
            SetFileFaultHook([&](TORQFileCall Call, const std::string& File) {
                if (Call == TORQFileCall::Sync && File != Path && File.rfind(Path, 0) == 0) sealed = true;
                else if (sealed && Call == TORQFileCall::Write && File == Path) _exit(kKilled);
                return 0;
            });
            Exec("update t set b = b + 1");
        } catch (const std::exception& e) {
            std::fprintf(stderr, "writer: %s\n", e.what());
        }
        _exit(30);
    }
    ::close(go[0]);
    TModel expected = Baseline();
    for (auto& [a, v] : expected.Rows) v.first = std::to_string(std::stoi(v.first) + 1);
    expected.Rows[1].second = "mine";
    {
        auto db = openShared();
        EXPECT_EQ(Compare(Baseline()), "");
        ASSERT_EQ(::write(go[1], "x", 1), 1);
        int status = 0;
        waitpid(writer, &status, 0);
        ::close(go[1]);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kKilled) << "writer ended " << status;
        ASSERT_TRUE(TORQCommitJournal::HeaderPresent(Path)) << "killed elsewhere than after the seal";
        Exec("update t set m = 'mine' where a = 1");
        EXPECT_EQ(Compare(expected), "");
        db->Close();
    }
    AskedRepair = false;
    auto db = Open(Path);
    db->Open();
    EXPECT_FALSE(AskedRepair);
    EXPECT_EQ(Compare(expected), "");
    db->Close();
    EXPECT_FALSE(std::filesystem::exists(TORQCommitJournal::JournalFileName(Path)));
}

std::string ChangeName(const ::testing::TestParamInfo<int>& Info) {
    static const char* const names[] = {"UpdateInTransaction", "UpdateAutocommit", "DeleteHalf",
                                        "PostBigMemo",         "CreateIndex",      "Restructure"};
    return names[Info.param];
}

INSTANTIATE_TEST_SUITE_P(Changes, CommitJournalWorks, ::testing::Range(0, 6), ChangeName);

}  // namespace
