#include <gtest/gtest.h>

#include "bridges/TCCMessages.h"

namespace tvrn {
namespace {

std::size_t occurrences(const std::string& text, std::string_view piece) {
  std::size_t count = 0;
  for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
  return count;
}

TEST(TCCMessagesTest, BuildersSpliceTheirArgumentsWhereTheUserLooks) {
  const std::string automation = TCCMessages::automationDenied("Mail");
  EXPECT_EQ(occurrences(automation, "Mail"), 2u);
  EXPECT_NE(automation.find("tavrin-server to control Mail. This happens"), std::string::npos);
  EXPECT_NE(automation.find("3. Turn ON the toggle for \"Mail\"\n\nThen retry"), std::string::npos);

  EXPECT_EQ(TCCMessages::eventKitDenied("Calendars").rfind("Calendars access denied.\n\nOpen ", 0),
            0u);

  EXPECT_EQ(TCCMessages::startupBanner({"Contacts", "Calendars"}),
            "⚠️ Permissions need re-granting after update: Contacts, Calendars. Click **Grant "
            "Access** in the TVRN tray icon to restore access in one tap. Or open the TVRN tray's "
            "Permissions section → Contacts (without the tray: set \"contacts\" to \"granted\" "
            "in ~/.config/tavrin/pim/authorization.json) and turn ON the toggle for "
            "**tavrin-server**.");
  EXPECT_EQ(TCCMessages::startupBanner({}), "");
}

}  // namespace
}  // namespace tvrn
