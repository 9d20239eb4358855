// The query as a form keeps it: its "Data" and "ParamData" entries written and read back,
// with and without parameters, data and an ancestor; and the provider support it takes
// from the class library as it is.
#include "RelationalAlgebraFixture.h"

#include "classlib/Streaming.h"
#include "engine/access/ORQQuery.h"

using namespace ratest;
using namespace classlib;
using dstest::ekDisk;

namespace {

std::vector<uint8_t> Written(TORQQuery& Q, const TORQQuery* Ancestor = nullptr) {
    TMemoryStream S;
    TWriter W(S);
    W.Ancestor = Ancestor;
    W.WriteProperties(Q);
    return S.Data();
}

// Loads the entries into a new query that has Text, as a form's reader would.
std::unique_ptr<TORQQuery> ReadBack(const std::vector<uint8_t>& Bytes, const std::string& Text) {
    auto q = std::make_unique<TORQQuery>();
    q->BeginLoading();
    q->SQL().SetText(Text);
    TMemoryStream S;
    S.WriteBuffer(Bytes.data(), static_cast<int64_t>(Bytes.size()));
    S.SetPosition(0);
    TReader(S).ReadProperties(*q);
    q->EndLoading();
    return q;
}

bool HasEntry(const std::vector<uint8_t>& Bytes, const std::string& Name) {
    std::string entry(1, char(Name.size()));
    entry += Name;
    return std::string(Bytes.begin(), Bytes.end()).find(entry) != std::string::npos;
}

}  // namespace

TEST(QueryForm, DataAndParametersAreWrittenWhenThereAndReadBack) {
    const std::string text = "select * from log where station = :st and serial > :n";
    // Neither parameters nor data: no entry at all.
    TORQQuery plain;
    plain.SQL().SetText("select * from log");
    EXPECT_EQ(Written(plain), std::vector<uint8_t>{0});

    TORQQuery q;
    q.SQL().SetText(text);
    ASSERT_EQ(q.Params().Count(), 2);
    q.ParamByName("st")->SetAsString("NITON");
    const std::vector<uint8_t> paramsOnly = Written(q);
    EXPECT_TRUE(HasEntry(paramsOnly, "ParamData"));
    EXPECT_FALSE(HasEntry(paramsOnly, "Data"));
    auto back = ReadBack(paramsOnly, text);
    EXPECT_TRUE(back->Params().IsEqual(q.Params()));
    EXPECT_EQ(back->ParamByName("st")->AsString(), "NITON");
    EXPECT_FALSE(back->ParamByName("n")->Bound());
    EXPECT_TRUE(back->BinaryData.empty());

    q.BinaryData = {0, 1, 2, 0xFF};
    const std::vector<uint8_t> both = Written(q);
    back = ReadBack(both, text);
    EXPECT_EQ(back->BinaryData, q.BinaryData);
    EXPECT_TRUE(back->Params().IsEqual(q.Params()));
    EXPECT_EQ(back->Text(), q.Text());
}

TEST(QueryForm, ParametersEqualToTheAncestorsAreNotWritten) {
    const std::string text = "select * from log where b1 = :b1";
    TORQQuery ancestor, q;
    ancestor.SQL().SetText(text);
    q.SQL().SetText(text);
    ancestor.ParamByName("b1")->SetAsString("E");
    q.ParamByName("b1")->SetAsString("E");
    EXPECT_FALSE(HasEntry(Written(q, &ancestor), "ParamData"));
    q.ParamByName("b1")->SetAsString("S");
    EXPECT_TRUE(HasEntry(Written(q, &ancestor), "ParamData"));
    // An ancestor with parameters and a descendant with none: the empty list is written.
    TORQQuery none;
    none.SQL().SetText("select * from log");
    const std::vector<uint8_t> bytes = Written(none, &ancestor);
    EXPECT_TRUE(HasEntry(bytes, "ParamData"));
    auto back = ReadBack(bytes, text);
    EXPECT_EQ(back->Params().Count(), 0);
}

TEST(QueryForm, ProviderSupportKeepsTheClassLibrarysBehaviour) {
    TORQQuery q;
    std::vector<TPacketAttribute> attributes;
    q.PSGetAttributes(attributes);
    EXPECT_TRUE(attributes.empty());
    const EORQException failure = EORQException::CreateNative(20224, "Record locked by another user");
    auto first = q.PSGetUpdateException(failure, nullptr);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->Message(), failure.Message());
    EXPECT_EQ(first->OriginalMessage, failure.Message());
    EXPECT_EQ(first->ErrorCode, 0);
    first->ErrorCode = 7;
    auto second = q.PSGetUpdateException(classlib::EDatabaseError("Key violation"), first.get());
    EXPECT_EQ(second->Message(), "Key violation");
    EXPECT_EQ(second->PreviousError, 7);
    auto same = q.PSGetUpdateException(*second, nullptr);
    EXPECT_EQ(same->Message(), "Key violation");
    EXPECT_EQ(same->PreviousError, 7);
}
