// The soak runs' readings of /proc: each kind of growth they exist to catch
// shows, named, and nothing shows within the margins.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "process_readings.h"

namespace {

TEST(ProcessReadings, DescriptorsThreadsAndMemoryThatGrowAreFound)
{
    const soak::Reading before = soak::read_process();
    ASSERT_GE(before.fds(), 3u);
    ASSERT_GE(before.threads, 1);
    ASSERT_GT(before.rss_kib, 0u);
    EXPECT_GE(before.rss_peak_kib, before.rss_kib);
    EXPECT_TRUE(soak::growth(before, soak::read_process(), soak::Margins{0, 0, 1024}).empty())
        << "reading twice is no growth";

    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    std::mutex m;
    std::condition_variable cv;
    bool stop = false;
    std::thread waiting([&] {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return stop; });
    });
    std::vector<char> touched(16 << 20);
    std::memset(touched.data(), 1, touched.size());

    const soak::Reading after = soak::read_process();
    const auto found = soak::growth(before, after, soak::Margins{0, 0, 1024});
    ASSERT_EQ(found.size(), 3u);
    EXPECT_NE(found[0].find("[" + std::to_string(fd) + " -> /dev/null]"), std::string::npos) << found[0];
    EXPECT_NE(found[1].find("threads grew"), std::string::npos) << found[1];
    EXPECT_NE(found[2].find("resident memory grew"), std::string::npos) << found[2];
    EXPECT_TRUE(soak::growth(before, after, soak::Margins{1, 1, 64 << 10}).empty()) << "all within the margins";

    {
        std::lock_guard<std::mutex> lock(m);
        stop = true;
    }
    cv.notify_all();
    waiting.join();
    ::close(fd);
    EXPECT_EQ(soak::read_process().fds(), before.fds());
}

TEST(ProcessReadings, AnotherProcessIsReadByItsId)
{
    const soak::Reading parent = soak::read_process(::getppid());
    EXPECT_GE(parent.threads, 1);
    EXPECT_GT(parent.rss_kib, 0u);
    EXPECT_THROW(soak::read_process(0x7FFFFFF0), std::runtime_error);
}

}  // namespace
