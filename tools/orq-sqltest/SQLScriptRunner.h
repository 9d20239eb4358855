// The SQL conformance runner: plain-text scripts of records, each run through TORQQuery
// once on the MEMORY database and once on a disk database in a folder.
//
// Records, separated by blank lines ('#' starts a comment line):
//   fixture NAME [index FIELD]...     a table filled through the table component:
//   COL KIND, COL KIND ...            KIND: I integer, L largeint, R float, T(n) text,
//   v|v|...                           D date, DT timestamp, B boolean; NULL is Null
//   statement ok [N]                  ExecSQL succeeds [and RowsAffected is N]
//   statement error CODE              ExecSQL raises the native code CODE
//   query KINDS nosort|rowsort [separator C]
//   SQL ...                           Open; KINDS one letter per column: I R T D B X;
//   ----                              then one expected row per line, columns joined
//   row                               by the separator ('|' by default)
//   rows NAME                         more rows for a table, through the table component
//   connection NAME                   the records after it run on that connection
//                                     ("default", or a second TORQDatabase on the file)
// Before a record: "onlyif memory|disk", "skipif memory|disk". Inside a statement or
// query, before "----": a line "param NAME KIND VALUE" binds a parameter (KIND I, R, D
// or T). A text field set to "(empty)" in a fixture is stored as the table stores an
// empty text (as Null).
// Renderings: NULL, "(empty)" for an empty text, floats with up to 15 significant
// digits, dates yyyy-mm-dd, date-times yyyy-mm-dd hh:nn:ss[.zzz], booleans true/false,
// bytes as x'hex'.
#pragma once

#include <string>
#include <vector>

namespace classlib {
class TField;
}

namespace sqltest {

enum class TEngine { Memory, Disk };

struct TFailure {
    std::string File;
    int Line = 0;
    std::string Message;
};

struct TResult {
    int Records = 0;
    int Skipped = 0;
    std::vector<TFailure> Failures;
};

// The engine must be started. Folder holds the disk run's database file.
TResult RunScript(const std::string& FileName, const std::string& Text, TEngine Engine, const std::string& Folder);
TResult RunScriptFile(const std::string& Path, TEngine Engine, const std::string& Folder);
std::string Render(const classlib::TField& Field);
std::string FormatFailure(const TFailure& F);
const char* EngineName(TEngine Engine);

}  // namespace sqltest
