// Files that hold several cards, as address books are exported: every card with a UID is a
// contact of its own, the others are named in the log, and a change to one card leaves every
// byte of the others as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
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
const std::pair<const char*, std::string> kFiles[] = {
    {"vCard 3.0, CRLF (khard, vobject)",
     "BEGIN:VCARD\r\nVERSION:3.0\r\nPRODID:-//vobject//vobject//EN\r\nUID:ann\r\nFN:Ann Lee\r\n"
     "N:Lee;Ann;;;\r\nEMAIL;TYPE=work: ann@one.example\r\nEND:VCARD\r\nBEGIN:VCARD\r\n"
     "VERSION:3.0\r\nFN:No Uid\r\nEND:VCARD\r\nBEGIN:VCARD\r\nVERSION:3.0\r\nUID:bob\r\n"
     "FN:Bob Roe\r\nN:Roe;Bob;;;\r\nTEL;TYPE=cell:+1 555 0100\r\nEND:VCARD\r\n"},
    {"vCard 2.1, LF, quoted-printable (an old phone)",
     "BEGIN:VCARD\nVERSION:2.1\nUID:ann\nN:Lee;Ann\nFN:Ann "
     "Lee\nEMAIL;INTERNET;PREF:ann@one.example \n"
     "END:VCARD\nBEGIN:VCARD\nVERSION:2.1\nN;ENCODING=QUOTED-PRINTABLE:Uid;N=\no\nEND:VCARD\n"
     "BEGIN:VCARD\nVERSION:2.1\nUID:bob\nN:Roe;Bob\nFN:Bob "
     "Roe\nNOTE;ENCODING=QUOTED-PRINTABLE:first=0D=0A=\n"
     "second\nTEL;CELL:+1 555 0100\nEND:VCARD\n"},
    {"vCard 4.0, folded, blank lines between cards",
     "BEGIN:VCARD\r\nVERSION:4.0\r\nUID:ann\r\nFN:Ann Lee\r\nN:Lee;Ann;;;\r\nEMAIL;TYPE=work:\r\n"
     "  ann@one.example\r\nNOTE:A note long enough to be folded by the exporter that wr\r\n ote it"
     "\r\nEND:VCARD\r\n\r\nBEGIN:VCARD\r\nVERSION:4.0\r\nFN:No Uid\r\nEND:VCARD\r\n\r\n"
     "BEGIN:VCARD\r\nVERSION:4.0\r\nUID:bob\r\nN:Roe;Bob;;;\r\nFN:Bob Roe\r\n"
     "TEL;VALUE=uri;TYPE=cell:tel:+1 555 0100\r\nEND:VCARD\r\n"},
    {"vCard 3.0, bare CRs (an old Mac address book)",
     "BEGIN:VCARD\rVERSION:3.0\rUID:ann\rFN:Ann "
     "Lee\rN:Lee;Ann;;;\rEMAIL;TYPE=work:ann@one.example\r"
     "END:VCARD\rBEGIN:VCARD\rVERSION:3.0\rFN:No Uid\rEND:VCARD\rBEGIN:VCARD\rVERSION:3.0\r"
     "UID:bob\rFN:Bob Roe\rN:Roe;Bob;;;\rTEL;TYPE=cell:+1 555 0100\rEND:VCARD\r"},
};

// The file's text cut before each card but the first, so a test sees which of them changed.
Texts cardsOf(const std::string& text) {
  Texts pieces;
  size_t at = 0;
  for (size_t next = text.find("BEGIN:VCARD", 1); next != std::string::npos;
       next = text.find("BEGIN:VCARD", next + 1)) {
    pieces.push_back(text.substr(at, next - at));
    at = next;
  }
  pieces.push_back(text.substr(at));
  return pieces;
}

// A card's lines as written, whatever ends them, without those of one property.
Texts linesWithout(const std::string& card, const std::string& name) {
  Texts lines;
  for (size_t at = 0; at < card.size();) {
    const size_t end = std::min(card.find_first_of("\r\n", at), card.size());
    const std::string line = card.substr(at, end - at);
    if (!line.empty() && line.rfind(name, 0) != 0) lines.push_back(line);
    at = end + 1;
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

// Each card with a UID is listed, the other named; each is changed in turn, and only its own
// lines of the property asked for are written again.
TEST_F(PimStoreCardsTest, EveryCardIsAContactAndAChangeKeepsEveryByteOfTheOthers) {
  for (const auto& [writer, text] : kFiles) {
    SCOPED_TRACE(writer);
    warnings.clear();
    test::writeFile(book / "all.vcf", text);
    Texts listed;
    for (const auto& c : store.contacts()) listed.push_back(c.id + " " + c.givenName);
    EXPECT_EQ(listed, (Texts{"ann Ann", "bob Bob"}));
    EXPECT_EQ(warnings, Texts{"Personal data file " + (book / "all.vcf").string() +
                              ": card 2 of 3 has no UID; those cards are skipped, the others "
                              "listed, and the file is left as it is"});
    // Found by the address as written, without the blank beside it.
    EXPECT_EQ(store.contactsMatchingEmailAddress("ann@one.example").size(), 1u);

    Texts expected = cardsOf(text);
    for (const auto& [id, card] : {std::pair{"bob", 2}, std::pair{"ann", 0}}) {
      Contact contact = store.contact(id).value();
      contact.phoneNumbers.push_back({"work", "+1 555 0199"});
      ASSERT_TRUE(store.saveContact(contact).ok()) << id;
      EXPECT_EQ(store.contact(id)->phoneNumbers, contact.phoneNumbers);
      const Texts cards = cardsOf(test::readFile(book / "all.vcf"));
      ASSERT_EQ(cards.size(), 3u);
      EXPECT_EQ(linesWithout(cards[card], "TEL"), linesWithout(expected[card], "TEL"));
      for (const char* end : {"\r\n", "\n"}) {
        EXPECT_EQ(cards[card].find(end) != std::string::npos, text.find(end) != std::string::npos);
      }
      expected[card] = cards[card];
      EXPECT_EQ(cards, expected) << "the other cards are as they were";
    }
  }
}

// Two cards of one file with one UID (an address book exported twice into it) are each reachable
// by their place in the file; the UID alone changes neither.
TEST_F(PimStoreCardsTest, CardsOfOneFileSharingAUidAreToldApartByTheirPlace) {
  const std::string card =
      "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:dup\r\nFN:Ann Lee\r\nN:Lee;Ann;;;\r\nEND:VCARD\r\n";
  test::writeFile(book / "twice.vcf", card + card);
  const std::string place = "dup#" + book.filename().string() + "/twice.vcf/";
  const auto listed = store.contacts();
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].id + " " + listed[1].id, place + "1 " + place + "2");
  PimUnreadable why;
  EXPECT_FALSE(store.contact("dup", &why));
  EXPECT_EQ(why.value_or("").rfind("The identifier 'dup' fits 2 contacts: " + place + "1 in", 0),
            0u);

  Contact second = store.contact(place + "2").value();
  second.note = "Second";
  ASSERT_TRUE(store.saveContact(second).ok());
  EXPECT_EQ(test::readFile(book / "twice.vcf"),
            card + card.substr(0, card.find("END")) + "NOTE:Second\r\nEND:VCARD\r\n");
}

// Taking a card out of its file and writing it elsewhere is two writes another program could see
// half done: the move is refused, naming the file, and nothing is written.
TEST_F(PimStoreCardsTest, MovingOneCardOfSeveralToAnotherBookIsRefused) {
  test::writeFile(book / "all.vcf", kFiles[0].second);
  const ContactContainer other = store.saveContainer({"", "Work", ContainerType::local}).value();
  Contact bob = store.contact("bob").value();
  bob.containerId = other.id;
  const auto moved = store.saveContact(bob);
  EXPECT_EQ(moved ? "" : moved.error().message,
            "The change could not be saved: " + (book / "all.vcf").string() +
                " holds other cards too: one of them cannot be moved to another address book on "
                "its own");
  EXPECT_EQ(test::readFile(book / "all.vcf"), kFiles[0].second);
  EXPECT_EQ(test::namesIn(other.id), Texts{"displayname"});
}

// Another program puts the cards of a file in another order, writing through a link from another
// folder, which the watch on the address book does not report: a change to a card is not written
// into the card that now stands in its place.
TEST_F(PimStoreCardsTest, ACardNoLongerInItsPlaceIsNotChanged) {
  const std::string ann = "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:ann\r\nFN:Ann Lee\r\nEND:VCARD\r\n";
  const std::string bob = "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:bob\r\nFN:Bob Roe\r\nEND:VCARD\r\n";
  test::writeFile(book / "all.vcf", ann + bob);
  Contact changed = store.contact("ann").value();
  changed.note = "Changed";
  fs::create_directories(folder / "elsewhere");
  fs::create_hard_link(book / "all.vcf", folder / "elsewhere" / "all.vcf");
  std::ofstream(folder / "elsewhere" / "all.vcf", std::ios::binary | std::ios::trunc) << bob + ann;

  const auto saved = store.saveContact(changed);
  EXPECT_EQ(saved.ok() ? "" : saved.error().message,
            "The change could not be saved: another program changed the item at the same time; "
            "try again.");
  EXPECT_EQ(test::readFile(book / "all.vcf"), bob + ann);
}

}  // namespace
}  // namespace tvrn
