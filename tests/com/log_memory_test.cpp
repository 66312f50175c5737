// The log when memory runs out.  This executable replaces the non-throwing
// allocation functions so that a test can make one chosen allocation fail.
#include <gtest/gtest.h>

#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>

#include "com/com_usb.h"
#include "com/local_file.h"
#include "support/emulated_fixture.h"
#include "support/test_support.h"

namespace {

// Sizes (in bytes) whose next non-throwing allocation fails; 0 = none.
std::size_t fail_array_of = 0;
std::size_t fail_object_of = 0;

}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    if (fail_array_of != 0 && size == fail_array_of) {
        fail_array_of = 0;
        return nullptr;
    }
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    if (fail_object_of != 0 && size == fail_object_of) {
        fail_object_of = 0;
        return nullptr;
    }
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

namespace {

using testsupport::TempDir;

class LogProbe : public com::ComUsb {
public:
    LogProbe(const std::string& dir, bool enabled) : com::ComUsb(0x2C7E, 0x4201, dir, enabled) {}
    unsigned line_buffer_size() const { return log_buf_size; }
    bool has_line_buffer() const { return log_buf != nullptr; }
};

std::string construction_error(const std::string& dir)
{
    try {
        LogProbe link(dir, true);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "constructed";
}

class LogMemory : public testsupport::EmulatedBusTest {
protected:
    void TearDown() override
    {
        fail_array_of = fail_object_of = 0;
        EmulatedBusTest::TearDown();
    }
    TempDir dir;
};

TEST_F(LogMemory, ConstructionNamesWhichAllocationFailed)
{
    fail_array_of = 4096;  // the receive buffer
    EXPECT_EQ(construction_error(dir.utf8()), "no memory");
    fail_array_of = 8192;  // the line buffer
    EXPECT_EQ(construction_error(dir.utf8()), "no memory");
    fail_object_of = sizeof(com::LocalFile);
    EXPECT_EQ(construction_error(dir.utf8()), "No memory");
    EXPECT_EQ(construction_error(dir.utf8()), "constructed");
    EXPECT_EQ(bus().counters.default_context_refs, 0);
}

TEST_F(LogMemory, FailedGrowthDropsTheLineAndTheNextLineAllocatesAgain)
{
    LogProbe link(dir.utf8(), true);
    fail_array_of = 12288;
    try {
        link.write_log(std::string(9000, 'x').c_str());
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "No memory");
    }
    EXPECT_FALSE(link.has_line_buffer());
    link.write_log("after");
    EXPECT_TRUE(link.has_line_buffer());
    EXPECT_EQ(testsupport::read_file(link.log_file_path()), "2021-4-20 6:43:1: after\n");
}

}  // namespace
