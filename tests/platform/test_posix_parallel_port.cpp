// The parallel port on a FIFO standing in for the printer: nothing it does may
// hold the thread the other jobs run on.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/text.h"
#include "platform/parallel_port.h"
#include "support/fake_env.h"

namespace tolven::platform {
namespace {

// Nobody reading is refused at once; a printer that takes nothing is waited
// for in 10 ms pauses of the Env and given up after 30 s without progress; one
// that takes a little every 25 s gets the whole printout, however long it takes.
TEST(PosixParallelPort, PausesWhileTheDeviceTakesNothingAndGivesUpOnlyAfterThirtySecondsWithoutProgress) {
  tolven::testing::TempDir dir;
  tolven::testing::FakeEnv env;
  const std::string fifo = dir / "lp0";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto port = MakeParallelPort(env);
  EXPECT_EQ(port->Open(fifo).osError(), ENXIO);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK), filler = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  std::string got, before, printout;
  for (const std::string chunk(4096, 'f'); ::write(filler, chunk.data(), chunk.size()) > 0;) before += chunk;
  ::close(filler);

  ASSERT_TRUE(port->Open(fifo).ok());
  const Status stalled = port->Write("Tisch 4\r\n");
  EXPECT_TRUE(stalled.osError() == ETIMEDOUT && StartsWith(stalled.message(), "write(" + fifo + "): "));
  EXPECT_EQ(env.sleeps(), std::vector<int>(3000, 10));

  auto drain = [&] {
    char buf[4096];
    for (ssize_t n; (n = ::read(reader, buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
  };
  env.onSleep = [&](int) {
    if (env.sleeps().size() % 2500 == 0) drain();
  };
  for (int i = 0; printout.size() < 4 * before.size(); ++i) printout += "Zeile " + std::to_string(i) + "\r\n";
  ASSERT_TRUE(port->Write(printout).ok());
  drain();
  ::close(reader);
  EXPECT_TRUE(got == before + printout) << got.size() << " bytes instead of " << before.size() + printout.size();
}

}  // namespace
}  // namespace tolven::platform
