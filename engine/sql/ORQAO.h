// TORQAO: the relational operator as expression nodes see it. A field reference bound to
// an operator reads the operator's current row instead of a record buffer; aggregates ask
// whether the operator groups. This is the start of the class: the operators themselves
// (scans, joins, grouping, materialisation) complete it and implement the look-up.
//
// TORQSelectListItem: one select-list entry (also an item of a field list: GROUP BY,
// USING and key lists). TORQFields: such a list.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orq {

class TORQVariant;
class TORQExpression;

// What an operator says about one of its fields.
struct TORQAOFieldDesc {
    std::string Name;      // the field's name as the operator reports it
    uint8_t DataType = 0;  // advanced field type
    uint8_t BaseType = 0;
    int32_t Size = 0;      // data size of a string field, else 0
    int32_t Extra = 0;     // the description's second attribute
};

class TORQAO {
public:
    virtual ~TORQAO() = default;

    // How many of the operator's fields FieldName (qualified by TableName when that is
    // not empty) matches; for at least one match FieldNo and Desc describe the first.
    virtual int32_t FindField(const std::string& FieldName, const std::string& TableName, uint8_t LookupFlag,
                              int32_t& FieldNo, TORQAOFieldDesc& Desc) = 0;
    // Field FieldNo of the current row; owned by the operator and valid until it moves.
    virtual TORQVariant& GetCurrentFieldValue(int32_t FieldNo) = 0;
    // True for the grouping operator, whose rows aggregates may be evaluated on.
    virtual bool IsGroupBy() const { return false; }

    // What pushing conditions down the operator tree asks: the inputs (nil when
    // absent), whether the operator is an outer join (conditions stay above it), and
    // taking a condition to apply to its own rows (the default refuses with 30339).
    virtual TORQAO* LeftInput() const { return nullptr; }
    virtual TORQAO* RightInput() const { return nullptr; }
    virtual bool IsOuterJoin() const { return false; }
    virtual void AddCondition(std::unique_ptr<TORQExpression> Condition);
};

struct TORQSelectListItem {
    std::string TableName;  // the qualifier of a plain field reference
    std::string FieldName;  // of a plain field reference; "*" for all fields of a table
    std::string Alias;
    bool IsExpression = false;  // computed (no plain field reference)
    bool AllFields = false;     // "t.*"
    bool IsDuplicate = false;   // a plain field repeating an earlier entry, so computed
    // The computed entry's expression; none for a plain field. Copies of the item share it.
    std::shared_ptr<TORQExpression> Expression;
};

class TORQFields {
public:
    int32_t Count() const { return static_cast<int32_t>(Items.size()); }
    void Add(const TORQSelectListItem& Item) { Items.push_back(Item); }
    std::vector<TORQSelectListItem> Items;
};

}  // namespace orq
