#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "classlib/DBParams.h"

using namespace classlib;

namespace {

std::vector<std::string> Names(const TParams& p) {
    std::vector<std::string> v;
    for (int i = 0; i < p.Count(); ++i) v.push_back(p.Items(i)->Name());
    return v;
}

std::string ReplaceAll(std::string s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
    return s;
}

}  // namespace

TEST(ParseSQL, ReplacesParametersOutsideQuotes) {
    struct Case { const char* sql; const char* parsed; std::vector<std::string> names; } cases[] = {
        {"SELECT * FROM T WHERE A = :A", "SELECT * FROM T WHERE A = ?", {"A"}},
        {"WHERE A = :x OR B = :X AND C=:y", "WHERE A = ? OR B = ? AND C=?", {"x", "y"}},
        {"WHERE A = 'a:b' AND B = :p", "WHERE A = 'a:b' AND B = ?", {"p"}},
        {"WHERE A = 'it''s :no' AND B = :p", "WHERE A = 'it''s :no' AND B = ?", {"p"}},
        {"SELECT \"col:x\" FROM T", "SELECT \"col:x\" FROM T", {}},
        {"SELECT A::B FROM T", "SELECT A:B FROM T", {}},
        {"WHERE A=:last", "WHERE A=?", {"last"}},
        {"WHERE A : B", "WHERE A : B", {}},
        {"WHERE A = 'open :q", "WHERE A = 'open :q", {}},
        {"VALUES(:a,:b_2)", "VALUES(?,?)", {"a", "b_2"}},
    };
    for (const auto& c : cases) {
        TParams created;
        EXPECT_EQ(created.ParseSQL(c.sql, true), c.parsed) << c.sql;
        EXPECT_EQ(Names(created), c.names) << c.sql;
        TParams untouched;
        EXPECT_EQ(untouched.ParseSQL(c.sql, false), c.parsed) << c.sql;
        EXPECT_EQ(untouched.Count(), 0) << c.sql;
    }
}

TEST(ParseSQL, TheQueryEscapeForALoneColonBetweenDoubleQuotesStillWorks) {
    // The query component hides '":"' behind a marker before parsing and restores it after.
    const std::string sql = "SELECT * FROM T WHERE A = \":\" AND B = :b";
    TParams params;
    const std::string parsed =
        ReplaceAll(params.ParseSQL(ReplaceAll(sql, "\":\"", "\"<cut colon>\""), true), "<cut colon>", ":");
    EXPECT_EQ(parsed, "SELECT * FROM T WHERE A = \":\" AND B = ?");
    EXPECT_EQ(Names(params), (std::vector<std::string>{"b"}));
}

TEST(Params, AssignValuesKeepsTheValuesOfNamesThatSurviveATextChange) {
    TParams old;
    old.ParseSQL("WHERE A = :a AND B = :b", true);
    old.ParamByName("a")->SetAsInteger(1);
    old.ParamByName("B")->SetAsString("x");

    TParams fresh;
    fresh.ParseSQL("WHERE B = :B AND C = :c", true);
    fresh.AssignValues(old);
    EXPECT_EQ(fresh.ParamByName("b")->AsString(), "x");
    EXPECT_EQ(fresh.ParamByName("b")->DataType(), ftString);
    EXPECT_TRUE(fresh.ParamByName("b")->Bound());
    EXPECT_TRUE(fresh.ParamByName("c")->IsNull());
    EXPECT_FALSE(fresh.ParamByName("c")->Bound());
    EXPECT_EQ(fresh.FindParam("a"), nullptr);
    EXPECT_THROW(fresh.ParamByName("a"), EDatabaseError);

    old.Assign(&fresh);
    EXPECT_EQ(Names(old), (std::vector<std::string>{"B", "c"}));
}

TEST(Params, ValuesTakeTheirTypeAndConvertThroughTheFixedFormats) {
    TParams params;
    TParam* p = params.CreateParam(ftUnknown, "p", ptInput);
    p->SetValue(Variant::FromDouble(0.975));
    EXPECT_EQ(p->DataType(), ftFloat);
    EXPECT_EQ(p->AsString(), "0.975");
    p->SetAsString("518");
    EXPECT_EQ(p->AsInteger(), 518);
    p->SetAsString("abc");
    EXPECT_THROW(p->AsInteger(), EConvertError);
    p->Clear();
    EXPECT_TRUE(p->IsNull());
    EXPECT_EQ(p->AsString(), "");
}
