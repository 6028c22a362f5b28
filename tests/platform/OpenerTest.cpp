#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>

#include "fakes/support/RecordingHttpServer.h"
#include "platform/Opener.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

TEST(OpenerTest, HandsTheAddressToTheConfiguredProgramWithoutWaitingForIt) {
  test::RecordingHttpServer site;
  // The page takes long to come: the opener must not wait for the browser to finish.
  site.respond("/page", {200, "hello", "text/html", std::chrono::seconds(30), {}});
  ::setenv("TVRN_OPEN_COMMAND", (test::fakesDir() / "fake-browser").c_str(), 1);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(Opener::open(site.baseURL() + "/page?a=1"));
  ASSERT_TRUE(site.waitForRequests(1, std::chrono::seconds(10)));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
  EXPECT_EQ(site.requests()[0].target, "/page?a=1");

  ::setenv("TVRN_OPEN_COMMAND", (test::home() / "no-such-opener").c_str(), 1);
  EXPECT_FALSE(Opener::open("https://example.invalid/"));
}

}  // namespace
}  // namespace tvrn
