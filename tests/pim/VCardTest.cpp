#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pim/VCard.h"

namespace tvrn {
namespace {

VCard::Decoded read(const std::string& text) {
  auto card = VCard::parse(text);
  EXPECT_TRUE(card) << text;
  return card ? VCard::decode(*card) : VCard::Decoded{};
}

// Cards as khard and the common exporters write them.
TEST(VCardTest, ReadsTheCardsOtherProgramsWrite) {
  const struct {
    const char* writer;
    std::string text;
    Contact expected;
    std::vector<std::string> categories;
  } cases[] = {
      {"khard (3.0)",
       "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:k1\r\nBDAY:1985-03-07\r\n"
       "EMAIL;TYPE=work:ann@acme.example\r\nFN:Ann Zimmer\r\nN:Zimmer;Ann;;;\r\n"
       "NOTE:Likes tea\\, and cake\\nTwo lines\r\nORG:Acme;Sales\r\nREV:20261207T111925Z\r\n"
       "TEL;TYPE=cell:+1 555 0100\r\nCATEGORIES:Friends,Book club\r\nEND:VCARD\r\n",
       {"k1",
        "",
        "Ann",
        "",
        "Zimmer",
        "",
        "Acme",
        "",
        {{"work", "ann@acme.example"}},
        {{"mobile", "+1 555 0100"}},
        {},
        DateComponents{1985, 3, 7, {}, {}},
        "Likes tea, and cake\nTwo lines"},
       {"Friends", "Book club"}},
      {"a 4.0 exporter, folded, birthday without a year",
       "BEGIN:VCARD\nVERSION:4.0\nUID:urn:uuid:k2\nFN:Émile Ångström\nN:Ångström;Émile;;;\n"
       "NICKNAME:Mil,Emi\nTITLE:Chief of\n  Things\nBDAY:--0412\n"
       "ADR;TYPE=home:;Flat 2;1 Main St;Springfield;IL;62701;USA\n"
       "TEL;VALUE=uri;TYPE=\"voice,home\":tel:+1-555-0101\nEND:VCARD\n",
       {"urn:uuid:k2",
        "",
        "Émile",
        "",
        "Ångström",
        "Mil",
        "",
        "Chief of Things",
        {},
        {{"home", "+1-555-0101"}},
        {{"home", "1 Main St\nFlat 2", "Springfield", "IL", "62701", "USA"}},
        DateComponents{{}, 4, 12, {}, {}},
        ""},
       {}},
      {"an old phone (2.1, quoted-printable, Latin-1)",
       "BEGIN:VCARD\r\nVERSION:2.1\r\nUID:k3\r\nN;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:"
       "M=FCller;J=FCrgen;;;\r\nTEL;CELL;PREF:0170 1234\r\nTEL;WORK;VOICE:030 555\r\n"
       "NOTE;ENCODING=QUOTED-PRINTABLE:first=0D=0A=\r\nsecond\r\nEND:VCARD\r\n",
       {"k3",
        "",
        "Jürgen",
        "",
        "Müller",
        "",
        "",
        "",
        {},
        {{"mobile", "0170 1234"}, {"work", "030 555"}},
        {},
        std::nullopt,
        "first\r\nsecond"},
       {}},
      {"an older phone (2.1, bare quoted-printable, UTF-8)",
       "BEGIN:VCARD\r\nVERSION:2.1\r\nUID:k5\r\nN;CHARSET=UTF-8;QUOTED-PRINTABLE:M=C3=BCller;"
       "J=C3=BCrgen;;;\r\nFN;CHARSET=UTF-8;QUOTED-PRINTABLE:J=C3=BCrgen M=C3=BCller\r\n"
       "EMAIL;INTERNET;QUOTED-PRINTABLE:j=40example.com\r\n"
       "NOTE;QUOTED-PRINTABLE:Caf=C3=A9 at=\r\n nine=0D=0A=\r\nthen home\r\nEND:VCARD\r\n",
       {"k5",
        "",
        "Jürgen",
        "",
        "Müller",
        "",
        "",
        "",
        {{"", "j@example.com"}},
        {},
        {},
        std::nullopt,
        "Café at nine\r\nthen home"},
       {}},
      {"Apple Contacts (labels on item groups, year left out)",
       "BEGIN:VCARD\r\nVERSION:3.0\r\nPRODID:-//Apple Inc.//macOS 14.0//EN\r\nUID:k4\r\n"
       "N:Lee;Dana;;;\r\nFN:Dana Lee\r\nitem1.EMAIL;type=INTERNET;type=pref:dana@example.com\r\n"
       "item1.X-ABLabel:_$!<Other>!$_\r\nitem2.TEL:+44 20 7946\r\nitem2.X-ABLabel:Boat\r\n"
       "BDAY;X-APPLE-OMIT-YEAR=1604:1604-11-30\r\nEND:VCARD\r\n",
       {"k4",
        "",
        "Dana",
        "",
        "Lee",
        "",
        "",
        "",
        {{"other", "dana@example.com"}},
        {{"Boat", "+44 20 7946"}},
        {},
        DateComponents{{}, 11, 30, {}, {}},
        ""},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.writer);
    const auto decoded = read(c.text);
    const Contact& got = decoded.contact;
    const Contact& want = c.expected;
    EXPECT_EQ(got.id, want.id);
    EXPECT_EQ(got.givenName, want.givenName);
    EXPECT_EQ(got.familyName, want.familyName);
    EXPECT_EQ(got.nickname, want.nickname);
    EXPECT_EQ(got.organizationName, want.organizationName);
    EXPECT_EQ(got.jobTitle, want.jobTitle);
    EXPECT_EQ(got.emailAddresses, want.emailAddresses);
    EXPECT_EQ(got.phoneNumbers, want.phoneNumbers);
    EXPECT_EQ(got.postalAddresses, want.postalAddresses);
    EXPECT_EQ(got.birthday, want.birthday);
    EXPECT_EQ(got.note, want.note);
    EXPECT_EQ(decoded.categories, c.categories);
  }
}

TEST(VCardTest, GroupsAndTextThatIsNoCard) {
  const auto group = read(
      "BEGIN:VCARD\r\nVERSION:4.0\r\nUID:g1\r\nKIND:group\r\nFN:Team\r\n"
      "MEMBER:urn:uuid:k1\r\nMEMBER:urn:uuid:k2\r\nEND:VCARD\r\n");
  EXPECT_TRUE(group.isGroup);
  EXPECT_EQ(group.groupName, "Team");
  EXPECT_EQ(group.memberIds, (std::vector<std::string>{"k1", "k2"}));
  for (const char* broken :
       {"", "BEGIN:VCARD\r\nFN:No end\r\n", "FN:x\r\nEND:VCARD\r\n", "garbage\x01\x02"}) {
    EXPECT_FALSE(VCard::parse(broken)) << broken;
  }
}

// A change rewrites the lines of the fields it changes and keeps every other line as it was,
// and what it writes reads back the same.
TEST(VCardTest, AChangeKeepsTheLinesItDoesNotTouch) {
  const std::string text =
      "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:k1\r\nFN:Ann Zimmer\r\nN:Zimmer;Ann;;;\r\n"
      "X-SOCIALPROFILE;TYPE=mastodon:https://example.social/@ann\r\n"
      "item1.EMAIL:ann@home.example\r\nitem1.X-ABLabel:_$!<Home>!$_\r\n"
      "PHOTO;ENCODING=b;TYPE=JPEG:" +
      std::string(120, 'A') + "\r\nEND:VCARD\r\n";
  VCard::Card card = *VCard::parse(text);
  const Contact before = VCard::decode(card).contact;
  Contact after = before;
  after.emailAddresses = {{"work", "ann@acme.example"}};
  after.note = "Semi;colon, comma\nand a line";
  after.birthday = DateComponents{{}, 3, 7, {}, {}};
  VCard::applyChanges(card, before, after);
  const std::string written = VCard::serialize(card);
  for (const char* kept : {"X-SOCIALPROFILE;TYPE=mastodon:https://example.social/@ann",
                           "FN:Ann Zimmer", "EMAIL;TYPE=work:ann@acme.example", "BDAY:--0307",
                           "NOTE:Semi\\;colon\\, comma\\nand a line"}) {
    EXPECT_NE(written.find(kept), std::string::npos) << kept << "\n" << written;
  }
  EXPECT_EQ(written.find("ann@home.example"), std::string::npos);
  EXPECT_EQ(written.find("X-ABLabel"), std::string::npos);  // went with its e-mail line
  for (size_t at = 0, end; (end = written.find("\r\n", at)) != std::string::npos; at = end + 2) {
    EXPECT_LE(end - at, 75u);  // folded
  }
  const Contact again = VCard::decode(*VCard::parse(written)).contact;
  EXPECT_EQ(again.emailAddresses, after.emailAddresses);
  EXPECT_EQ(again.note, after.note);
  EXPECT_EQ(again.birthday, after.birthday);
}

}  // namespace
}  // namespace tvrn
