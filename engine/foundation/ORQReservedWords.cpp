#include "engine/foundation/ORQReservedWords.h"

#include <array>

#include "engine/foundation/ORQCollation.h"

namespace orq {

const std::string_view ReservedWords[ReservedWordCount] = {
    /*   0 */ "ABSOLUTE", "ACTION", "ADD", "ALL", "ALLOCATE", "ALTER", "AND", "ANY",
    /*   8 */ "ARE", "AS", "ASC", "ASSERTION", "AT", "AUTHORIZATION", "AVG", "BEGIN",
    /*  16 */ "BETWEEN", "BIT", "BIT_LENGTH", "BOTH", "BY", "CASCADE", "CASCADED", "CASE",
    /*  24 */ "CAST", "CATALOG", "CHAR", "CHARACTER", "CHAR_LENGTH", "CHARACTER_LENGTH", "CHECK", "CLOSE",
    /*  32 */ "COALESCE", "COLLATE", "COLLATION", "COLUMN", "COMMIT", "CONNECT", "CONNECTION", "CONSTRAINT",
    /*  40 */ "CONSTRAINTS", "CONTINUE", "CONVERT", "CORRESPONDING", "COUNT", "CREATE", "CROSS", "CURRENT",
    /*  48 */ "CURRENT_DATE", "CURRENT_TIME", "CURRENT_TIMESTAMP", "CURRENT_USER", "CURSOR", "DATE", "DAY", "DEALLOCATE",
    /*  56 */ "DEC", "DECIMAL", "DECLARE", "DEFAULT", "DEFERRABLE", "DEFERRED", "DELETE", "DESC",
    /*  64 */ "DESCRIBE", "DESCRIPTOR", "DIAGNOSTICS", "DISCONNECT", "DISTINCT", "DOMAIN", "DOUBLE", "DROP",
    /*  72 */ "ELSE", "END", "END-EXEC", "ESCAPE", "EXCEPT", "EXCEPTION", "EXEC", "EXECUTE",
    /*  80 */ "EXISTS", "EXTERNAL", "EXTRACT", "FALSE", "FETCH", "FIRST", "FLOAT", "FOR",
    /*  88 */ "FOREIGN", "FOUND", "FROM", "FULL", "GET", "GLOBAL", "GO", "GOTO",
    /*  96 */ "GRANT", "GROUP", "HAVING", "HOUR", "IDENTITY", "IMMEDIATE", "IN", "INDICATOR",
    /* 104 */ "INITIALLY", "INNER", "INPUT", "INSENSITIVE", "INSERT", "INT", "INTEGER", "INTERSECT",
    /* 112 */ "INTERVAL", "INTO", "IS", "ISOLATION", "JOIN", "KEY", "LANGUAGE", "LAST",
    /* 120 */ "LEADING", "LEFT", "LEVEL", "LIKE", "LOCAL", "LOWER", "MATCH", "MAX",
    /* 128 */ "MEMORY", "MIN", "MINUS", "MINUTE", "MODULE", "MONTH", "NAMES", "NATIONAL",
    /* 136 */ "NATURAL", "NCHAR", "NEXT", "NO", "NOT", "NULL", "NULLIF", "NUMERIC",
    /* 144 */ "OCTET_LENGTH", "OF", "ON", "ONLY", "OPEN", "OPTION", "OR", "ORDER",
    /* 152 */ "OUTER", "OUTPUT", "OVERLAPS", "PAD", "PARTIAL", "POSITION", "PRECISION", "PREPARE",
    /* 160 */ "PRESERVE", "PRIMARY", "PRIOR", "PRIVILEGES", "PROCEDURE", "PUBLIC", "READ", "REAL",
    /* 168 */ "REFERENCES", "RELATIVE", "RESTRICT", "REVOKE", "RIGHT", "ROLLBACK", "ROWS", "SCHEMA",
    /* 176 */ "SCROLL", "SECOND", "SECTION", "SELECT", "SESSION", "SESSION_USER", "SET", "SIZE",
    /* 184 */ "SMALLINT", "SOME", "SPACE", "SQL", "SQLCODE", "SQLERROR", "SQLSTATE", "SUBSTRING",
    /* 192 */ "SUM", "SYSTEM_USER", "TABLE", "TEMPORARY", "THEN", "TIME", "TIMESTAMP", "TIMEZONE_HOUR",
    /* 200 */ "TIMEZONE_MINUTE", "TO", "TOP", "TRAILING", "TRANSACTION", "TRANSLATE", "TRANSLATION", "TRIM",
    /* 208 */ "TRUE", "UNION", "UNIQUE", "UNKNOWN", "UPDATE", "UPPER", "USAGE", "USER",
    /* 216 */ "USING", "VALUE", "VALUES", "VARCHAR", "VARYING", "VIEW", "WHEN", "WHENEVER",
    /* 224 */ "WHERE", "WITH", "WORK", "WRITE", "YEAR", "ZONE", "PASSWORD", "BLOBBLOCKSIZE",
    /* 232 */ "BLOBCOMPRESSIONMODE", "BLOBCOMPRESSIONALGORITHM", "LASTAUTOINC", "MODIFY", "NEW", "INDEX", "NOCASE", "LTRIM",
    /* 240 */ "RTRIM", "POS", "LENGTH", "SYSDATE", "NOW", "TODATE", "TOSTRING", "AUTOINDEXES",
    /* 248 */ "NOAUTOINDEXES", "INCREMENT", "LASTVALUE", "MAXVALUE", "MINVALUE", "CYCLED", "NOMAXVALUE", "NOMINVALUE",
    /* 256 */ "NOCYCLED", "INITIALVALUE", "STARTVALUE", "RENAME", "START", "FLUSH", "AUTOINC", "MIMETOBIN",
    /* 264 */ "ROWNUM", "IF", "TRUNCATE", "ABS", "ACOS", "ASIN", "ATAN", "CEIL",
    /* 272 */ "COS", "EXP", "FLOOR", "LOG", "POWER", "RAND", "ROUND", "SIGN",
    /* 280 */ "SIN", "SQR", "SQRT", "HALFEVEN", "HALFPOS", "HALFNEG", "HALFDOWN", "HALFUP",
    /* 288 */ "RNDNEG", "RNDPOS", "RNDDOWN", "RNDUP",
};

namespace {

constexpr size_t kLongestWord = 24;  // BLOBCOMPRESSIONALGORITHM
constexpr size_t kSlots = 1024;      // a power of two, under a third full

uint32_t HashWord(const char* s, size_t n) {
    uint32_t h = 2166136261u;  // FNV-1a
    for (size_t k = 0; k < n; ++k) h = (h ^ static_cast<uint8_t>(s[k])) * 16777619u;
    return h;
}

// Open addressing over the word indexes, filled in index order so that a word already
// present keeps its first index: the same answer as a front-to-back search.
struct WordTable {
    std::array<int16_t, kSlots> slot;
    WordTable() {
        slot.fill(-1);
        for (int16_t i = 0; i < ReservedWordCount; ++i) {
            const std::string_view w = ReservedWords[i];
            size_t at = HashWord(w.data(), w.size()) & (kSlots - 1);
            while (slot[at] >= 0 && ReservedWords[slot[at]] != w) at = (at + 1) & (kSlots - 1);
            if (slot[at] < 0) slot[at] = i;
        }
    }
};

const WordTable& TheWordTable() {
    static const WordTable t;
    return t;
}

}  // namespace

int32_t FindReservedWord(std::string_view Text) {
    if (Text.empty() || Text.size() > kLongestWord) return -1;
    char upper[kLongestWord];
    for (size_t k = 0; k < Text.size(); ++k) upper[k] = AnsiUpperChar(Text[k]);
    const std::string_view u(upper, Text.size());
    const WordTable& t = TheWordTable();
    for (size_t at = HashWord(upper, u.size()) & (kSlots - 1); t.slot[at] >= 0; at = (at + 1) & (kSlots - 1))
        if (ReservedWords[t.slot[at]] == u) return t.slot[at];
    return -1;
}

}  // namespace orq
