#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/JSONValue.h"
#include "core/MCPTransport.h"

namespace tvrn {
namespace {

// A connected socket pair: the test writes raw bytes on one end, the transport uses the other.
struct SocketPair {
  int test = -1;
  int transport = -1;
  SocketPair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    test = fds[0], transport = fds[1];
  }
  ~SocketPair() { closeEnd(test), closeEnd(transport); }
  static void closeEnd(int& fd) {
    if (fd >= 0) ::close(std::exchange(fd, -1));
  }
  void send(const std::string& bytes) {
    ASSERT_EQ(::send(test, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  }
};

TransportError failureOf(const std::function<void()>& read) {
  try {
    read();
  } catch (TransportError error) {
    return error;
  }
  ADD_FAILURE() << "the read did not fail";
  return TransportError::readFailed;
}

TEST(MCPReaderTest, ReadsLinesAndMessagesRefusingLinesThatAreNotUtf8) {
  SocketPair pair;
  pair.send("a\r\nb\r\r\n\xff\xfe\n\xed\xa0\x80\nc\n");
  pair.send("  \t \n\n\xc0\x80\n  {\"a\":1} \r\r\n\xc2\xa0{}\xe3\x80\x80\x0b\n");
  pair.send("{\"two\":2}\n{\"lost\":1}");
  SocketPair::closeEnd(pair.test);
  MCPReader reader(pair.transport);
  // One carriage return is stripped; a line that is not UTF-8 (stray bytes, an encoded surrogate,
  // an overlong NUL) fails on its own and the next line reads as usual.
  for (const char* line : {"a", "b\r"}) EXPECT_EQ(reader.readLine(), line);
  EXPECT_EQ(failureOf([&] { reader.readLine(); }), TransportError::encodingFailed);
  EXPECT_EQ(failureOf([&] { reader.readLine(); }), TransportError::encodingFailed);
  EXPECT_EQ(reader.readLine(), "c");
  EXPECT_EQ(failureOf([&] { reader.readMessage(); }), TransportError::encodingFailed);
  for (const char* body : {"{\"a\":1}", "{}", "{\"two\":2}"}) {
    EXPECT_EQ(reader.readMessage().body, body);
  }
  // The last line has no line feed: it is lost, and the end of input is reported each time.
  EXPECT_EQ(failureOf([&] { reader.readMessage(); }), TransportError::eof);
  EXPECT_EQ(failureOf([&] { reader.readLine(); }), TransportError::eof);
}

TEST(MCPReaderTest, ServesLinesHoweverTheBytesArrive) {
  // Many lines in one write, and one line split over many small writes.
  SocketPair pair;
  std::string burst;
  for (int i = 0; i < 500; ++i) burst += "{\"n\":" + std::to_string(i) + "}\n";
  const std::string split = "{\"split\":\"" + std::string(200'000, 'y') + "\"}\n";
  std::thread client([&] {
    pair.send(burst);
    for (std::size_t at = 0; at < split.size(); at += 7) pair.send(split.substr(at, 7));
    SocketPair::closeEnd(pair.test);
  });
  MCPReader reader(pair.transport);
  for (int i = 0; i < 500; ++i) {
    EXPECT_EQ(reader.readLine(), "{\"n\":" + std::to_string(i) + "}");
  }
  EXPECT_EQ(reader.readLine(), split.substr(0, split.size() - 1));
  EXPECT_EQ(failureOf([&] { reader.readLine(); }), TransportError::eof);
  client.join();
}

TEST(MCPReaderTest, DropsALineOverTheSizeLimitAndReadsOn) {
  SocketPair pair;
  const std::size_t limit = MCPReader::maxLineBytes;
  std::thread client([&] {
    pair.send(std::string(limit, 'x') + "\r\n");
    pair.send(std::string(limit + 1, 'y') + "\n");
    pair.send(std::string(3 * limit, 'z') + "\r\n{\"next\":1}\n");
    SocketPair::closeEnd(pair.test);
  });
  MCPReader reader(pair.transport);
  EXPECT_EQ(reader.readLine().size(), limit);
  EXPECT_EQ(failureOf([&] { reader.readMessage(); }), TransportError::encodingFailed);
  EXPECT_EQ(failureOf([&] { reader.readMessage(); }), TransportError::encodingFailed);
  EXPECT_EQ(reader.readMessage().body, "{\"next\":1}");
  EXPECT_EQ(failureOf([&] { reader.readMessage(); }), TransportError::eof);
  client.join();
}

TEST(MCPReaderTest, ReadsPipesAsWell) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "first\r\n \n{}\n", 12), 12);
  ::close(fds[1]);
  MCPReader reader(fds[0], true);
  EXPECT_EQ(reader.readLine(), "first");
  EXPECT_EQ(reader.readMessage().body, "{}");
  EXPECT_EQ(failureOf([&] { reader.readMessage(); }), TransportError::eof);
}

TEST(MCPWriterTest, ConcurrentWritersNeverInterleaveLines) {
  SocketPair pair;
  constexpr int kThreads = 8;
  constexpr int kMessages = 100;
  std::thread collector([&] {
    std::vector<std::int64_t> next(kThreads, 0);
    MCPReader reader(pair.test);
    for (int i = 0; i < kThreads * kMessages && !testing::Test::HasFailure(); ++i) {
      auto message = JSONValue::decode(reader.readMessage().body);
      ASSERT_TRUE(message.has_value()) << "message " << i << " is not one JSON value";
      EXPECT_EQ((*message)["sequence"]->asInt(), next[*(*message)["writer"]->asInt()]++);
    }
    SocketPair::closeEnd(pair.test);  // after a failure, the writers fail fast
  });
  {
    MCPWriter writer(pair.transport);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&writer, t] {
        // Now and then a message larger than the socket's buffer, which goes out in pieces.
        for (int i = 0; i < kMessages; ++i) {
          const std::string pad(i % 40 == 0 ? 300'000 : 100, 'p');
          writer.write(
              JSONValue(JSONValue::Object{{"writer", t}, {"sequence", i}, {"pad", pad}}).encode());
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }
  collector.join();
}

TEST(MCPWriterTest, FramesMessagesAndSurvivesAGonePeer) {
  SocketPair pair;
  {
    MCPWriter writer(std::exchange(pair.transport, -1), true);
    writer.write("\xff{}");  // not UTF-8: nothing reaches the wire
    writer.write("");
    writer.write("{\"\xc3\xa9\":1}");
    char sent[16] = {};
    EXPECT_EQ(::recv(pair.test, sent, sizeof sent, MSG_DONTWAIT), 10);
    EXPECT_STREQ(sent, "\n{\"\xc3\xa9\":1}\n");
  }
  // The owning writer closed its end: the peer sees the end of input.
  MCPReader reader(pair.test);
  EXPECT_EQ(failureOf([&] { reader.readLine(); }), TransportError::eof);

  // Writing to a closed peer must not raise SIGPIPE, even where the process does not ignore it.
  SocketPair closed;
  SocketPair::closeEnd(closed.test);
  const auto previous = std::signal(SIGPIPE, SIG_DFL);
  MCPWriter(closed.transport).write("{}");
  std::signal(SIGPIPE, previous);
}

TEST(MCPCodecTest, ReadsContentLength) {
  const struct {
    const char* line;
    std::optional<std::int64_t> length;
  } rows[] = {
      {"Content-Length: 42", 42},
      {"CONTENT-LENGTH:\t -7 \xc2\xa0", -7},
      {"content-length: +5", 5},
      {"content-length: 9223372036854775808", std::nullopt},
      {"content-length: 42\r", std::nullopt},
      {"content-length: +-5", std::nullopt},
      {"content-length:  ", std::nullopt},
      {"Content-Type: 42", std::nullopt},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(MCPCodec::parseContentLength(row.line), row.length) << row.line;
  }
}

}  // namespace
}  // namespace tvrn
