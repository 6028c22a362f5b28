#include <gtest/gtest.h>

#include <string>

#include "app/ServerCore.h"
#include "core/IPCServer.h"
#include "support/PdfMaker.h"
#include "support/SocketClient.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using nlohmann::json;

class OfficeSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ServerCore::start();
    auto connected = test::SocketClient::connect(IPCServer::socketPath());
    ASSERT_TRUE(connected);
    client_.emplace(std::move(*connected));
    ASSERT_TRUE(client_->call(test::request(0, "initialize", {{"clientInfo", {{"name", "t"}}}})));
  }
  void TearDown() override {
    client_.reset();
    ServerCore::stop();
  }

  std::string call(const std::string& tool, const json& arguments) {
    auto reply = client_->call(
        test::request(++id_, "tools/call", {{"name", tool}, {"arguments", arguments}}));
    if (!reply) return "no reply";
    const auto& result = (*reply)["result"];
    return result["content"][0]["text"].get<std::string>();
  }

  std::optional<test::SocketClient> client_;
  int id_ = 0;
};

TEST_F(OfficeSessionTest, DocumentsOverTheSocket) {
  const auto pdf = test::home() / "three.pdf";
  test::writeFile(pdf, test::makePdf({{"First page"}, {"Second page"}, {"Third page"}}));
  EXPECT_EQ(call("pdf_read", {{"path", pdf.string()}}),
            "PDF: 3 pages\n---\nFirst page\n\nSecond page\n\nThird page");

  const std::string docx = (test::home() / "memo.docx").string();
  const json create = {{"path", docx}, {"title", "Memo"}, {"content", "line one\nline two"}};
  EXPECT_EQ(call("word_create", create).rfind("Preview \u2014 Word document to be created:", 0),
            0u);
  EXPECT_FALSE(std::filesystem::exists(docx));
  json confirmed = create;
  confirmed["confirm"] = true;
  EXPECT_EQ(call("word_create", confirmed),
            "{\n  \"created\": true,\n  \"path\": \"" + docx + "\"\n}");
  EXPECT_EQ(call("word_append", {{"path", docx}, {"content", "appended"}, {"confirm", true}}),
            "Appended 8 characters to " + docx);
  EXPECT_EQ(call("word_read", {{"path", docx}}), "Memo\nline one\nline two\nappended");
}

}  // namespace
}  // namespace tvrn
