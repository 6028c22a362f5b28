// Files that hold several cards, as address books are exported: every card with a UID is a
// contact of its own, the others are named in the log, and a change to one card leaves every
// byte of the others as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "pim/PimStore.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

namespace fs = std::filesystem;
using Texts = std::vector<std::string>;

// Ann (her address written with a blank beside it), a card without a UID, then Bob: the same
// three cards as each kind of writer puts them into one file.
const struct CardFile {
  const char* writer;
  std::string text;
} kFiles[] = {
    {"vCard 3.0, CRLF (khard, vobject)",
     "BEGIN:VCARD\r\nVERSION:3.0\r\nPRODID:-//vobject//vobject//EN\r\nUID:ann\r\nFN:Ann Lee\r\n"
     "N:Lee;Ann;;;\r\nEMAIL;TYPE=work: ann@one.example\r\nEND:VCARD\r\n"
     "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:No Uid\r\nN:Uid;No;;;\r\nEND:VCARD\r\n"
     "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:bob\r\nFN:Bob Roe\r\nN:Roe;Bob;;;\r\n"
     "TEL;TYPE=cell:+1 555 0100\r\nEND:VCARD\r\n"},
    {"vCard 2.1, LF, quoted-printable (an old phone)",
     "BEGIN:VCARD\nVERSION:2.1\nUID:ann\nN:Lee;Ann\nFN:Ann Lee\n"
     "EMAIL;INTERNET;PREF:ann@one.example \nEND:VCARD\n"
     "BEGIN:VCARD\nVERSION:2.1\nN;ENCODING=QUOTED-PRINTABLE:Uid;N=\no\nEND:VCARD\n"
     "BEGIN:VCARD\nVERSION:2.1\nUID:bob\nN:Roe;Bob\nFN:Bob Roe\n"
     "NOTE;ENCODING=QUOTED-PRINTABLE:first=0D=0A=\nsecond\nTEL;CELL:+1 555 0100\nEND:VCARD\n"},
    {"vCard 4.0, folded, blank lines between cards",
     "BEGIN:VCARD\r\nVERSION:4.0\r\nUID:ann\r\nFN:Ann Lee\r\nN:Lee;Ann;;;\r\n"
     "EMAIL;TYPE=work:\r\n  ann@one.example\r\nNOTE:A note long enough to be folded by the "
     "exporter that wr\r\n ote it\r\nEND:VCARD\r\n\r\n"
     "BEGIN:VCARD\r\nVERSION:4.0\r\nFN:No Uid\r\nEND:VCARD\r\n\r\n"
     "BEGIN:VCARD\r\nVERSION:4.0\r\nUID:bob\r\nFN:Bob Roe\r\nN:Roe;Bob;;;\r\n"
     "TEL;VALUE=uri;TYPE=cell:tel:+1 555 0100\r\nEND:VCARD\r\n"},
    {"Apple Contacts export (item groups, a byte-order mark)",
     "\xEF\xBB\xBF"
     "BEGIN:VCARD\r\nVERSION:3.0\r\nPRODID:-//Apple Inc.//macOS 14.4//EN\r\nN:Lee;Ann;;;\r\n"
     "FN:Ann Lee\r\nitem1.EMAIL;type=INTERNET;type=pref:\tann@one.example\r\n"
     "item1.X-ABLabel:_$!<Other>!$_\r\nUID:ann\r\nEND:VCARD\r\n"
     "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Uid;No;;;\r\nFN:No Uid\r\nEND:VCARD\r\n"
     "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Roe;Bob;;;\r\nFN:Bob Roe\r\n"
     "item1.TEL;type=CELL:+1 555 0100\r\nUID:bob\r\nEND:VCARD\r\n"},
};

// The file's text cut before each card but the first, so a test sees which of them changed.
Texts cardsOf(const std::string& text) {
  Texts pieces;
  size_t at = 0;
  for (size_t next = text.find("BEGIN:VCARD", text.find("BEGIN:VCARD") + 1);
       next != std::string::npos; next = text.find("BEGIN:VCARD", next + 1)) {
    pieces.push_back(text.substr(at, next - at));
    at = next;
  }
  pieces.push_back(text.substr(at));
  return pieces;
}

// A card's lines as written (folds and line ends aside), without those of the properties named.
Texts linesWithout(const std::string& card, const Texts& names) {
  Texts lines;
  for (size_t at = 0; at < card.size();) {
    const size_t end = std::min(card.find('\n', at), card.size());
    std::string line = card.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t dot = line.find('.');
    const std::string name = line.substr(dot < line.find_first_of(";:") ? dot + 1 : 0);
    const auto named = [&](const std::string& n) { return name.rfind(n, 0) == 0; };
    if (std::none_of(names.begin(), names.end(), named)) lines.push_back(line);
  }
  return lines;
}

class PimStoreCardsTest : public ::testing::Test {
 protected:
  const fs::path folder =
      test::home() / ::testing::UnitTest::GetInstance()->current_test_info()->name();
  Texts warnings;
  PimStore store{folder, {.warn = [this](const std::string& line) { warnings.push_back(line); }}};
  const fs::path book = store.defaultContainerIdentifier();
};

TEST_F(PimStoreCardsTest, EveryCardWithAUidIsAContactAndTheOthersAreNamed) {
  for (const auto& file : kFiles) {
    SCOPED_TRACE(file.writer);
    warnings.clear();
    test::writeFile(book / "all.vcf", file.text);
    Texts ids, names;
    for (const auto& c : store.contacts()) {
      ids.push_back(c.id);
      names.push_back(c.givenName + " " + c.familyName);
    }
    EXPECT_EQ(ids, (Texts{"ann", "bob"}));
    EXPECT_EQ(names, (Texts{"Ann Lee", "Bob Roe"}));
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "Personal data file " + (book / "all.vcf").string() +
                               ": card 2 of 3 has no UID; those cards are skipped, the others "
                               "listed, and the file is left as it is");
    // Found by the address as written, without the blank beside it.
    const auto byAddress = store.contactsMatchingEmailAddress("ann@one.example");
    ASSERT_EQ(byAddress.size(), 1u);
    EXPECT_EQ(byAddress[0].id, "ann");
    EXPECT_EQ(store.contact("bob")->phoneNumbers.at(0).value, "+1 555 0100");
  }
}

// Each card changed in turn: only its own lines of the property asked for are written again.
TEST_F(PimStoreCardsTest, AChangeToOneCardKeepsEveryByteOfTheOthers) {
  for (const auto& file : kFiles) {
    SCOPED_TRACE(file.writer);
    test::writeFile(book / "all.vcf", file.text);
    const Texts before = cardsOf(file.text);
    ASSERT_EQ(before.size(), 3u);
    const struct {
      const char* id;
      size_t card;
    } changes[] = {{"bob", 2}, {"ann", 0}};
    Texts expected = before;
    for (const auto& change : changes) {
      Contact contact = store.contact(change.id).value();
      contact.phoneNumbers.push_back({"work", "+1 555 0199"});
      ASSERT_TRUE(store.saveContact(contact).ok()) << change.id;
      EXPECT_EQ(store.contact(change.id)->phoneNumbers, contact.phoneNumbers);

      const std::string after = test::readFile(book / "all.vcf");
      const Texts cards = cardsOf(after);
      ASSERT_EQ(cards.size(), 3u) << after;
      expected[change.card] = cards[change.card];
      EXPECT_EQ(cards, expected) << "the other cards are as they were";
      EXPECT_EQ(linesWithout(cards[change.card], {"TEL"}),
                linesWithout(before[change.card], {"TEL"}));
      const bool crlf = file.text.find("\r\n") != std::string::npos;
      EXPECT_EQ(cards[change.card].find("\r\n") != std::string::npos, crlf) << "its line ends";
    }
    EXPECT_EQ(warnings.back().find("all.vcf: card 2 of 3 has no UID") != std::string::npos, true);
  }
}

// Two cards of one file with one UID (an address book exported twice into it) are each reachable
// by the place in the file their identifiers name; the UID alone changes neither.
TEST_F(PimStoreCardsTest, CardsOfOneFileSharingAUidAreToldApartByTheirPlace) {
  const std::string card = "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:dup\r\nFN:Ann Lee\r\nEND:VCARD\r\n";
  test::writeFile(book / "twice.vcf", card + card);
  const std::string place = "dup#" + book.filename().string() + "/twice.vcf/";
  Texts ids;
  for (const auto& c : store.contacts()) ids.push_back(c.id);
  EXPECT_EQ(ids, (Texts{place + "1", place + "2"}));

  PimUnreadable why;
  EXPECT_FALSE(store.contact("dup", &why));
  EXPECT_EQ(why, "The identifier 'dup' fits 2 contacts: " + place + "1 in the address book \"" +
                     "Contacts\", " + place + "2 in the address book \"Contacts\". Use the " +
                     "identifier of the one you mean.");
  Contact second = store.contact(place + "2").value();
  second.note = "Second";
  ASSERT_TRUE(store.saveContact(second).ok());
  const Texts cards = cardsOf(test::readFile(book / "twice.vcf"));
  ASSERT_EQ(cards.size(), 2u);
  EXPECT_EQ(cards[0], card);
  EXPECT_NE(cards[1].find("NOTE:Second"), std::string::npos) << cards[1];
  EXPECT_EQ(store.contact(place + "1")->note, "");
}

// A card cannot leave its file without the file being rewritten twice, which another program
// could see half done: the move is refused, naming the file, and nothing is written.
TEST_F(PimStoreCardsTest, MovingOneCardOfSeveralToAnotherBookIsRefused) {
  test::writeFile(book / "all.vcf", kFiles[0].text);
  const ContactContainer other = store.saveContainer({"", "Work", ContainerType::local}).value();
  Contact bob = store.contact("bob").value();
  bob.containerId = other.id;
  const auto moved = store.saveContact(bob);
  ASSERT_FALSE(moved.ok());
  EXPECT_EQ(moved.error().message, "The change could not be saved: " + (book / "all.vcf").string() +
                                       " holds other cards too: one of them cannot be moved to "
                                       "another address book on its own");
  EXPECT_EQ(test::readFile(book / "all.vcf"), kFiles[0].text);
  EXPECT_EQ(test::namesIn(other.id), Texts{"displayname"});
}

}  // namespace
}  // namespace tvrn
