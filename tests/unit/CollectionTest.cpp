// TCollection/TCollectionItem and TStringList.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// Removals leave empty slots that are closed up later; every position-based read must still
// see the collection as if each removal had closed up at once.
TEST(Collection, RemovalsInAnyOrderKeepOrderPositionsAndCount) {
  TLines L;
  std::vector<TLine*> All;
  for (int I = 0; I < 40; ++I) {
    All.push_back(L.Add());
    All.back()->Text = std::to_string(I);
  }
  std::vector<std::string> Expected;
  for (int I = 0; I < 40; ++I)
    Expected.push_back(std::to_string(I));
  // Every third item through DeleteItem, some directly, one through Delete(Index).
  for (int I = 1; I < 40; I += 3) {
    L.DeleteItem(All[static_cast<std::size_t>(I)]);
    std::erase(Expected, std::to_string(I));
    ASSERT_EQ(L.Count(), static_cast<int>(Expected.size()));
  }
  delete All[2];  // an item deleted directly leaves its collection
  std::erase(Expected, "2");
  EXPECT_TRUE(All[0]->Precedes(*All[3]));
  EXPECT_FALSE(All[39]->Precedes(*All[3]));
  EXPECT_EQ(All[5]->Index(), 2);  // 0, 3, 5: items 1, 2 and 4 are gone
  L.Delete(0);
  std::erase(Expected, "0");
  ASSERT_EQ(L.Count(), static_cast<int>(Expected.size()));
  for (int I = 0; I < L.Count(); ++I) {
    EXPECT_EQ(L.Items(I)->Text, Expected[static_cast<std::size_t>(I)]);
    EXPECT_EQ(L.Items(I)->Index(), I);
  }
  // Moving and inserting after removals.
  L.DeleteItem(All[39]);
  All[3]->SetIndex(L.Count() - 1);
  EXPECT_EQ(L.Items(L.Count() - 1)->Text, "3");
  EXPECT_EQ(L.Items(0)->Text, "5");
  EXPECT_TRUE(All[5]->Precedes(*All[3]));
  L.Insert(1)->Text = "new";
  EXPECT_EQ(L.Items(1)->Text, "new");
  EXPECT_EQ(L.Items(2)->Index(), 2);
  // An item of another collection, or none, is refused and changes nothing.
  TLines Other;
  TLine* Stranger = Other.Add();
  const int Before = L.Count();
  EXPECT_THROW(L.DeleteItem(Stranger), EListError);
  EXPECT_THROW(L.DeleteItem(nullptr), EListError);
  EXPECT_EQ(L.Count(), Before);
  EXPECT_EQ(Other.Count(), 1);
  // Emptying the collection item by item from the front, then refilling it.
  while (L.Count() > 0)
    L.DeleteItem(L.Items(0));
  EXPECT_THROW(L.Items(0), EListError);
  L.Add()->Text = "again";
  EXPECT_EQ(L.Items(0)->Index(), 0);
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
