// The framework's event order, unchanged, through the engine's dataset over a disk table:
// every operation's hooks and events as a data link and the dataset's own events see
// them, the cursor doing the work.
#include "ORQDataSetTestFixture.h"

using namespace dstest;
using namespace classlib;

namespace {

using Log = std::vector<std::string>;

const char* StateName(TDataSetState s) {
    static const char* names[] = {"Inactive", "Browse", "Edit", "Insert", "SetKey",
                                  "CalcFields", "Filter", "NewValue", "InternalCalc", "Opening"};
    return names[s];
}

class TRecordingLink : public TDataLink {
public:
    explicit TRecordingLink(Log* ALog) : FLog(ALog) {}

protected:
    void ActiveChanged() override { Put(Active() ? "link active" : "link inactive"); }
    void CheckBrowseMode() override { Put("link check browse"); }
    void DataSetChanged() override { Put("link dataset changed"); }
    void DataSetScrolled(int32_t Distance) override { Put("link scrolled " + std::to_string(Distance)); }
    void EditingChanged() override { Put(Editing() ? "link editing" : "link not editing"); }
    void LayoutChanged() override { Put("link layout changed"); }
    void RecordChanged(TField* Field) override {
        Put(Field != nullptr ? "link record changed " + Field->FieldName() : "link record changed");
    }
    void UpdateData() override { Put("link update data"); }

private:
    void Put(const std::string& S) {
        if (FLog != nullptr) FLog->push_back(S);
    }
    Log* FLog;
};

// The engine's dataset with each hook named in the log as it is entered.
class TLoggingDataSet : public TTestDataSet {
public:
    Log* HookLog = nullptr;

protected:
    void Hook(const char* Name) {
        if (HookLog != nullptr) HookLog->push_back(Name);
    }
    void InternalOpen() override { Hook("InternalOpen"), TTestDataSet::InternalOpen(); }
    void InternalClose() override { Hook("InternalClose"), TTestDataSet::InternalClose(); }
    void InternalFirst() override { Hook("InternalFirst"), TTestDataSet::InternalFirst(); }
    void InternalLast() override { Hook("InternalLast"), TTestDataSet::InternalLast(); }
    void InternalInsert() override { Hook("InternalInsert"), TTestDataSet::InternalInsert(); }
    void InternalEdit() override { Hook("InternalEdit"), TTestDataSet::InternalEdit(); }
    void InternalPost() override { Hook("InternalPost"), TTestDataSet::InternalPost(); }
    void InternalCancel() override { Hook("InternalCancel"), TTestDataSet::InternalCancel(); }
    void InternalDelete() override { Hook("InternalDelete"), TTestDataSet::InternalDelete(); }
    void InternalRefresh() override { Hook("InternalRefresh"), TTestDataSet::InternalRefresh(); }
};

class EngineEventOrder : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        Env = std::make_unique<TEngineEnv>(ekDisk);
        ds.SetName("Stations");
        ds.SetDatabaseName(Env->Name());
        ds.TableName = "STATIONS";
        src.SetDataSet(&ds);
        link.SetDataSource(&src);
    }
    void TearDown() override {
        ds.Close();
        link.SetDataSource(nullptr);
        src.SetDataSet(nullptr);
        Env.reset();
        EngineTest::TearDown();
    }
    // A fresh table of n rows.
    void Fill(int n) {
        ds.Close();
        TORQFieldDefs f;
        AddField(f, "ID", aftInteger);
        AddField(f, "NAME", aftVarChar, 10);
        Env->CreateTable("STATIONS", f);
        ds.Open();
        for (int i = 1; i <= n; ++i) ds.AppendRecord({Variant::FromInteger(i), Variant::FromString("R" + std::to_string(i))});
        ds.Close();
    }
    void Hear(bool On) {
        ds.HookLog = On ? &log : nullptr;
        const std::pair<const char*, TDataSetNotifyEvent*> events[] = {
            {"BeforeOpen", &ds.BeforeOpen},     {"AfterOpen", &ds.AfterOpen},       {"BeforeClose", &ds.BeforeClose},
            {"AfterClose", &ds.AfterClose},     {"BeforeInsert", &ds.BeforeInsert}, {"AfterInsert", &ds.AfterInsert},
            {"BeforeEdit", &ds.BeforeEdit},     {"AfterEdit", &ds.AfterEdit},       {"BeforePost", &ds.BeforePost},
            {"AfterPost", &ds.AfterPost},       {"BeforeCancel", &ds.BeforeCancel}, {"AfterCancel", &ds.AfterCancel},
            {"BeforeDelete", &ds.BeforeDelete}, {"AfterDelete", &ds.AfterDelete},   {"BeforeScroll", &ds.BeforeScroll},
            {"AfterScroll", &ds.AfterScroll},   {"BeforeRefresh", &ds.BeforeRefresh},
            {"AfterRefresh", &ds.AfterRefresh}, {"OnNewRecord", &ds.OnNewRecord},
        };
        for (const auto& [name, ev] : events) {
            std::string n = name;
            *ev = On ? TDataSetNotifyEvent([this, n](TDataSet*) { log.push_back(n); }) : nullptr;
        }
        src.OnStateChange = nullptr;
        src.OnUpdateData = nullptr;
        if (!On) return;
        src.OnStateChange = [this](TPersistent*) { log.push_back(std::string("source ") + StateName(src.State())); };
        src.OnUpdateData = [this](TPersistent*) { log.push_back("source update data"); };
    }

    std::unique_ptr<TEngineEnv> Env;
    Log log;
    TLoggingDataSet ds;
    TDataSource src{nullptr};
    TRecordingLink link{&log};
};

TEST_F(EngineEventOrder, EachOperationRunsItsHooksAndEventsInOrder) {
    struct Case {
        const char* name;
        std::function<void()> setup, action;
        Log expected;
    };
    auto second = [this] {
        ds.Open();
        ds.Next();
    };
    auto editing = [this] {
        ds.Open();
        ds.Edit();
        ds.FieldByName("NAME")->SetAsString("X");
    };
    const Case cases[] = {
        {"open", [] {}, [this] { ds.Open(); },
         {"BeforeOpen", "InternalOpen", "link active", "source Browse", "AfterOpen", "AfterScroll"}},
        {"close", [this] { ds.Open(); }, [this] { ds.Close(); },
         {"BeforeClose", "link inactive", "source Inactive", "InternalClose", "AfterClose"}},
        {"close while editing", editing, [this] { ds.Close(); },
         {"link check browse", "BeforeCancel", "InternalCancel", "link not editing", "source Browse",
          "link dataset changed", "AfterCancel", "BeforeClose", "link inactive", "source Inactive", "InternalClose",
          "AfterClose"}},
        {"insert", second, [this] { ds.Insert(); },
         {"link check browse", "BeforeInsert", "BeforeScroll", "InternalInsert", "link editing", "source Insert",
          "OnNewRecord", "link dataset changed", "AfterInsert", "AfterScroll"}},
        // One buffer: the cursor goes to the end when the record is posted.
        {"append", second, [this] { ds.Append(); },
         {"link check browse", "BeforeInsert", "BeforeScroll", "InternalInsert", "link editing",
          "source Insert", "OnNewRecord", "link dataset changed", "AfterInsert", "AfterScroll"}},
        {"edit", second, [this] { ds.Edit(); },
         {"link check browse", "BeforeEdit", "InternalEdit", "link editing", "source Edit", "link record changed",
          "AfterEdit"}},
        {"post", editing, [this] { ds.Post(); },
         {"link update data", "source update data", "link check browse", "BeforePost", "InternalPost",
          "link not editing", "source Browse", "link dataset changed", "AfterPost"}},
        {"cancel an edit", editing, [this] { ds.Cancel(); },
         {"link check browse", "BeforeCancel", "InternalCancel", "link not editing", "source Browse",
          "link dataset changed", "AfterCancel"}},
        {"cancel an insert", [this] { ds.Open(); ds.Insert(); }, [this] { ds.Cancel(); },
         {"link check browse", "BeforeCancel", "BeforeScroll", "InternalCancel", "link not editing", "source Browse",
          "link dataset changed", "AfterCancel", "AfterScroll"}},
        {"delete", second, [this] { ds.Delete(); },
         {"link check browse", "BeforeDelete", "BeforeScroll", "InternalDelete", "link dataset changed", "AfterDelete",
          "AfterScroll"}},
        // The appended record's cursor position is the end.
        {"delete while inserting", [this] { ds.Open(); ds.Append(); }, [this] { ds.Delete(); },
         {"link check browse", "BeforeCancel", "BeforeScroll", "InternalLast", "InternalCancel", "link not editing", "source Browse",
          "link dataset changed", "AfterCancel", "AfterScroll"}},
        {"refresh", second, [this] { ds.Refresh(); },
         {"link check browse", "BeforeRefresh", "InternalRefresh", "link dataset changed", "AfterRefresh"}},
        {"next", second, [this] { ds.Next(); }, {"link check browse", "BeforeScroll", "link scrolled 1", "AfterScroll"}},
        {"next at the end", [this] { ds.Open(); ds.Last(); }, [this] { ds.Next(); }, {"link check browse"}},
        {"first", second, [this] { ds.First(); },
         {"link check browse", "BeforeScroll", "InternalFirst", "link dataset changed", "AfterScroll"}},
        {"last", second, [this] { ds.Last(); },
         {"link check browse", "BeforeScroll", "InternalLast", "link dataset changed", "AfterScroll"}},
        // A pending change is posted before the dataset moves; the update-record event
        // goes out once.
        {"next while editing", editing, [this] { ds.Next(); },
         {"link check browse", "link update data", "source update data", "link check browse", "BeforePost",
          "InternalPost", "link not editing", "source Browse", "link dataset changed", "AfterPost", "BeforeScroll",
          "link scrolled 1", "AfterScroll"}},
        // Nothing changed: the edit is cancelled.
        {"next while editing unchanged", [this] { ds.Open(); ds.Edit(); }, [this] { ds.Next(); },
         {"link check browse", "link update data", "source update data", "link check browse", "BeforeCancel",
          "InternalCancel", "link not editing", "source Browse", "link dataset changed", "AfterCancel",
          "BeforeScroll", "link scrolled 1", "AfterScroll"}},
    };
    for (const auto& c : cases) {
        Fill(3);
        c.setup();
        Hear(true);
        log.clear();
        c.action();
        EXPECT_EQ(log, c.expected) << c.name;
        Hear(false);
        ds.Close();
    }
}

}  // namespace
