// TCollection/TCollectionItem and TStringList.
#include <gtest/gtest.h>

#include "platform/rtl/Collection.h"
#include "platform/rtl/StringList.h"

namespace zelk::rtl {
namespace {

class TLine : public TCollectionItem {
 public:
  explicit TLine(TCollection* C) : TCollectionItem(C) {}
  std::string Text;
  void Assign(TPersistent* Source) override {
    if (auto* L = dynamic_cast<TLine*>(Source)) Text = L->Text;
  }
  std::string GetDisplayName() const override {
    return Text.empty() ? "Line " + std::to_string(Index()) : Text;
  }
};

class TLines : public TOwnedCollectionOf<TLine> {
 public:
  int Updates = 0;
  void Update(TCollectionItem* Item) override {
    ++Updates;
    TOwnedCollectionOf::Update(Item);
  }
};

TEST(Collection, AddInsertDeleteAndIndexes) {
  TLines L;
  L.Add()->Text = "a";
  L.Add()->Text = "c";
  L.Insert(1)->Text = "b";
  ASSERT_EQ(L.Count(), 3);
  EXPECT_EQ(L.Items(1)->Text, "b");
  EXPECT_EQ(L.Items(2)->Index(), 2);
  L.Delete(0);
  EXPECT_EQ(L.Items(0)->Text, "b");
  EXPECT_EQ(L.Items(1)->Index(), 1);
  EXPECT_THROW(L.Items(2), EListError);
  EXPECT_THROW(L.Items(-1), EListError);
  EXPECT_THROW(L.Delete(5), EListError);
  EXPECT_THROW(L.Insert(9), EListError);
}

TEST(Collection, DisplayNamesFollowPositions) {
  TLines L;
  L.Add();
  L.Add();
  L.Add();
  EXPECT_EQ(L.Items(2)->DisplayName(), "Line 2");
  L.Delete(0);
  EXPECT_EQ(L.Items(1)->DisplayName(), "Line 1");
}

TEST(Collection, ItemsWriteCopiesThroughAssign) {
  TLines L;
  L.Add()->Text = "x";
  TLines Other;
  TLine* Source = Other.Add();
  Source->Text = "y";
  L.SetItems(0, Source);
  EXPECT_EQ(L.Items(0)->Text, "y");
  EXPECT_NE(L.Items(0), Source);  // a copy, not the object
  EXPECT_THROW(L.SetItems(3, Source), EListError);
}

TEST(Collection, DeletingAnItemDirectlyRemovesItAndChangesNotify) {
  TLines L;
  L.Add();
  TLine* Second = L.Add();
  const int Before = L.Updates;
  delete Second;
  EXPECT_EQ(L.Count(), 1);
  EXPECT_GT(L.Updates, Before);
  L.BeginUpdate();
  const int During = L.Updates;
  L.Add();
  L.Add();
  EXPECT_EQ(L.Updates, During);
  L.EndUpdate();
  EXPECT_EQ(L.Updates, During + 1);
}

TEST(Collection, AssignCopiesEveryItem) {
  TLines A;
  A.Add()->Text = "1";
  A.Add()->Text = "2";
  TLines B;
  B.Add()->Text = "old";
  B.Assign(&A);
  ASSERT_EQ(B.Count(), 2);
  EXPECT_EQ(B.Items(1)->Text, "2");
}

TEST(StringList, NameValueLookupIgnoresCaseAndFirstEntryWins) {
  TStringList L{"Code=abc", "code=second", "state=x=y", "noequals", "=empty"};
  EXPECT_EQ(L.Values("CODE"), "abc");
  EXPECT_EQ(L.Values("state"), "x=y");
  EXPECT_EQ(L.Values("noequals"), "");
  EXPECT_EQ(L.Values("missing"), "");
  EXPECT_EQ(L.Values(""), "empty");
  EXPECT_EQ(L.Names(2), "state");
  EXPECT_EQ(L.ValueFromIndex(2), "x=y");
  L.SetValues("code", "new");
  EXPECT_EQ(L[0], "code=new");
  L.SetValues("added", "1");
  EXPECT_EQ(L[L.Count() - 1], "added=1");
  EXPECT_THROW(L.Strings(99), EListError);
}

struct CommaCase {
  const char* Text;
  std::vector<std::string> Items;
};

TEST(StringList, CommaTextParsing) {
  const CommaCase Cases[] = {
      {"", {}},
      {"a,b,c", {"a", "b", "c"}},
      {"a b c", {"a", "b", "c"}},  // blanks separate too
      {"  a ,  b  ", {"a", "b"}},
      {"a,,b", {"a", "", "b"}},
      {"a,", {"a", ""}},  // a trailing comma adds an empty entry
      {"\"a b\",c", {"a b", "c"}},
      {"\"say \"\"hi\"\"\"", {"say \"hi\""}},
      {"\"a,b\"", {"a,b"}},
      {"\"open", {"open"}},
      {"\"a\"b", {"a", "b"}},
      {"oauth_token=abc, oauth_token_secret=def, oauth_callback_confirmed=true",
       {"oauth_token=abc", "oauth_token_secret=def", "oauth_callback_confirmed=true"}},
      {"x\ty\nz", {"x", "y", "z"}},
      {"caf\xC3\xA9,b", {"caf\xC3\xA9", "b"}},
  };
  for (const auto& C : Cases) {
    TStringList L;
    L.SetCommaText(C.Text);
    EXPECT_EQ(L.Items(), C.Items) << C.Text;
  }
}

TEST(StringList, CommaTextRoundTripsAndQuotesWhenNeeded) {
  TStringList L{"plain", "with blank", "with,comma", "quote\"inside", ""};
  EXPECT_EQ(L.CommaText(), "plain,\"with blank\",\"with,comma\",\"quote\"\"inside\",\"\"");
  TStringList Back;
  Back.SetCommaText(L.CommaText());
  EXPECT_EQ(Back.Items(), L.Items());
  TStringList One{""};
  EXPECT_EQ(One.CommaText(), "\"\"");
}

TEST(StringList, DelimiterAndSort) {
  TStringList L;
  L.SetDelimiter(';');
  L.SetDelimitedText("b;A;c d");
  EXPECT_EQ(L.Items(), (std::vector<std::string>{"b", "A", "c", "d"}));
  L.Sort();
  EXPECT_EQ(L.Items(), (std::vector<std::string>{"A", "b", "c", "d"}));
  TStringList S{"oauth_token=1", "OAUTH_NONCE=2", "include=3"};
  S.Sort();
  EXPECT_EQ(S.Items(), (std::vector<std::string>{"include=3", "OAUTH_NONCE=2", "oauth_token=1"}));
}

}  // namespace
}  // namespace zelk::rtl
