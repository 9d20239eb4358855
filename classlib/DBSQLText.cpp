#include "classlib/DBSQLText.h"

#include <cctype>
#include <vector>

namespace classlib {

namespace {

// Words and punctuation outside quoted text; quoted names keep their content.
std::vector<std::string> Words(std::string_view SQL) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < SQL.size()) {
        const char c = SQL[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '"' || c == '`' || c == '[' || c == '\'') {
            const char close = c == '[' ? ']' : c;
            const std::size_t end = SQL.find(close, i + 1);
            const std::size_t stop = end == std::string_view::npos ? SQL.size() : end;
            // A single-quoted text is a value, never a name: it keeps its quote.
            out.emplace_back((c == '\'' ? std::string("'") : std::string()) + std::string(SQL.substr(i + 1, stop - i - 1)));
            i = stop + 1;
        } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == ':') {
            std::size_t j = i;
            while (j < SQL.size() && (std::isalnum(static_cast<unsigned char>(SQL[j])) || SQL[j] == '_' ||
                                      SQL[j] == '.' || SQL[j] == ':'))
                ++j;
            out.emplace_back(SQL.substr(i, j - i));
            i = j;
        } else {
            out.emplace_back(1, c);
            ++i;
        }
    }
    return out;
}

std::string Upper(const std::string& S) {
    std::string u = S;
    for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

bool IsClauseWord(const std::string& U) {
    return U == "WHERE" || U == "GROUP" || U == "HAVING" || U == "ORDER" || U == "UNION" || U == "EXCEPT" ||
           U == "INTERSECT" || U == "MINUS" || U == ";";
}

}  // namespace

std::string GetTableNameFromSQL(std::string_view SQL) {
    const std::vector<std::string> w = Words(SQL);
    if (w.empty() || Upper(w[0]) != "SELECT") return {};
    std::size_t from = 0;
    int depth = 0;
    for (std::size_t i = 0; i < w.size(); ++i) {
        if (w[i] == "(") ++depth;
        else if (w[i] == ")") --depth;
        else if (depth == 0 && Upper(w[i]) == "FROM") {
            from = i;
            break;
        }
    }
    if (from == 0 || from + 1 >= w.size()) return {};
    const std::string& name = w[from + 1];
    if (name == "(" || name.empty() || name[0] == '\'') return {};
    // An alias may follow; anything else but the next clause makes it more than one table.
    std::size_t k = from + 2;
    if (k < w.size() && Upper(w[k]) == "AS") ++k;
    if (k < w.size() && !IsClauseWord(Upper(w[k])) && w[k] != "," && Upper(w[k]) != "JOIN") ++k;
    if (k < w.size() && !IsClauseWord(Upper(w[k]))) return {};
    return name;
}

std::unique_ptr<TIndexDef> GetIndexForOrderBy(std::string_view SQL, TDataSet* DataSet) {
    (void)DataSet;
    const std::vector<std::string> w = Words(SQL);
    std::size_t at = w.size();
    int depth = 0;
    for (std::size_t i = 0; i + 1 < w.size(); ++i) {
        if (w[i] == "(") ++depth;
        else if (w[i] == ")") --depth;
        else if (depth == 0 && Upper(w[i]) == "ORDER" && Upper(w[i + 1]) == "BY") at = i + 2;
    }
    if (at >= w.size()) return nullptr;
    std::string fields, desc;
    for (std::size_t i = at; i < w.size() && w[i] != ";"; ++i) {
        if (w[i] == ",") continue;
        const std::string u = Upper(w[i]);
        if (u == "ASC") continue;
        if (u == "DESC") continue;
        if (std::isdigit(static_cast<unsigned char>(w[i][0]))) return nullptr;
        std::string name = w[i];
        const std::size_t dot = name.rfind('.');
        if (dot != std::string::npos) name = name.substr(dot + 1);
        if (!fields.empty()) fields += ';';
        fields += name;
        if (i + 1 < w.size() && Upper(w[i + 1]) == "DESC") {
            if (!desc.empty()) desc += ';';
            desc += name;
        }
    }
    if (fields.empty()) return nullptr;
    auto def = std::make_unique<TIndexDef>(nullptr, "", fields, 0);
    def->SetDescFields(desc);
    return def;
}

}  // namespace classlib
