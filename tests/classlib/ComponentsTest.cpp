#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TestDataSet.h"
#include "classlib/Classes.h"
#include "classlib/DB.h"

using namespace classlib;
using classlib_test::TTestDataSet;

namespace {

// Records its name in a shared log when it dies.
class TLogged : public TComponent {
public:
    TLogged(TComponent* AOwner, std::string Tag, std::vector<std::string>& Log)
        : TComponent(AOwner), FTag(std::move(Tag)), FLog(Log) {}
    ~TLogged() override { FLog.push_back(FTag); }

private:
    std::string FTag;
    std::vector<std::string>& FLog;
};

// Holds a pointer to another component and forgets it when told the other dies.
class THolder : public TComponent {
public:
    using TComponent::TComponent;
    void Hold(TComponent* C) {
        Target = C;
        C->FreeNotification(this);
    }
    TComponent* Target = nullptr;
    int Removals = 0;

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override {
        TComponent::Notification(AComponent, Operation);
        if (Operation == TOperation::opRemove && AComponent == Target) {
            Target = nullptr;
            ++Removals;
        }
    }
};

// A property stored as "connected": applied in Loaded, not while loading.
class TConnectable : public TComponent {
public:
    TConnectable(TComponent* AOwner, std::vector<std::string>& Log) : TComponent(AOwner), FLog(Log) {}
    bool Connected() const { return FConnected; }
    void SetConnected(bool Value) {
        if (IsLoading()) {
            FStreamedConnected = Value;
            return;
        }
        FConnected = Value;
        FLog.push_back(Name() + " connected");
    }

protected:
    void Loaded() override {
        TComponent::Loaded();
        FLog.push_back(Name() + " loaded");
        if (FStreamedConnected) SetConnected(true);
    }

private:
    std::vector<std::string>& FLog;
    bool FConnected = false;
    bool FStreamedConnected = false;
};

}  // namespace

TEST(Components, AnOwnerFreesItsComponentsLastCreatedFirst) {
    std::vector<std::string> log;
    auto root = std::make_unique<TComponent>(nullptr);
    new TLogged(root.get(), "a", log);
    auto* b = new TLogged(root.get(), "b", log);
    new TLogged(b, "b1", log);
    new TLogged(root.get(), "c", log);
    EXPECT_EQ(root->ComponentCount(), 3);

    auto* lone = new TLogged(root.get(), "lone", log);
    delete lone;  // leaves its owner's list
    EXPECT_EQ(root->ComponentCount(), 3);

    root.reset();
    EXPECT_EQ(log, (std::vector<std::string>{"lone", "c", "b", "b1", "a"}));
}

TEST(Components, FreeNotificationReachesTheHolderBeforeTheComponentDies) {
    auto owner = std::make_unique<TComponent>(nullptr);
    auto* target = new TComponent(owner.get());
    THolder holder(nullptr);
    holder.Hold(target);
    owner.reset();  // frees target
    EXPECT_EQ(holder.Target, nullptr);
    EXPECT_EQ(holder.Removals, 1);

    // The link is two-way: a holder that dies first is forgotten by its target, so the
    // target's death later touches nothing freed (the sanitizers prove it).
    auto owner2 = std::make_unique<TComponent>(nullptr);
    auto* target2 = new TComponent(owner2.get());
    auto holder2 = std::make_unique<THolder>(nullptr);
    holder2->Hold(target2);
    holder2.reset();
    owner2.reset();
}

TEST(Components, StoredPropertiesTakeEffectInLoadedInCreationOrder) {
    std::vector<std::string> log;
    TConnectable root(nullptr, log);
    root.SetName("Root");
    root.BeginLoading();
    auto* first = new TConnectable(&root, log);
    first->SetName("First");
    auto* second = new TConnectable(&root, log);
    second->SetName("Second");
    EXPECT_TRUE(second->IsLoading());  // made while its owner loads
    second->SetConnected(true);
    first->SetConnected(true);
    EXPECT_FALSE(first->Connected());  // only recorded while loading
    EXPECT_TRUE(log.empty());

    root.EndLoading();
    EXPECT_TRUE(first->Connected());
    EXPECT_FALSE(second->IsLoading());
    EXPECT_EQ(log, (std::vector<std::string>{"Root loaded", "First loaded", "First connected", "Second loaded",
                                             "Second connected"}));
}

TEST(Components, ADatasetStoredActiveOpensInLoaded) {
    TComponent module(nullptr);
    module.BeginLoading();
    auto* ds = new TTestDataSet(&module);
    ds->Structure = {{"ID", ftInteger}};
    ds->Open();
    EXPECT_FALSE(ds->Active());
    module.EndLoading();
    EXPECT_TRUE(ds->Active());
    EXPECT_NE(ds->FindField("ID"), nullptr);
}

TEST(Components, NamesAreIdentifiersUniqueAmongTheOwnersComponents) {
    TComponent owner(nullptr);
    auto* a = new TComponent(&owner);
    auto* b = new TComponent(&owner);
    a->SetName("Table1");
    EXPECT_EQ(owner.FindComponent("TABLE1"), a);
    EXPECT_THROW(b->SetName("table1"), EComponentError);
    for (const char* bad : {"1abc", "a b", "x-y"}) EXPECT_THROW(b->SetName(bad), EComponentError) << bad;
    b->SetName("Table2");
    b->SetName("");
    EXPECT_EQ(b->Name(), "");
}

TEST(Components, DatabaseErrorPrefixesTheComponentName) {
    TComponent named(nullptr);
    named.SetName("LogTable");
    TComponent unnamed(nullptr);
    struct Case { const TComponent* c; const char* expected; } cases[] = {
        {&named, "LogTable: Missing TableName property"},
        {&unnamed, "Missing TableName property"},
        {nullptr, "Missing TableName property"},
    };
    for (const auto& c : cases) {
        try {
            DatabaseError("Missing TableName property", c.c);
            FAIL() << "no exception";
        } catch (const EDatabaseError& e) {
            EXPECT_STREQ(e.what(), c.expected);
        }
    }
    EXPECT_THROW(DatabaseErrorFmt("Field '%s' not found", {"X"}), Exception);
}

TEST(Components, FieldsAndTheirDatasetMayDieInEitherOrder) {
    // A field owned elsewhere outlives its dataset: it is let go, not left pointing at it.
    TComponent module(nullptr);
    auto* ds = new TTestDataSet(nullptr);
    auto* kept = new TIntegerField(&module);
    kept->SetFieldName("ID");
    kept->SetDataSet(ds);
    delete ds;
    EXPECT_EQ(kept->DataSet(), nullptr);

    // A field dying first leaves its dataset's list.
    TTestDataSet ds2;
    auto* gone = new TIntegerField(&module);
    gone->SetFieldName("ID");
    gone->SetDataSet(&ds2);
    EXPECT_EQ(ds2.FieldCount(), 1);
    delete gone;
    EXPECT_EQ(ds2.FieldCount(), 0);
}
