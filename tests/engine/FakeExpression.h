// A stand-in for the SQL layer's parsed expression, shared by the foundation and storage
// tests: each test sets exactly the behaviour it leans on.
//
// - Default values: DefaultText (initially "NOW()") is the one text that parses and
//   counts as a default expression; every other text is a literal.
// - Conditions: the bound record buffer is judged by Predicate (without one: its first
//   byte is non-zero); GetValue answers Value, or nil when HasRoot is false.
// - Index scans: the AND tree is a list of node numbers; node n serves column n % 10 of
//   the index whose ObjectID is n / 10 (node 11 is column 1 of index 1).
// - FakeExpressionFactory installs a factory of fresh fakes for its lifetime.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/foundation/ORQContainers.h"
#include "engine/foundation/ORQExpressionSeam.h"
#include "engine/foundation/ORQVariant.h"
#include "engine/storage/ORQDefinitions.h"

namespace orq_test {

inline orq::TORQExprNode* AsNode(intptr_t n) { return reinterpret_cast<orq::TORQExprNode*>(n); }

class FakeExpression : public orq::TORQBaseExpression {
public:
    explicit FakeExpression(std::vector<intptr_t> nodes = {}) : Nodes(std::move(nodes)) {}

    bool TryParseValueExpression(const std::string& Text) override {
        Parsed = Text;
        return Text == DefaultText;
    }
    bool IsDefaultValueExpression(const orq::TORQVariant& V) override {
        ++DefaultQuestions;
        return !V.IsNull() && V.IsString() && V.GetAsString() == DefaultText;
    }
    void BindFields(orq::TORQCursor* Cursor, orq::TORQAO*, orq::TORQCursor*) override { BoundCursor = Cursor; }
    void SetRecordBuffer(uint8_t* Buffer, uint8_t Side) override {
        RecordBuffer = Buffer;
        BufferSide = Side;
    }
    orq::TORQVariant* GetValue(bool) override { return HasRoot ? &Value : nullptr; }
    bool GetBooleanValue() override {
        if (Predicate) return Predicate(RecordBuffer);
        return RecordBuffer != nullptr && RecordBuffer[0] != 0;
    }
    bool IsEmptyCondition() override { return Nodes.empty(); }

    void CollectScanConditions(const orq::TORQIndexDefs& IndexDefs, orq::TORQScanSearchConditionArray& Conditions,
                               bool) override {
        for (intptr_t n : Nodes) {
            for (int32_t i = 0; i < IndexDefs.GetCount(); ++i) {
                if (n / 10 != IndexDefs.GetItem(i)->ObjectID || n % 10 != 0) continue;
                orq::TORQScanSearchCondition c;
                c.IndexID = IndexDefs.GetItem(i)->ObjectID;
                c.FieldCount = 1;
                c.Operator = orq::scoEqual;
                c.Expressions.push_back(this);
                c.Nodes.push_back(AsNode(n));
                Conditions.AddCondition(c);
            }
        }
    }
    bool CanUseIndex(orq::TORQScanSearchCondition& Condition, const orq::TORQIndexDef& IndexDef) override {
        for (intptr_t n : Nodes) {
            if (n / 10 == IndexDef.ObjectID && n % 10 == Condition.FieldCount) {
                ++Condition.FieldCount;
                Condition.Expressions.push_back(this);
                Condition.Nodes.push_back(AsNode(n));
                return true;
            }
        }
        return false;
    }
    void RemoveScanConditionNodes(orq::TORQScanSearchConditionArray& Conditions, int32_t A, int32_t B) override {
        for (int32_t i : {A, B}) {
            if (i < 0 || i >= Conditions.Count()) continue;
            const auto& c = Conditions.Items(i);
            for (std::size_t k = 0; k < c.Expressions.size(); ++k)
                if (c.Expressions[k] == this) std::erase(Nodes, reinterpret_cast<intptr_t>(c.Nodes[k]));
        }
    }
    void AppendNode(orq::TORQExprNode* Node) override { Nodes.push_back(reinterpret_cast<intptr_t>(Node)); }
    const orq::TORQIndexDef* FindIndexDef(const orq::TORQIndexDefs& IndexDefs, int32_t IndexID,
                                          int32_t& ColumnCount) override {
        const int32_t i = IndexDefs.IndexOfID(IndexID);
        if (i < 0) return nullptr;
        ColumnCount = IndexDefs.GetItem(i)->GetColumnCount();
        return IndexDefs.GetItem(i);
    }

    std::string DefaultText = "NOW()";
    std::string Parsed;
    int DefaultQuestions = 0;
    orq::TORQCursor* BoundCursor = nullptr;
    uint8_t* RecordBuffer = nullptr;
    uint8_t BufferSide = 0;
    std::function<bool(const uint8_t*)> Predicate;
    bool HasRoot = true;
    orq::TORQVariant Value;
    std::vector<intptr_t> Nodes;
};

// Installs a factory of FakeExpressions while it lives; Made counts the expressions made.
class FakeExpressionFactory {
public:
    FakeExpressionFactory() {
        orq::SetExpressionFactory([this] {
            ++Made;
            return std::make_unique<FakeExpression>();
        });
    }
    ~FakeExpressionFactory() { orq::SetExpressionFactory(nullptr); }
    FakeExpressionFactory(const FakeExpressionFactory&) = delete;
    FakeExpressionFactory& operator=(const FakeExpressionFactory&) = delete;

    int Made = 0;
};

}  // namespace orq_test
