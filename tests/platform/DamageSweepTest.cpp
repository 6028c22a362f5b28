// The readers of files other programs write, fed every truncation of a good file and many copies
// with bytes flipped at random (a fixed seed, so a failure repeats): none may crash, read past
// the input or give back text that is not UTF-8. The sanitizers watch the memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/TextDecoding.h"
#include "base/Utf8.h"
#include "pim/VCard.h"
#include "platform/TextConverter.h"
#include "support/DamagedCopies.h"

namespace tvrn {
namespace {

// Each copy in a buffer of its own size, so reading one byte past it is a finding.
void sweep(const std::string& good, const std::function<void(std::string_view)>& read) {
  for (const auto& copy : test::damagedCopies(good)) {
    const std::unique_ptr<char[]> exact(new char[copy.size()]);
    std::copy(copy.begin(), copy.end(), exact.get());
    read(std::string_view(exact.get(), copy.size()));
    if (::testing::Test::HasFailure()) {
      ADD_FAILURE() << "with input: " << ::testing::PrintToString(copy);
      return;
    }
  }
}

const std::string kCard =
    "BEGIN:VCARD\r\nVERSION:2.1\r\nUID:d1\r\nN;CHARSET=ISO-8859-1:M\xFCller;J\xFCrgen;;;\r\n"
    "FN;ENCODING=QUOTED-PRINTABLE;CHARSET=UTF-8:J=C3=BCrgen M=C3=BC=\r\nller\r\n"
    "item1.EMAIL;TYPE=\"work,pref\":j@example.com\r\nitem1.X-ABLabel:Office\r\n"
    "TEL;HOME;VOICE:+49 30 1234\r\nADR;TYPE=home:;;Hauptstr. 1\\;2;Berlin;;10115;DE\r\n"
    "NOTE:line one\\nline two\\, with comma\r\n folded on\r\n"
    "CATEGORIES:Family,Friends\r\nBDAY:--0307\r\n"
    "X-ADDRESSBOOKSERVER-MEMBER:urn:uuid:m1\r\nEND:VCARD\r\n";

TEST(DamageSweepTest, VCardReader) {
  sweep(kCard, [](std::string_view bytes) {
    const auto card = VCard::parse(bytes);
    if (!card) return;
    const auto decoded = VCard::decode(*card);
    EXPECT_TRUE(Utf8::isValid(decoded.contact.givenName + decoded.contact.familyName +
                              decoded.contact.organizationName + decoded.contact.note));
    // What it writes back it reads again.
    EXPECT_TRUE(VCard::parse(VCard::serialize(*card)).has_value());
  });
}

const std::string kRtf =
    "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fswiss Helvetica;}}"
    "{\\colortbl;\\red255\\green0\\blue0;}{\\*\\generator Writer;}"
    "\\pard\\f0\\fs24 Caf\\'e9 {\\b bold} and \\u8364?uro\\par\n"
    "Tab\\tstop\\line next {\\pict\\pngblip 89504e47}\\uc2\\u-3913??end\\par}";

TEST(DamageSweepTest, RtfReader) {
  sweep(kRtf, [](std::string_view bytes) {
    EXPECT_TRUE(Utf8::isValid(TextConverter::rtfToText(bytes)));
  });
}

TEST(DamageSweepTest, TextDecodingInEveryEncoding) {
  const std::string samples[] = {
      "plain ASCII, then caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",  // UTF-8
      "caf\xE9 \x80 \x9F \xFF",                                       // single-byte
      std::string("\xFF\xFE"
                  "c\0a\0f\0\xE9\0=\xD8\0\xDE",
                  14),                           // UTF-16 LE with a pair
      std::string("\xD8\x3D\xDE\x00\0a\0b", 8),  // UTF-16 BE, no mark
  };
  for (const auto encoding : {TextDecoding::Encoding::utf8, TextDecoding::Encoding::cp1252,
                              TextDecoding::Encoding::latin1, TextDecoding::Encoding::ascii,
                              TextDecoding::Encoding::utf16}) {
    for (const auto& sample : samples) {
      SCOPED_TRACE(static_cast<int>(encoding));
      sweep(sample, [encoding](std::string_view bytes) {
        const auto text = TextDecoding::decode(bytes, encoding);
        if (text) {
          EXPECT_TRUE(Utf8::isValid(*text));
        }
      });
    }
  }
}

}  // namespace
}  // namespace tvrn
