// The SQL conformance scripts under tests/engine/sql/scripts, each on MEMORY and on a
// disk database, and the runner's own reporting: a wrong row, a wrong order under
// nosort, a wrong code and an unexpected success each fail with their line.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "../storage/DiskTestUtil.h"
#include "SQLScriptRunner.h"
#include "engine/access/ORQMain.h"

namespace {

using sqltest::TEngine;

std::string ScriptFolder() { return std::string(TILO_SOURCE_DIR) + "/tests/engine/sql/scripts"; }

std::vector<std::string> Scripts() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(ScriptFolder()))
        if (e.path().extension() == ".test") names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class SQLScript : public ::testing::TestWithParam<std::tuple<std::string, TEngine>> {
protected:
    void SetUp() override { orq::StartEngine(); }
    void TearDown() override { orq::StopEngine(); }
    disktest::TempDir Dir;
};

TEST_P(SQLScript, EveryRecordPasses) {
    const auto& [name, engine] = GetParam();
    const sqltest::TResult r = sqltest::RunScriptFile(ScriptFolder() + "/" + name, engine, Dir.Path);
    EXPECT_GT(r.Records, 0);
    for (const sqltest::TFailure& f : r.Failures) ADD_FAILURE() << sqltest::FormatFailure(f);
}

INSTANTIATE_TEST_SUITE_P(Scripts, SQLScript,
                         ::testing::Combine(::testing::ValuesIn(Scripts()),
                                            ::testing::Values(TEngine::Memory, TEngine::Disk)),
                         [](const auto& Info) {
                             std::string n = std::get<0>(Info.param);
                             n = n.substr(0, n.find('.'));
                             std::replace(n.begin(), n.end(), '-', '_');
                             return n + "_" + sqltest::EngineName(std::get<1>(Info.param));
                         });

class SQLScriptRunner : public ::testing::Test {
protected:
    void SetUp() override { orq::StartEngine(); }
    void TearDown() override { orq::StopEngine(); }
    disktest::TempDir Dir;

    std::vector<sqltest::TFailure> Run(const std::string& Text, TEngine Engine = TEngine::Memory) {
        return sqltest::RunScript("inline.test", Text, Engine, Dir.Path).Failures;
    }
};

const char* const Fixture =
    "fixture t\n"
    "a I, b T(5)\n"
    "1|x\n"
    "2|NULL\n"
    "3|z\n"
    "\n";

TEST_F(SQLScriptRunner, PassingRecordsReportNothing) {
    const std::string text = std::string(Fixture) +
                             "query IT nosort\nselect a, b from t order by a\n----\n1|x\n2|NULL\n3|z\n\n"
                             "query TI rowsort separator ,\nselect b, a from t\n----\nNULL,2\nx,1\nz,3\n\n"
                             "statement error 30195\nselect * from t order by z\n\n"
                             "query I nosort\nselect a from t where a = :k\nparam k I 2\n----\n2\n\n"
                             "skipif memory\nquery I nosort\nselect 1 from nowhere\n----\n1\n";
    const std::vector<sqltest::TFailure> f = Run(text);
    for (const auto& x : f) ADD_FAILURE() << sqltest::FormatFailure(x);
}

TEST_F(SQLScriptRunner, FailuresNameTheirLineAndRows) {
    struct Case {
        const char* Record;
        int Line;  // within the record
        const char* Says;
    };
    const Case cases[] = {
        {"query I nosort\nselect a from t order by a\n----\n1\n2\n4\n", 1, "actual:\n  1\n  2\n  3"},
        {"query I nosort\nselect a from t order by a desc\n----\n1\n2\n3\n", 1, "rows differ (in order)"},
        {"statement error 30144\nselect * from t order by z\n", 1, "expected error 30144, got 30195"},
        {"statement error 30195\nselect * from t\n", 1, "but it succeeded"},
        {"query T nosort\nselect a from t where a = 1\n----\n1\n", 1, "is of kind I, not T"},
    };
    const int fixtureLines = 6;  // the fixture's five lines and the blank one
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Record);
        const std::vector<sqltest::TFailure> f = Run(std::string(Fixture) + c.Record);
        ASSERT_EQ(f.size(), 1u);
        EXPECT_EQ(f[0].File, "inline.test");
        EXPECT_EQ(f[0].Line, fixtureLines + c.Line);
        EXPECT_NE(f[0].Message.find(c.Says), std::string::npos) << f[0].Message;
    }
}

}  // namespace
