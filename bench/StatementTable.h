// The statement workload's tables on both sides, on disk in one folder: W (ID INTEGER
// primary key; NAME, 20 characters with 100 values, indexed; NUM 0-999; TXT, 200
// characters) with TILO_BENCH_ROWS rows (100,000), and the 100-row dimension table D
// (NAME primary key, REGION). Ours: a disk database with commit barriers on, reached
// through TORQQuery with parameters; SQLite: its C API with prepared statements, journal
// DELETE and synchronous FULL.
#pragma once

#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "BenchFolder.h"
#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQMain.h"
#include "engine/access/ORQQuery.h"
#include "engine/access/ORQTable.h"

namespace stmtbench {

using namespace orq;

inline int Rows() {
    const char* e = std::getenv("TILO_BENCH_ROWS");
    const int n = e != nullptr ? std::atoi(e) : 100000;
    return n < 2000 ? 2000 : n;
}

inline std::string NameOf(int I) {
    std::string s = "STATION " + std::to_string((I * 37) % 100);
    s.resize(20, '.');
    return s;
}

inline std::string TextOf(int I) {
    std::string s = "MESSAGE " + std::to_string(I) + " ";
    while (s.size() < 200) s += "GALE WARNING SEA AREA ";
    s.resize(200);
    return s;
}

inline const char* const CreateW =
    "create table w (id integer, name varchar(20), num integer, txt varchar(200), primary key (id))";
inline const char* const CreateWName = "create index w_name on w (name)";
inline const char* const CreateD = "create table d (name varchar(20), region varchar(20), primary key (name))";
inline const char* const InsertW = "insert into w (id, name, num, txt) values (:id, :name, :num, :txt)";

struct TOurs {
    std::unique_ptr<TORQDatabase> Db;
    std::string Name;

    TOurs(const std::filesystem::path& Dir, const std::string& DatabaseName) : Name(DatabaseName) {
        if (!EngineStarted()) StartEngine();
        const std::string path = (Dir / (DatabaseName + ".ORQ")).string();
        std::filesystem::remove(path);
        Db = std::make_unique<TORQDatabase>(nullptr);
        Db->SetDatabaseName(Name);
        Db->SetDatabaseFileName(path);
        Db->CreateDatabase();
        Db->Open();
        Exec(CreateW);
        Exec(CreateWName);
        Exec(CreateD);
        auto q = Query("insert into d (name, region) values (:name, :region)");
        q->Prepare();
        for (int i = 0; i < 100; ++i) {
            q->ParamByName("name")->SetAsString(NameOf(i * 27));  // every name once
            q->ParamByName("region")->SetAsString("REGION " + std::to_string(i % 7));
            q->ExecSQL();
        }
    }
    ~TOurs() {
        if (Db) Db->Close();
    }
    std::unique_ptr<TORQQuery> Query(const std::string& Text) {
        auto q = std::make_unique<TORQQuery>();
        q->SetDatabaseName(Name);
        q->SQL().SetText(Text);
        return q;
    }
    int64_t Exec(const std::string& Text) {
        auto q = Query(Text);
        q->ExecSQL();
        return q->RowsAffected();
    }
    // The bulk load: one prepared INSERT per row, one transaction.
    void InsertRows(int From, int To) {
        Db->StartTransaction();
        auto q = Query(InsertW);
        q->Prepare();
        for (int i = From; i < To; ++i) {
            q->ParamByName("id")->SetAsInteger(i);
            q->ParamByName("name")->SetAsString(NameOf(i));
            q->ParamByName("num")->SetAsInteger((i * 7919) % 1000);
            q->ParamByName("txt")->SetAsString(TextOf(i));
            q->ExecSQL();
        }
        Db->Commit(false);
    }
    // The same rows through the table component in batches (a setup, not a measure).
    void LoadRows() {
        TORQTable t;
        t.SetDatabaseName(Name);
        t.SetTableName("W");
        t.Open();
        t.Cursor()->BeginUpdateBatch();
        for (int i = 0; i < Rows(); ++i) {
            t.Append();
            t.Fields()[0]->SetAsInteger(i);
            t.Fields()[1]->SetAsString(NameOf(i));
            t.Fields()[2]->SetAsInteger((i * 7919) % 1000);
            t.Fields()[3]->SetAsString(TextOf(i));
            t.Post();
            if ((i + 1) % 1000 == 0) {
                t.Cursor()->CommitBatch();
                t.Cursor()->BeginUpdateBatch();
            }
        }
        t.Cursor()->CommitBatch();
        t.Close();
    }
};

struct TSQLite {
    sqlite3* Db = nullptr;
    explicit TSQLite(const std::filesystem::path& Dir) {
        const std::string path = (Dir / "sqlite.db").string();
        std::filesystem::remove(path);
        sqlite3_open(path.c_str(), &Db);
        Exec("pragma journal_mode=delete; pragma synchronous=full;");
        Exec("create table w (id integer primary key, name varchar(20), num integer, txt varchar(200));"
             "create index w_name on w (name);"
             "create table d (name varchar(20) primary key, region varchar(20));");
        sqlite3_stmt* s = Prepare("insert into d values (?, ?)");
        Exec("begin");
        for (int i = 0; i < 100; ++i) {
            const std::string name = NameOf(i * 27), region = "REGION " + std::to_string(i % 7);
            sqlite3_bind_text(s, 1, name.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(s, 2, region.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(s);
            sqlite3_reset(s);
        }
        Exec("commit");
        sqlite3_finalize(s);
    }
    ~TSQLite() { sqlite3_close(Db); }
    void Exec(const std::string& Text) {
        char* error = nullptr;
        if (sqlite3_exec(Db, Text.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            std::string e = error != nullptr ? error : "?";
            sqlite3_free(error);
            throw std::runtime_error(e);
        }
    }
    sqlite3_stmt* Prepare(const std::string& Text) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(Db, Text.c_str(), -1, &s, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(Db));
        return s;
    }
    void InsertRows(int From, int To) {
        sqlite3_stmt* s = Prepare("insert into w values (?, ?, ?, ?)");
        Exec("begin");
        for (int i = From; i < To; ++i) {
            const std::string name = NameOf(i), txt = TextOf(i);
            sqlite3_bind_int(s, 1, i);
            sqlite3_bind_text(s, 2, name.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(s, 3, (i * 7919) % 1000);
            sqlite3_bind_text(s, 4, txt.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(s);
            sqlite3_reset(s);
        }
        Exec("commit");
        sqlite3_finalize(s);
    }
    // Steps every row of a prepared statement and resets it; the count.
    static int64_t StepAll(sqlite3_stmt* S) {
        int64_t n = 0;
        while (sqlite3_step(S) == SQLITE_ROW) ++n;
        sqlite3_reset(S);
        return n;
    }
};

// Every row of an open query; the count.
inline int64_t ReadAll(TORQQuery& Q) {
    Q.Open();
    int64_t n = 0;
    for (Q.First(); !Q.Eof(); Q.Next()) ++n;
    Q.Close();
    return n;
}

}  // namespace stmtbench
