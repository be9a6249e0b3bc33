// A close that waits (here a TCP socket that lingers over unsent bytes, as a tty waits for a
// line held by flow control: a pseudo-terminal never waits) holds neither the thread that hands
// it over nor the opening of another device; an open of the same device waits for it.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "platform/serial/SerialCloser.h"
#include "support/PtyPair.h"

namespace {

using namespace std::chrono_literals;

struct Connection {
  int client = -1, server = -1;
};

// A loopback connection whose client has filled every buffer toward a server that reads
// nothing, and lingers: its last close waits until the server has read it all.
Connection LingeringConnection(std::size_t& written) {
  Connection connection;
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(listener);
    return connection;
  }
  connection.client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ::connect(connection.client, reinterpret_cast<sockaddr*>(&address), sizeof address);
  connection.server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ::close(listener);
  const linger lingering{1, 120};
  ::setsockopt(connection.client, SOL_SOCKET, SO_LINGER, &lingering, sizeof lingering);
  ::fcntl(connection.client, F_SETFL, O_NONBLOCK);
  const std::vector<char> block(4096, 'x');
  written = 0;
  for (long n; (n = ::write(connection.client, block.data(), block.size())) > 0;)
    written += static_cast<std::size_t>(n);
  return connection;
}

bool Lockable(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  const bool free = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (fd >= 0) ::close(fd);
  return free;
}

}  // namespace

TEST(SerialCloser, AWaitingCloseHoldsNoThreadAndOnlyItsOwnDevicesNextOpen) {
  velmora::testing::PtyPair queued, other;
  ASSERT_TRUE(queued.valid() && other.valid());
  std::size_t written = 0;
  const Connection connection = LingeringConnection(written);
  ASSERT_GE(connection.server, 0);
  ASSERT_GT(written, 0u);
  const int held = ::open(queued.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);

  velmora::platform::SerialCloser closer;
  // Closed here, either hand-over would wait for the server, which reads only after both.
  auto handing = std::async(std::launch::async, [&] {
    closer.Close(connection.client);
    closer.Close(held);
  });
  ASSERT_EQ(handing.wait_for(20s), std::future_status::ready) << "a close held its caller";
  auto otherOpen = std::async(std::launch::async, [&] { closer.WaitFor(other.slavePath()); });
  EXPECT_EQ(otherOpen.wait_for(20s), std::future_status::ready) << "another device waited";
  auto sameOpen = std::async(std::launch::async, [&] { closer.WaitFor(queued.slavePath()); });
  EXPECT_FALSE(Lockable(queued.slavePath())) << "closed before the close ahead of it ended";
  EXPECT_NE(sameOpen.wait_for(0s), std::future_status::ready) << "it did not wait for its close";

  // The server reads it all: the lingering close ends, then the queued one.
  const timeval bound{20, 0};
  ::setsockopt(connection.server, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  std::size_t read = 0;
  char buffer[65536];
  for (long n; (n = ::read(connection.server, buffer, sizeof buffer)) > 0;)
    read += static_cast<std::size_t>(n);
  EXPECT_EQ(read, written);
  ASSERT_EQ(sameOpen.wait_for(20s), std::future_status::ready);
  EXPECT_TRUE(Lockable(queued.slavePath()));
  ::close(connection.server);
}
