// INSERT, UPDATE and DELETE: parsing, the changes through the table component, the
// table locks, the write batch and the statement's own undo list.
#include "engine/sql/ORQSQLDML.h"

#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "classlib/DB.h"
#include "classlib/DBFields.h"
#include "engine/access/ORQAdvDefs.h"
#include "engine/access/ORQCopyFieldValue.h"
#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQQuery.h"
#include "engine/access/ORQTable.h"
#include "engine/foundation/ORQCollation.h"
#include "engine/foundation/ORQContainers.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/foundation/ORQVariant.h"
#include "engine/sql/ORQAO.h"
#include "engine/sql/ORQExpression.h"
#include "engine/sql/ORQSQLSelect.h"
#include "engine/storage/ORQCursor.h"
#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQRecordBitmap.h"
#include "engine/storage/ORQTableData.h"

namespace orq {

namespace {

using classlib::TField;
using classlib::TFieldType;

constexpr std::string_view kUnexpectedEnd = "Unexpected end of SQL command found at line %d, column %d";
constexpr std::string_view kTableNameExpected = "Table name expected, but '%s' found at line %d, column %d";

// The post lock is waited for this long; the in-transaction lock gets one try.
constexpr int32_t kPostLockTries = 1125;
constexpr int32_t kPostLockDelay = 80;
constexpr uint8_t kPostLock = 4;
constexpr uint8_t kTransactionLock = 3;
constexpr int32_t kUpdateAttempts = 15;
constexpr int32_t kUpdateRetryDelay = 100;

TToken ReservedToken(std::string_view Word) {
    TToken t;
    t.Kind = tktReservedWord;
    t.Text = std::string(Word);
    t.ReservedWordCode = static_cast<int16_t>(TORQLexer::ReservedWordCode(Word));
    return t;
}

TToken StarToken() {
    TToken t;
    t.Kind = tktString;
    t.Text = "*";
    return t;
}

bool InKinds(TTokenKinds Kinds, TTokenKind Kind) { return (Kinds & TokenKindBit(Kind)) != 0; }

bool InTransaction(TORQTable& Table) { return Table.Cursor() != nullptr && Table.Cursor()->SessionInTransaction(); }

// A second component over the table a live result reads.
std::unique_ptr<TORQTable> SecondTable(TORQTable& Result) {
    auto t = std::make_unique<TORQTable>();
    t->SetSessionName(Result.SessionName());
    t->SetInMemory(Result.InMemory());
    if (!Result.InMemory()) t->SetDatabaseName(Result.DatabaseName());
    t->SetTableName(Result.TableName());
    t->DeferIndexDefs = true;
    t->Open();
    return t;
}

// The statement's own changes, played back in reverse order when it fails where no
// write batch can discard them. The entries live in a TEMP table of their own, made at
// the first change, so a large statement's before-images spill to temporary files like
// any result: the kind, the record's position and, for an updated or deleted record,
// every field's value as it was. An edit's or delete's entry is posted only once that
// change has succeeded, so a change that failed is never played back.
class TUndoList {
public:
    enum TKind : int32_t { kInserted = 1, kUpdated = 2, kDeleted = 3 };

    TUndoList(TORQTable& Table, bool DisableTempFiles) : FTable(Table), FDisableTempFiles(DisableTempFiles) {}
    ~TUndoList() { Drop(); }

    // After a posted insert: the new record is current.
    void Inserted() {
        Open(false);
        FLog->Append();
        Mark(kInserted);
        FLog->Post();
        ++FCount;
    }
    // Before the current record is edited (kUpdated) or deleted (kDeleted).
    void Before(TKind Kind) {
        Open(true);
        FLog->Append();
        Mark(Kind);
        for (int i = 0; i < FTable.FieldCount(); ++i)
            CopyFieldValue(*FTable.Fields()[i], *FLog->Fields()[kFirstValue + i]);
    }
    // The change Before announced has succeeded.
    void Confirm() {
        FLog->Post();
        ++FCount;
    }
    bool Empty() const { return FCount == 0; }

    void Undo() {
        if (FTable.State() == classlib::dsEdit || FTable.State() == classlib::dsInsert) FTable.Cancel();
        if (FLog && FLog->State() == classlib::dsInsert) FLog->Cancel();
        if (FCount == 0) return;
        for (FLog->Last(); !FLog->Bof(); FLog->Prior()) {
            const classlib::TBookmark position = Unpack(FLog->Fields()[kPosition]->AsLargeInt());
            switch (FLog->Fields()[kKind]->AsInteger()) {
                case kInserted:
                    FTable.GotoBookmark(position);
                    FTable.Delete();
                    break;
                case kUpdated:
                    FTable.GotoBookmark(position);
                    FTable.Edit();
                    WriteBack(false);
                    break;
                case kDeleted:
                    FTable.Append();
                    WriteBack(true);
                    break;
                default:
                    throw std::logic_error("undo list entry of no kind");
            }
        }
        FCount = 0;
    }

private:
    static constexpr int kKind = 0, kPosition = 1, kFirstValue = 2;

    void Open(bool Values) {
        if (FLog) {
            // One statement makes one kind of change, so the first entry fixed the layout.
            if (Values && !FHasValues) throw std::logic_error("undo list without values");
            return;
        }
        auto log = std::make_unique<TORQTable>();
        log->SetSessionName(FTable.SessionName());
        log->SetTemporary(true);
        log->TableDisableTempFiles = FDisableTempFiles;
        log->SetTableName(MakeUniqueName("TmpUndoList"));
        auto add = [&](std::string Name, uint8_t Type, int32_t Size) {
            TORQAdvFieldDef* d = log->AdvFieldDefs().Add();
            d->Name = std::move(Name);
            d->DataType = Type;
            d->Size = Size;
            return d;
        };
        add("KIND", aftSmallInt, 0);
        add("POS", aftLargeInt, 0);
        if (Values) {
            for (int i = 0; i < FTable.FieldCount(); ++i) {
                TField& f = *FTable.Fields()[i];
                const TORQAdvFieldDef* own = FTable.AdvFieldDefs().Find(f.FieldName());
                uint8_t type = own != nullptr ? own->DataType : FieldTypeToAdvancedFieldType(f.DataType());
                // A counter's old value is a plain number here.
                if (IsAutoincAdvancedType(type)) type = BaseToAdvancedFieldType(AdvancedToBaseFieldType(type));
                TORQAdvFieldDef* d = add("V" + std::to_string(i), type, own != nullptr ? own->Size : f.Size());
                if (own != nullptr) {
                    d->BlobCompressionAlgorithm = own->BlobCompressionAlgorithm;
                    d->BlobCompressionMode = own->BlobCompressionMode;
                    if (own->BlobBlockSize > 0) d->BlobBlockSize = own->BlobBlockSize;
                }
            }
        }
        log->CreateTable();
        FLog = std::move(log);
        FHasValues = Values;
        FLog->Open();
    }

    void Drop() noexcept {
        if (!FLog) return;
        try {
            if (FLog->State() == classlib::dsInsert) FLog->Cancel();
            FLog->Close();
            FLog->DeleteTable();
        } catch (...) {
            // The statement's own outcome is the one to report.
        }
        FLog.reset();
    }

    void Mark(TKind Kind) {
        FLog->Fields()[kKind]->SetAsInteger(Kind);
        FLog->Fields()[kPosition]->SetAsLargeInt(Pack(FTable.GetBookmark()));
    }

    // A position is the component's bookmark, at most 8 bytes, kept as one number.
    int64_t Pack(const classlib::TBookmark& Bookmark) {
        if (Bookmark.size() > sizeof(uint64_t)) throw std::logic_error("bookmark wider than 8 bytes");
        FBookmarkSize = Bookmark.size();
        uint64_t v = 0;
        for (std::size_t i = 0; i < Bookmark.size(); ++i) v |= static_cast<uint64_t>(Bookmark[i]) << (8 * i);
        return static_cast<int64_t>(v);
    }
    classlib::TBookmark Unpack(int64_t Value) const {
        classlib::TBookmark b(FBookmarkSize);
        for (std::size_t i = 0; i < b.size(); ++i)
            b[i] = static_cast<uint8_t>(static_cast<uint64_t>(Value) >> (8 * i));
        return b;
    }

    void WriteBack(bool Appending) {
        try {
            for (int i = 0; i < FTable.FieldCount(); ++i) {
                TField& f = *FTable.Fields()[i];
                // A counter keeps its value on an edit; a re-appended record takes its
                // old one where the field accepts it.
                if (f.DataType() == classlib::ftAutoInc && !Appending) continue;
                CopyFieldValue(*FLog->Fields()[kFirstValue + i], f);
            }
            FTable.Post();
        } catch (...) {
            FTable.Cancel();
            throw;
        }
    }

    TORQTable& FTable;
    bool FDisableTempFiles;
    std::unique_ptr<TORQTable> FLog;
    bool FHasValues = false;
    int64_t FCount = 0;
    std::size_t FBookmarkSize = 0;
};

std::string ExceptionText(const std::exception_ptr& E) {
    try {
        std::rethrow_exception(E);
    } catch (const classlib::Exception& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown error";
    }
}

// Held for a whole UPDATE or DELETE on the cursor of its live result; the post-lock
// wait lets it go between its tries so that the holder can finish.
class TThreadLock {
public:
    explicit TThreadLock(TORQCursor* Cursor) : FCursor(Cursor) { Take(); }
    ~TThreadLock() {
        try {
            Release();
        } catch (...) {
        }
    }
    void Take() {
        if (FCursor == nullptr || FHeld) return;
        FCursor->LockTableData();
        FHeld = true;
    }
    void Release() {
        if (!FHeld) return;
        FHeld = false;
        FCursor->UnlockTableData();
    }

private:
    TORQCursor* FCursor;
    bool FHeld = false;
};

// The post lock by single tries, the thread lock (when held) let go between them.
bool TakePostLock(TORQCursor* Cursor, TThreadLock* Thread) {
    for (int32_t n = 1;; ++n) {
        if (Cursor->LockTableForSession(kPostLock, 1, 0)) return true;
        if (n >= kPostLockTries) return false;
        if (Thread != nullptr) Thread->Release();
        EngineSleep(kPostLockDelay);
        if (Thread != nullptr) Thread->Take();
    }
}

// The undo list keeps to memory where the statement's results do.
bool UndoDisablesTempFiles(TORQQuery* Query, bool InMemoryQuery) {
    TORQDatabase* db = Query != nullptr ? Query->Database() : nullptr;
    return InMemoryQuery || (db != nullptr && db->DisableTempFiles);
}

// Runs Body as one change of Target: outside a transaction under the post lock (LockCode
// when refused) and the in-transaction lock when free, in a write batch; an undo list
// stands in where the batch cannot discard (MEMORY tables, transactions), kept in
// temporary files unless DisableTempFiles. Any failure leaves the table as before and
// passes on.
void RunAsOneChange(TORQTable& Target, bool TakeLocks, int32_t LockCode, const std::string& TableName,
                    bool DisableTempFiles, const std::function<void(TUndoList*)>& Body,
                    TThreadLock* Thread = nullptr) {
    TORQCursor* cursor = Target.Cursor();
    const bool inTransaction = InTransaction(Target);
    const bool useUndo = inTransaction || Target.InMemory();
    bool postLock = false, transactionLock = false;
    auto unlock = [&] {
        if (transactionLock) cursor->UnlockTableForSession(kTransactionLock);
        if (postLock) cursor->UnlockTableForSession(kPostLock);
        transactionLock = postLock = false;
    };
    if (TakeLocks && !inTransaction) {
        if (!TakePostLock(cursor, Thread)) RaiseNative(LockCode, "Table is locked");
        postLock = true;
        transactionLock = cursor->LockTableForSession(kTransactionLock, 1, 0);
    }
    TUndoList undo(Target, DisableTempFiles);
    bool batch = false;
    try {
        if (!inTransaction) {
            cursor->BeginUpdateBatch();
            batch = true;
        }
        Body(useUndo ? &undo : nullptr);
        if (batch) cursor->CommitBatch();
        batch = false;
    } catch (...) {
        std::exception_ptr failure = std::current_exception();
        if (Target.State() == classlib::dsEdit || Target.State() == classlib::dsInsert) {
            try {
                Target.Cancel();
            } catch (...) {
            }
        }
        if (batch) {
            try {
                cursor->RollbackBatch();
            } catch (...) {
            }
        }
        if (useUndo && !undo.Empty()) {
            try {
                undo.Undo();
            } catch (...) {
                const std::string text = "Statement failed and its changes to table '" + TableName +
                                         "' could not be undone: " + ExceptionText(failure) + "; " +
                                         ExceptionText(std::current_exception());
                if (inTransaction && cursor->Session != nullptr) cursor->Session->UndoFailure = text;
                unlock();
                RaiseNative(30950, text);
            }
        }
        unlock();
        std::rethrow_exception(failure);
    }
    unlock();
}

bool IsIntegerField(TFieldType T) {
    return T == classlib::ftSmallint || T == classlib::ftInteger || T == classlib::ftWord ||
           T == classlib::ftAutoInc;
}

}  // namespace

void AssignValueToField(TORQVariant* Value, TField& Field) {
    if (Value == nullptr) RaiseNative(30359, "Value is Null");
    if (Value->IsNull()) {
        Field.Clear();
        return;
    }
    const TFieldType type = Field.DataType();
    if (IsIntegerField(type)) {
        Field.SetAsInteger(Value->GetAsInteger());
    } else if (type == classlib::ftDate || type == classlib::ftTime || type == classlib::ftDateTime ||
               type == classlib::ftTimeStamp) {
        Field.SetAsDateTime(Value->GetAsDateTime());
    } else if (type == classlib::ftBlob || type == classlib::ftGraphic) {
        if (Value->IsBlob()) {
            Field.SetAsString(
                std::string(static_cast<const char*>(Value->Data()), static_cast<std::size_t>(Value->DataSize())));
        } else {
            Field.SetAsString(Value->GetAsString());
        }
    } else if (type == classlib::ftMemo || type == classlib::ftFmtMemo) {
        if (Value->IsString() || Value->IsBlob()) {
            Field.SetAsString(Value->GetAsString());
        } else {
            TORQVariant text;
            text.Assign(*Value, true);
            text.CastTo(bdtVarChar);
            Field.SetAsString(text.GetAsString());
        }
    } else if (type == classlib::ftLargeint) {
        Field.SetAsLargeInt(Value->GetAsLargeInt());
    } else {
        Field.SetValue(Value->GetAsVariant());
    }
}

// ---------------------------------------------------------------------------------
// INSERT

TORQSQLInsert::TORQSQLInsert(TORQLexer& Lexer, TORQQuery* Query) : TORQSQLCommand(Lexer, Query) { Parse(); }

TORQSQLInsert::~TORQSQLInsert() = default;

void TORQSQLInsert::Parse() {
    if (!GetCurrentToken()) RaiseNative(30204, "Blank SQL command");
    if (!GetNextToken()) RaiseUnexpectedEnd(30205);
    if (!IsWord("INTO")) RaiseExpected(30206, "INTO");
    GetNextToken();
    if (!(FToken.Kind == tktString || FToken.Kind == tktQuotedString || FToken.Kind == tktBracketedString ||
          FToken.Kind == tktReservedWord || FToken.Kind == tktParameter))
        RaiseFound(30207, kTableNameExpected);
    if (IsWord("MEMORY")) {
        InMemoryTable = true;
        ExpectNextToken(tksTableNames, 30208, kTableNameExpected);
    }
    TableName = TokenValueText(FToken);
    if (!GetNextToken()) RaiseUnexpectedEnd(30209);
    if (FToken.Kind == tktDot) {
        DatabaseFileName = TableName;
        ExpectNextToken(tksTableNames, 30493, kTableNameExpected);
        TableName = TokenValueText(FToken);
        if (!GetNextToken()) RaiseUnexpectedEnd(30209);
    }
    if (IsWord("PASSWORD")) {
        ExpectNextToken(tksQuotedValues, 30210,
                        "Quoted password expected (for PASSWORD \"passwordData\"), but '%s' found at line %d, column %d");
        Password = TokenValueText(FToken);
        if (!GetNextToken()) RaiseUnexpectedEnd(30211);
    }
    if (FToken.Kind == tktLeftParenthesis) {
        TToken next;
        FLexer.PeekNextToken(next);
        if (IsWord(next, "SELECT")) {
            GetNextToken();
            SourceLine = FToken.Line;
            SourceColumn = FToken.Column;
            SourceQuery = std::make_unique<TORQSQLSelect>(FLexer, FQuery);
            GetCurrentToken();
            if (FToken.Kind != tktRightParenthesis) {
                int32_t line, column;
                ErrorPosition(line, column);
                RaiseNativeFmt(20256, "Missing symbol ')' at line %d, column %d", {line, column});
            }
            GetNextToken();
            return;
        }
        for (;;) {
            if (!GetNextToken() || !(FToken.Kind == tktString || FToken.Kind == tktQuotedString ||
                                     FToken.Kind == tktBracketedString || FToken.Kind == tktReservedWord))
                RaiseFound(2156, "Field name expected, but '%s' found at line %d, column %d");
            Columns.push_back(FToken.Text);
            if (!GetNextToken() || (FToken.Kind != tktRightParenthesis && FToken.Kind != tktComma))
                RaiseFound(30212, "')' or ',' symbol expected, but '%s' found at line %d, column %d");
            if (FToken.Kind == tktRightParenthesis) break;
        }
        if (!GetNextToken()) RaiseUnexpectedEnd(30213);
    }
    if (IsWord("VALUES")) {
        ParseValues();
        return;
    }
    if (FToken.Kind == tktLeftParenthesis) {
        if (!GetNextToken()) RaiseUnexpectedEnd(30213);
    }
    if (!IsWord("SELECT")) RaiseFound(30213, "Unexpected token '%s' found at line %d, column %d");
    SourceLine = FToken.Line;
    SourceColumn = FToken.Column;
    SourceQuery = std::make_unique<TORQSQLSelect>(FLexer, FQuery);
    GetCurrentToken();
    if (FToken.Kind == tktRightParenthesis) GetNextToken();
}

void TORQSQLInsert::ParseValues() {
    if (!GetNextToken() || FToken.Kind != tktLeftParenthesis)
        RaiseFound(30214, "'(' symbol expected, but '%s' found at line %d, column %d");
    for (;;) {
        // The current token is the row's '('.
        std::vector<std::unique_ptr<TORQExpression>> row;
        TToken rowStart = FToken;
        for (;;) {
            if (!GetNextToken()) RaiseUnexpectedEnd(30203);
            auto e = std::make_unique<TORQExpression>();
            e->InMemory = InMemory;
            e->ParseValueExpression(FQuery, FLexer);
            if (e->Root() == nullptr) {
                GetCurrentToken();
                RaiseFound(30357, "Error parsing parameter '%s' at line %d, column %d");
            }
            row.push_back(std::move(e));
            if (!GetCurrentToken()) RaiseUnexpectedEnd(30203);
            if (FToken.Kind == tktRightParenthesis) break;
            if (FToken.Kind != tktComma)
                RaiseFound(30212, "')' or ',' symbol expected, but '%s' found at line %d, column %d");
        }
        // Every row against the list: a shorter or longer row would fill wrong columns.
        if (!Columns.empty() && Columns.size() != row.size())
            RaiseNativeFmt(20259,
                           "Number of field names does not equal the number of field values: %d <> %d. Found at "
                           "line %d, column %d",
                           {static_cast<int32_t>(Columns.size()), static_cast<int32_t>(row.size()), rowStart.Line,
                            rowStart.Column});
        Rows.push_back(std::move(row));
        RowPositions.emplace_back(rowStart.Line, rowStart.Column);
        if (!GetNextToken() || FToken.Kind != tktComma) return;
        if (!GetNextToken() || FToken.Kind != tktLeftParenthesis)
            RaiseFound(30214, "'(' symbol expected, but '%s' found at line %d, column %d");
    }
}

void TORQSQLInsert::Execute(TORQQuery* Query, bool, TORQAO*, TORQCursor*, bool&, bool) {
    RowsAffected = 0;
    std::unique_ptr<TORQDatabase> database;
    std::unique_ptr<TORQTable> target;
    // The source runs first: an INSERT ... SELECT from its own target reads what was
    // there before.
    // The source result is copied into a temporary table of its own, so the insert
    // reads a still copy whatever the result is built from; it goes at the end.
    std::unique_ptr<TORQTable> copy;
    struct TDropCopy {
        std::unique_ptr<TORQTable>& T;
        ~TDropCopy() {
            if (!T) return;
            try {
                T->Close();
                if (T->Exists()) T->DeleteTable();
            } catch (...) {
                // The statement's own outcome is the one to report.
            }
        }
    } dropCopy{copy};
    TORQTable* source = nullptr;
    if (SourceQuery) {
        bool readOnly = true;
        SourceQuery->Execute(Query, true, nullptr, nullptr, readOnly, false);
        TORQTable* result = SourceQuery->GetResultTable();
        if (result == nullptr) RaiseNative(10308, "Nil pointer occured");
        TORQDatabase* db = Query != nullptr ? Query->Database() : nullptr;
        copy = std::make_unique<TORQTable>();
        if (Query != nullptr) copy->SetSessionName(Query->SessionName());
        copy->SetTemporary(true);
        copy->TableDisableTempFiles = SourceQuery->InMemory || (db != nullptr && db->DisableTempFiles);
        copy->SetTableName(MakeUniqueName("TmpTableForInsert"));
        const bool silent = db != nullptr && db->SilentMode;
        if (db != nullptr) db->SilentMode = true;
        std::string log;
        bool imported = false;
        try {
            imported = copy->ImportTable(*result, log);
        } catch (const classlib::Exception& e) {
            log = e.Message();
        } catch (const std::exception& e) {
            log = e.what();
        }
        if (db != nullptr) db->SilentMode = silent;
        if (!imported) RaiseNativeFmt(10403, "Error importing table. Cannot copy data due to error: %s\r\n", {log});
        if (!copy->Active()) copy->Open();
        source = copy.get();
    }
    OpenForeignTable(Query, DatabaseFileName, InMemoryTable, Password, TableName, database, target);
    struct TFree {
        std::unique_ptr<TORQTable>& T;
        std::unique_ptr<TORQDatabase>& D;
        ~TFree() { FreeTableAndDatabase(T, D); }
    } freeAtEnd{target, database};
    target->DeferIndexDefs = true;
    target->Open();

    auto fieldAt = [&](std::size_t Index, std::size_t Count, std::pair<int32_t, int32_t> At) -> TField& {
        if (!Columns.empty() && Columns.size() == Count) return *target->FieldByName(Columns[Index]);
        if (Index >= static_cast<std::size_t>(target->FieldCount()))
            RaiseNativeFmt(20259,
                           "Number of field names does not equal the number of field values: %d <> %d. Found at "
                           "line %d, column %d",
                           {target->FieldCount(), static_cast<int32_t>(Count), At.first, At.second});
        return *target->Fields()[static_cast<int>(Index)];
    };

    if (!SourceQuery) {
        RunAsOneChange(*target, Rows.size() > 1, 20224, TableName, UndoDisablesTempFiles(Query, InMemory), [&](TUndoList* Undo) {
            for (std::size_t r = 0; r < Rows.size(); ++r) {
                auto& row = Rows[r];
                target->Insert();
                for (std::size_t i = 0; i < row.size(); ++i) {
                    TField& field = fieldAt(i, row.size(), RowPositions.at(r));
                    TORQVariant* v = row[i]->GetValue(true);
                    if (v == nullptr)
                        RaiseNativeFmt(30356, "Parameter Value undefined (FieldName='%s', Type='%s')",
                                       {field.FieldName(), AdvancedFieldTypeName(0)});
                    AssignValueToField(v, field);
                }
                target->Post();
                // Nothing after the last row's post can fail where the undo list plays
                // back (a failing disk commit is discarded by its batch): that row needs
                // no entry, and a one-row INSERT no list at all.
                if (Undo != nullptr && &row != &Rows.back()) Undo->Inserted();
                ++RowsAffected;
            }
        });
        return;
    }

    RunAsOneChange(*target, true, 20224, TableName, UndoDisablesTempFiles(Query, InMemory), [&](TUndoList* Undo) {
        const std::size_t count = static_cast<std::size_t>(source->FieldCount());
        if (!Columns.empty() && Columns.size() != count)
            RaiseNativeFmt(20259,
                           "Number of field names does not equal the number of field values: %d <> %d. Found at "
                           "line %d, column %d",
                           {static_cast<int32_t>(Columns.size()), static_cast<int32_t>(count), SourceLine,
                            SourceColumn});
        // The field pairs are the same for every row: found with the first one (so that
        // an empty source raises nothing, as before), not per row and field by name.
        std::vector<std::pair<TField*, TField*>> pairs;
        for (source->First(); !source->Eof(); source->Next()) {
            target->Insert();
            if (pairs.empty())
                for (std::size_t i = 0; i < count; ++i)
                    pairs.emplace_back(source->Fields()[static_cast<int>(i)], &fieldAt(i, count, {SourceLine, SourceColumn}));
            for (const auto& [from, to] : pairs) CopyFieldValue(*from, *to);
            target->Post();
            if (Undo != nullptr) Undo->Inserted();
            ++RowsAffected;
        }
    });
}

// ---------------------------------------------------------------------------------
// UPDATE

TORQSQLUpdate::TORQSQLUpdate(TORQLexer& Lexer, TORQQuery* Query) : TORQSQLCommand(Lexer, Query) { Parse(); }

TORQSQLUpdate::~TORQSQLUpdate() {
    FInternalQuery.reset();
    FInternalLexer.reset();
}

std::string TORQSQLUpdate::ParseColumn(int32_t Code) {
    if (!InKinds(tksNamesOrReserved, FToken.Kind))
        RaiseFound(Code, "Field name expected, but '%s' found at line %d, column %d");
    std::string name = FToken.Text;
    TToken next;
    if (FLexer.PeekNextToken(next) && next.Kind == tktDot) {
        const std::string qualifier = Alias.empty() ? TableName : Alias;
        if (AnsiUpperCase(name) == AnsiUpperCase(qualifier) || AnsiUpperCase(name) == AnsiUpperCase(TableName)) {
            GetNextToken();
            ExpectNextToken(tksNamesOrReserved, Code, "Field name expected, but '%s' found at line %d, column %d");
            name = FToken.Text;
        }
    }
    return name;
}

void TORQSQLUpdate::Parse() {
    if (!GetCurrentToken()) RaiseNative(30216, "Blank SQL command");
    if (!GetNextToken() || !InKinds(tksTableNames, FToken.Kind)) RaiseFound(30217, kTableNameExpected);
    const int32_t tableStart = FLexer.GetTokenPosition();
    ParseTableName(DatabaseFileName, TableName, InMemoryTable, Password, Alias);
    const int32_t tableEnd = FLexer.GetTokenPosition();
    if (!IsWord("SET")) RaiseExpected(30220, "SET");
    if (!GetNextToken()) RaiseUnexpectedEnd(30223);
    if (FToken.Kind == tktLeftParenthesis) {
        RowForm = true;
        for (;;) {
            if (!GetNextToken()) RaiseUnexpectedEnd(30223);
            Columns.push_back(ParseColumn(30494));
            if (!GetNextToken()) RaiseUnexpectedEnd(30223);
            if (FToken.Kind == tktRightParenthesis) break;
            if (FToken.Kind != tktComma) RaiseExpected(30494, ")");
        }
        if (!GetNextToken() || !(FToken.Kind == tktString && FToken.Text == "=")) RaiseExpected(30495, "=");
        if (!GetNextToken()) RaiseUnexpectedEnd(30223);
        RowSubquery = std::make_unique<TORQExpression>();
        RowSubquery->InMemory = InMemory;
        RowSubquery->ParseSubquery(FQuery, FLexer);
        GetCurrentToken();
        if (RowSubquery->Root() == nullptr) RaiseFound(30357, "Error parsing parameter '%s' at line %d, column %d");
    } else {
        for (;;) {
            Columns.push_back(ParseColumn(30221));
            if (!GetNextToken() || !(FToken.Kind == tktString && FToken.Text == "=")) RaiseExpected(30221, "=");
            if (!GetNextToken()) RaiseUnexpectedEnd(30223);
            auto e = std::make_unique<TORQExpression>();
            e->InMemory = InMemory;
            e->ParseValueExpression(FQuery, FLexer);
            if (e->Root() == nullptr) {
                GetCurrentToken();
                RaiseFound(30357, "Error parsing parameter '%s' at line %d, column %d");
            }
            Values.push_back(std::move(e));
            if (!GetCurrentToken() || IsWord("WHERE")) break;
            if (FToken.Kind != tktComma) RaiseExpected(30222, ",");
            if (!GetNextToken()) RaiseUnexpectedEnd(30223);
        }
    }
    // The internal query: SELECT * FROM the table as written, and the rest of the
    // command from WHERE on, parameter values carried.
    const int32_t restStart = FToken.Kind == tktNone ? -1 : FLexer.GetTokenPosition();
    FInternalLexer = std::make_unique<TORQLexer>("", FLexer.Params());
    FInternalLexer->AddCommand();
    FInternalLexer->AddToken(ReservedToken("SELECT"));
    FInternalLexer->AddToken(StarToken());
    FInternalLexer->AddToken(ReservedToken("FROM"));
    const TSQLCommand& command = FLexer.Commands(FLexer.CommandPosition());
    for (int32_t i = tableStart; i < tableEnd && i < command.TokenCount(); ++i)
        FInternalLexer->AddToken(command.Tokens[static_cast<size_t>(i)]);
    if (restStart >= 0)
        for (int32_t i = restStart; i < command.TokenCount(); ++i)
            FInternalLexer->AddToken(command.Tokens[static_cast<size_t>(i)]);
    FInternalLexer->SetTokenPosition(0);
    FInternalQuery = std::make_unique<TORQSQLSelect>(*FInternalLexer, FQuery);
    FLexer.SetTokenPosition(command.TokenCount());
}

namespace {

// The live result of an internal query must be the base table itself.
TORQTable& LiveBaseTable(TORQSQLSelect& Internal, TORQQuery* Query, const std::string& TableName) {
    bool readOnly = true;
    Internal.Execute(Query, true, nullptr, nullptr, readOnly, true);
    TORQAO* root = Internal.Tree();
    TORQTable* result = Internal.GetResultTable();
    if (root == nullptr || !root->IsBaseTable || result == nullptr || Internal.From.size() != 1 ||
        Internal.From[0]->Kind != trkTable)
        RaiseNativeFmt(30951, "Table '%s' cannot be changed through this statement: its FROM must name the table alone",
                       {TableName});
    return *result;
}

// Whether the live result's cursor holds its matching records as a set: a filtered
// cursor (the WHERE went into it) whose record bitmap has examined every record and is
// current. Counting its records is what collects the set; an unfiltered result keeps
// no set, as it stands for the whole table.
bool HoldsCollectedSet(TORQTable& Result) {
    const TORQCursor* c = Result.Cursor();
    if (c == nullptr || !c->IsFiltered()) return false;
    Result.RecordCount();
    return c->HasActiveRecordBitmap() && c->RecordBitmap->Complete != 0 && !c->RecordBitmap->IsStale();
}

// In the result's order. A filtered result's set is collected by counting it first, in
// one pass over the candidates; a set kept in record order then gives the positions
// itself, and any other result is walked, each step reading the set instead of
// searching the candidates again from the start of the range.
std::vector<classlib::TBookmark> CollectPositions(TORQTable& Result) {
    std::vector<classlib::TBookmark> positions;
    TORQCursor* c = Result.Cursor();
    if (c != nullptr && c->IsFiltered()) {
        positions.reserve(static_cast<size_t>(Result.RecordCount()));
        const TORQRecordBitmap* set = c->RecordBitmap.get();
        if (set != nullptr && set->Complete != 0 && !set->IsStale() && set->IndexOrder == 0 && c->TableData != nullptr &&
            Result.BookmarkSize() >= TORQRecordID::ByteSize) {
            const size_t size = static_cast<size_t>(Result.BookmarkSize());
            int64_t n = 0;
            for (bool found = set->FindNextAt(true, true, 0, n); found; found = set->FindNextAt(false, true, n, n)) {
                classlib::TBookmark b(size, 0);
                c->TableData->NumberToRecordId(n).ToBytes(b.data());
                positions.push_back(std::move(b));
            }
            return positions;
        }
    }
    for (Result.First(); !Result.Eof(); Result.Next()) positions.push_back(Result.GetBookmark());
    return positions;
}

}  // namespace

void TORQSQLUpdate::Execute(TORQQuery* Query, bool, TORQAO*, TORQCursor*, bool&, bool) {
    RowsAffected = 0;
    if (FInternalQuery->From.size() != 1 || FInternalQuery->From[0]->Kind != trkTable)
        RaiseNativeFmt(30951, "Table '%s' cannot be changed through this statement: its FROM must name the table alone",
                       {TableName});
    TORQTable& result = LiveBaseTable(*FInternalQuery, Query, TableName);
    TThreadLock threadLock(result.Cursor());
    std::unique_ptr<TORQTable> target = SecondTable(result);
    std::vector<TField*> fields;
    for (const std::string& c : Columns) fields.push_back(target->FieldByName(c));
    TORQCursor* cursor = target->Cursor();
    for (auto& v : Values) v->BindFields(cursor, nullptr, nullptr);
    if (RowSubquery) RowSubquery->BindFields(cursor, nullptr, nullptr);

    auto attempt = [&](TUndoList* Undo) {
        RowsAffected = 0;
        const std::vector<classlib::TBookmark> positions = CollectPositions(result);
        std::vector<std::unique_ptr<TORQVariant>> values(Columns.size());
        for (const classlib::TBookmark& position : positions) {
            target->GotoBookmark(position);
            uint8_t* record = target->GetActiveRecordBuffer();
            // Every value from the record as it was.
            if (RowSubquery) {
                RowSubquery->SetRecordBuffer(record, 0);
                RowSubquery->FetchSubqueryRow();
            }
            for (std::size_t i = 0; i < Columns.size(); ++i) {
                TORQVariant* v = nullptr;
                if (RowSubquery) {
                    v = RowSubquery->GetSubqueryValue(static_cast<int32_t>(i));
                } else {
                    Values[i]->SetRecordBuffer(record, 0);
                    v = Values[i]->GetValue(true);
                }
                if (v == nullptr) {
                    values[i].reset();
                    continue;
                }
                values[i] = std::make_unique<TORQVariant>();
                values[i]->Assign(*v, true);
            }
            if (Undo != nullptr) Undo->Before(TUndoList::kUpdated);
            target->Edit();
            for (std::size_t i = 0; i < Columns.size(); ++i) AssignValueToField(values[i].get(), *fields[i]);
            target->Post();
            if (Undo != nullptr) Undo->Confirm();
            ++RowsAffected;
        }
    };

    const bool undoInMemory = UndoDisablesTempFiles(Query, InMemory);
    if (InTransaction(*target)) {
        RunAsOneChange(*target, false, 20223, TableName, undoInMemory, attempt);
        return;
    }
    for (int32_t n = 1;; ++n) {
        const uint64_t commits = CommitWriteCount();
        try {
            RunAsOneChange(*target, true, 20223, TableName, undoInMemory, attempt, &threadLock);
            return;
        } catch (...) {
            RowsAffected = 0;
            // Run again only what failed before its commit began to write.
            if (n >= kUpdateAttempts || !MayRetryAfter(std::current_exception(), commits)) throw;
        }
        EngineSleep(kUpdateRetryDelay);
    }
}

// ---------------------------------------------------------------------------------
// DELETE

TORQSQLDelete::TORQSQLDelete(TORQLexer& Lexer, TORQQuery* Query) : TORQSQLCommand(Lexer, Query) {
    GetCurrentToken();
    const TSQLCommand& command = FLexer.Commands(FLexer.CommandPosition());
    const int32_t start = FLexer.GetTokenPosition() + 1;
    if (start >= command.TokenCount()) RaiseUnexpectedEnd(30224);
    FInternalLexer = std::make_unique<TORQLexer>("", FLexer.Params());
    FInternalLexer->AddCommand();
    TToken select = ReservedToken("SELECT");
    select.Line = FToken.Line;
    select.Column = FToken.Column;
    FInternalLexer->AddToken(select);
    TToken star = StarToken();
    star.Line = FToken.Line;
    star.Column = FToken.Column;
    FInternalLexer->AddToken(star);
    for (int32_t i = start; i < command.TokenCount(); ++i)
        FInternalLexer->AddToken(command.Tokens[static_cast<size_t>(i)]);
    FInternalLexer->SetTokenPosition(0);
    FInternalQuery = std::make_unique<TORQSQLSelect>(*FInternalLexer, FQuery);
    FLexer.SetTokenPosition(command.TokenCount());
}

TORQSQLDelete::~TORQSQLDelete() {
    FInternalQuery.reset();
    FInternalLexer.reset();
}

void TORQSQLDelete::Execute(TORQQuery* Query, bool, TORQAO*, TORQCursor*, bool&, bool) {
    RowsAffected = 0;
    const std::string name = FInternalQuery->From.empty() ? std::string() : FInternalQuery->From[0]->TableName;
    if (FInternalQuery->From.size() != 1 || FInternalQuery->From[0]->Kind != trkTable)
        RaiseNativeFmt(30951, "Table '%s' cannot be changed through this statement: its FROM must name the table alone",
                       {name});
    TORQTable& result = LiveBaseTable(*FInternalQuery, Query, name);
    TThreadLock threadLock(result.Cursor());
    // A result whose matching records were collected as a set deletes them itself;
    // otherwise a second component deletes them by bookmark.
    std::unique_ptr<TORQTable> second;
    if (!HoldsCollectedSet(result)) second = SecondTable(result);
    TORQTable& target = second ? *second : result;
    RunAsOneChange(target, true, 20223, name, UndoDisablesTempFiles(Query, InMemory), [&](TUndoList* Undo) {
        const std::vector<classlib::TBookmark> positions = CollectPositions(result);
        for (const classlib::TBookmark& position : positions) {
            target.GotoBookmark(position);
            if (Undo != nullptr) Undo->Before(TUndoList::kDeleted);
            target.Delete();
            if (Undo != nullptr) Undo->Confirm();
            ++RowsAffected;
        }
    }, &threadLock);
}

void InstallDataStatements() {
    RegisterStatementClass(TORQStatementKind::Insert, [](TORQLexer& Lexer, TORQQuery* Query) {
        return std::unique_ptr<TORQSQLCommand>(new TORQSQLInsert(Lexer, Query));
    });
    RegisterStatementClass(TORQStatementKind::Update, [](TORQLexer& Lexer, TORQQuery* Query) {
        return std::unique_ptr<TORQSQLCommand>(new TORQSQLUpdate(Lexer, Query));
    });
    RegisterStatementClass(TORQStatementKind::Delete, [](TORQLexer& Lexer, TORQQuery* Query) {
        return std::unique_ptr<TORQSQLCommand>(new TORQSQLDelete(Lexer, Query));
    });
}

}  // namespace orq
