#include "base/ilog.h"

#include <gtest/gtest.h>

#include <cstring>

#include "base/decint.h"

namespace {

TEST(LevelTest, WordsNumbersAndDefaults) {
    const struct {
        const char* word;
        int level;
    } rows[] = {{nullptr, 30},    {"", 30},      {"err", 10},  {"wrn", 20},
                {"inf", 30},      {"msg", 30},   {"mor", 31},  {"DBG", 40},
                {"All", 999},     {"40", 40},    {"-5", -5},   {"0", 30},
                {"  +25xyz", 25}, {"debug", 30}, {"dbgx", 30}, {"db", 30}};
    for (const auto& r : rows) EXPECT_EQ(zo::levelfromword(r.word), r.level) << r.word;
    // The word of a level is the first row that has it.
    for (auto [level, word] : {std::pair<int, const char*>{10, "err"},
                               {30, "inf"},
                               {31, "mor"},
                               {999, "all"},
                               {35, "ndf"},
                               {0, "ndf"}})
        EXPECT_STREQ(zo::levelword(level), word) << level;
}

TEST(LevelTest, DecimalReadsLikeAtoiWithoutOverflow) {
    const struct {
        const char* text;
        int32_t v;
    } rows[] = {{"802", 802},
                {"80x", 80},
                {" \t\n-12", -12},
                {"x1", 0},
                {"+", 0},
                {"2147483647", INT32_MAX},
                {"99999999999999999999", INT32_MAX},
                {"-2147483648", INT32_MIN},
                {"-99999999999999999999", INT32_MIN}};
    for (const auto& r : rows) EXPECT_EQ(zo::decint(r.text, std::strlen(r.text)), r.v) << r.text;
    EXPECT_EQ(zo::decint("1234", 2), 12);  // never past n
    EXPECT_EQ(zo::decint(nullptr, 3), 0);
}

}  // namespace
