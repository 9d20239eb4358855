// The order of a dataset's hooks, events and link notices for each operation, for every
// dataset that logs them: the log, a link that writes into it, the states' names, and one
// table of cases (three records, the second one current, unless the case's setup says
// otherwise; the dataset has a NAME field).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "classlib/DB.h"

namespace eventorder {

using Log = std::vector<std::string>;

struct Case {
    const char* name;
    std::function<void()> setup, action;
    Log expected;
};

inline const char* StateName(classlib::TDataSetState s) {
    static const char* names[] = {"Inactive", "Browse", "Edit", "Insert", "SetKey",
                                  "CalcFields", "Filter", "NewValue", "InternalCalc", "Opening"};
    return names[s];
}

// A link that writes every hook it gets into a log shared with the dataset's events.
class TRecordingLink : public classlib::TDataLink {
public:
    explicit TRecordingLink(Log* ALog) : FLog(ALog) {}

protected:
    void ActiveChanged() override { Put(Active() ? "link active" : "link inactive"); }
    void CheckBrowseMode() override { Put("link check browse"); }
    void DataSetChanged() override { Put("link dataset changed"); }
    void DataSetScrolled(int32_t Distance) override { Put("link scrolled " + std::to_string(Distance)); }
    void EditingChanged() override { Put(Editing() ? "link editing" : "link not editing"); }
    void LayoutChanged() override { Put("link layout changed"); }
    void RecordChanged(classlib::TField* Field) override {
        Put(Field != nullptr ? "link record changed " + Field->FieldName() : "link record changed");
    }
    void UpdateData() override { Put("link update data"); }

private:
    void Put(const std::string& S) {
        if (FLog != nullptr) FLog->push_back(S);
    }
    Log* FLog;
};

template <class DataSet>
std::vector<Case> Cases(DataSet& ds) {
    auto second = [&ds] {
        ds.Open();
        ds.Next();
    };
    auto editing = [&ds] {
        ds.Open();
        ds.Edit();
        ds.FieldByName("NAME")->SetAsString("X");
    };
    return {
        {"open", [] {}, [&ds] { ds.Open(); },
         {"BeforeOpen", "InternalOpen", "link active", "source Browse", "AfterOpen", "AfterScroll"}},
        {"close", [&ds] { ds.Open(); }, [&ds] { ds.Close(); },
         {"BeforeClose", "link inactive", "source Inactive", "InternalClose", "AfterClose"}},
        {"close while editing", editing, [&ds] { ds.Close(); },
         {"link check browse", "BeforeCancel", "InternalCancel", "link not editing", "source Browse",
          "link dataset changed", "AfterCancel", "BeforeClose", "link inactive", "source Inactive", "InternalClose",
          "AfterClose"}},
        {"insert", second, [&ds] { ds.Insert(); },
         {"link check browse", "BeforeInsert", "BeforeScroll", "InternalInsert", "link editing", "source Insert",
          "OnNewRecord", "link dataset changed", "AfterInsert", "AfterScroll"}},
        // One buffer: the cursor goes to the end when the record is posted.
        {"append", second, [&ds] { ds.Append(); },
         {"link check browse", "BeforeInsert", "BeforeScroll", "InternalInsert", "link editing",
          "source Insert", "OnNewRecord", "link dataset changed", "AfterInsert", "AfterScroll"}},
        {"edit", second, [&ds] { ds.Edit(); },
         {"link check browse", "BeforeEdit", "InternalEdit", "link editing", "source Edit", "link record changed",
          "AfterEdit"}},
        {"post", editing, [&ds] { ds.Post(); },
         {"link update data", "source update data", "link check browse", "BeforePost", "InternalPost",
          "link not editing", "source Browse", "link dataset changed", "AfterPost"}},
        {"cancel an edit", editing, [&ds] { ds.Cancel(); },
         {"link check browse", "BeforeCancel", "InternalCancel", "link not editing", "source Browse",
          "link dataset changed", "AfterCancel"}},
        {"cancel an insert", [&ds] { ds.Open(); ds.Insert(); }, [&ds] { ds.Cancel(); },
         {"link check browse", "BeforeCancel", "BeforeScroll", "InternalCancel", "link not editing", "source Browse",
          "link dataset changed", "AfterCancel", "AfterScroll"}},
        {"delete", second, [&ds] { ds.Delete(); },
         {"link check browse", "BeforeDelete", "BeforeScroll", "InternalDelete", "link dataset changed", "AfterDelete",
          "AfterScroll"}},
        // The appended record's cursor position is the end.
        {"delete while inserting", [&ds] { ds.Open(); ds.Append(); }, [&ds] { ds.Delete(); },
         {"link check browse", "BeforeCancel", "BeforeScroll", "InternalLast", "InternalCancel", "link not editing", "source Browse",
          "link dataset changed", "AfterCancel", "AfterScroll"}},
        {"refresh", second, [&ds] { ds.Refresh(); },
         {"link check browse", "BeforeRefresh", "InternalRefresh", "link dataset changed", "AfterRefresh"}},
        {"next", second, [&ds] { ds.Next(); }, {"link check browse", "BeforeScroll", "link scrolled 1", "AfterScroll"}},
        {"next at the end", [&ds] { ds.Open(); ds.Last(); }, [&ds] { ds.Next(); }, {"link check browse"}},
        {"first", second, [&ds] { ds.First(); },
         {"link check browse", "BeforeScroll", "InternalFirst", "link dataset changed", "AfterScroll"}},
        {"last", second, [&ds] { ds.Last(); },
         {"link check browse", "BeforeScroll", "InternalLast", "link dataset changed", "AfterScroll"}},
        // A pending change is posted before the dataset moves; the update-record event
        // goes out once.
        {"next while editing", editing, [&ds] { ds.Next(); },
         {"link check browse", "link update data", "source update data", "link check browse", "BeforePost",
          "InternalPost", "link not editing", "source Browse", "link dataset changed", "AfterPost", "BeforeScroll",
          "link scrolled 1", "AfterScroll"}},
        // Nothing changed: the edit is cancelled.
        {"next while editing unchanged", [&ds] { ds.Open(); ds.Edit(); }, [&ds] { ds.Next(); },
         {"link check browse", "link update data", "source update data", "link check browse", "BeforeCancel",
          "InternalCancel", "link not editing", "source Browse", "link dataset changed", "AfterCancel",
          "BeforeScroll", "link scrolled 1", "AfterScroll"}},
    };
}

}  // namespace eventorder
