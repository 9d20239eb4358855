// The SQL lexer: tokens with kinds, texts, codes, lines and columns; commands; errors;
// parameters; navigation.
#include <gtest/gtest.h>

#include <string>

#include "foundation/ExpectNative.h"
#include "engine/sql/ORQLexer.h"

using namespace orq;

namespace {

// One letter per kind: the kind code's place in this string.
constexpr char kKindLetter[] = "NSQBIFWP(),.";

// Every command's tokens as kind letter, reserved-word code (for words), 'text' and
// line:column; commands joined by " ; ".
std::string Render(const TORQLexer& lx) {
    std::string out;
    for (int32_t c = 0; c < lx.CommandCount(); ++c) {
        if (c) out += " ; ";
        const TSQLCommand& cmd = lx.Commands(c);
        for (int32_t t = 0; t < cmd.TokenCount(); ++t) {
            const TToken& tk = cmd.Tokens[t];
            if (t) out += ' ';
            out += kKindLetter[tk.Kind];
            if (tk.Kind == tktReservedWord) out += std::to_string(tk.ReservedWordCode);
            else if (tk.ReservedWordCode != NoReservedWord) out += "!code" + std::to_string(tk.ReservedWordCode);
            out += "'" + tk.Text + "'" + std::to_string(tk.Line) + ":" + std::to_string(tk.Column);
        }
    }
    return out;
}

std::string Lex(const std::string& text, TORQSQLParams* params = nullptr) {
    TORQLexer lx(text, params);
    return Render(lx);
}

}  // namespace

TEST(Lexer, TokensKindsTextsCodesAndPositions) {
    struct { const char* text; const char* tokens; } cases[] = {
        {"select * from t;", "W179'select'1:1 S'*'1:8 W90'from'1:10 S't'1:15"},
        {"SeLeCt Absolute rndup", "W179'SeLeCt'1:1 W0'Absolute'1:8 W291'rndup'1:17"},
        {"a.b", "S'a'1:1 .'.'1:2 S'b'1:3"},
        {"t.* t . x", "S't'1:1 .'.'1:2 S'*'1:3 S't'1:5 .'.'1:7 S'x'1:9"},
        // Any white space after a '.' ends it, as a blank does: no token begins with one.
        {"a.\nb", "S'a'1:1 .'.'1:2 S'b'2:1"},
        {"a.\tb", "S'a'1:1 .'.'1:2 S'b'1:4"},
        {"select t.\r\nx from t", "W179'select'1:1 S't'1:8 .'.'1:9 S'x'2:1 W90'from'2:3 S't'2:8"},
        {"1.5 .5 1e-3 2E+4 7", "F'1.5'1:1 F'.5'1:5 F'1e-3'1:8 F'2E+4'1:13 I'7'1:18"},
        {"1-3 1+x x-1 a+b", "I'1'1:1 S'-'1:2 I'3'1:3 I'1'1:5 S'+'1:6 S'x'1:7 S'x'1:9 S'-'1:10 I'1'1:11 "
                            "S'a'1:13 S'+'1:14 S'b'1:15"},
        {"f(1,2)", "S'f'1:1 ('('1:2 I'1'1:3 ,','1:4 I'2'1:5 )')'1:6"},
        {"a<=b>=c<>d||e<f>g=h|i", "S'a'1:1 S'<='1:2 S'b'1:4 S'>='1:5 S'c'1:7 S'<>'1:8 S'd'1:10 S'||'1:11 "
                                  "S'e'1:13 S'<'1:14 S'f'1:15 S'>'1:16 S'g'1:17 S'='1:18 S'h'1:19 S'|'1:20 "
                                  "S'i'1:21"},
        {"a*b/c", "S'a'1:1 S'*'1:2 S'b'1:3 S'/'1:4 S'c'1:5"},
        // Quoted texts: doubled closing characters, kinds, reserved words never from names.
        {"'It''s' \"x\" \"a\"\"b\"", "Q'It's'1:1 Q'x'1:9 Q'a\"b'1:13"},
        {"[my table] [a]]b] [select]", "B'my table'1:1 B'a]b'1:12 B'select'1:19"},
        {"`select` `x``y` `a\\b` `a\\\\b` `a\\`", "S'select'1:1 S'x`y'1:10 S'ab'1:17 S'a\\b'1:23 S'a'1:30"},
        {"`:p` `?`", "S':p'1:1 S'?'1:6"},  // backquoted names are never parameters
        {"''", "Q''1:1"},
        // Columns after quoted text are exact; a name over several lines keeps its start.
        {"'ab' x", "Q'ab'1:1 S'x'1:6"},
        {"x [my\nlong\nname] y", "S'x'1:1 B'my\nlong\nname'1:3 S'y'3:7"},
        {"a\r\n\tb", "S'a'1:1 S'b'2:2"},
        // Comments: a comment ends the token before it.
        {"a/*x*/b", "S'a'1:1 S'b'1:7"},
        {"12/*c*/34", "I'12'1:1 I'34'1:8"},
        {"a--x\nb", "S'a'1:1 S'b'2:1"},
        {"a -- x ; y\n b", "S'a'1:1 S'b'2:2"},
        {"a /* x\n ; */ b", "S'a'1:1 S'b'2:7"},
        {"a /* never closed", "S'a'1:1"},
        {"1 - -2", "I'1'1:1 S'-'1:3 S'-'1:5 I'2'1:6"},
        // Separators and parentheses out of order but balanced.
        {")(", ")')'1:1 ('('1:2"},
        {"a : b", "S'a'1:1 S':'1:3 S'b'1:5"},
        {"select 1; ; select 2;", "W179'select'1:1 I'1'1:8 ; W179'select'1:13 I'2'1:20"},
        {"a;\nb", "S'a'1:1 ; S'b'2:1"},
    };
    for (auto& c : cases) EXPECT_EQ(Lex(c.text), c.tokens) << c.text;
}

TEST(Lexer, EmptyCommandsGiveNone) {
    for (const char* text : {"", "   ", ";;", " ; ; ", "-- only a comment", "/* c */ ; -- d\n"}) {
        TORQLexer lx(text, nullptr);
        EXPECT_EQ(lx.CommandCount(), 0) << text;
    }
}

TEST(Lexer, ErrorsCarryCodeMessageLineAndColumn) {
    struct { const char* text; int32_t code; const char* message; } cases[] = {
        {"select 12ab", 30062, "Invalid numeric symbol 'a' at line 1, column 10 - Native error: 30062"},
        {"select\n  1.5x", 30062, "Invalid numeric symbol 'x' at line 2, column 6 - Native error: 30062"},
        {"select 'a' 9'", 30062, "Invalid numeric symbol ''' at line 1, column 13 - Native error: 30062"},
        {"select (a, (b)", 30059, "Missing symbol ')' at line 1, column 12 - Native error: 30059"},
        {"select (a\n, b", 30059, "Missing symbol ')' at line 1, column 8 - Native error: 30059"},
        {"select a) from t", 30060, "Unexpected symbol ')' found at line 1, column 9 - Native error: 30060"},
        {"select a) from (t)", 30060, "Unexpected symbol ')' found at line 1, column 18 - Native error: 30060"},
        {"select 1;\nselect (2", 30059, "Missing symbol ')' at line 2, column 8 - Native error: 30059"},
        {"select (1;)", 30059, "Missing symbol ')' at line 1, column 8 - Native error: 30059"},
        {"select 'abc", 30061, "Unterminated string at line 1, column 8 - Native error: 30061"},
        {"select\n  x, [abc\n;", 30061, "Unterminated string at line 2, column 6 - Native error: 30061"},
        {"select `abc\\", 30061, "Unterminated string at line 1, column 8 - Native error: 30061"},
        {"select :\"abc", 30061, "Unterminated string at line 1, column 9 - Native error: 30061"},
        {"select ('abc)", 30059, "Missing symbol ')' at line 1, column 8 - Native error: 30059"},
        {"select :p", 30358, "Value for parameter 'p' not found - Native error: 30358"},
        {"select ?", 30358, "Value for parameter 'Param1' not found - Native error: 30358"},
    };
    for (auto& c : cases) ExpectNative([&] { TORQLexer lx(c.text, nullptr); }, c.code, c.message);
}

namespace {

struct ParamsFixture : ::testing::Test {
    TORQSQLParams params;
    void Add(const char* name, int32_t value) {
        TORQSQLParam* p = params.AddParam();
        EXPECT_TRUE(p->IsNull());
        EXPECT_EQ(p->Name, "");
        p->Name = name;
        p->SetAsInteger(value);
    }
};

}  // namespace

TEST_F(ParamsFixture, NamedParametersMatchInAnyLetterCase) {
    Add("p1", 11);
    Add("p 1", 12);
    Add("\xC4rger", 13);
    Add("P1", 99);  // never found: the first equal name wins
    EXPECT_EQ(params.FindParam("P1")->GetAsInteger(), 11);
    EXPECT_EQ(params.FindParam("\xE4RGER")->GetAsInteger(), 13);
    EXPECT_EQ(params.FindParam("p"), nullptr);
    EXPECT_EQ(params.FindParam("p1 "), nullptr);

    TORQLexer lx(":p1 :P1 :\"p 1\" :[P 1] :'\xE4rger' x=:p1", &params);
    EXPECT_EQ(Render(lx), "P'p1'1:1 P'P1'1:5 P'p 1'1:9 P'P 1'1:16 P'\xE4rger'1:23 S'x'1:32 S'='1:33 P'p1'1:34");
    const int32_t expected[] = {11, 11, 12, 12, 13, -1, -1, 11};
    const TSQLCommand& cmd = lx.Commands(0);
    for (int32_t k = 0; k < 8; ++k) {
        if (expected[k] < 0) {
            EXPECT_EQ(cmd.Tokens[k].ParamValue, nullptr);
            continue;
        }
        ASSERT_NE(cmd.Tokens[k].ParamValue, nullptr) << k;
        EXPECT_EQ(cmd.Tokens[k].ParamValue->GetAsInteger(), expected[k]) << k;
    }
}

TEST_F(ParamsFixture, PositionalParametersRunAcrossCommands) {
    Add("a", 10);
    Add("b", 20);
    Add("c", 30);
    TORQLexer lx("select ?; select :b, ?, ?", &params);
    EXPECT_EQ(Render(lx), "W179'select'1:1 P'Param1'1:8 ; W179'select'1:11 P'b'1:18 ,','1:20 P'Param2'1:22 "
                          ",','1:23 P'Param3'1:25");
    EXPECT_EQ(lx.Commands(0).Tokens[1].ParamValue->GetAsInteger(), 10);
    EXPECT_EQ(lx.Commands(1).Tokens[1].ParamValue->GetAsInteger(), 20);
    EXPECT_EQ(lx.Commands(1).Tokens[3].ParamValue->GetAsInteger(), 20);
    EXPECT_EQ(lx.Commands(1).Tokens[5].ParamValue->GetAsInteger(), 30);

    ExpectNative([&] { TORQLexer l("? ? ? ?", &params); }, 30358,
                 "Value for parameter 'Param4' not found - Native error: 30358");
    ExpectNative([&] { TORQLexer l("select :a, :d", &params); }, 30358,
                 "Value for parameter 'd' not found - Native error: 30358");
}

TEST_F(ParamsFixture, TokensKeepTheValueTheyWereLexedWith) {
    Add("p", 5);
    TORQSQLParam* n = params.AddParam();
    n->Name = "n";  // a Null value is a value too
    TToken copy;
    {
        TORQLexer lx(":p ?", &params);
        params.Items(0)->SetAsInteger(6);
        EXPECT_EQ(lx.Commands(0).Tokens[0].ParamValue->GetAsInteger(), 5);
        EXPECT_EQ(lx.Commands(0).Tokens[1].ParamValue->GetAsInteger(), 5);
        ASSERT_TRUE(lx.NextCommand());
        ASSERT_TRUE(lx.GetCurrentToken(copy));
        TORQLexer ln(":n", &params);
        EXPECT_TRUE(ln.Commands(0).Tokens[0].ParamValue->IsNull());
    }
    params.Clear();
    EXPECT_EQ(copy.ParamValue->GetAsInteger(), 5);  // a copied token outlives list and lexer
}

TEST(Lexer, NavigationWithinAndAcrossCommands) {
    TORQLexer lx("select a, b; drop t", nullptr);
    TToken t;
    EXPECT_EQ(lx.CommandPosition(), -1);
    EXPECT_FALSE(lx.GetCurrentToken(t));
    EXPECT_EQ(t.Kind, tktNone);
    ASSERT_TRUE(lx.NextCommand());
    EXPECT_TRUE(lx.GetCurrentToken(t));
    EXPECT_EQ(t.Text, "select");
    EXPECT_TRUE(lx.PeekNextToken(t));
    EXPECT_EQ(t.Text, "a");
    EXPECT_EQ(lx.GetTokenPosition(), 0);
    EXPECT_TRUE(lx.GetNextToken(t));
    EXPECT_EQ(t.Text, "a");
    EXPECT_EQ(lx.GetTokenPosition(), 1);
    EXPECT_TRUE(lx.SeekToken(3, t));
    EXPECT_EQ(t.Text, "b");
    EXPECT_FALSE(lx.PeekNextToken(t));
    EXPECT_EQ(t.Kind, tktNone);
    EXPECT_EQ(t.Text, "");
    EXPECT_FALSE(lx.GetNextToken(t));  // moves past the end all the same
    EXPECT_EQ(lx.GetTokenPosition(), 4);
    EXPECT_FALSE(lx.GetCurrentToken(t));
    EXPECT_TRUE(lx.SetTokenPosition(1));
    EXPECT_FALSE(lx.SetTokenPosition(4));
    EXPECT_FALSE(lx.SetTokenPosition(-1));
    ASSERT_TRUE(lx.NextCommand());
    EXPECT_EQ(lx.GetTokenPosition(), 0);
    EXPECT_TRUE(lx.GetCurrentToken(t));
    EXPECT_TRUE(TORQLexer::IsReservedWord(t, 71));  // DROP
    EXPECT_TRUE(TORQLexer::IsReservedWord(t, NoReservedWord));
    EXPECT_FALSE(TORQLexer::IsReservedWord(t, 0));
    EXPECT_TRUE(lx.GetNextToken(t));
    EXPECT_FALSE(TORQLexer::IsReservedWord(t, NoReservedWord));
    EXPECT_FALSE(lx.NextCommand());
    EXPECT_FALSE(lx.NextCommand());
    EXPECT_FALSE(lx.GetCurrentToken(t));
}

TEST(Lexer, StatementsBuildQueriesOfTheirOwn) {
    TORQLexer lx("", nullptr);
    TToken t;
    t.Kind = tktString;
    t.Text = "x";
    lx.AddToken(t);  // with no command yet, one is made
    EXPECT_EQ(lx.CommandCount(), 1);
    lx.AddCommand();
    EXPECT_EQ(lx.CommandPosition(), 1);
    TToken w;
    w.Kind = tktReservedWord;
    w.ReservedWordCode = static_cast<int16_t>(TORQLexer::ReservedWordCode("select"));
    lx.AddToken(w);
    lx.AddToken(t);
    EXPECT_EQ(lx.GetTokenPosition(), 1);
    ASSERT_TRUE(lx.SeekToken(0, t));
    EXPECT_TRUE(TORQLexer::IsReservedWord(t, 179));
    EXPECT_EQ(lx.Commands(0).TokenCount(), 1);
    EXPECT_EQ(lx.Commands(1).TokenCount(), 2);
}

TEST(Lexer, TokenKindNamesFollowTheCodes) {
    EXPECT_EQ(TokenKindNames[tktNone], "tktNone");
    EXPECT_EQ(TokenKindNames[tktQuotedString], "tktQuotedString");
    EXPECT_EQ(TokenKindNames[tktParameter], "tktParameter");
    EXPECT_EQ(TokenKindNames[tktDot], "tktDot");
}
