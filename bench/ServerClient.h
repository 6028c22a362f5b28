// What the benchmarks of whole server programs share: the processor time a server process has
// used, and a client connection to a Unix socket that writes request lines and reads reply lines.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace tvrn::bench {

// The processor time a process has used, user and system, in seconds.
inline double processorSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields after the command name, which ends at the last ")": state is the 3rd field, utime
  // the 14th and stime the 15th.
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index >= 14) ticks += std::stod(field);
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// One client connection, reading whole reply lines.
class Connection {
 public:
  explicit Connection(const std::filesystem::path& socket) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 &&
        ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~Connection() {
    if (fd_ >= 0) ::close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Writes the lines and reads `replies` reply lines.
  bool exchange(const std::string& lines, int replies) {
    if (fd_ < 0 || ::write(fd_, lines.data(), lines.size()) != static_cast<ssize_t>(lines.size())) {
      return false;
    }
    for (int i = 0; i < replies; ++i) {
      if (!readLine()) return false;
    }
    return true;
  }

 private:
  bool readLine() {
    for (;;) {
      if (const auto end = buffer_.find('\n', scanned_); end != std::string::npos) {
        buffer_.erase(0, end + 1);
        scanned_ = 0;
        return true;
      }
      scanned_ = buffer_.size();
      char chunk[65536];
      const ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n <= 0) return false;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  int fd_ = -1;
  std::string buffer_;
  std::size_t scanned_ = 0;
};

}  // namespace tvrn::bench
