// The shared hexadecimal entry rules: character check, check order, messages, codes, widths
// and conversions.
#include "tools/io/hex_input.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kvt {
namespace {

struct RecordingMessages : UserMessages {
    std::vector<std::string> shown;
    void ShowMessage(std::string_view text) override { shown.emplace_back(text); }
    void SetFocus(std::string_view) override {}
};

TEST(HexInput, IsHexStringAcceptsOnlyBareHexDigits) {
    EXPECT_TRUE(IsHexString("0"));
    EXPECT_TRUE(IsHexString("0123456789abcdefABCDEF"));
    EXPECT_TRUE(IsHexString("cf8"));
    EXPECT_TRUE(IsHexString("CF8"));
    EXPECT_FALSE(IsHexString(""));
    EXPECT_FALSE(IsHexString("0x80"));  // the x is not a digit
    EXPECT_FALSE(IsHexString("G"));
    EXPECT_FALSE(IsHexString("8G"));
    EXPECT_FALSE(IsHexString(" 80"));
    EXPECT_FALSE(IsHexString("80 "));
    EXPECT_FALSE(IsHexString("-1"));
    EXPECT_FALSE(IsHexString("+1"));
    EXPECT_FALSE(
        IsHexString(std::string("8\0"
                                "0",
                                3)));
    EXPECT_FALSE(IsHexString("\xc3\xa4"));  // non-ASCII
}

TEST(HexInput, FieldChecksRunEmptyThenInvalidThenLength) {
    EXPECT_EQ(CheckHexField("", 4), FieldCheck::Empty);
    // A long text that is also not hexadecimal is invalid, not too long.
    EXPECT_EQ(CheckHexField("12345G", 4), FieldCheck::Invalid);
    EXPECT_EQ(CheckHexField("12345", 4), FieldCheck::TooLong);
    EXPECT_EQ(CheckHexField("1234", 4), FieldCheck::Ok);
    EXPECT_EQ(CheckHexField("100", kGroupOffsetLength), FieldCheck::TooLong);
    EXPECT_EQ(CheckHexField("100", kSingleOffsetLength), FieldCheck::Ok);
    EXPECT_EQ(CheckHexField("123456789", kSingleOffsetLength), FieldCheck::TooLong);
}

TEST(HexInput, MessagesOfEachFieldKind) {
    EXPECT_STREQ(kPortAddressMessages.For(FieldCheck::Empty),
                 "Error! Please provide port address!");
    EXPECT_STREQ(kPortAddressMessages.For(FieldCheck::Invalid), "Error! Port address is invalid!");
    EXPECT_STREQ(kPortAddressMessages.For(FieldCheck::TooLong), "Error! Port address is too long!");
    EXPECT_STREQ(kSingleOffsetMessages.For(FieldCheck::Empty), "Error! Please provide Offset!");
    EXPECT_STREQ(kSingleOffsetMessages.For(FieldCheck::Invalid), "Error! Offset is invalid!");
    EXPECT_STREQ(kSingleOffsetMessages.For(FieldCheck::TooLong), "Error! Offset is too long!");
    EXPECT_STREQ(kGroupOffsetMessages.For(FieldCheck::Empty), "Error! Please provide offset!");
    EXPECT_STREQ(kGroupOffsetMessages.For(FieldCheck::Invalid), "Error! offset is invalid!");
    EXPECT_STREQ(kGroupOffsetMessages.For(FieldCheck::TooLong), "Error! Offset is too long!");
    EXPECT_STREQ(kPortDataMessages.For(FieldCheck::Empty), "Error! Please provide port data!");
    EXPECT_STREQ(kPortDataMessages.For(FieldCheck::Invalid), "Error! Data is invalid!");
    EXPECT_STREQ(kPortDataMessages.For(FieldCheck::TooLong), "Error! Port data is too long!");
    EXPECT_STREQ(kIndexDataMessages.For(FieldCheck::Empty), "Error! Please provide Data!");
    EXPECT_STREQ(kIndexDataMessages.For(FieldCheck::Invalid), "Error! Data is invalid!");
    EXPECT_STREQ(kIndexDataMessages.For(FieldCheck::TooLong), "Error! Data is too long!");
    EXPECT_STREQ(kWidthMismatchMessage,
                 "Error! Input data length does not match selected access width!");
}

TEST(HexInput, ErrorCodesAndTheirMessages) {
    EXPECT_EQ(PortErrorCode(FieldCheck::TooLong), 1);
    EXPECT_EQ(PortErrorCode(FieldCheck::Empty), 2);
    EXPECT_EQ(PortErrorCode(FieldCheck::Invalid), 3);
    EXPECT_EQ(PortErrorCode(FieldCheck::Ok), 0);
    EXPECT_EQ(OffsetErrorCode(FieldCheck::Invalid), 4);
    EXPECT_EQ(OffsetErrorCode(FieldCheck::Empty), 5);
    EXPECT_EQ(OffsetErrorCode(FieldCheck::TooLong), 6);

    RecordingMessages messages;
    for (int code : {1, 2, 3, 4, 5, 6, 0, 7, -1}) ShowIoInputError(messages, code);
    const std::vector<std::string> expected = {"Error! Port address is too long!",
                                               "Error! Please provide port address!",
                                               "Error! Port address is invalid!",
                                               "Error! Offset is invalid!",
                                               "Error! Please provide Offset!",
                                               "Error! Offset is too long!",
                                               "Unknown Error!",
                                               "Unknown Error!",
                                               "Unknown Error!"};
    EXPECT_EQ(messages.shown, expected);
}

TEST(HexInput, WidthRuleAllowsTwoDigitsPerByte) {
    EXPECT_TRUE(DataFitsWidth("FF", kWidthByte));
    EXPECT_FALSE(DataFitsWidth("1FF", kWidthByte));
    EXPECT_TRUE(DataFitsWidth("1", kWidthWord));
    EXPECT_FALSE(DataFitsWidth("12345", kWidthWord));
    EXPECT_TRUE(DataFitsWidth("12345678", kWidthDWord));
    EXPECT_FALSE(DataFitsWidth("123456789", kWidthDWord));
    EXPECT_STREQ(WidthName(kWidthByte), "Byte");
    EXPECT_STREQ(WidthName(kWidthWord), "Word");
    EXPECT_STREQ(WidthName(kWidthDWord), "DWord");
}

TEST(HexInput, ConversionsLikeScanfHexAndShortHex) {
    EXPECT_EQ(ParseHex16("cf8"), 0x0CF8);
    EXPECT_EQ(ParseHex16("CF8"), 0x0CF8);
    EXPECT_EQ(ParseHex16("ffff"), 0xFFFF);
    EXPECT_EQ(ParseHex16("12345"), 0x2345);  // "%hx" keeps the low 16 bits
    EXPECT_EQ(ParseHex32("0"), 0u);
    EXPECT_EQ(ParseHex32("DeadBeef"), 0xDEADBEEFu);
    EXPECT_EQ(ParseHex32("000000001"), 1u);
}

}  // namespace
}  // namespace kvt
