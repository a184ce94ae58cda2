#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "foundation/atr_translate.h"
#include "foundation/cow_String.h"

TEST(CowString, CopiesShareUntilOneSideChanges) {
    cow_String empty;
    EXPECT_STREQ(empty.text(), "");
    EXPECT_EQ(empty.refCount(), 0);

    cow_String original("phase");
    cow_String copy = original;
    EXPECT_EQ(original.refCount(), 2);
    EXPECT_EQ(copy.text(), original.text());

    copy.append("=x");
    EXPECT_EQ(original, "phase");
    EXPECT_EQ(copy, "phase=x");
    EXPECT_EQ(original.refCount(), 1);

    copy.Delete();
    EXPECT_TRUE(copy.isEmpty());
    EXPECT_EQ(original, "phase");
}

TEST(CowString, AssignReusesTheTextOnlyWhenUnsharedAndLargeEnough) {
    cow_String phase("Assembly");
    const char* storage = phase.text();
    phase.assign("Solve");
    EXPECT_EQ(phase, "Solve");
    EXPECT_EQ(phase.text(), storage);
    phase.assign(phase.view().substr(1));
    EXPECT_EQ(phase, "olve");

    const cow_String reader = phase;
    phase.assign("Output");
    EXPECT_EQ(reader, "olve");
    EXPECT_EQ(phase, "Output");
    EXPECT_NE(phase.text(), reader.text());

    phase.assign(std::string(100, 'x'));
    EXPECT_EQ(phase.length(), 100);
    cow_String empty;
    empty.assign("");
    EXPECT_TRUE(empty.isEmpty());
}

TEST(CowString, WrittenInPlace) {
    const cow_String written = cow_String::Written(10, [](char* out) {
        std::memcpy(out, "abc", 3);
        return out + 3;
    });
    EXPECT_EQ(written, "abc");
    EXPECT_EQ(written.refCount(), 1);
    EXPECT_EQ(cow_String::Written(0, [](char* out) { return out; }), "");
}

TEST(CowString, EditingOperationsClipToTheText) {
    cow_String text("step=%i heading=%s");
    EXPECT_EQ(text.Find(" "), 7);
    EXPECT_EQ(text.Find(" ", 8), text.length());
    EXPECT_EQ(text.Find("%", 100), text.length());
    EXPECT_EQ(text.Substr(0, 4), "step");
    EXPECT_EQ(text.Substr(16, 100), "%s");
    EXPECT_EQ(text.Substr(100, 3), "");

    cow_String escaped("a&b");
    escaped.replace(1, 1, "&amp;", 5);
    EXPECT_EQ(escaped, "a&amp;b");

    cow_String appended;
    appended.append("abcdef", 6, 2, 3).append("xyz", 3, 1, INT_MAX).append(nullptr, 0);
    EXPECT_EQ(appended, "cdeyz");

    cow_String fromNull(static_cast<const char*>(nullptr));
    EXPECT_TRUE(fromNull.isEmpty());
}

TEST(CowString, NumbersAreExactDecimalText) {
    EXPECT_EQ(cow_String(-2147483647 - 1), "-2147483648");
    EXPECT_EQ(cow_String(4294967295u), "4294967295");
    EXPECT_EQ(cow_String(0.1), "0.1");
    EXPECT_EQ(cow_String(3.4028234663852886e38), "3.4028234663852886e+38");
    for (double value : {1.0 / 3.0, 2.5e-300, -123456.789, 6.02214076e23}) {
        const cow_String text(value);
        EXPECT_EQ(std::strtod(text.text(), nullptr), value) << text.text();
    }
    EXPECT_EQ(cow_String(std::numeric_limits<double>::infinity()), "inf");
}

TEST(CowString, SharedTextSurvivesCopiesReleasedOnManyThreads) {
    const cow_String shared("shared between threads");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&shared] {
            for (int i = 0; i < 10000; ++i) {
                cow_String copy = shared;
                copy.append('!');
                ASSERT_EQ(copy.length(), shared.length() + 1);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(shared.refCount(), 1);
    EXPECT_EQ(shared, "shared between threads");
}

TEST(AtrTranslate, FillsNumberedPlaceholders) {
    atr_translate kind("%d:");
    atr_SubstituteFormat(kind, 1, 5);
    EXPECT_EQ(kind.Result(), "5:");

    atr_translate two("%s at %d%%");
    atr_SubstituteFormat(two, 2, 7);
    EXPECT_EQ(two.Result(), "%s at 7%%");
    atr_SubstituteFormat(two, 1, "host");
    EXPECT_EQ(two.Result(), "host at 7%%");

    EXPECT_EQ(atr_translate("A read operation failed.").Result(), "A read operation failed.");
}
