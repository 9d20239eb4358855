// A stand-in for the SQL layer's parsed expression, shared by the foundation and storage
// tests: each test sets exactly the behaviour it leans on.
//
// - Default values: DefaultText (initially "NOW()") is the one text that parses and
//   counts as a default expression; every other text is a literal.
// - Conditions: the bound record buffer is judged by Predicate (without one: its first
//   byte is non-zero); GetValue answers Value, or nil when HasRoot is false.
// - Index scans: the AND tree is a list of nodes. A numbered node n serves column n % 10
//   of the index whose ObjectID is n / 10 (node 11 is column 1 of index 1).
// - Comparisons (Compare: field, operator 1 =, 2 <, 3 >, 4 <=, 5 >=, 6 <>, value) are
//   nodes too, analysed over the real definitions as the SQL layer does (the cursor
//   given to BindFields supplies the fields):
//   - CollectScanConditions offers each comparison of operators 1-5 to every index
//     whose first column is its field (ignoring case) and ascending: a derived key
//     condition (no Expression, the node listed) of one column, whose key is a record
//     buffer holding the value.
//   - CanUseIndex extends an equality condition by a comparison of the index's next
//     (ascending) column not yet listed; the condition takes that comparison's operator.
//   - Evaluation is the AND of the comparisons still in the tree (a Null field fails
//     each), so a node the scan detached is left to the index as in the real
//     expression; an expression without comparisons judges by Predicate as before.
// - FakeExpressionFactory installs a factory of fresh fakes for its lifetime.
#pragma once

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/foundation/ORQContainers.h"
#include "engine/foundation/ORQConvert.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/foundation/ORQExpressionSeam.h"
#include "engine/foundation/ORQVariant.h"
#include "engine/storage/ORQCursor.h"
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
        if (!Comparisons.empty()) {
            ++Evaluations;
            for (intptr_t n : Nodes)
                if (const Comparison* c = ComparisonOf(n); c != nullptr && !Holds(*c, RecordBuffer)) return false;
            return true;
        }
        return RecordBuffer != nullptr && RecordBuffer[0] != 0;
    }
    bool IsEmptyCondition() override { return Nodes.empty(); }

    void CollectScanConditions(const orq::TORQIndexDefs& IndexDefs, orq::TORQScanSearchConditionArray& Conditions,
                               bool) override {
        for (intptr_t n : Nodes) {
            if (const Comparison* cmp = ComparisonOf(n)) {
                if (cmp->Operator < orq::scoEqual || cmp->Operator > orq::scoGreaterOrEqual) continue;
                for (int32_t i = 0; i < IndexDefs.GetCount(); ++i) {
                    const orq::TORQIndexDef& d = *IndexDefs.GetItem(i);
                    if (d.GetColumnCount() == 0 || d.GetColumn(0).Descending != 0 ||
                        !SameField(d.GetColumn(0).FieldName, cmp->Field))
                        continue;
                    orq::TORQScanSearchCondition c;
                    c.IndexID = d.ObjectID;
                    c.FieldCount = 1;
                    c.Operator = cmp->Operator;
                    c.KeySize = BoundCursor->RecordIDBufferSize;
                    c.Key = BoundCursor->AllocRecordIDBuffer();
                    WriteValue(*cmp, c.Key);
                    c.Expressions.push_back(this);
                    c.Nodes.push_back(orq_test::AsNode(n));
                    Conditions.AddCondition(c);
                }
                continue;
            }
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
            if (const Comparison* cmp = ComparisonOf(n)) {
                if (Condition.Operator != orq::scoEqual || Condition.FieldCount >= IndexDef.GetColumnCount() ||
                    Condition.Key == nullptr || cmp->Operator < orq::scoEqual ||
                    cmp->Operator > orq::scoGreaterOrEqual ||
                    IndexDef.GetColumn(Condition.FieldCount).Descending != 0 ||
                    !SameField(IndexDef.GetColumn(Condition.FieldCount).FieldName, cmp->Field) ||
                    std::find(Condition.Nodes.begin(), Condition.Nodes.end(), AsNode(n)) != Condition.Nodes.end())
                    continue;
                WriteValue(*cmp, Condition.Key);
                Condition.Operator = cmp->Operator;
                ++Condition.FieldCount;
                Condition.Expressions.push_back(this);
                Condition.Nodes.push_back(AsNode(n));
                return true;
            }
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

    // A comparison node of the AND tree, returned for reference.
    struct Comparison {
        std::string Field;
        uint8_t Operator = orq::scoEqual;
        orq::TORQVariant Value;
    };
    intptr_t Compare(const std::string& Field, uint8_t Operator, int64_t Value) {
        auto c = std::make_unique<Comparison>();
        c->Field = Field;
        c->Operator = Operator;
        c->Value.SetAsLargeInt(Value);
        const auto node = reinterpret_cast<intptr_t>(c.get());
        Comparisons.push_back(std::move(c));
        Nodes.push_back(node);
        return node;
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
    std::vector<std::unique_ptr<Comparison>> Comparisons;
    int Evaluations = 0;  // comparison evaluations, one per record judged

private:
    static bool SameField(const std::string& A, const std::string& B) {
        return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char x, char y) {
                   return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
               });
    }
    const Comparison* ComparisonOf(intptr_t Node) const {
        for (const auto& c : Comparisons)
            if (reinterpret_cast<intptr_t>(c.get()) == Node) return c.get();
        return nullptr;
    }
    int32_t FieldNo(const Comparison& C) const {
        const int32_t n = BoundCursor != nullptr ? BoundCursor->FieldDefs.IndexOfName(C.Field) : -1;
        if (n < 0) throw std::logic_error("FakeExpression: unbound cursor or unknown field " + C.Field);
        return n;
    }
    void WriteValue(const Comparison& C, uint8_t* Record) const {
        orq::TORQVariant v;
        v.Assign(C.Value, true);
        BoundCursor->SetFieldValue(v, FieldNo(C), Record, true);
    }
    bool Holds(const Comparison& C, const uint8_t* Record) const {
        const int32_t n = FieldNo(C);
        if (Record == nullptr || orq::GetBit(Record, n)) return false;
        const orq::TORQFieldDef& f = *BoundCursor->FieldDefs.GetItem(n);
        const int32_t r = orq::CompareValueBuffers(Record + f.MemoryOffset, C.Value.Data(), f.BaseType,
                                                   C.Value.DataType(), false, false, -1, false);
        switch (C.Operator) {
            case orq::scoEqual: return r == orq::cmpEqual;
            case orq::scoLess: return r == orq::cmpLess;
            case orq::scoGreater: return r == orq::cmpGreater;
            case orq::scoLessOrEqual: return r != orq::cmpGreater;
            case orq::scoGreaterOrEqual: return r != orq::cmpLess;
            default: return r != orq::cmpEqual;
        }
    }
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
