#include "SQLScriptRunner.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <stdexcept>
#include <memory>
#include <sstream>

#include "classlib/DBFields.h"
#include "classlib/DateUtils.h"
#include "engine/access/ORQMain.h"
#include "engine/access/ORQLocalSession.h"
#include "engine/access/ORQQuery.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQDiskEngine.h"

using namespace orq;
using namespace classlib;

namespace sqltest {

namespace {

struct TLine {
    int No;
    std::string Text;
};

std::string Trim(const std::string& S) {
    std::size_t b = 0, e = S.size();
    while (b < e && (S[b] == ' ' || S[b] == '\t' || S[b] == '\r')) ++b;
    while (e > b && (S[e - 1] == ' ' || S[e - 1] == '\t' || S[e - 1] == '\r')) --e;
    return S.substr(b, e - b);
}

std::vector<std::string> SplitWords(const std::string& S) {
    std::vector<std::string> w;
    std::istringstream in(S);
    std::string x;
    while (in >> x) w.push_back(x);
    return w;
}

std::vector<std::string> Split(const std::string& S, const std::string& Sep) {
    std::vector<std::string> out;
    std::size_t at = 0;
    for (;;) {
        const std::size_t next = S.find(Sep, at);
        if (next == std::string::npos) {
            out.push_back(S.substr(at));
            return out;
        }
        out.push_back(S.substr(at, next - at));
        at = next + Sep.size();
    }
}

std::string Join(const std::vector<std::string>& Cells, const std::string& Sep) {
    std::string s;
    for (std::size_t i = 0; i < Cells.size(); ++i) s += (i > 0 ? Sep : "") + Cells[i];
    return s;
}

std::string Two(int V) {
    char b[8];
    std::snprintf(b, sizeof b, "%02d", V);
    return b;
}

std::string DateText(TDateTime V) {
    uint16_t y, m, d;
    DecodeDate(V, y, m, d);
    char b[16];
    std::snprintf(b, sizeof b, "%04d-%02d-%02d", y, m, d);
    return b;
}

std::string TimeText(TDateTime V) {
    uint16_t h, n, s, ms;
    DecodeTime(V, h, n, s, ms);
    std::string t = Two(h) + ":" + Two(n) + ":" + Two(s);
    if (ms != 0) {
        char b[8];
        std::snprintf(b, sizeof b, ".%03d", ms);
        t += b;
    }
    return t;
}

// The column kind letter of a field type.
char KindOf(TFieldType T) {
    switch (T) {
        case ftSmallint: case ftInteger: case ftWord: case ftAutoInc: case ftLargeint: return 'I';
        case ftFloat: case ftCurrency: case ftBCD: case ftFMTBcd: return 'R';
        case ftDate: case ftTime: case ftDateTime: case ftTimeStamp: return 'D';
        case ftBoolean: return 'B';
        case ftBytes: case ftVarBytes: case ftBlob: case ftGraphic: case ftTypedBinary: return 'X';
        default: return 'T';
    }
}

struct TColumnSpec {
    std::string Name;
    uint8_t Type = aftInteger;
    int32_t Size = 0;
};

bool ParseKind(const std::string& K, TColumnSpec& C) {
    if (K == "I") C.Type = aftInteger;
    else if (K == "L") C.Type = aftLargeInt;
    else if (K == "R") C.Type = aftDouble;
    else if (K == "D") C.Type = aftDate;
    else if (K == "DT") C.Type = aftTimeStamp;
    else if (K == "B") C.Type = aftBoolean;
    else if (K.size() > 3 && K[0] == 'T' && K[1] == '(' && K.back() == ')') {
        C.Type = aftVarChar;
        C.Size = std::stoi(K.substr(2, K.size() - 3));
    } else if (K == "T") {
        C.Type = aftVarChar;
        C.Size = 40;
    } else {
        return false;
    }
    return true;
}

void SetFieldText(TField& F, const std::string& V) {
    if (V == "NULL") {
        F.Clear();
        return;
    }
    const std::string v = V == "(empty)" ? std::string() : V;
    switch (F.DataType()) {
        case ftDate: case ftDateTime: case ftTimeStamp: {
            TDateTime dt = 0;
            if (!TryStrToDateTime(v, dt) && !TryStrToDate(v, dt)) throw std::runtime_error("bad date '" + v + "'");
            F.SetAsDateTime(dt);
            break;
        }
        case ftBoolean: F.SetAsBoolean(v == "true" || v == "1"); break;
        default: F.SetAsString(v);
    }
}

class TRunner {
public:
    TRunner(std::string FileName, TEngine Engine, std::string Folder)
        : FFile(std::move(FileName)), FEngine(Engine), FFolder(std::move(Folder)) {}
    ~TRunner() { Disconnect(); }

    TResult Run(const std::string& Text) {
        std::vector<TLine> lines;
        {
            std::istringstream in(Text);
            std::string l;
            int no = 0;
            while (std::getline(in, l)) lines.push_back({++no, l});
        }
        try {
            Connect();
        } catch (const std::exception& e) {
            Fail(0, std::string("cannot open the database: ") + e.what());
            return FResult;
        }
        std::size_t i = 0;
        bool skip = false;
        while (i < lines.size()) {
            const std::string t = Trim(lines[i].Text);
            if (t.empty() || t[0] == '#') {
                ++i;
                continue;
            }
            const std::vector<std::string> w = SplitWords(t);
            if (w[0] == "onlyif" || w[0] == "skipif") {
                const bool here = w.size() > 1 && w[1] == EngineName(FEngine);
                if ((w[0] == "onlyif") != here) skip = true;
                ++i;
                continue;
            }
            // The record runs to the next blank line.
            std::vector<TLine> record;
            while (i < lines.size() && !Trim(lines[i].Text).empty()) record.push_back(lines[i++]);
            ++FResult.Records;
            if (skip) {
                ++FResult.Skipped;
                skip = false;
                continue;
            }
            try {
                RunRecord(record);
            } catch (const std::exception& e) {
                Fail(record[0].No, std::string("the record failed: ") + e.what());
            }
        }
        return FResult;
    }

private:
    void Fail(int Line, std::string Message) { FResult.Failures.push_back({FFile, Line, std::move(Message)}); }

    void Connect() {
        if (FEngine == TEngine::Memory) {
            FDatabaseName = "MEMORY";
        } else {
            const std::string path = FFolder + "/SQLTEST.ORQ";
            std::remove(path.c_str());
            FMain = MakeDatabase("SQLTEST_DB", path, true);
            FDatabaseName = "SQLTEST_DB";
            FPath = path;
        }
        FQueries["default"] = MakeQuery(FDatabaseName, "");
        FCurrent = FQueries["default"].get();
    }

    std::unique_ptr<TORQDatabase> MakeDatabase(const std::string& Name, const std::string& Path, bool Create,
                                               const std::string& Session = "") {
        auto db = std::make_unique<TORQDatabase>(nullptr);
        if (!Session.empty()) db->SetSessionName(Session);
        db->SetDatabaseName(Name);
        db->SetDatabaseFileName(Path);
        db->MultiUser = true;
        db->SilentMode = true;
        if (Create) db->CreateDatabase();
        db->Open();
        if (auto* disk = dynamic_cast<TORQDiskDatabaseData*>(db->Handle()->DatabaseData)) {
            disk->CommitBarriers = false;
            if (disk->DiskPageManager() != nullptr) disk->DiskPageManager()->CommitBarriers = false;
        }
        return db;
    }

    std::unique_ptr<TORQQuery> MakeQuery(const std::string& DatabaseName, const std::string& Session) {
        auto q = std::make_unique<TORQQuery>(nullptr);
        if (!Session.empty()) q->SetSessionName(Session);
        q->SetDatabaseName(DatabaseName);
        return q;
    }

    void Disconnect() {
        for (auto& [name, q] : FQueries) {
            try {
                q->CloseDataSet();
            } catch (...) {
            }
        }
        FQueries.clear();
        for (auto& db : FOthers) {
            try {
                db->Close();
            } catch (...) {
            }
        }
        FOthers.clear();
        FSessions.clear();
        if (FMain) {
            try {
                FMain->Close();
            } catch (...) {
            }
            FMain.reset();
        }
    }

    TORQQuery& Connection(const std::string& Name) {
        auto it = FQueries.find(Name);
        if (it != FQueries.end()) return *it->second;
        if (FEngine == TEngine::Memory) throw std::runtime_error("a second connection needs a disk database");
        // Another session of this process, with its own database component on the file.
        const std::string session = "SQLTEST_" + Name;
        auto s = std::make_unique<TORQSession>(nullptr);
        s->SetSessionName(session);
        s->SetActive(true);
        FSessions.push_back(std::move(s));
        FOthers.push_back(MakeDatabase("SQLTEST_DB", FPath, false, session));
        FQueries[Name] = MakeQuery("SQLTEST_DB", session);
        return *FQueries[Name];
    }

    void RunRecord(const std::vector<TLine>& R) {
        const std::vector<std::string> w = SplitWords(Trim(R[0].Text));
        if (w[0] == "fixture") return Fixture(R, w);
        if (w[0] == "rows") return Rows(R, w);
        if (w[0] == "connection") {
            if (w.size() < 2) return Fail(R[0].No, "connection needs a name");
            FCurrent = &Connection(w[1]);
            return;
        }
        if (w[0] == "statement") return Statement(R, w);
        if (w[0] == "query") return Query(R, w);
        Fail(R[0].No, "unknown record '" + w[0] + "'");
    }

    void Fixture(const std::vector<TLine>& R, const std::vector<std::string>& W) {
        if (W.size() < 2 || R.size() < 2) return Fail(R[0].No, "fixture needs a name and its columns");
        std::vector<TColumnSpec> columns;
        for (const std::string& c : Split(R[1].Text, ",")) {
            const std::vector<std::string> p = SplitWords(c);
            TColumnSpec column;
            if (p.size() != 2 || !ParseKind(p[1], column)) return Fail(R[1].No, "bad column '" + Trim(c) + "'");
            column.Name = p[0];
            columns.push_back(column);
        }
        TORQTable t;
        t.SetSessionName(FCurrent->SessionName());
        t.SetDatabaseName(FCurrent->DatabaseName());
        t.SetTableName(W[1]);
        for (const TColumnSpec& c : columns) {
            TORQAdvFieldDef* f = t.AdvFieldDefs().Add();
            f->Name = c.Name;
            f->DataType = c.Type;
            f->Size = c.Size;
        }
        for (std::size_t k = 2; k + 1 < W.size(); k += 2) {
            if (W[k] != "index") return Fail(R[0].No, "bad fixture option '" + W[k] + "'");
            TORQAdvIndexDef* d = t.AdvIndexDefs().Add();
            d->Name = "IDX_" + W[k + 1];
            d->Fields = W[k + 1];
        }
        t.CreateTable();
        t.Open();
        AppendRows(t, R, 2);
        t.Close();
    }

    // Rows appended to an existing table through the table component (inside a
    // transaction too, where a fixture's table creation is refused).
    void Rows(const std::vector<TLine>& R, const std::vector<std::string>& W) {
        if (W.size() < 2) return Fail(R[0].No, "rows needs a table name");
        TORQTable t;
        t.SetSessionName(FCurrent->SessionName());
        t.SetDatabaseName(FCurrent->DatabaseName());
        t.SetTableName(W[1]);
        t.Open();
        AppendRows(t, R, 1);
        t.Close();
    }

    void AppendRows(TORQTable& T, const std::vector<TLine>& R, std::size_t From) {
        for (std::size_t k = From; k < R.size(); ++k) {
            const std::vector<std::string> cells = Split(R[k].Text, "|");
            if (static_cast<int>(cells.size()) != T.Fields().Count())
                return Fail(R[k].No, "row has " + std::to_string(cells.size()) + " cells");
            T.Append();
            for (std::size_t c = 0; c < cells.size(); ++c) SetFieldText(*T.Fields()[static_cast<int>(c)], Trim(cells[c]));
            T.Post();
        }
    }

    // Parameters, then the SQL text up to "----" (or the end); Body the index after it.
    std::string ReadSQL(const std::vector<TLine>& R, std::vector<std::vector<std::string>>& Params, std::size_t& Body) {
        std::string sql;
        std::size_t k = 1;
        for (; k < R.size(); ++k) {
            const std::string t = Trim(R[k].Text);
            if (t == "----") {
                ++k;
                break;
            }
            if (t.rfind("param ", 0) == 0) {
                const std::vector<std::string> p = SplitWords(t);
                std::vector<std::string> rest(p.begin() + std::min<std::size_t>(3, p.size()), p.end());
                Params.push_back({p.size() > 1 ? p[1] : "", p.size() > 2 ? p[2] : "T", rest.empty() ? "NULL" : Join(rest, " ")});
                continue;
            }
            sql += (sql.empty() ? "" : "\n") + R[k].Text;
        }
        Body = k;
        return sql;
    }

    void Prepare(TORQQuery& Q, const std::string& SQL, const std::vector<std::vector<std::string>>& Params) {
        Q.CloseDataSet();
        TStringList text;
        text.SetText(SQL);
        Q.SetSQL(text);
        // The same text again keeps the parameters: set them anew.
        for (const auto& p : Params) {
            TParam* param = Q.Params().FindParam(p[0]);
            if (param == nullptr) throw std::runtime_error("no parameter '" + p[0] + "' in the text");
            const std::string& v = p[2];
            if (v == "NULL") {
                param->SetDataType(p[1] == "I" ? ftInteger : p[1] == "R" ? ftFloat : ftString);
                param->Clear();
            } else if (p[1] == "I") {
                param->SetAsInteger(std::stoi(v));
            } else if (p[1] == "R") {
                param->SetAsFloat(std::stod(v));
            } else if (p[1] == "D") {
                param->SetAsDateTime(StrToDate(v));
            } else {
                param->SetAsString(v == "(empty)" ? std::string() : v);
            }
        }
    }

    void Statement(const std::vector<TLine>& R, const std::vector<std::string>& W) {
        std::vector<std::vector<std::string>> params;
        std::size_t body = 0;
        const std::string sql = ReadSQL(R, params, body);
        const bool error = W.size() > 1 && W[1] == "error";
        TORQQuery& q = *FCurrent;
        try {
            Prepare(q, sql, params);
            q.ExecSQL();
        } catch (const EORQException& e) {
            if (!error) return Fail(R[0].No, std::string("unexpected error: ") + e.what());
            if (W.size() > 2 && std::to_string(e.NativeError()) != W[2])
                return Fail(R[0].No, "expected error " + W[2] + ", got " + std::to_string(e.NativeError()) + ": " +
                                         e.what());
            return;
        } catch (const std::exception& e) {
            if (!error || W.size() > 2) return Fail(R[0].No, std::string("unexpected error: ") + e.what());
            return;
        }
        if (error) return Fail(R[0].No, "expected error " + (W.size() > 2 ? W[2] : std::string()) + ", but it succeeded");
        if (W.size() > 2 && W[1] == "ok" && std::to_string(q.RowsAffected()) != W[2])
            Fail(R[0].No, "expected " + W[2] + " rows affected, got " + std::to_string(q.RowsAffected()));
    }

    void Query(const std::vector<TLine>& R, const std::vector<std::string>& W) {
        if (W.size() < 3) return Fail(R[0].No, "query needs its column kinds and nosort or rowsort");
        const std::string& kinds = W[1];
        const bool sorted = W[2] == "rowsort";
        std::string sep = "|";
        if (W.size() > 4 && W[3] == "separator") sep = W[4];
        std::vector<std::vector<std::string>> params;
        std::size_t body = 0;
        const std::string sql = ReadSQL(R, params, body);
        std::vector<std::string> expected;
        for (std::size_t k = body; k < R.size(); ++k) expected.push_back(Trim(R[k].Text));

        TORQQuery& q = *FCurrent;
        std::vector<std::string> actual;
        try {
            Prepare(q, sql, params);
            q.Open();
            const int n = q.Fields().Count();
            if (static_cast<int>(kinds.size()) != n) {
                Fail(R[0].No, "expected " + std::to_string(kinds.size()) + " columns, got " + std::to_string(n));
            } else {
                for (int c = 0; c < n; ++c) {
                    const char k = KindOf(q.Fields()[c]->DataType());
                    if (k != kinds[static_cast<size_t>(c)])
                        Fail(R[0].No, "column " + std::to_string(c + 1) + " (" + q.Fields()[c]->FieldName() +
                                          ") is of kind " + std::string(1, k) + ", not " + kinds[static_cast<size_t>(c)]);
                }
            }
            for (q.First(); !q.Eof(); q.Next()) {
                std::vector<std::string> cells;
                for (int c = 0; c < n; ++c) cells.push_back(Render(*q.Fields()[c]));
                actual.push_back(Join(cells, sep));
            }
            q.Close();
        } catch (const std::exception& e) {
            return Fail(R[0].No, std::string("query failed: ") + e.what());
        }
        std::vector<std::string> want = expected;
        if (sorted) {
            std::sort(actual.begin(), actual.end());
            std::sort(want.begin(), want.end());
        }
        if (actual != want)
            Fail(R[0].No, std::string(sorted ? "rows differ (sorted)" : "rows differ (in order)") + "\nexpected:\n  " +
                              Join(want, "\n  ") + "\nactual:\n  " + Join(actual, "\n  "));
    }

    std::string FFile;
    TEngine FEngine;
    std::string FFolder;
    std::string FPath;
    std::string FDatabaseName;
    std::unique_ptr<TORQDatabase> FMain;
    std::vector<std::unique_ptr<TORQSession>> FSessions;
    std::vector<std::unique_ptr<TORQDatabase>> FOthers;
    std::map<std::string, std::unique_ptr<TORQQuery>> FQueries;
    TORQQuery* FCurrent = nullptr;
    TResult FResult;
};

}  // namespace

const char* EngineName(TEngine Engine) { return Engine == TEngine::Memory ? "memory" : "disk"; }

std::string Render(const TField& F) {
    if (F.IsNull()) return "NULL";
    switch (F.DataType()) {
        case ftFloat: case ftCurrency: case ftBCD: case ftFMTBcd: {
            const double v = F.AsFloat();
            char b[40];
            std::snprintf(b, sizeof b, "%.15g", v);
            std::string s = b;
            return s == "-0" ? "0" : s;
        }
        case ftDate: return DateText(F.AsDateTime());
        case ftTime: return TimeText(F.AsDateTime());
        case ftDateTime: case ftTimeStamp: {
            const TDateTime v = F.AsDateTime();
            return DateText(v) + " " + TimeText(v);
        }
        case ftBoolean: return F.AsBoolean() ? "true" : "false";
        case ftBytes: case ftVarBytes: case ftBlob: case ftGraphic: case ftTypedBinary: {
            const std::string bytes = F.AsString();
            std::string s = "x'";
            static const char* hex = "0123456789ABCDEF";
            for (unsigned char c : bytes) {
                s += hex[c >> 4];
                s += hex[c & 15];
            }
            return s + "'";
        }
        default: {
            const std::string s = F.AsString();
            return s.empty() ? "(empty)" : s;
        }
    }
}

std::string FormatFailure(const TFailure& F) { return F.File + ":" + std::to_string(F.Line) + ": " + F.Message; }

TResult RunScript(const std::string& FileName, const std::string& Text, TEngine Engine, const std::string& Folder) {
    TRunner runner(FileName, Engine, Folder);
    return runner.Run(Text);
}

TResult RunScriptFile(const std::string& Path, TEngine Engine, const std::string& Folder) {
    std::ifstream in(Path, std::ios::binary);
    if (!in) {
        TResult r;
        r.Failures.push_back({Path, 0, "cannot read the script"});
        return r;
    }
    std::stringstream s;
    s << in.rdbuf();
    return RunScript(Path, s.str(), Engine, Folder);
}

}  // namespace sqltest
