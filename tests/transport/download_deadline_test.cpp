// The deadline of a bounded download, from the exchange's time-outs.

#include "transport/download_deadline.h"

#include <gtest/gtest.h>

namespace tessary {
namespace {

TEST(DownloadDeadlineTest, ConnectSendAndTenReceiveTimeoutsWithinBounds) {
    const struct {
        uint32_t connect, send, receive;
        uint32_t deadline;
    } cases[] = {
        {10000, 10000, 10000, 120000u},
        {1000, 2000, 300, 6000u},
        {0xFFFFFFFFu, 0, 0xFFFFFFFFu, 120000u},
        {1, 1, 1, 1000u},
        {9, 10, 98, 1000u},
        {0x7FFFFFFFu, 0x7FFFFFFFu, 0x7FFFFFFFu, 1800000u},
        {0x7FFFFFFFu, 1000, 1000, 611000u},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DownloadDeadlineMs(c.connect, c.send, c.receive), c.deadline)
            << c.connect << " " << c.send << " " << c.receive;
    }
}

}  // namespace
}  // namespace tessary
