// Test helpers for expression nodes: constant and node builders, a reader of boolean
// results with Null, and a small relational-operator double whose current row the
// tests set.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/foundation/ORQConvert.h"
#include "engine/foundation/ORQVariant.h"
#include "engine/sql/ORQAO.h"
#include "engine/sql/ORQExprNodes.h"
#include "engine/storage/ORQCursor.h"

namespace exprtest {

using namespace orq;

using Maybe = std::optional<bool>;

inline std::unique_ptr<TORQExprNodeConst> Int(int32_t v) {
    auto n = std::make_unique<TORQExprNodeConst>();
    n->Value.SetAsInteger(v);
    return n;
}
inline std::unique_ptr<TORQExprNodeConst> Large(int64_t v) {
    auto n = std::make_unique<TORQExprNodeConst>();
    n->Value.SetAsLargeInt(v);
    return n;
}
inline std::unique_ptr<TORQExprNodeConst> Dbl(double v) {
    auto n = std::make_unique<TORQExprNodeConst>();
    n->Value.SetAsDouble(v);
    return n;
}
inline std::unique_ptr<TORQExprNodeConst> Str(const std::string& v) {
    auto n = std::make_unique<TORQExprNodeConst>();
    n->Value.SetAsString(v);
    return n;
}
inline std::unique_ptr<TORQExprNodeConst> Wide(const std::u16string& v) {
    auto n = std::make_unique<TORQExprNodeConst>();
    n->Value.SetAsWideString(v);
    return n;
}
inline std::unique_ptr<TORQExprNodeConst> Null(uint8_t type = bdtInteger) {
    auto n = std::make_unique<TORQExprNodeConst>();
    n->Value.Clear(type);
    return n;
}
inline std::unique_ptr<TORQExprNodeConst> Bool(bool v) {
    auto n = std::make_unique<TORQExprNodeConst>();
    n->Value.SetAsBoolean(v);
    return n;
}
inline std::unique_ptr<TORQExprNodeConst> NullBool() { return Null(bdtBoolean); }

inline TORQExprNodePtr Cmp(uint8_t op, TORQExprNodePtr l, TORQExprNodePtr r, bool raw = true, bool ignoreCase = false) {
    return std::make_unique<TORQExprNodeComparison>(op, ignoreCase ? 1 : 0, 0, std::move(l), std::move(r),
                                                    raw ? 1 : 0);
}

inline TORQExprNodePtr Logic(uint8_t op, std::vector<TORQExprNodePtr> children, uint8_t ignoreCase = 1) {
    auto n = std::make_unique<TORQExprNodeBoolean>(op, ignoreCase, 0);
    for (auto& c : children) n->AddChild(std::move(c));
    return n;
}

template <typename... T>
std::vector<TORQExprNodePtr> List(T&&... nodes) {
    std::vector<TORQExprNodePtr> v;
    (v.push_back(std::forward<T>(nodes)), ...);
    return v;
}

inline TORQExprNodePtr Arith(uint8_t op, TORQExprNodePtr a, TORQExprNodePtr b = nullptr,
                             TORQExprNodePtr c = nullptr) {
    return std::make_unique<TORQExprNodeArithmetic>(op, std::move(a), std::move(b), std::move(c));
}

// A boolean result: nullopt for Null.
inline std::optional<bool> Truth(TORQExprNode& n) {
    TORQVariant& v = n.GetValue();
    if (v.IsNull()) return std::nullopt;
    EXPECT_EQ(v.DataType(), bdtBoolean);
    return v.GetAsBoolean();
}

inline std::string Text(const TORQVariant& v) {
    if (v.IsNull()) return "<null>";
    if (v.IsWideString()) {
        std::string s;
        for (char16_t c : v.GetAsWideString()) s += c < 128 ? static_cast<char>(c) : '?';
        return s;
    }
    TORQVariant copy;
    copy.Assign(v, true);
    if (!copy.IsString()) copy.CastTo(bdtVarChar);
    return copy.GetAsString();
}

// A relational operator with named fields and a current row the test sets.
class TestAO : public TORQAO {
public:
    struct Field {
        std::string Table;
        std::string Name;
        uint8_t DataType;
        int32_t Size;
    };
    explicit TestAO(std::vector<Field> fields, bool groups = false) : Fields(std::move(fields)), Groups(groups) {
        for (std::size_t i = 0; i < Fields.size(); ++i) Row.push_back(std::make_unique<TORQVariant>());
    }
    int32_t FindField(const std::string& FieldName, const std::string& TableName, uint8_t, int32_t& FieldNo,
                      TORQAOFieldDesc& Desc) override {
        int32_t matches = 0;
        for (std::size_t i = 0; i < Fields.size(); ++i) {
            const Field& f = Fields[i];
            if (f.Name != FieldName || (!TableName.empty() && f.Table != TableName)) continue;
            if (matches++ == 0) {
                FieldNo = static_cast<int32_t>(i);
                Desc.Name = f.Table + "." + f.Name;
                Desc.DataType = f.DataType;
                Desc.BaseType = AdvancedToBaseFieldType(f.DataType);
                Desc.Size = f.Size;
            }
        }
        ++Lookups;
        return matches;
    }
    TORQVariant& GetCurrentFieldValue(int32_t FieldNo) override { return *Row.at(static_cast<std::size_t>(FieldNo)); }
    bool IsGroupBy() const override { return Groups; }

    TORQVariant& At(int32_t i) { return *Row.at(static_cast<std::size_t>(i)); }

    std::vector<Field> Fields;
    std::vector<std::unique_ptr<TORQVariant>> Row;
    bool Groups;
    int32_t Lookups = 0;
};

inline std::unique_ptr<TORQExprNodeField> FieldRef(const std::string& name, const std::string& table = "") {
    return std::make_unique<TORQExprNodeField>(nullptr, table, name);
}

// A cursor over a fixed layout, with record buffers of its own making.
class LayoutCursor : public TORQCursor {
public:
    struct Column {
        const char* name;
        uint8_t type;
        int32_t size;
    };
    explicit LayoutCursor(const std::vector<Column>& columns) {
        for (const Column& c : columns) {
            TORQFieldDef* f = FieldDefs.Add();
            f->Name = c.name;
            f->SetDataType(c.type, c.size);
        }
        FieldDefs.CalculateOffsets();
        CalculateRecordSizes();
        CurrentRecord = NewBuffer();
    }
    ~LayoutCursor() override {
        for (uint8_t*& b : Buffers) FreeRecordBuffer(b);
    }
    uint8_t* NewBuffer() {
        Buffers.push_back(AllocRecordBuffer());
        return Buffers.back();
    }
    // Field FieldNo of Record: Setter's value, or Null without one.
    void Set(uint8_t* Record, int32_t FieldNo, const std::function<void(TORQVariant&)>& Setter) {
        TORQVariant v;
        if (Setter) Setter(v);
        else v.Clear(FieldDefs.GetItem(FieldNo)->BaseType);
        SetBit(Record, FieldNo, false);
        SetFieldValue(v, FieldNo, Record, true);
    }
    std::vector<uint8_t*> Buffers;
};

}  // namespace exprtest
