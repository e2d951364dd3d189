#include "os_error.h"
#include "os_mem.h"
#include "standin/fault.h"
#include "test_support.h"

namespace {

STATUS Alloc() {
    DHANDLE h;
    STATUS status = OSMemAlloc(0, 4, &h);
    if (status == 0)
        OSMemFree(h);
    return status;
}

class FaultTest : public ::testing::Test {
  protected:
    void TearDown() override { StandinFaultClear(); }
};

TEST_F(FaultTest, SkipThenFailAGivenNumberOfTimes) {
    StandinFaultInject({"OSMemAlloc", ERR_MEMORY, 2, 3, nullptr});
    STATUS expected[] = {0, 0, ERR_MEMORY, ERR_MEMORY, ERR_MEMORY, 0, 0};
    for (size_t i = 0; i < sizeof expected / sizeof expected[0]; i++)
        EXPECT_EQ(Alloc(), expected[i]) << "call " << i;
    EXPECT_EQ(StandinFaultHits("OSMemAlloc"), 3u);
    StandinFaultClear();
    EXPECT_EQ(StandinFaultHits("OSMemAlloc"), 0u);
}

TEST_F(FaultTest, TimesZeroFailsEveryCallUntilCleared) {
    StandinFaultInject({"OSMemAlloc", 0x1234, 0, 0, nullptr});
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(Alloc(), 0x1234);
    StandinFaultClear();
    EXPECT_EQ(Alloc(), 0);
}

TEST_F(FaultTest, OtherCallsAreNotTouched) {
    StandinFaultInject({"NSFDbOpen", ERR_MEMORY, 0, 0, nullptr});
    EXPECT_EQ(Alloc(), 0);
}

TEST_F(FaultTest, ParsesRuleTexts) {
    ASSERT_TRUE(StandinFaultParse("OSMemAlloc=0x0101+1*1; NSFDbOpen=2562@mail\\jdoe.nsf"));
    EXPECT_EQ(Alloc(), 0);
    EXPECT_EQ(Alloc(), ERR_MEMORY);
    EXPECT_EQ(Alloc(), 0);
    const char *bad[] = {"OSMemAlloc",     "=5",           "OSMemAlloc=x", "OSMemAlloc=70000",
                         "OSMemAlloc=5+y", "OSMemAlloc=5*"};
    for (const char *text : bad)
        EXPECT_FALSE(StandinFaultParse(text)) << text;
}

}  // namespace
