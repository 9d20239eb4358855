// The SQL lexer and the SQL parameter list. A TORQLexer turns one SQL text into
// commands (the texts between ';'), each a list of tokens, in one pass and in full when
// it is made: every lexical error is raised from the constructor, before any statement
// is parsed. The parsers then walk the tokens with a current command and a current
// token position, and may save a position and return to it.
//
// Rules the lexer keeps:
// - Lines and columns are 1-based and exact: every character but a carriage return
//   counts a column, also inside quoted text and comments; a line feed starts a line.
// - A command exists only once a token has started in it: ";;", a trailing ';' and a
//   text of blanks or comments give no command.
// - Quoted, bracketed and backquoted texts lose their quotes, doubled closing
//   characters stand for one; bracketed and backquoted names are never reserved words
//   or parameters, whatever their text.
// - A comment ends the word or number it follows, like white space.
// - A parameter token holds its own copy of the bound value, taken when it is lexed:
//   later changes to the list do not reach it. '?' parameters are numbered Param1,
//   Param2, ... over the whole text and take the list's items in that order.
// - Reserved words and parameter names compare through the engine's 8-bit case rule.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/foundation/ORQReservedWords.h"
#include "engine/foundation/ORQVariant.h"

namespace orq {

// One named parameter value; a new one is Null with an empty name.
class TORQSQLParam : public TORQVariant {
public:
    std::string Name;
};

// An ordered list of parameters that owns them.
class TORQSQLParams {
public:
    TORQSQLParams() = default;
    TORQSQLParams(const TORQSQLParams&) = delete;
    TORQSQLParams& operator=(const TORQSQLParams&) = delete;

    // Appends a Null parameter with an empty name; the caller sets both.
    TORQSQLParam* AddParam();
    void Clear() { FItems.clear(); }
    int32_t Count() const { return static_cast<int32_t>(FItems.size()); }
    TORQSQLParam* Items(int32_t Index) const { return FItems.at(static_cast<size_t>(Index)).get(); }
    // The first parameter whose name equals Name ignoring case; nullptr when none does.
    TORQSQLParam* FindParam(std::string_view Name) const;

private:
    std::vector<std::unique_ptr<TORQSQLParam>> FItems;
};

// Token kinds; the codes are fixed.
enum TTokenKind : uint8_t {
    tktNone = 0,             // the empty token past the end of a command
    tktString = 1,           // a word, an operator, ':' alone, a backquoted name
    tktQuotedString = 2,     // text in single or double quotes
    tktBracketedString = 3,  // text in square brackets
    tktInt = 4,              // a number without '.', 'E' or 'e'
    tktFloat = 5,            // a number with '.' or an exponent
    tktReservedWord = 6,
    tktParameter = 7,        // :name, :"quoted name" or ?
    tktLeftParenthesis = 8,
    tktRightParenthesis = 9,
    tktComma = 10,
    tktDot = 11
};

inline constexpr int32_t TokenKindCount = 12;
extern const std::string_view TokenKindNames[TokenKindCount];

struct TToken {
    TTokenKind Kind = tktNone;
    // The index in ReservedWords when Kind is tktReservedWord, else NoReservedWord.
    int16_t ReservedWordCode = NoReservedWord;
    // The characters; quoted text without its quotes; a parameter's name.
    std::string Text;
    // tktParameter only: the value bound when the token was lexed. Copies of the token
    // share it; the lexer's own tokens keep it alive.
    std::shared_ptr<TORQVariant> ParamValue;
    // tktParameter only: the index of the parameter the value came from.
    int32_t ParamIndex = -1;
    int32_t Line = 0;    // of the token's first character, from 1
    int32_t Column = 0;
};

class TORQExprNodeConst;

// The constants a parse made from parameter values, each with the token's value it copied:
// a prepared statement takes new values by assigning them to these constants. A constant
// leaves the list when it is freed (parses that back-track free what they made).
class TORQParamBindings {
public:
    struct TBinding {
        TORQExprNodeConst* Node;
        std::shared_ptr<TORQVariant> Source;
    };
    void Add(TORQExprNodeConst* Node, std::shared_ptr<TORQVariant> Source) {
        FItems.push_back({Node, std::move(Source)});
    }
    void Forget(const TORQExprNodeConst* Node) {
        std::erase_if(FItems, [Node](const TBinding& B) { return B.Node == Node; });
    }
    const std::vector<TBinding>& Items() const { return FItems; }
    // Set when the parse made a subquery.
    bool HoldsSubquery = false;

private:
    std::vector<TBinding> FItems;
};

struct TSQLCommand {
    std::vector<TToken> Tokens;
    int32_t CurrentToken = 0;  // 0-based

    int32_t TokenCount() const { return static_cast<int32_t>(Tokens.size()); }
};

class TORQLexer {
public:
    // Lexes the whole text; Params may be null (then any parameter is an error).
    // Raises 30059, 30060, 30061, 30062 and 30358.
    TORQLexer(std::string_view SQL, TORQSQLParams* Params);
    TORQLexer(const TORQLexer&) = delete;
    TORQLexer& operator=(const TORQLexer&) = delete;

    const std::string& SQL() const { return FSQL; }
    TORQSQLParams* Params() const { return FParams; }
    int32_t CommandCount() const { return static_cast<int32_t>(FCommands.size()); }
    const TSQLCommand& Commands(int32_t Index) const { return FCommands.at(static_cast<size_t>(Index)); }
    // -1 before the first command.
    int32_t CommandPosition() const { return FCurrentCommand; }
    // Where an error at Token is reported: the token's own place, or past the end (an
    // empty token) the place of the current command's last token.
    void ErrorPosition(const TToken& Token, int32_t& Line, int32_t& Column) const;

    // Moves to the next command; true while there is one.
    bool NextCommand();
    // The token at the current position; false (and an empty token) when there is none.
    bool GetCurrentToken(TToken& Token) const;
    // The token after the current one, which then becomes current (the position
    // advances also when there is none).
    bool GetNextToken(TToken& Token);
    // The token after the current one, without moving.
    bool PeekNextToken(TToken& Token) const;
    int32_t GetTokenPosition() const;
    // True when Position names a token of the current command.
    bool SetTokenPosition(int32_t Position);
    bool SeekToken(int32_t Position, TToken& Token);

    // For statements that build queries of their own: an empty command made current,
    // and a copy of Token appended to the current command and made current (a command
    // is added first when there is none).
    void AddCommand();
    void AddToken(const TToken& Token);

    // True for a reserved word with the given code; NoReservedWord (292) means any word.
    static bool IsReservedWord(const TToken& Token, int32_t Code);
    static int32_t ReservedWordCode(std::string_view Text) { return FindReservedWord(Text); }

    // The constants parsed from this lexer's parameter tokens.
    const std::shared_ptr<TORQParamBindings>& ParamBindings() const { return FBindings; }
    // How many parameter tokens the commands hold.
    int32_t ParameterTokenCount() const;
    // Each parameter token's value again from Params (the same parameters by name and
    // order as when lexed), and each bound constant from its token; false, with nothing
    // changed, when a new value could make the parse take another road (another type,
    // Null-ness, or a trailing '%' or '*' where there was none).
    bool RebindParameters(const TORQSQLParams& Params);

private:
    TSQLCommand* Current();
    const TSQLCommand* Current() const;
    void Lex();

    std::string FSQL;
    TORQSQLParams* FParams;
    std::vector<TSQLCommand> FCommands;
    int32_t FCurrentCommand = -1;
    std::shared_ptr<TORQParamBindings> FBindings = std::make_shared<TORQParamBindings>();
};

}  // namespace orq
