#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "manifest/ManifestStore.h"

namespace tvrn {
namespace {

// A manifest whose parts all agree with its version, so a reader can tell a torn one.
Manifest manifestNumbered(int version, int toolCount) {
  Manifest manifest;
  manifest.version = version;
  const std::string mark = std::to_string(version);
  for (int i = 0; i < toolCount; ++i) {
    ToolSpec tool;
    tool.name = "tool_" + mark;
    tool.behavior = BehaviorSpec::Jxa{"return " + mark};
    manifest.tools.push_back(tool);
  }
  manifest.disabledTools = {"tool_" + mark};
  manifest.remoteConfig.entries["manifest_check_every_beats"] = mark;
  return manifest;
}

bool isWhole(const Manifest& manifest) {
  const std::string mark = std::to_string(manifest.version);
  if (manifest.disabledTools != std::vector<std::string>{"tool_" + mark}) return false;
  if (manifest.remoteConfig.asInt("manifest_check_every_beats") != manifest.version) return false;
  for (const auto& tool : manifest.tools) {
    if (tool.name != "tool_" + mark) return false;
    if (tool.behavior != BehaviorSpec(BehaviorSpec::Jxa{"return " + mark})) return false;
  }
  return true;
}

TEST(ManifestStoreTest, HoldsNoManifestUntilOneIsStored) {
  ManifestStore store;
  EXPECT_FALSE(store.manifest().has_value());

  store.setManifest(manifestNumbered(3, 2));
  auto stored = store.manifest();
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(*stored, manifestNumbered(3, 2));

  store.setManifest(std::nullopt);
  EXPECT_FALSE(store.manifest().has_value());
}

TEST(ManifestStoreTest, HandsOutCopiesThatCannotChangeTheStore) {
  ManifestStore store;
  store.setManifest(manifestNumbered(1, 1));
  auto copy = store.manifest();
  ASSERT_TRUE(copy.has_value());
  copy->disabledTools.clear();
  copy->tools.front().name = "changed";
  copy->remoteConfig.entries.clear();

  EXPECT_EQ(store.manifest(), manifestNumbered(1, 1));

  store.setManifest(manifestNumbered(2, 1));
  EXPECT_EQ(copy->version, 1);  // a copy taken earlier keeps the manifest it was taken from
}

TEST(ManifestStoreTest, ReadersSeeOnlyWholeManifestsWhileWritersReplaceThem) {
  ManifestStore store;
  store.setManifest(manifestNumbered(1, 20));
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::atomic<int> reads{0};

  std::vector<std::thread> readers;
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&] {
      do {
        auto manifest = store.manifest();
        if (!manifest || !isWhole(*manifest)) torn.fetch_add(1);
        reads.fetch_add(1);
      } while (!done.load());
    });
  }
  std::vector<std::thread> writers;
  for (int w = 0; w < 2; ++w) {
    writers.emplace_back([w, &store] {
      for (int i = 0; i < 300; ++i) {
        store.setManifest(manifestNumbered(2 + (i + w) % 5, 1 + i % 30));
      }
    });
  }
  for (auto& writer : writers) writer.join();
  done.store(true);
  for (auto& reader : readers) reader.join();

  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(reads.load(), 0);
}

}  // namespace
}  // namespace tvrn
