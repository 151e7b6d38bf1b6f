// SigpipeGuard: a write to a socket whose peer has gone fails with EPIPE
// and leaves nothing pending, and a SIGPIPE that was pending before the
// guard is still pending after it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "posix/sigpipe_guard.h"
#include "posix/unique_fd.h"

namespace {

bool Pending() {
  sigset_t pending;
  sigpending(&pending);
  return sigismember(&pending, SIGPIPE) == 1;
}

// A socket whose peer is closed.
posix::UniqueFd Orphan() {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return {};
  ::close(pair[1]);
  return posix::UniqueFd(pair[0]);
}

class SigpipeGuardTest : public ::testing::Test {
 protected:
  // Nothing here may end the test program: SIGPIPE is blocked around each
  // case, and the mask is put back after it.
  void SetUp() override {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    ASSERT_EQ(pthread_sigmask(SIG_UNBLOCK, &pipe, &old_), 0);
  }
  void TearDown() override { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  sigset_t old_{};
};

TEST_F(SigpipeGuardTest, AWriteToAGonePeerFailsAndLeavesNothingPending) {
  struct sigaction fallback {}, before {};
  fallback.sa_handler = SIG_DFL;  // which ends the process, were it delivered
  ASSERT_EQ(sigaction(SIGPIPE, &fallback, &before), 0);
  const auto fd = Orphan();
  ASSERT_TRUE(fd);
  for (int i = 0; i < 3; ++i) {
    ssize_t n = 0;
    int error = 0;
    {
      const posix::SigpipeGuard guard;
      n = ::write(fd.get(), "x", 1);
      error = errno;
    }
    EXPECT_EQ(n, -1);
    EXPECT_EQ(error, EPIPE);
    EXPECT_EQ(errno, EPIPE) << "the guard keeps errno as the write left it";
    EXPECT_FALSE(Pending());
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    EXPECT_FALSE(sigismember(&mask, SIGPIPE)) << "the thread's mask is as it was";
  }
  sigaction(SIGPIPE, &before, nullptr);
}

TEST_F(SigpipeGuardTest, ASigpipePendingBeforeStaysPending) {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &pipe, nullptr), 0);
  ASSERT_EQ(pthread_kill(pthread_self(), SIGPIPE), 0);
  ASSERT_TRUE(Pending());
  const auto fd = Orphan();
  {
    const posix::SigpipeGuard guard;
    EXPECT_EQ(::write(fd.get(), "x", 1), -1);
  }
  EXPECT_TRUE(Pending());
  // Still blocked, as it was before the guard; taken here so that it never
  // reaches the test program.
  const timespec now{};
  EXPECT_EQ(sigtimedwait(&pipe, nullptr, &now), SIGPIPE);
  EXPECT_FALSE(Pending());
}

}  // namespace
