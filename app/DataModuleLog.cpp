// The log filters and the bulk deletions. A deletion serves events after each delete,
// so before each one it checks that the log table is still filtered by its own text and
// that the record meets its condition; a clicked "Clear filter" can then never make it
// delete the whole log.
#include "app/DataModule.h"

#include <cmath>
#include <exception>

#include "app/Prompts.h"
#include "classlib/DB.h"
#include "classlib/NumConv.h"
#include "engine/access/ORQMain.h"

namespace tilo {

using classlib::TDataSet;
using classlib::TDateTime;

namespace {

// A decimal integer with an optional sign, nothing else (no blanks, no hexadecimal);
// Value is its canonical text's number.
bool ParseDistance(const std::string& Text, int32_t& Value) {
    size_t i = (!Text.empty() && (Text[0] == '+' || Text[0] == '-')) ? 1 : 0;
    if (i == Text.size()) return false;
    for (size_t k = i; k < Text.size(); ++k)
        if (Text[k] < '0' || Text[k] > '9') return false;
    int64_t v = 0;
    if (!classlib::TryStrToInt64(Text[0] == '+' ? Text.substr(1) : Text, v)) return false;
    if (v < INT32_MIN || v > INT32_MAX) return false;
    Value = static_cast<int32_t>(v);
    return true;
}

// Holds bulk work for a scope.
class TBulkScope {
public:
    TBulkScope(TDataModule1& Module, const std::string& Name) : FModule(Module) { FModule.BeginBulkWork(Name); }
    ~TBulkScope() {
        try {
            FModule.EndBulkWork();
        } catch (...) {
        }
    }
    TBulkScope(const TBulkScope&) = delete;
    TBulkScope& operator=(const TBulkScope&) = delete;

private:
    TDataModule1& FModule;
};

void ApplyFilter(TDataSet& L, const std::string& Filter) {
    L.SetFilterText(Filter);
    L.SetFiltered(true);
}

}  // namespace

std::string TDataModule1::FilterDateText(TDateTime Value) {
    uint16_t h = 0, m = 0, s = 0, ms = 0;
    classlib::DecodeTime(Value, h, m, s, ms);
    if (h == 0 && m == 0 && s == 0 && ms == 0) return classlib::FormatDateTime("yyyy-mm-dd", Value);
    return classlib::FormatDateTime("yyyy-mm-dd hh:nn:ss", Value);
}

std::string TDataModule1::QuotedText(const std::string& Value) {
    std::string q = "'";
    for (char c : Value) {
        q += c;
        if (c == '\'') q += '\'';
    }
    return q + "'";
}

// ---------------------------------------------------------------------------------
// Filters

void TDataModule1::ResetLogView() {
    orq::TORQTable& L = *LogTable;
    if (L.IndexName() == "IDX_DT") return;
    if (L.Active()) L.CancelRange();
    L.SetIndexName("IDX_DT");
}

bool TDataModule1::NarrowLogView(const char* Name, const classlib::Variant& Value) {
    orq::TORQTable& L = *LogTable;
    if (!L.Active() || L.IndexDefs().IndexOf(Name) < 0) return false;
    try {
        L.SetIndexName(Name);
        L.SetRange({Value}, {Value});
    } catch (const std::exception&) {
        // A file that could not be given the index (read only, say): the filter alone
        // then scans the log, as it always did.
        ResetLogView();
        return false;
    }
    return true;
}

void TDataModule1::SetLogFilter(int32_t Freq, const std::string& NavArea, const std::string& IdLetter) {
    TDataSet& L = *LogTable;
    const bool f = Freq != -1, n = NavArea != "*", x = IdLetter != "*";
    // Unfiltered first: the index changes below then move over the whole log, not over
    // a filter that is about to go.
    L.SetFiltered(false);
    ResetLogView();
    if (!f && !n && !x) {
        L.Last();
        return;
    }
    // The range on the narrowest of the fixed fields (a letter holds about a 26th of the
    // log, an area a 22nd, a frequency half); the filter below keeps its whole meaning.
    int32_t areaNumber = 0;
    const bool numericArea = NavArea == "UNID" ||
                             (classlib::TryStrToInt(NavArea, areaNumber) && std::to_string(areaNumber) == NavArea);
    if (x && IdLetter.size() == 1)
        NarrowLogView("IDX_LETTER", classlib::Variant::FromString(IdLetter));
    else if (n && numericArea && areaNumber >= INT16_MIN && areaNumber <= INT16_MAX)
        NarrowLogView("IDX_AREA", classlib::Variant::FromInteger(areaNumber));
    else if (f)
        NarrowLogView("IDX_FREQ", classlib::Variant::FromInteger(Freq));
    const std::string area = QuotedText(NavArea == "UNID" ? std::string("0") : NavArea);
    const std::string letter = QuotedText(IdLetter);
    const std::string freq = std::to_string(Freq);
    std::string filter;
    if (x && n && !f)
        filter = "IDLETTER = " + letter + " AND NAVAREA=" + area;
    else if (x && n && f)
        filter = "FREQ=" + freq + " AND NAVAREA=" + area + " AND IDLETTER = " + letter;
    else if (x && !f)
        filter = "IDLETTER = " + letter;
    else if (x && f)
        filter = "FREQ=" + freq + " AND IDLETTER = " + letter;
    else if (f && n)
        filter = "FREQ=" + freq + " AND NAVAREA=" + area;
    else if (f)
        filter = "FREQ=" + freq;
    else
        filter = "NAVAREA=" + area;
    ApplyFilter(L, filter);
    L.Last();
}

void TDataModule1::SetLogFilterStationPeriod(char IdLetter, int32_t NavArea, TDateTime From, TDateTime To,
                                             int32_t Freq) {
    LogTable->SetFiltered(false);
    ResetLogView();
    NarrowLogView("IDX_LETTER", classlib::Variant::FromString(std::string(1, IdLetter)));
    ApplyFilter(*LogTable, "FREQ=" + std::to_string(Freq) + " AND NAVAREA=" + std::to_string(NavArea) +
                               " AND IDLETTER=" + QuotedText(std::string(1, IdLetter)) +
                               " AND UTCRECEIVED>=" + QuotedText(FilterDateText(From)) +
                               " AND UTCRECEIVED<=" + QuotedText(FilterDateText(To)));
}

void TDataModule1::SetLogFilterPeriod(TDateTime From, TDateTime To) {
    LogTable->SetFiltered(false);
    ResetLogView();
    ApplyFilter(*LogTable, "UTCRECEIVED>=" + QuotedText(FilterDateText(From)) +
                               " AND UTCRECEIVED<=" + QuotedText(FilterDateText(To)));
}

// ---------------------------------------------------------------------------------
// Deletions

// The condition of Kind as the engine evaluates its filter, from the record's fields: a
// Null STATION is not 'UNID' (so it is other than 'UNID'); a Null date or distance is
// below nothing.
bool TDataModule1::RecordMeets(TDeletion Kind, TDateTime Date, int32_t Distance) {
    const TDataSet& L = *LogTable;
    const classlib::TField* station = L.FieldByName("STATION");
    const classlib::TField* time = L.FieldByName("UTCRECEIVED");
    const classlib::TField* dist = L.FieldByName("DIST");
    const bool unid = !station->IsNull() && station->AsString() == "UNID";
    const bool identified = !unid;
    const bool before = !time->IsNull() && time->AsDateTime() < Date;
    const bool closer = !dist->IsNull() && dist->AsInteger() < Distance;
    switch (Kind) {
        case TDeletion::IdentifiedBefore: return before && identified;
        case TDeletion::Unidentified: return unid;
        case TDeletion::CloserThan: return closer && identified;
        case TDeletion::IdentifiedBeforeCloserThan: return before && closer && identified;
    }
    return false;
}

int32_t TDataModule1::RunDeletion(TDeletion Kind, const std::string& Filter, TDateTime Date, int32_t Distance) {
    TBulkScope bulk(*this, "deletion");
    TDataSet& L = *LogTable;
    L.SetFiltered(false);
    ResetLogView();
    ApplyFilter(L, Filter);
    L.First();
    int32_t count = 0;
    auto stop = [&](const std::string& Why) {
        Report("deletion stopped after " + std::to_string(count) + " records: " + Why);
        L.SetFiltered(false);
        return count;
    };
    for (;;) {
        if (!L.Active()) return stop("the log table closed");
        if (!L.Filtered() || L.Filter() != Filter || L.OnFilterRecord()) return stop("the log filter changed");
        if (L.State() != classlib::dsBrowse) return stop("the log table is being edited");
        if (L.IsEmpty()) break;
        if (!RecordMeets(Kind, Date, Distance))
            return stop("record " + L.FieldByName("UTCRECEIVED")->AsString() + " does not meet " + Filter);
        L.Delete();
        ++count;
        DoProcessMessages();
    }
    L.SetFiltered(false);
    return count;
}

int32_t TDataModule1::DeleteIdentifiedBefore(TDateTime Date) {
    const std::string date = FilterDateText(Date);
    return RunDeletion(TDeletion::IdentifiedBefore,
                       "UTCRECEIVED < " + QuotedText(date) + " AND STATION<>" + QuotedText("UNID"),
                       classlib::StrToDateTime(date), 0);
}

int32_t TDataModule1::DeleteUnidentified() {
    return RunDeletion(TDeletion::Unidentified, "STATION=" + QuotedText("UNID"), 0, 0);
}

int32_t TDataModule1::DeleteCloserThan(const std::string& Distance) {
    int32_t d = 0;
    if (!ParseDistance(Distance, d)) {
        Prompts().ShowMessage("Distance NOT a valid number!");
        return 0;
    }
    return RunDeletion(TDeletion::CloserThan, "DIST < " + std::to_string(d) + " AND STATION<>" + QuotedText("UNID"),
                       0, d);
}

int32_t TDataModule1::DeleteIdentifiedBeforeCloserThan(const std::string& Distance, TDateTime Date) {
    int32_t d = 0;
    if (!ParseDistance(Distance, d)) {
        Prompts().ShowMessage("Distance NOT a valid number, operation cancelled.");
        return 0;
    }
    const std::string date = FilterDateText(Date);
    return RunDeletion(TDeletion::IdentifiedBeforeCloserThan,
                       "UTCRECEIVED < " + QuotedText(date) + " AND DIST < " + std::to_string(d) +
                           " AND STATION<>" + QuotedText("UNID"),
                       classlib::StrToDateTime(date), d);
}

}  // namespace tilo
