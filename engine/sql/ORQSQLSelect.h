// The parsed form of a query: TORQSQLUnion holds a tree of TORQQueryExprNode whose
// leaves are TORQSQLSelect blocks; each SELECT holds its select list, its FROM list of
// TORQTableReference trees, its conditions, grouping and ORDER BY list. Everything is
// parsed before anything is opened.
//
// Rules kept here:
// - INTERSECT binds tighter than UNION, EXCEPT and MINUS; operators of one level
//   associate to the left.
// - An ORDER BY written after the last SELECT of a set operation orders the whole query
//   (it moves to the query when the query has none of its own); a query of one SELECT
//   takes over that SELECT's INTO target, and a set operation may hold no INTO (20272).
// - Joins separated by ON or USING fold to the left; joins written without either in
//   between nest to the right.
// - Every node owns its children, conditions and subqueries; a parse error frees what
//   was built.
// - Running (ORQSQLSelectExec.cpp): the statement owns the operator tree it built last,
//   and frees it before the parsed objects whose tables and database components the
//   tree reads (a table reference owns the database component made for its file).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/sql/ORQExpression.h"
#include "engine/sql/ORQSQLProcessor.h"

namespace orq {

class TORQSQLUnion;
class TORQDatabase;

struct TORQSortItem {
    std::string TableName;
    std::string FieldName;  // or a column position written as a decimal number
    bool Descending = false;
};

// A statement that yields a result cursor.
class TORQSQLCursorCommand : public TORQSQLCommand {
public:
    using TORQSQLCommand::TORQSQLCommand;
    ~TORQSQLCursorCommand() override;

    // Builds the tree, locks and opens the tables, lets the root fill its result and
    // copies it into an INTO table; ReadOnly receives whether the result may be edited.
    void Execute(TORQQuery* Query, bool ResultSet, TORQAO* OuterOperator, TORQCursor* OuterCursor, bool& ReadOnly,
                 bool RequestLive) override;
    TORQCursor* GetResultCursor() override;
    TORQTable* GetResultTable() override;
    // Whether the result can be the base table itself (valid after BuildOperatorTree).
    virtual bool CanBeLive() = 0;
    // The root of the query's operator tree; the caller owns it. Outside a subquery a
    // condition part that no operator takes raises.
    virtual std::unique_ptr<TORQAO> BuildOperatorTree(TORQQuery* Query, bool RequestLive, bool Subquery,
                                                      TORQAO* OuterOperator, TORQCursor* OuterCursor) = 0;
    // Hands the ORDER BY list to Operator (positions resolved; 30195, 20243).
    void ApplyOrderBy(TORQAO& Operator);
    TORQAO* Tree() const { return FTree.get(); }
    // Frees the tree built last.
    void FreeTree() { FTree.reset(); }
    // Conditions that no operator takes stay for the expression that runs the query.
    bool IsSubquery = false;
    // Whether the last BuildOperatorTree placed every condition part.
    bool ConditionsPlaced = true;

    bool IntoInMemory = false;
    std::string IntoDatabaseName;
    std::string IntoTableName;  // empty: no INTO
    bool IntoImmediate = false;
    std::vector<TORQSortItem> OrderBy;

protected:
    std::unique_ptr<TORQAO> FTree;

    // ORDER BY at the current token, when there; 30188, 30187, 30186, 30189.
    void ParseOrderBy();
    // A search condition from the current token with the select list's aliases resolved
    // (unless the list is a lone '*').
    std::unique_ptr<TORQExpression> ParseCondition(const std::vector<TORQSelectListItem>* Aliases);
};

enum TORQJoinType : uint8_t { jtCross = 0, jtInner = 1, jtLeft = 2, jtRight = 3, jtFull = 4 };
enum TORQTableReferenceKind : uint8_t { trkTable = 0, trkJoin = 1, trkDerived = 2 };

class TORQTableReference {
public:
    TORQTableReference();
    ~TORQTableReference();
    TORQTableReference(const TORQTableReference&) = delete;
    TORQTableReference& operator=(const TORQTableReference&) = delete;

    // This node's contents move into a new left child; this node becomes the join of
    // that child and Right.
    void MakeJoin(std::unique_ptr<TORQTableReference> Right, uint8_t JoinType,
                  std::unique_ptr<TORQExpression> OnCondition, std::vector<std::string> UsingList, bool Natural);
    // Kind derived, with a query parsed from the lexer's current token.
    void SetSubquery(TORQLexer& Lexer, TORQQuery* Query);

    uint8_t Kind = trkTable;
    std::string DatabaseFileName;
    std::string TableName;
    std::string Alias;
    std::string Password;
    bool InMemory = false;
    bool Natural = false;
    uint8_t JoinType = jtCross;
    std::unique_ptr<TORQTableReference> Left;
    std::unique_ptr<TORQTableReference> Right;
    std::vector<std::string> UsingList;
    std::unique_ptr<TORQExpression> OnCondition;
    std::unique_ptr<TORQSQLUnion> Subquery;
    // The database component made for a base table named with a database file.
    std::unique_ptr<TORQDatabase> Database;
};

// One SELECT block, parsed from the lexer's current token; the current token is left on
// the first token after it.
class TORQSQLSelect : public TORQSQLCursorCommand {
public:
    TORQSQLSelect(TORQLexer& Lexer, TORQQuery* Query);
    ~TORQSQLSelect() override;

    bool CanBeLive() override;
    std::unique_ptr<TORQAO> BuildOperatorTree(TORQQuery* Query, bool RequestLive, bool Subquery,
                                              TORQAO* OuterOperator, TORQCursor* OuterCursor) override;

    bool Distinct = false;
    int32_t TopCount = -1;
    int32_t TopStart = -1;
    std::vector<TORQSelectListItem> SelectList;
    bool SelectAll = false;
    std::vector<std::unique_ptr<TORQTableReference>> From;
    std::unique_ptr<TORQExpression> Where;
    TORQFields GroupBy;
    std::unique_ptr<TORQExpression> Having;
    bool NotLive = false;

private:
    void Parse();
    void ParseTop();
    void ParseSelectItem();
    void ParseInto();
    // One FROM entry with the joins that follow it; none when the token starts none.
    std::unique_ptr<TORQTableReference> ParseTableReference();
    std::unique_ptr<TORQTableReference> ParseBaseTable();
    int32_t ReadTopNumber(int32_t Code);

    // What every operator built for this SELECT is built with.
    struct TBuild {
        TORQQuery* Query;
        bool Subquery;
        TORQAO* OuterOperator;
        TORQCursor* OuterCursor;
    };
    std::unique_ptr<TORQAO> BuildReference(TORQTableReference& Reference, TBuild& B);
    // The FROM list's operator tree (ORQSQLJoinOrder.cpp): the join order is planned
    // over the entries; the tree's columns stay in the order of the list.
    std::unique_ptr<TORQAO> BuildFrom(TBuild& B);
};

// Whether comma-list joins are planned (true, the default) or built left-deep in the
// order of the FROM list, the plan the join-order tests compare against.
void SetJoinOrderPlanning(bool Planned);
bool JoinOrderPlanning();

enum TORQQueryExprKind : uint8_t { qekSelect = 0, qekUnion = 1, qekExcept = 2, qekIntersect = 3 };

class TORQQueryExprNode {
public:
    TORQQueryExprNode() = default;
    // All fields; the pointers are taken over from Other.
    TORQQueryExprNode(TORQQueryExprNode&& Other) = default;
    TORQQueryExprNode(const TORQQueryExprNode&) = delete;
    TORQQueryExprNode& operator=(const TORQQueryExprNode&) = delete;

    // This node's contents move into a new left node; this node becomes the operation.
    void MakeSetOperation(uint8_t Kind, std::unique_ptr<TORQQueryExprNode> Right, std::vector<std::string> ByList,
                          bool Corresponding, bool All);
    bool HasInto() const;
    bool CanBeLive() const;

    uint8_t Kind = qekSelect;
    std::unique_ptr<TORQQueryExprNode> Left;
    std::unique_ptr<TORQQueryExprNode> Right;
    bool All = false;
    bool Corresponding = false;
    std::vector<std::string> CorrespondingBy;
    std::unique_ptr<TORQSQLSelect> Select;
};

// A query expression, parsed from the lexer's current token (SELECT or '(').
class TORQSQLUnion : public TORQSQLCursorCommand {
public:
    TORQSQLUnion(TORQLexer& Lexer, TORQQuery* Query);
    ~TORQSQLUnion() override;

    bool CanBeLive() override;
    std::unique_ptr<TORQAO> BuildOperatorTree(TORQQuery* Query, bool RequestLive, bool Subquery,
                                              TORQAO* OuterOperator, TORQCursor* OuterCursor) override;

    std::unique_ptr<TORQQueryExprNode> Root;

private:
    std::unique_ptr<TORQQueryExprNode> ParseQueryExpression();
    std::unique_ptr<TORQQueryExprNode> ParseTerm();
    std::unique_ptr<TORQQueryExprNode> ParsePrimary();
    // [ALL] [CORRESPONDING [BY (list)]] after a set-operation word, then Next.
    template <typename F>
    void ParseSetOperation(std::unique_ptr<TORQQueryExprNode>& Tree, uint8_t Kind, F&& Next);
    std::unique_ptr<TORQAO> BuildNode(TORQQueryExprNode& Node, TORQQuery* Query, bool RequestLive, bool Subquery,
                                      TORQAO* OuterOperator, TORQCursor* OuterCursor);
};

// Installs the statement layer's subquery factory (the engine's start calls it).
void InstallSubqueryFactory();

}  // namespace orq
