// Built-in string, date and system function nodes of the expression tree.
//
// - String functions (||, UPPER, LOWER, the TRIM family, LENGTH, POS, SUBSTRING) read
//   their first argument as text (non-text values converted as CAST to VARCHAR does);
//   Null stays Null except where a function says otherwise (|| treats Null as empty
//   text, LENGTH and POS answer 0). Case mapping is the engine's fixed rule.
// - Date functions read the local clock afresh at every evaluation; TODATE and TOSTRING
//   own the picture they were built with.
// - ROWNUM counts its evaluations for the life of the node. LASTAUTOINC holds its table
//   open, read-only, from the node's building to its freeing, in the expression's
//   session and database.
#pragma once

#include <memory>
#include <string>

#include "engine/sql/ORQDateFormat.h"
#include "engine/sql/ORQExprNodes.h"

namespace orq {

class TORQExprNodeStringFunction : public TORQExprNode {
public:
    explicit TORQExprNodeStringFunction(uint8_t Operator) : TORQExprNode(Operator) {}
    TORQExprNodeStringFunction(uint8_t Operator, std::unique_ptr<TORQExprNode> Arg1,
                               std::unique_ptr<TORQExprNode> Arg2 = nullptr, std::unique_ptr<TORQExprNode> Arg3 = nullptr)
        : TORQExprNode(Operator, 1, 0, std::move(Arg1), std::move(Arg2), std::move(Arg3)) {}

    TORQVariant& GetValue() override;
    uint8_t GetDataType() override;
    int32_t GetDataSize() override;

private:
    // Value := child Index as text (plain unless it is wide text already); Null stays Null.
    void CopyAsText(int32_t Index, TORQVariant& Target);
};

// Date parts of EXTRACT.
enum : uint8_t { dpYear = 0, dpMonth = 1, dpDay = 2, dpHour = 3, dpMinute = 4, dpSecond = 5 };

class TORQExprNodeDateFunction : public TORQExprNode {
public:
    // CURRENT_TIMESTAMP, CURRENT_DATE, CURRENT_TIME.
    explicit TORQExprNodeDateFunction(uint8_t Operator) : TORQExprNode(Operator) {}
    // TODATE and TOSTRING.
    TORQExprNodeDateFunction(uint8_t Operator, const std::string& Picture, std::unique_ptr<TORQExprNode> Argument);
    // EXTRACT.
    TORQExprNodeDateFunction(uint8_t Operator, std::unique_ptr<TORQExprNode> Argument, uint8_t DatePart);

    TORQVariant& GetValue() override;
    uint8_t GetDataType() override;
    int32_t GetDataSize() override;

    std::unique_ptr<TDateFormater> Formatter;
    uint8_t DatePart = dpYear;
};

class TORQTable;

class TORQExprNodeSystem : public TORQExprNode {
public:
    // LASTAUTOINC opens its table here; 30337 for a field the table lacks.
    TORQExprNodeSystem(uint8_t Operator, uint8_t InMemory, std::string FieldName, std::string TableName,
                       const std::string& DatabaseName, const std::string& SessionName);
    ~TORQExprNodeSystem() override;

    TORQVariant& GetValue() override;
    uint8_t GetDataType() override;
    int32_t GetDataSize() override { return 0; }

    std::string TableName;
    std::string FieldName;
    uint8_t InMemory;
    uint8_t FieldType = 0;
    int32_t RowCounter = 0;
    std::unique_ptr<TORQTable> Table;  // LASTAUTOINC's, open
};

// The local date and time now, as a TDateTime.
classlib::TDateTime LocalNow();

}  // namespace orq
