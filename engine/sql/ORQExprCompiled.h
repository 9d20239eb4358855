// TORQCompiledFilter: a condition compiled once per scan into steps on the record buffer,
// so that a filter, a WHERE or an ON condition answers each record without walking the
// node tree: comparisons of a field with a constant, LIKE of a text field with a constant
// pattern, IN of constants and IS [NOT] NULL of a field, joined by AND, OR and NOT.
//
// Rules it keeps:
// - Its answer is the evaluator's, always: a step compares through the same byte rules as
//   the comparison node (ORQExprInPlace.h), and whatever a step cannot answer on the bytes
//   (a value read through an operator or a CLOB stream, a type that changed since the
//   compilation, an empty text) is asked of the node it stands for. A node that does not
//   compile at all is one step that asks the node.
// - AND and OR stop where the evaluator stops, so a node with side effects (RAND, a
//   subquery) runs exactly as often as it would.
// - The steps refer to the tree's nodes and read the constants' values where they stand:
//   a parameter's new value is seen at once; a LIKE pattern is prepared again only when its
//   text differs from the last one. The tree must not change while the steps are in use
//   (the expression compiles again after every change).
// - Evaluating allocates nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/foundation/ORQDateLike.h"
#include "engine/sql/ORQExprInPlace.h"

namespace orq {

class TORQExprNode;
class TORQExprNodeField;
class TORQExprNodeConst;

class TORQCompiledFilter {
public:
    // Nil when nothing of the tree compiles (the tree itself is as quick).
    static std::unique_ptr<TORQCompiledFilter> Compile(TORQExprNode* Root);

    // The condition's truth for the bound record: 1 true, 0 false, -1 Null.
    int32_t Truth() { return Run(0); }
    // Gives the record buffer of a side straight to the field references when every node
    // of the tree is a step (then the tree holds nothing else that reads a buffer); false,
    // and nothing done, when the tree has to be walked.
    bool SetRecordBuffer(uint8_t* Buffer, uint8_t Side);

    TORQCompiledFilter(const TORQCompiledFilter&) = delete;
    TORQCompiledFilter& operator=(const TORQCompiledFilter&) = delete;
    ~TORQCompiledFilter();

private:
    TORQCompiledFilter() = default;

    enum TKind : uint8_t { skNode, skAnd, skOr, skNot, skCompare, skIn, skLike, skIsNull };
    struct TStep {
        TKind Kind = skNode;
        bool Negated = false;      // NOT IN, NOT LIKE, IS NOT NULL
        uint8_t InPlace = 0;       // a TORQInPlaceKind of a comparison
        uint8_t FieldType = 0;     // base types seen at compilation
        uint8_t ConstantType = 0;
        uint32_t Size = 1;         // steps of this subtree, itself included
        TORQExprNode* Node = nullptr;  // what the step stands for
        TORQExprNodeField* Field = nullptr;
        TORQExprNodeConst* Constant = nullptr;
        TORQInPlaceConstant Conversion;
        TORQLikePattern Pattern;
    };

    // Appends Node's steps; false when Node became a single node step.
    bool Add(TORQExprNode* Node);
    int32_t Run(size_t At);
    // A comparison step's code; false when the node has to answer.
    bool CompareStep(TStep& S, uint8_t Operator, bool IgnoreCase, bool PartialCompare, bool Raw, int32_t& Code);
    int32_t LikeStep(TStep& S);

    std::vector<TStep> FSteps;  // the tree in preorder
    std::vector<TORQExprNodeField*> FFields;  // every field reference of the steps, once
    bool FAllSteps = true;  // no node of the tree is asked as a whole
};

}  // namespace orq
