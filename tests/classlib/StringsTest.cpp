#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "classlib/Classes.h"

using namespace classlib;

namespace {

std::vector<std::string> Lines(const TStrings& s) {
    std::vector<std::string> v;
    for (int i = 0; i < s.Count(); ++i) v.push_back(s[i]);
    return v;
}

}  // namespace

TEST(StringList, TextReadsLfAndCrLfAndWritesCrLf) {
    struct Case { const char* text; std::vector<std::string> lines; } cases[] = {
        {"a\nb\n", {"a", "b"}},
        {"a\r\nb", {"a", "b"}},
        {"a\r\n\r\nb\r\n", {"a", "", "b"}},
        {"a\n\nb", {"a", "", "b"}},
        {"a\rb", {"a", "b"}},
        {"", {}},
        {"\r\n", {""}},
    };
    for (const auto& c : cases) {
        TStringList list;
        list.SetText(c.text);
        EXPECT_EQ(Lines(list), c.lines) << c.text;
    }
    TStringList list;
    list.Add("SELECT *");
    list.Add("FROM T");
    EXPECT_EQ(list.Text(), "SELECT *\r\nFROM T\r\n");
}

TEST(StringList, ABracketedBatchSendsOneChangeAtItsEnd) {
    TStringList list;
    int changes = 0;
    list.OnChange = [&](TPersistent*) { ++changes; };

    list.Add("a");
    list.Add("b");
    EXPECT_EQ(changes, 2);

    changes = 0;
    list.BeginUpdate();
    list.Add("c");
    list.BeginUpdate();
    list.Delete(0);
    list.Put(0, "B");
    list.EndUpdate();
    EXPECT_EQ(changes, 0);  // the inner end is not the end of the bracket
    list.EndUpdate();
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(Lines(list), (std::vector<std::string>{"B", "c"}));

    changes = 0;
    list.BeginUpdate();
    list.EndUpdate();
    EXPECT_EQ(changes, 0);  // nothing changed inside

    TStringList other;
    other.SetText("x\ny\nz");
    list.Assign(&other);
    EXPECT_EQ(changes, 1);
    list.SetText("p\r\nq");
    EXPECT_EQ(changes, 2);
}

TEST(StringList, ListOperations) {
    TStringList list;
    list.SetText("one\ntwo\nthree");
    EXPECT_EQ(list.IndexOf("TWO"), 1);
    EXPECT_EQ(list.IndexOf("four"), -1);
    list.Insert(0, "zero");
    list.Move(0, 3);
    list.Exchange(0, 1);
    EXPECT_EQ(Lines(list), (std::vector<std::string>{"two", "one", "three", "zero"}));
    EXPECT_THROW(list.Get(4), EStringListError);
    EXPECT_THROW(list.Insert(6, "x"), EStringListError);
    EXPECT_THROW(list.Delete(-1), EStringListError);
}

TEST(MemoryStream, ShortTransfersRaiseInTheCheckedForms) {
    TMemoryStream s;
    s.WriteBuffer("abcdef", 6);
    EXPECT_EQ(s.Size(), 6);
    s.SetPosition(4);
    char buf[4] = {};
    EXPECT_EQ(s.Read(buf, 4), 2);
    s.SetPosition(4);
    EXPECT_THROW(s.ReadBuffer(buf, 4), EReadError);
    EXPECT_EQ(s.Seek(-1, soBeginning), 6);  // refused: the position stays
    s.SetSize(2);
    EXPECT_EQ(s.Position(), 2);

    TMemoryStream copy;
    EXPECT_EQ(copy.CopyFrom(s, 0), 2);
    EXPECT_EQ(std::string(copy.Data().begin(), copy.Data().end()), "ab");
}
