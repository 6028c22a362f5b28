#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "bridges/HelperProxy.h"
#include "bridges/TCCStatusChecker.h"
#include "fakes/support/RecordingHttpServer.h"
#include "manifest/ManifestCompositionRunners.h"
#include "manifest/ManifestStore.h"
#include "manifest/ManifestTestSupport.h"
#include "manifest/RunnerDispatch.h"
#include "pim/PrivacyGate.h"
#include "platform/Paths.h"
#include "support/TestEnv.h"

namespace tvrn {
namespace {

using nlohmann::json;
using B = BehaviorSpec;
using namespace std::chrono_literals;

constexpr std::string_view kMissing = "native handler 'missing' not registered";

json answer(const ToolResult& result) {
  const std::string text = test::outcome(result);
  const auto parsed = json::parse(text, nullptr, false);
  return parsed.is_discarded() ? json(text) : parsed;
}

class CompositionRunnersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string base = server_.baseURL();
    const auto get = [&](const std::string& path) { return B::HttpLocal{base, "GET", path}; };
    Manifest manifest;
    for (auto& [name, behavior] : std::vector<std::pair<std::string, BehaviorSpec>>{
             {"ok_a", B::Text{"A"}},
             {"json_b", B::Text{R"({"x":1})"}},
             {"fails", B::Native{"missing"}},
             {"fails_too", B::Native{"also_missing"}},
             {"echo_v", B::Conditional{"param:v=2", B::Text{"two"}, B::Text{"other"}}},
             {"quoted", B::Conditional{"param:v=a\"b", B::Text{"kept"}, B::Text{"lost"}}},
             {"extra", B::Conditional{"param:extra=1", B::Text{"added"}, B::Text{"none"}}},
             {"count", get("/count")},
             {"hit", get("/slow/{{n}}")},
             {"loop", B::Compose{{{"loop", "{}"}}}},
             {"fan", B::Parallel{{{"fan", ""}, {"fan", ""}}, PartialFailurePolicy::abort}}}) {
      ToolSpec& tool = manifest.tools.emplace_back();
      tool.name = name;
      tool.behavior = behavior;
    }
    store_.setManifest(manifest);
    runners_.install(B::Kind::compose, std::make_shared<ManifestComposeRunner>(runners_, &store_));
    runners_.install(B::Kind::parallel,
                     std::make_shared<ManifestParallelRunner>(runners_, &store_));
  }

  ToolResult steps(std::vector<ComposeStep> list, const json& params = json::object(),
                   std::optional<PartialFailurePolicy> parallel = std::nullopt) {
    const BehaviorSpec behavior = parallel ? BehaviorSpec(B::Parallel{std::move(list), *parallel})
                                           : BehaviorSpec(B::Compose{std::move(list)});
    return runners_.execute(behavior, params, 30000);
  }

  test::RecordingHttpServer server_;
  ManifestStore store_;
  RunnerTable runners_;
};

TEST_F(CompositionRunnersTest, StepsCombineInOrderAndTheFirstFailureEndsThem) {
  const auto abort = PartialFailurePolicy::abort;
  const auto include = PartialFailurePolicy::includeErrors;
  const std::string withV = R"({"v":"{{v}}"})";
  const std::string failed = "error: " + std::string(kMissing);
  const json none = json::object();
  struct Row {
    std::vector<ComposeStep> steps;
    json params;
    std::optional<PartialFailurePolicy> parallel;
    json expected;
  } rows[] = {
      {{{"ok_a", ""}, {"absent", ""}, {"json_b", ""}, {"echo_v", R"({"v":1})"}, {"echo_v", withV}},
       {{"v", 2}},
       std::nullopt,
       json::parse(R"({"ok_a":"A","json_b":{"x":1},"echo_v":"two"})")},
      {{{"ok_a", ""}, {"fails", ""}, {"count", ""}}, none, std::nullopt, failed},
      {{{"quoted", withV}}, {{"v", "a\"b"}}, std::nullopt, {{"quoted", "kept"}}},
      {{{"extra", withV}}, {{"v", "x\", \"extra\": \"1"}}, std::nullopt, {{"extra", "none"}}},
      {{{"loop", ""}}, none, std::nullopt, "error: Behavior nesting deeper than 16 levels"},
      {{}, none, std::nullopt, json::object()},
      {{{"ok_a", ""}, {"fails", ""}, {"fails_too", ""}}, none, abort, failed},
      {{{"ok_a", ""}, {"fails", ""}, {"absent", ""}},
       none,
       include,
       {{"ok_a", "A"}, {"fails", {{"error", kMissing}}}}}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.params.dump() + " " + std::to_string(row.steps.size()));
    EXPECT_EQ(answer(steps(row.steps, row.params, row.parallel)), row.expected);
  }
  EXPECT_EQ(server_.requestsTo("/count").size(), 0u);
}

TEST_F(CompositionRunnersTest, ParallelStepsAllRunBeforeAnyAnswers) {
  for (const char* path : {"/slow/1", "/slow/2", "/slow/3"}) {
    server_.respond(path, {200, R"({"done":true})", "application/json", 0ms, {}, true});
  }
  ToolResult result = fail(ToolError::executionFailed("not run"));
  std::thread caller([&] {
    result = steps({{"hit", R"({"n":1})"}, {"hit", R"({"n":2})"}, {"hit", R"({"n":3})"}}, {},
                   PartialFailurePolicy::abort);
  });
  EXPECT_TRUE(server_.waitForRequests(3, 10s));
  server_.release();
  caller.join();
  EXPECT_EQ(answer(result), json::parse(R"({"hit":{"done":true}})"));
}

// Two steps calling their own tool would double at every level; the call ends at its step budget
// (or, on a path that races ahead, at the nesting limit) with the failure's text.
TEST_F(CompositionRunnersTest, SelfCallingParallelEndsWithinItsBudget) {
  const std::string text = test::outcome(steps({{"fan", ""}}, {}, PartialFailurePolicy::abort));
  EXPECT_TRUE(text == "error: Too many composed steps in one call (more than 256)" ||
              text == "error: Behavior nesting deeper than 16 levels")
      << text;
}

TEST_F(CompositionRunnersTest, CacheKeepsSuccessesUntilTheyExpireAndAtMostAThousand) {
  std::atomic<std::int64_t> seconds = 0;
  auto cache = std::make_shared<ManifestCacheRunner>(runners_, [&] {
    return ManifestCacheRunner::Clock::time_point(std::chrono::seconds(seconds.load()));
  });
  runners_.install(B::Kind::cache, cache);
  const BehaviorSpec counted = B::Cache{300, B::HttpLocal{server_.baseURL(), "GET", "/count"}};
  const auto call = [&](const BehaviorSpec& behavior, int v) {
    return runners_.execute(behavior, {{"v", v}}, 30000);
  };
  const std::pair<int, std::size_t> calls[] = {{1, 1}, {1, 1}, {2, 2}, {1, 2}};
  for (const auto& [v, requests] : calls) {
    EXPECT_TRUE(call(counted, v).ok());
    EXPECT_EQ(server_.requestsTo("/count").size(), requests);
  }
  seconds = 301;
  EXPECT_TRUE(call(counted, 1).ok());
  EXPECT_EQ(server_.requestsTo("/count").size(), 3u);

  // A lifetime past the clock's range is kept as long as the clock can count.
  EXPECT_TRUE(call(B::Cache{std::numeric_limits<std::int64_t>::max(), B::Text{"t"}}, 0).ok());
  EXPECT_EQ(cache->size(), 2u);
  const BehaviorSpec failing = B::Cache{300, B::Native{"missing"}};
  EXPECT_FALSE(call(failing, 1).ok());
  EXPECT_EQ(cache->size(), 2u);

  const BehaviorSpec cheap = B::Cache{60, B::Text{"t"}};
  for (int v = 0; v <= 1000; ++v) EXPECT_TRUE(call(cheap, v));
  EXPECT_EQ(cache->size(), ManifestCacheRunner::kMaxEntries);
  seconds = 400;
  EXPECT_TRUE(call(cheap, -1));
  EXPECT_EQ(cache->size(), 3u);  // the expired ones went with the next insert
}

TEST(ConditionTest, EvaluatesEachKindOfCondition) {
  test::writeFile(Paths::appSupport() / "pim" / "authorization.json",
                  R"({"calendar":"granted","contacts":"denied"})");
  test::writeFile(Paths::home() / "present", "");
  const json params = {{"mode", "fast"}, {"n", 3}, {"on", true}};
  HelperProxy noHelper;  // the platform's answer: the permission store's decisions
  PrivacyGate gate;
  const PermissionSource permissions = [&] {
    return TCCStatusChecker::currentStatus(noHelper, gate);
  };
  const char* holding[] = {
      "tcc:calendar",        "tcc:calendar=granted",    "tcc:calendar==granted",
      "tcc:contacts=denied", "tcc:other=notDetermined", "param:mode=fast",
      "param:n=3",           "param:on=true",           "file_exists:~/present",
      "engine_gte:3.0.99",   "engine_gte:3.0.210"};
  const char* failing[] = {"tcc:contacts",       "tcc:",
                           "tcc:==granted",      "TCC:calendar",
                           "param:mode=slow",    "param:mode=",
                           "param:mode",         "param:absent=",
                           "param:absent=x",     "file_exists:~/absent",
                           "engine_gte:3.0.211", "engine_gte:3.1",
                           "anything else"};
  for (const char* condition : holding) {
    EXPECT_TRUE(ManifestConditionalRunner::evaluateCondition(condition, params, permissions))
        << condition;
  }
  for (const char* condition : failing) {
    EXPECT_FALSE(ManifestConditionalRunner::evaluateCondition(condition, params, permissions))
        << condition;
  }
  // Without a source of statuses no service counts as granted.
  for (const char* condition : {"tcc:calendar", "tcc:contacts=denied"}) {
    EXPECT_FALSE(ManifestConditionalRunner::evaluateCondition(condition, params, {})) << condition;
  }
}

}  // namespace
}  // namespace tvrn
