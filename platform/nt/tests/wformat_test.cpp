#include "platform/nt/wformat.h"

#include <gtest/gtest.h>

#include "platform/nt/debug.h"
#include "wdm.h"

namespace {

TEST(WindowsFormat, IntegerSizesFollowTheTargetDataModel) {
    // 'l' is 32 bits on the target: a LONG passed with %ld must not read 64 bits.
    LONG negative = -5;
    EXPECT_EQ(qk::Format("%ld|%lu|%lx", negative, ULONG{7}, ULONG{0xABCD}), "-5|7|abcd");
    EXPECT_EQ(qk::Format("%I64d|%lld|%I64X", int64_t{-1} << 40, int64_t{3}, uint64_t{0x1122334455667788}),
              "-1099511627776|3|1122334455667788");
    EXPECT_EQ(qk::Format("%Iu|%zu", size_t{1} << 33, size_t{9}), "8589934592|9");
    EXPECT_EQ(qk::Format("%hd|%hhu|%04X|%-4d|", 70000, 300, 0xBE, 7), "4464|44|00BE|7   |");
    EXPECT_EQ(qk::Format("%*d|%.*s|", 5, 42, 2, "abcdef"), "   42|ab|");
}

TEST(WindowsFormat, StringConversionsTakeTheTargetWidths) {
    const char16_t wide[] = u"Cam\u00e9ra";
    EXPECT_EQ(qk::Format("%S/%ls/%ws/%s", wide, wide, wide, "narrow"), "Cam\xc3\xa9ra/Cam\xc3\xa9ra/Cam\xc3\xa9ra/narrow");
    UNICODE_STRING u{6, 6, const_cast<char16_t*>(u"abcdef")};  // Length counts bytes: "abc"
    ANSI_STRING a{2, 3, const_cast<char*>("xyz")};
    EXPECT_EQ(qk::Format("[%wZ][%Z]", &u, &a), "[abc][xy]");
    EXPECT_EQ(qk::Format("%s %S %wZ", nullptr, nullptr, nullptr), "(null) (null) (null)");
    EXPECT_EQ(qk::Format("%c%C", 'A', u'\u00e9'), "A\xc3\xa9");
    // In a wide format the roles of %s and %S swap.
    EXPECT_EQ(qk::FormatWide(u"%s-%S-%hs-%d", u"w", "n", "h", 12), u"w-n-h-12");
}

TEST(WindowsFormat, PointersPrintAtFullWidth) {
    EXPECT_EQ(qk::Format("%p", reinterpret_cast<void*>(0xBEEF)), "000000000000BEEF");
}

TEST(WindowsFormat, MalformedConversionsAreShownNotObeyed) {
    int target = 0;
    EXPECT_EQ(qk::Format("a%n|b", &target), "a|b");
    EXPECT_EQ(target, 0);
    EXPECT_EQ(qk::Format("100%"), "100%");
    EXPECT_EQ(qk::Format("%q|%%"), "%q|%");
    EXPECT_EQ(qk::Format("%5"), "%5");
}

TEST(WindowsFormat, Utf16RoundTripsAndReplacesBrokenSequences) {
    std::u16string text = u"a\u00e9\u20ac\U0001F600";
    EXPECT_EQ(qk::ToUtf16(qk::ToUtf8(text)), text);
    EXPECT_EQ(qk::ToUtf16("\xff" "a\xe2\x82"), u"\uFFFDa\uFFFD\uFFFD");
    const char16_t lone[] = {0xD800, u'x'};
    EXPECT_EQ(qk::ToUtf8(lone, 2), "\xef\xbf\xbdx");
}

TEST(DebuggerSink, DbgPrintLandsInTheSinkOnePerCall) {
    qk::debug::Clear();
    DbgPrint("VPE: frame %lu of %S\n", ULONG{3}, u"cam");
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "second");
    auto messages = qk::debug::Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "VPE: frame 3 of cam\n");
    EXPECT_EQ(qk::debug::Count("VPE: "), 1u);
    EXPECT_FALSE(qk::debug::Contains("third"));
}

}  // namespace
