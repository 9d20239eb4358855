// TORQBaseExpression: what the foundation and storage layers need of a parsed SQL
// expression, as an interface. The SQL layer's TORQExpression implements it; the layers
// below only ever hold TORQBaseExpression pointers and never include the SQL layer, so
// the engine's layers keep calling downward at link time.
//
// The types named here but not defined belong to the layers above (storage: cursor and
// index definitions; SQL: expression nodes and relational operators; the value type).
// Storage makes expressions (a field's default expression) through the factory that
// the engine's start-up installs; before that, CreateExpression raises 20007.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace orq {

class TORQCursor;
class TORQIndexDef;
class TORQIndexDefs;
class TORQExprNode;
class TORQAO;
class TORQVariant;
class TORQScanSearchCondition;
class TORQScanSearchConditionArray;

class TORQBaseExpression {
public:
    virtual ~TORQBaseExpression() = default;

    // Parses Text as one value expression into this object; false (never an error)
    // when it does not parse or something is left over.
    virtual bool TryParseValueExpression(const std::string& Text) = 0;
    // True when Value is a non-Null text that parses as a value expression without
    // field references and evaluates to something other than the text itself (NOW,
    // 1+1), rather than a literal default.
    virtual bool IsDefaultValueExpression(const TORQVariant& Value) = 0;

    // Binds the field references to Cursor (then Operator, SecondCursor for outer
    // references) and prepares the tree; nothing without a tree.
    virtual void BindFields(TORQCursor* Cursor, TORQAO* Operator, TORQCursor* SecondCursor) = 0;
    // Field references of row side Side (0 the scanned row, 1 the outer row) read their
    // values from Buffer from now on.
    virtual void SetRecordBuffer(uint8_t* Buffer, uint8_t Side) = 0;

    // Evaluates the root; the value belongs to the expression and is overwritten by the
    // next evaluation. Without KeepNull a Null result reads as false. nil without a root.
    virtual TORQVariant* GetValue(bool KeepNull) = 0;
    // GetValue(false) as a Boolean; 30110 without a root.
    virtual bool GetBooleanValue() = 0;
    // No root, or a logical root without children: a condition that filters nothing.
    virtual bool IsEmptyCondition() = 0;

    // Index-scan analysis. Adds to Conditions a condition for every comparison or
    // IS [NOT] NULL node of the root's AND tree that an index of IndexDefs can serve.
    virtual void CollectScanConditions(const TORQIndexDefs& IndexDefs, TORQScanSearchConditionArray& Conditions,
                                       bool RestrictValue) = 0;
    // Extends Condition by IndexDef's next key column when some node of the AND tree can
    // serve it, and answers whether it did.
    virtual bool CanUseIndex(TORQScanSearchCondition& Condition, const TORQIndexDef& IndexDef) = 0;
    // Detaches from the AND tree (without freeing) every node that conditions A and B of
    // Conditions registered for this expression; the root itself may go.
    virtual void RemoveScanConditionNodes(TORQScanSearchConditionArray& Conditions, int32_t A, int32_t B) = 0;
    // Appends Node to the root's children, or makes it the root when there is none.
    virtual void AppendNode(TORQExprNode* Node) = 0;

    // The definition with object id IndexID in IndexDefs and its column count, or nil:
    // the scan-condition array extends conditions with it and cannot read storage's
    // definitions itself.
    virtual const TORQIndexDef* FindIndexDef(const TORQIndexDefs& IndexDefs, int32_t IndexID,
                                             int32_t& ColumnCount) = 0;
};

using TORQExpressionFactory = std::function<std::unique_ptr<TORQBaseExpression>()>;

// Installed once by the engine's start-up (the SQL layer's factory); an empty factory
// uninstalls it.
void SetExpressionFactory(TORQExpressionFactory Factory);
// Whether a factory is installed: storage asks before it lets the SQL layer judge a
// default, so definitions load before that layer exists.
bool HasExpressionFactory();
// A new empty expression; 20007 "Database Engine is not initialized" without a factory.
std::unique_ptr<TORQBaseExpression> CreateExpression();
// TORQBaseExpression::IsDefaultValueExpression on a fresh expression.
bool IsDefaultValueExpression(const TORQVariant& Value);

}  // namespace orq
