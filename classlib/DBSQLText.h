// What the provider side of the dataset framework reads from an SQL text without parsing
// it: the single table a SELECT reads and the index its ORDER BY asks for.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "classlib/DBDefs.h"

namespace classlib {

class TDataSet;

// The table of "SELECT ... FROM name ..." when the FROM clause names exactly one table
// (no comma, join or subquery); empty otherwise. Quotes and brackets around the name
// are dropped.
std::string GetTableNameFromSQL(std::string_view SQL);
// An index definition for the text's ORDER BY (its fields ';'-separated, the DESC ones
// as its descending fields); nil when there is none or it sorts by position.
std::unique_ptr<TIndexDef> GetIndexForOrderBy(std::string_view SQL, TDataSet* DataSet);

}  // namespace classlib
