// The framework's event order, unchanged, through the engine's dataset over a disk table:
// every operation's hooks and events as a data link and the dataset's own events see
// them, the cursor doing the work.
#include "ORQDataSetTestFixture.h"
#include "tests/classlib/DataSetEventOrderCases.h"

using namespace dstest;
using namespace classlib;

namespace {

using eventorder::Log;
using eventorder::StateName;
using eventorder::TRecordingLink;

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
    for (const auto& c : eventorder::Cases(ds)) {
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
