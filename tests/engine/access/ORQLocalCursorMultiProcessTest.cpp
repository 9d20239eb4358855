// Several forked processes append, edit and delete on one message-log file in multi-user
// mode through the local cursor. Each call must end in 0 or a code the conflict explains;
// afterwards no row is lost or doubled, every autoincrement value is unique, the record
// count and the indexes agree with the records, and the file opens exclusively.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "LocalCursorFixture.h"

namespace lctest {
namespace {

constexpr int32_t fId = fFieldCount;  // the autoincrement field after the log's fields

void CreateCountedLog(TConnection& C) {
    TORQFieldDefs fields;
    LogFields(fields);
    AddField(fields, "ID", aftAutoIncInteger);
    TORQIndexDefs indexes;
    LogIndexes(indexes);
    // Not unique: a value handed out twice must show as two rows, not as a refused post.
    TORQIndexDef* byId = indexes.Add();
    byId->Name = "BY_ID";
    byId->SetColumnCount(1);
    byId->GetColumn(0).FieldName = "ID";
    TCursor c(C, "NAVTEXLOG");
    c.CreateTable(fields, indexes, TORQConstraintDefs());
}

// One process's run: Ops calls, appends only or a mix; its appended and deleted ids go to
// LogFile. The answer is 0, or the step that met an unexpected code.
int RunProcess(const std::string& Path, int32_t Proc, int32_t Ops, bool AppendsOnly, const std::string& LogFile) {
    auto conn = TConnection::Disk(Path, true, "P" + std::to_string(Proc));
    TCursor c(*conn, "NAVTEXLOG");
    c.Open();
    std::ofstream log(LogFile);
    uint32_t x = 2654435761u * static_cast<uint32_t>(Proc + 1);
    const auto next = [&x] {
        x = x * 1103515245u + 12345u;
        return (x >> 16) & 0x7FFF;
    };
    const auto allowed = [](int32_t Code, std::initializer_list<int32_t> Codes) {
        return std::find(Codes.begin(), Codes.end(), Code) != Codes.end();
    };
    for (int32_t k = 0; k < Ops; ++k) {
        const uint32_t r = AppendsOnly ? 0 : next() % 10;
        if (r < 6) {
            c.FillLog(static_cast<int64_t>(Proc) * 100000 + k, Proc, "A", "UNID", 518, k);
            const int32_t code = c.Post(true);
            log << "C append " << code << "\n";
            if (code == 0)
                log << "A " << c.GetInt(fId) << "\n";
            else if (!allowed(code, {-13}))
                return 10;
            continue;
        }
        const int64_t count = c.GetRecordCount();
        if (count == 0) continue;
        c.SetRecNo(1 + static_cast<int64_t>(next()) % count);
        if (c.GetRecord(gmCurrent) != grOK) continue;
        if (r < 8) {
            int32_t code = c.BeginEdit();
            log << "C edit " << code << "\n";
            if (!allowed(code, {0, -4, -6, -12, -13})) return 20;
            if (code != 0) continue;
            c.SetInt(fDist, 1000 + k);
            code = c.Post(false);
            log << "C post " << code << "\n";
            if (!allowed(code, {0, -4, -6, -13})) return 21;
            if (code != 0) c.Cancel();
            if (c.HoldsEditLocks()) return 22;
        } else {
            const int64_t id = c.GetInt(fId);
            const int32_t code = c.Delete();
            log << "C delete " << code << "\n";
            if (code == 0)
                log << "D " << id << "\n";
            else if (!allowed(code, {-5, -7, -12, -13}))
                return 30;
        }
    }
    return 0;
}

class LocalCursorProcesses : public ::testing::TestWithParam<int32_t> {
protected:
    void SetUp() override {
        StartTestEngine();
        Path = CreateDatabaseFile(Dir);
        auto c = TConnection::Disk(Path, true, "SETUP");
        CreateCountedLog(*c);
    }
    void TearDown() override { StopTestEngine(); }

    // Forks Count processes that start together; answers their exit statuses.
    std::vector<int> RunAll(int32_t Count, int32_t Ops, bool AppendsOnly) {
        int start[2];
        if (pipe(start) != 0) std::abort();
        std::vector<pid_t> pids;
        for (int32_t p = 0; p < Count; ++p) {
            std::fflush(nullptr);
            const pid_t pid = fork();
            if (pid == 0) {
                close(start[1]);
                char go;
                if (read(start[0], &go, 1) != 1) _exit(97);
                int rc = 98;
                try {
                    rc = RunProcess(Path, p, Ops, AppendsOnly, LogFile(p));
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "process %d: %s\n", p, e.what());
                } catch (...) {
                }
                _exit(rc);
            }
            pids.push_back(pid);
        }
        close(start[0]);
        const std::string go(static_cast<size_t>(Count), 'g');
        if (write(start[1], go.data(), go.size()) != static_cast<ssize_t>(go.size())) std::abort();
        close(start[1]);
        std::vector<int> statuses;
        for (pid_t pid : pids) {
            int status = 0;
            waitpid(pid, &status, 0);
            statuses.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        }
        return statuses;
    }
    std::string LogFile(int32_t Proc) const { return Path + ".p" + std::to_string(Proc); }

    // Appended minus deleted, from every process's log; duplicates fail the test.
    std::multiset<int64_t> Expected(int32_t Count, int64_t& Appended) {
        std::set<int64_t> appended, deleted;
        Appended = 0;
        for (int32_t p = 0; p < Count; ++p) {
            std::ifstream in(LogFile(p));
            std::string kind;
            int64_t id = 0;
            std::string line;
            while (std::getline(in, line)) {
                std::istringstream words(line);
                words >> kind;
                if (kind == "C") {
                    std::string op;
                    int32_t code = 0;
                    words >> op >> code;
                    ++Codes[op + " " + std::to_string(code)];
                    continue;
                }
                words >> id;
                if (kind == "A") {
                    EXPECT_TRUE(appended.insert(id).second) << "id " << id << " handed out twice";
                    ++Appended;
                } else {
                    EXPECT_TRUE(deleted.insert(id).second) << "id " << id << " deleted twice";
                }
            }
        }
        std::multiset<int64_t> out;
        for (int64_t id : appended)
            if (!deleted.contains(id)) out.insert(id);
        for (int64_t id : deleted) EXPECT_TRUE(appended.contains(id)) << id;
        return out;
    }
    void ExpectTableMatches(const std::multiset<int64_t>& Ids) {
        auto conn = TConnection::Disk(Path, true, "CHECK");
        TCursor c(*conn, "NAVTEXLOG");
        c.Open();
        std::multiset<int64_t> found;
        std::vector<int64_t> minutes;
        c.First();
        while (c.GetRecord(gmNext) == grOK) {
            found.insert(c.GetInt(fId));
            minutes.push_back(c.Minute());
        }
        EXPECT_EQ(found, Ids);
        EXPECT_EQ(c.GetRecordCount(), static_cast<int64_t>(Ids.size()));
        EXPECT_NO_THROW(dynamic_cast<TORQDiskTableData*>(c.TableData)->CheckRecordCount(conn->S.SessionID));
        c.SetIndexName("IDX_DT");
        std::sort(minutes.begin(), minutes.end());
        EXPECT_EQ(c.Walk(), minutes);
        c.SetIndexName("BY_ID");
        EXPECT_EQ(c.Walk(fId), std::vector<int64_t>(Ids.begin(), Ids.end()));
        c.Close();
        TCursor exclusive(*conn, "NAVTEXLOG");
        exclusive.Exclusive = 1;
        EXPECT_EQ(NativeCode([&] { exclusive.Open(); }), 0);
    }

    disktest::TempDir Dir;
    std::string Path;
    std::map<std::string, int32_t> Codes;  // "op code" -> calls, over every process
    int Killed = 0;
};

void PrintCodes(const std::map<std::string, int32_t>& Codes) {
    std::string line;
    for (const auto& [k, n] : Codes) line += k + ": " + std::to_string(n) + "; ";
    std::printf("result codes: %s\n", line.c_str());
}

TEST_P(LocalCursorProcesses, AppendEditAndDeleteLoseAndDoubleNothing) {
    const int32_t count = GetParam();
    const std::vector<int> statuses = RunAll(count, 300, false);
    EXPECT_EQ(statuses, std::vector<int>(static_cast<size_t>(count), 0));
    int64_t appended = 0;
    const std::multiset<int64_t> ids = Expected(count, appended);
    EXPECT_GT(appended, 0);
    PrintCodes(Codes);
    ExpectTableMatches(ids);
}

INSTANTIATE_TEST_SUITE_P(Counts, LocalCursorProcesses, ::testing::Values(2, 3, 4),
                         [](const ::testing::TestParamInfo<int32_t>& I) { return std::to_string(I.param) + "Processes"; });

// Two appenders at once: each value is drawn under the post lock from the state as the
// file holds it, so the values are exactly 1..N.
TEST_F(LocalCursorProcesses, TwoAppendersDrawEveryAutoincrementValueOnce) {
    const std::vector<int> statuses = RunAll(2, 150, true);
    EXPECT_EQ(statuses, (std::vector<int>{0, 0}));
    int64_t appended = 0;
    const std::multiset<int64_t> ids = Expected(2, appended);
    EXPECT_EQ(appended, 300);
    std::multiset<int64_t> all;
    for (int64_t i = 1; i <= 300; ++i) all.insert(i);
    EXPECT_EQ(ids, all);
    ExpectTableMatches(ids);
}

// The memo and the distance of the row of Minute: a reader finding them apart from the
// minute saw a row torn between two states.
std::string TextOf(int64_t Minute) {
    std::string t = "ZCZC " + std::to_string(Minute) + "\n";
    const size_t size = 300 + static_cast<size_t>(Minute * 7919 % 1200);
    while (t.size() < size) t += static_cast<char>('A' + (t.size() + static_cast<size_t>(Minute)) % 26);
    return t;
}
int32_t DistOf(int64_t Minute) { return static_cast<int32_t>(Minute % 1000003); }

int Env(const char* Name, int Default) {
    const char* v = std::getenv(Name);
    return v != nullptr ? std::atoi(v) : Default;
}

// A writer appending rows with memos, each logged once its post answered 0.
int RunWriter(const std::string& Path, int32_t Proc, int32_t Ops, const std::string& LogFile) {
    auto conn = TConnection::Disk(Path, true, "W" + std::to_string(Proc));
    TCursor c(*conn, "NAVTEXLOG");
    c.Open();
    FILE* log = std::fopen(LogFile.c_str(), "w");
    if (log == nullptr) return 50;
    for (int32_t k = 0; k < Ops; ++k) {
        const int64_t minute = static_cast<int64_t>(Proc) * 100000 + k;
        c.FillLog(minute, Proc, "A", "UNID", 518, DistOf(minute));
        c.SetText(fText, TextOf(minute));
        const int32_t code = c.Post(true);
        if (code == 0) {
            std::fprintf(log, "A %lld %lld\n", static_cast<long long>(c.GetInt(fId)), static_cast<long long>(minute));
            std::fflush(log);
        } else if (code != -13) {
            return 51;
        }
    }
    std::fclose(log);
    return 0;
}

// A reader scanning Scans times: every row whole, no id twice in one scan.
int RunReader(const std::string& Path, int32_t Proc, int32_t Scans) {
    auto conn = TConnection::Disk(Path, true, "R" + std::to_string(Proc));
    TCursor c(*conn, "NAVTEXLOG");
    c.Open();
    for (int32_t scan = 0; scan < Scans; ++scan) {
        std::set<int64_t> seen;
        c.First();
        while (c.GetRecord(gmNext) == grOK) {
            const int64_t minute = c.Minute();
            if (c.GetInt(fDist) != DistOf(minute)) return 60;
            if (c.GetText(fText) != TextOf(minute)) return 61;
            if (!seen.insert(c.GetInt(fId)).second) return 62;
        }
    }
    return 0;
}

// Rounds of two writers and two readers with one writer killed at a seeded moment
// (TILO_MP_ROUNDS raises the rounds, TILO_MP_SEED picks the moments): the killed writer's
// commit, if it was in one, is finished or undone by whoever comes next; every logged row
// is there once, at most the killed writer's last row besides, and the indexes and walks
// agree with the records.
TEST_F(LocalCursorProcesses, ReadersWritersAndAKilledWriterLoseDoubleAndTearNothing) {
    const int rounds = Env("TILO_MP_ROUNDS", 2);
    uint32_t seed = static_cast<uint32_t>(Env("TILO_MP_SEED", 20261211));
    const auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7FFF;
    };
    std::set<int64_t> logged;
    std::map<int64_t, int64_t> minuteOf;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const int32_t victim = static_cast<int32_t>(next() % 2);
        const int killAfterMs = 20 + static_cast<int>(next() % 200);
        std::vector<pid_t> pids;
        for (int32_t p = 0; p < 4; ++p) {
            std::fflush(nullptr);
            const pid_t pid = fork();
            if (pid == 0) {
                int rc = 98;
                try {
                    const int32_t proc = round * 10 + p;
                    rc = p < 2 ? RunWriter(Path, proc, 80, LogFile(proc)) : RunReader(Path, proc, 4);
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "process %d: %s\n", p, e.what());
                } catch (...) {
                }
                _exit(rc);
            }
            pids.push_back(pid);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(killAfterMs));
        kill(pids[static_cast<size_t>(victim)], SIGKILL);
        for (size_t p = 0; p < pids.size(); ++p) {
            int status = 0;
            waitpid(pids[p], &status, 0);
            if (static_cast<int32_t>(p) == victim && WIFSIGNALED(status)) ++Killed;
            if (static_cast<int32_t>(p) == victim)
                EXPECT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << status;
            else
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "process " << p << ": " << status;
        }
        for (int32_t p = 0; p < 2; ++p) {
            std::ifstream in(LogFile(round * 10 + p));
            std::string kind;
            int64_t id = 0, minute = 0;
            while (in >> kind >> id >> minute) {
                EXPECT_TRUE(logged.insert(id).second) << "id " << id << " handed out twice";
                minuteOf[id] = minute;
            }
        }
        // What the table holds now, read by a process that did not take part.
        auto conn = TConnection::Disk(Path, true, "CHECK");
        TCursor c(*conn, "NAVTEXLOG");
        c.Open();
        std::multiset<int64_t> found;
        int32_t unlogged = 0;
        c.First();
        while (c.GetRecord(gmNext) == grOK) {
            const int64_t id = c.GetInt(fId);
            const int64_t minute = c.Minute();
            found.insert(id);
            EXPECT_EQ(c.GetText(fText), TextOf(minute)) << "id " << id;
            if (!logged.contains(id)) {
                // Only the killed writer's last post may have committed unlogged.
                EXPECT_EQ(minute / 100000, round * 10 + victim) << "id " << id;
                EXPECT_EQ(++unlogged, 1) << "id " << id;
                logged.insert(id);
                minuteOf[id] = minute;
            } else {
                EXPECT_EQ(minuteOf[id], minute) << "id " << id;
            }
        }
        c.Close();
        conn.reset();
        EXPECT_EQ(found, std::multiset<int64_t>(logged.begin(), logged.end()));
        ExpectTableMatches(std::multiset<int64_t>(logged.begin(), logged.end()));
    }
    EXPECT_GT(logged.size(), 0u);
    std::printf("writers killed while running: %d of %d\n", Killed, rounds);
}

}  // namespace
}  // namespace lctest
