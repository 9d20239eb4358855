#include "engine/sql/ORQLexer.h"

#include <algorithm>

#include "classlib/NumConv.h"
#include "engine/foundation/ORQCollation.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/sql/ORQExprNodes.h"

namespace orq {

const std::string_view TokenKindNames[TokenKindCount] = {
    "tktNone", "tktString",    "tktQuotedString", "tktBracketedString", "tktInt",   "tktFloat",
    "tktReservedWord", "tktParameter", "tktLeftParenthesis", "tktRightParenthesis", "tktComma", "tktDot"};

TORQSQLParam* TORQSQLParams::AddParam() {
    FItems.push_back(std::make_unique<TORQSQLParam>());
    return FItems.back().get();
}

TORQSQLParam* TORQSQLParams::FindParam(std::string_view Name) const {
    for (const auto& p : FItems) {
        const std::string& n = p->Name;
        if (n.size() != Name.size()) continue;
        size_t k = 0;
        while (k < n.size() && AnsiUpperChar(n[k]) == AnsiUpperChar(Name[k])) ++k;
        if (k == n.size()) return p.get();
    }
    return nullptr;
}

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Characters that end an open token and start one of their own.
bool IsBreak(char c) {
    switch (c) {
        case '>': case '<': case '=': case '(': case ')': case ',': case '/': case '*': case ':': case '?': case '|':
            return true;
        default:
            return false;
    }
}

// One pass over the text. An open token (a word, a number, a '.', or ':' / '?' with the
// name that follows) is a contiguous run of the text from FStart; quoted text and the
// one- and two-character operators are read whole when they start.
class TScanner {
public:
    TScanner(std::string_view Text, TORQSQLParams* Params, std::vector<TSQLCommand>& Commands)
        : S(Text), FParams(Params), FCommands(Commands) {}

    void Run() {
        const size_t n = S.size();
        FCommands.reserve(static_cast<size_t>(std::count(S.begin(), S.end(), ';')) + 1);
        while (FPos < n) {
            const char c = S[FPos];
            const char peek = FPos + 1 < n ? S[FPos + 1] : ' ';
            if (c == ';') {
                EndCommand();
                Step(c);
                continue;
            }
            if (c == '-' && peek == '-') {
                Finish();
                LineComment();
                continue;
            }
            if (c == '/' && peek == '*') {
                Finish();
                BlockComment();
                continue;
            }
            const bool white = IsWhite(c);
            if (!FOpen) {
                if (white)
                    Step(c);
                else
                    Start(c, peek);
                continue;
            }
            const TTokenKind kind = FTok.Kind;
            const bool sep = IsBreak(c) || (c == '.' && kind != tktInt) ||
                             (kind == tktDot && !IsDigit(c) && !white) ||
                             (kind == tktInt && (c == '+' || c == '-') && FPrev != 'E' && FPrev != 'e') ||
                             (kind == tktString && (c == '+' || c == '-'));
            if (white || sep) {
                Finish();
                if (sep)
                    Start(c, peek);
                else
                    Step(c);
                continue;
            }
            if (kind == tktInt && !IsDigit(c) && c != '.' && c != 'E' && c != 'e' && c != '+' && c != '-')
                RaiseNativeFmt(30062, "Invalid numeric symbol '%s' at line %d, column %d",
                               {std::string_view(&S[FPos], 1), FLine, FColumn});
            if (kind == tktDot) FTok.Kind = tktInt;  // ".5"
            Step(c);
        }
        EndCommand();
    }

private:
    // Moves past one character, counting lines and columns.
    void Step(char c) {
        if (c == '\n') {
            ++FLine;
            FColumn = 1;
        } else if (c != '\r') {
            ++FColumn;
        }
        FPrev = c;
        ++FPos;
    }

    void LineComment() {
        const size_t lf = S.find('\n', FPos);
        FPos = lf == std::string_view::npos ? S.size() : lf + 1;
        ++FLine;
        FColumn = 1;
        FPrev = ' ';
    }

    // An unclosed block comment runs to the end of the text and is no error.
    void BlockComment() {
        Step('/');
        Step('*');
        while (FPos < S.size()) {
            if (S[FPos] == '*' && FPos + 1 < S.size() && S[FPos + 1] == '/') {
                Step('*');
                Step('/');
                break;
            }
            Step(S[FPos]);
        }
        FPrev = ' ';
    }

    void Start(char c, char peek) {
        if (!FCommandOpen) {
            FCommands.emplace_back().Tokens.reserve(16);
            FCommandOpen = true;
            FDepth = 0;
        }
        FTok = TToken{};
        FTok.Line = FLine;
        FTok.Column = FColumn;
        FOpen = true;
        FRun = false;
        FLiteral = false;
        FQuotedParam = false;
        switch (c) {
            case '\'': case '"': FTok.Kind = tktQuotedString; Quoted(1, c, false); return;
            case '[': FTok.Kind = tktBracketedString; Quoted(1, ']', false); return;
            case '`':
                FTok.Kind = tktString;
                FLiteral = true;
                Quoted(1, '`', true);
                return;
            case ':':
                if (peek == '\'' || peek == '"' || peek == '[') {
                    FTok.Kind = tktString;
                    FTok.Text = ":";
                    FQuotedParam = true;
                    Quoted(2, peek == '[' ? ']' : peek, false);
                    return;
                }
                break;
            case '(':
                ++FDepth;
                FOpenLine = FLine;
                FOpenColumn = FColumn;
                Single(tktLeftParenthesis, c);
                return;
            case ')':
                --FDepth;
                FCloseLine = FLine;
                FCloseColumn = FColumn;
                Single(tktRightParenthesis, c);
                return;
            case ',': Single(tktComma, c); return;
            case '-': case '+': case '*': case '/': case '=': Single(tktString, c); return;
            case '|': case '<': case '>': {
                const bool two = (c == '|' && peek == '|') || (c == '<' && (peek == '=' || peek == '>')) ||
                                 (c == '>' && peek == '=');
                FTok.Kind = tktString;
                FTok.Text.assign(S.substr(FPos, two ? 2 : 1));
                Step(c);
                if (two) Step(peek);
                Finish();
                return;
            }
            default: break;
        }
        FTok.Kind = c == '.' ? tktDot : IsDigit(c) ? tktInt : tktString;
        FRun = true;
        FStart = FPos;
        Step(c);
    }

    void Single(TTokenKind kind, char c) {
        FTok.Kind = kind;
        FTok.Text.assign(1, c);
        Step(c);
        Finish();
    }

    // Quoted text from the current position: skip the Skip opening characters, take
    // characters up to Close (doubled, it stands for one), then finish the token.
    void Quoted(int Skip, char Close, bool Escapes) {
        for (int k = 1; k < Skip; ++k) Step(S[FPos]);
        FQuoteOpen = true;  // begins at the opening quote
        FQuoteLine = FLine;
        FQuoteColumn = FColumn;
        Step(S[FPos]);
        const size_t n = S.size();
        while (FPos < n) {
            char ch = S[FPos];
            if (Escapes && ch == '\\') {
                Step(ch);
                if (FPos == n) break;
                ch = S[FPos];
            }
            if (ch == Close) {
                if (FPos + 1 < n && S[FPos + 1] == Close) {
                    FTok.Text += Close;
                    Step(ch);
                    Step(ch);
                    continue;
                }
                Step(ch);
                FQuoteOpen = false;
                break;
            }
            if (ch == '\n' || ch == '\r') {
                FTok.Text += ch;
                Step(ch);
                continue;
            }
            // Copy the run up to the next character that needs a look.
            size_t e = FPos + 1;
            while (e < n && S[e] != Close && S[e] != '\n' && S[e] != '\r' && !(Escapes && S[e] == '\\')) ++e;
            FTok.Text.append(S.substr(FPos, e - FPos));
            FColumn += static_cast<int32_t>(e - FPos);
            FPrev = S[e - 1];
            FPos = e;
        }
        Finish();
    }

    void Finish() {
        if (!FOpen) return;
        FOpen = false;
        if (FRun) FTok.Text.assign(S.substr(FStart, FPos - FStart));
        if (FTok.Kind == tktInt) {
            if (FTok.Text.find_first_of(".eE") != std::string::npos) FTok.Kind = tktFloat;
        } else if (FTok.Kind == tktString && !FLiteral && !FQuoteOpen) {
            const std::string& t = FTok.Text;
            if ((t[0] == ':' && (t.size() > 1 || FQuotedParam)) || t[0] == '?')
                BindParameter();
            else if (const int32_t code = FindReservedWord(t); code >= 0) {
                FTok.Kind = tktReservedWord;
                FTok.ReservedWordCode = static_cast<int16_t>(code);
            }
        }
        FCommands.back().Tokens.push_back(std::move(FTok));
    }

    void BindParameter() {
        FTok.Kind = tktParameter;
        const TORQSQLParam* p = nullptr;
        if (FTok.Text[0] == ':') {
            FTok.Text.erase(0, 1);
            if (FParams) p = FParams->FindParam(FTok.Text);
            if (p)
                for (int32_t i = 0; i < FParams->Count() && FTok.ParamIndex < 0; ++i)
                    if (FParams->Items(i) == p) FTok.ParamIndex = i;
        } else {
            const int32_t index = FPositional++;
            FTok.Text = "Param" + classlib::IntToStr(FPositional);
            if (FParams && index < FParams->Count()) {
                p = FParams->Items(index);
                FTok.ParamIndex = index;
            }
        }
        if (!p) RaiseNativeFmt(30358, "Value for parameter '%s' not found", {FTok.Text});
        auto value = std::make_shared<TORQVariant>();
        value->Assign(*p, true);
        FTok.ParamValue = std::move(value);
    }

    void EndCommand() {
        Finish();
        if (!FCommandOpen) return;
        FCommandOpen = false;
        if (FDepth > 0)
            RaiseNativeFmt(30059, "Missing symbol ')' at line %d, column %d", {FOpenLine, FOpenColumn});
        if (FDepth < 0)
            RaiseNativeFmt(30060, "Unexpected symbol ')' found at line %d, column %d", {FCloseLine, FCloseColumn});
        if (FQuoteOpen) RaiseNativeFmt(30061, "Unterminated string at line %d, column %d", {FQuoteLine, FQuoteColumn});
    }

    std::string_view S;
    TORQSQLParams* FParams;
    std::vector<TSQLCommand>& FCommands;

    size_t FPos = 0;
    int32_t FLine = 1;
    int32_t FColumn = 1;
    char FPrev = ' ';

    TToken FTok;
    bool FOpen = false;         // a token is open
    bool FRun = false;          // its text is the run S[FStart, FPos)
    size_t FStart = 0;
    bool FLiteral = false;      // backquoted: never a reserved word or a parameter
    bool FQuotedParam = false;  // :"name"

    bool FCommandOpen = false;
    int32_t FDepth = 0;
    int32_t FOpenLine = 0, FOpenColumn = 0, FCloseLine = 0, FCloseColumn = 0;
    bool FQuoteOpen = false;
    int32_t FQuoteLine = 0, FQuoteColumn = 0;
    int32_t FPositional = 0;
};

}  // namespace

TORQLexer::TORQLexer(std::string_view SQL, TORQSQLParams* Params) : FSQL(SQL), FParams(Params) { Lex(); }

void TORQLexer::Lex() { TScanner(FSQL, FParams, FCommands).Run(); }

int32_t TORQLexer::ParameterTokenCount() const {
    int32_t n = 0;
    for (const TSQLCommand& c : FCommands)
        for (const TToken& t : c.Tokens)
            if (t.Kind == tktParameter) ++n;
    return n;
}

namespace {

// What of a parameter's value the parse decides by: its type, Null, and a text's last
// character where '%' (a prefix search) or '*' (a partial comparison) changes the node.
struct TParseShape {
    uint8_t Type = 0;
    bool Null = false;
    char16_t Last = 0;
    bool operator==(const TParseShape&) const = default;
};

TParseShape ShapeOf(const TORQVariant& V) {
    TParseShape s{V.DataType(), V.IsNull(), 0};
    if (s.Null) return s;
    if (V.IsWideString()) {
        const std::u16string w = V.GetAsWideString();
        if (!w.empty() && (w.back() == u'%' || w.back() == u'*')) s.Last = w.back();
    } else if (V.IsString()) {
        const std::string t = V.GetAsString();
        if (!t.empty() && (t.back() == '%' || t.back() == '*')) s.Last = static_cast<char16_t>(t.back());
    }
    return s;
}

}  // namespace

bool TORQLexer::RebindParameters(const TORQSQLParams& Params) {
    std::vector<std::pair<TORQVariant*, const TORQSQLParam*>> updates;
    for (TSQLCommand& c : FCommands)
        for (TToken& t : c.Tokens) {
            if (t.Kind != tktParameter) continue;
            if (!t.ParamValue || t.ParamIndex < 0 || t.ParamIndex >= Params.Count()) return false;
            const TORQSQLParam* p = Params.Items(t.ParamIndex);
            // A named token must still find this parameter first by its name.
            const bool positional = t.Text == "Param" + classlib::IntToStr(t.ParamIndex + 1);
            if (!positional && Params.FindParam(t.Text) != p) return false;
            if (!(ShapeOf(*p) == ShapeOf(*t.ParamValue))) return false;
            updates.emplace_back(t.ParamValue.get(), p);
        }
    for (auto& [value, p] : updates) value->Assign(*p, true);
    // A Null stays the typed Null the parse made of it.
    for (const TORQParamBindings::TBinding& b : FBindings->Items())
        if (!b.Source->IsNull()) b.Node->Value.Assign(*b.Source, true);
    return true;
}

TSQLCommand* TORQLexer::Current() {
    return FCurrentCommand >= 0 && FCurrentCommand < CommandCount() ? &FCommands[static_cast<size_t>(FCurrentCommand)]
                                                                    : nullptr;
}

const TSQLCommand* TORQLexer::Current() const { return const_cast<TORQLexer*>(this)->Current(); }

bool TORQLexer::NextCommand() {
    if (FCurrentCommand < CommandCount()) ++FCurrentCommand;
    return FCurrentCommand < CommandCount();
}

namespace {

bool CopyToken(const TSQLCommand* cmd, int32_t index, TToken& Token) {
    if (cmd && index >= 0 && index < cmd->TokenCount()) {
        Token = cmd->Tokens[static_cast<size_t>(index)];
        return true;
    }
    Token = TToken{};
    return false;
}

}  // namespace

bool TORQLexer::GetCurrentToken(TToken& Token) const {
    const TSQLCommand* cmd = Current();
    return CopyToken(cmd, cmd ? cmd->CurrentToken : 0, Token);
}

bool TORQLexer::PeekNextToken(TToken& Token) const {
    const TSQLCommand* cmd = Current();
    return CopyToken(cmd, cmd ? cmd->CurrentToken + 1 : 0, Token);
}

bool TORQLexer::GetNextToken(TToken& Token) {
    const bool found = PeekNextToken(Token);
    if (TSQLCommand* cmd = Current()) ++cmd->CurrentToken;
    return found;
}

int32_t TORQLexer::GetTokenPosition() const {
    const TSQLCommand* cmd = Current();
    return cmd ? cmd->CurrentToken : 0;
}

bool TORQLexer::SetTokenPosition(int32_t Position) {
    TSQLCommand* cmd = Current();
    if (!cmd) return false;
    cmd->CurrentToken = Position;
    return Position >= 0 && Position < cmd->TokenCount();
}

bool TORQLexer::SeekToken(int32_t Position, TToken& Token) {
    SetTokenPosition(Position);
    return GetCurrentToken(Token);
}

void TORQLexer::AddCommand() {
    FCommands.emplace_back();
    FCurrentCommand = CommandCount() - 1;
}

void TORQLexer::AddToken(const TToken& Token) {
    if (!Current()) AddCommand();
    TSQLCommand* cmd = Current();
    cmd->Tokens.push_back(Token);
    cmd->CurrentToken = cmd->TokenCount() - 1;
}

bool TORQLexer::IsReservedWord(const TToken& Token, int32_t Code) {
    return Token.Kind == tktReservedWord && (Code == NoReservedWord || Token.ReservedWordCode == Code);
}

void TORQLexer::ErrorPosition(const TToken& Token, int32_t& Line, int32_t& Column) const {
    Line = Token.Line;
    Column = Token.Column;
    if (Token.Kind != tktNone) return;
    if (FCurrentCommand < 0 || FCurrentCommand >= CommandCount()) return;
    const TSQLCommand& c = Commands(FCurrentCommand);
    if (c.TokenCount() == 0) return;
    Line = c.Tokens.back().Line;
    Column = c.Tokens.back().Column;
}

}  // namespace orq
