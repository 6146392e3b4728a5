#include <gtest/gtest.h>

#include <vector>

#include "DeviceFrame.h"

namespace {

DeviceFrame Frame(std::initializer_list<std::pair<int, int>> bytes) {
    DeviceFrame f{};
    for (auto [i, v] : bytes) f[i] = static_cast<std::uint8_t>(v);
    return f;
}

// A valid reply frame: header, address, command and checksum.
DeviceFrame Reply(int address, int command, std::initializer_list<std::pair<int, int>> extra = {}) {
    DeviceFrame f = Frame(extra);
    f[0] = 0xAA;
    f[1] = static_cast<std::uint8_t>(address);
    f[2] = static_cast<std::uint8_t>(command);
    f[25] = CheckSum(f);
    return f;
}

TEST(FrameText, FirstTestRequestToAddressOne) {
    DeviceFrame tx{};
    FillRequest(tx, NuvOperation::Test, {.address = 1});
    EXPECT_EQ(tx, Frame({{0, 0xAA}, {1, 1}, {2, 9}, {25, 0xB4}}));
    const std::string hex = FrameToHex(tx);
    EXPECT_EQ(hex.size(), 78u);
    std::string zeros;
    for (int i = 0; i < 22; ++i) zeros += " 00";
    EXPECT_EQ(hex, " AA 01 09" + zeros + " B4");
}

TEST(FrameText, EveryByteAsTwoUpperCaseDigits) {
    DeviceFrame f{};
    for (int i = 0; i < 26; ++i) f[i] = static_cast<std::uint8_t>(i * 10 + 5);
    const std::string hex = FrameToHex(f);
    EXPECT_EQ(hex.substr(0, 12), " 05 0F 19 23");
    EXPECT_EQ(hex.substr(75), " FF");
    EXPECT_EQ(hex.back(), 'F');
}

TEST(Checksum, SumOfFirstTwentyFiveBytesModulo256) {
    DeviceFrame f{};
    f.fill(0xFF);
    EXPECT_EQ(CheckSum(f), static_cast<std::uint8_t>(25 * 0xFF));
    f[25] = 0;
    EXPECT_EQ(CheckSum(f), static_cast<std::uint8_t>(25 * 0xFF)) << "byte 25 is not summed";
}

TEST(TypeNames, MatchTheTypeListIncludingTenPointDigital) {
    ASSERT_EQ(TypeListEntries().size(), 6u);
    const char* expected[] = {"6Points(Digital In)", "6Points(Analog In)",   "10Points(Digital In)",
                              "10Points(Analog In)", "20Points(Digital In)", "20Points(Analog In)"};
    for (int code = 1; code <= 6; ++code) {
        EXPECT_EQ(TypeName(code), expected[code - 1]);
        EXPECT_STREQ(TypeListEntries()[code - 1], expected[code - 1]);
    }
}

TEST(Requests, WriteTypeBytesCarryOverIntoTest) {
    DeviceFrame tx{};
    FillRequest(tx, NuvOperation::WriteType, {.address = 1, .typeIndex = 3});
    EXPECT_EQ(tx, Frame({{0, 0xAA},
                         {1, 1},
                         {2, 0x11},
                         {3, 1},
                         {4, 1},
                         {5, 4},
                         {23, 0x1A},
                         {24, 0},
                         {25, 0xDC}}));
    FillRequest(tx, NuvOperation::Test, {.address = 1});
    EXPECT_EQ(
        tx,
        Frame(
            {{0, 0xAA}, {1, 1}, {2, 9}, {3, 1}, {4, 1}, {5, 4}, {23, 0x1A}, {24, 0}, {25, 0xD4}}));
}

TEST(Requests, ReadAddressFirstGoesToBroadcastWhateverTheAddressField) {
    for (int address : {1, 7, 254}) {
        DeviceFrame tx{};
        FillRequest(tx, NuvOperation::ReadAddress, {.address = address, .typeIndex = 0});
        EXPECT_EQ(
            tx,
            Frame({{0, 0xAA}, {1, 0xFF}, {2, 0x0E}, {5, 1}, {23, 0x0A}, {24, 0x26}, {25, 0xE8}}));
    }
}

TEST(Requests, WriteAddressKeepsByteFourFromEarlierWriteType) {
    DeviceFrame fresh{};
    FillRequest(fresh, NuvOperation::WriteAddress, {.address = 3, .newAddress = 9, .typeIndex = 1});
    EXPECT_EQ(fresh[3], 9);
    EXPECT_EQ(fresh[4], 0);
    EXPECT_EQ(fresh[5], 2);

    DeviceFrame carried{};
    FillRequest(carried, NuvOperation::WriteType, {.address = 3, .typeIndex = 1});
    FillRequest(carried, NuvOperation::WriteAddress,
                {.address = 3, .newAddress = 9, .typeIndex = 1});
    EXPECT_EQ(carried[4], 1);
    EXPECT_EQ(carried[25], CheckSum(carried));
}

TEST(Requests, AddressIsTakenModulo256) {
    const std::pair<int, int> cases[] = {{256, 0}, {-1, 255}, {300, 44}, {1, 1}};
    for (auto [field, sent] : cases) {
        DeviceFrame tx{};
        FillRequest(tx, NuvOperation::Test, {.address = field});
        EXPECT_EQ(tx[1], sent) << field;
        FillRequest(tx, NuvOperation::WriteAddress, {.address = 1, .newAddress = field});
        EXPECT_EQ(tx[3], sent) << field;
    }
}

TEST(Requests, NoTypeSelectedWritesZeroTypeByte) {
    for (auto op :
         {NuvOperation::WriteType, NuvOperation::ReadAddress, NuvOperation::WriteAddress}) {
        DeviceFrame tx{};
        tx[5] = 9;
        FillRequest(tx, op, {.address = 1, .typeIndex = -1});
        EXPECT_EQ(tx[5], 0);
    }
}

TEST(Requests, ReadTypeBytesAndUntouchedPayload) {
    DeviceFrame tx{};
    FillRequest(tx, NuvOperation::ReadType, {.address = 5});
    EXPECT_EQ(tx, Frame({{0, 0xAA}, {1, 5}, {2, 16}, {23, 26}, {24, 0}, {25, CheckSum(tx)}}));
    for (int i = 6; i <= 22; ++i) EXPECT_EQ(tx[i], 0);
}

struct AcceptCase {
    const char* name;
    std::vector<std::uint8_t> block;
    int pendingAddress;
    int pendingCommand;
    bool accepted;
};

std::vector<std::uint8_t> Bytes(const DeviceFrame& f) {
    return {f.begin(), f.end()};
}

TEST(Acceptance, TheFourTestsInOrder) {
    DeviceFrame good = Reply(5, 9);
    auto badHeader = good;
    badHeader[0] = 0xAB;
    badHeader[25] = CheckSum(badHeader);
    auto offByOne = good;
    offByOne[25] = static_cast<std::uint8_t>(offByOne[25] + 1);
    auto otherCommand = Reply(5, 77);
    auto longer = Bytes(good);
    longer.push_back(0);

    const AcceptCase cases[] = {
        {"valid", Bytes(good), 5, 9, true},
        {"25 bytes", std::vector<std::uint8_t>(good.begin(), good.end() - 1), 5, 9, false},
        {"27 bytes", longer, 5, 9, false},
        {"first half", std::vector<std::uint8_t>(good.begin(), good.begin() + 13), 5, 9, false},
        {"bad header", Bytes(badHeader), 5, 9, false},
        {"other address", Bytes(Reply(6, 9)), 5, 9, false},
        {"any address for read address", Bytes(Reply(6, 14)), 255, 14, true},
        {"checksum one too high", Bytes(offByOne), 5, 9, false},
        {"byte 2 not examined", Bytes(otherCommand), 5, 9, true},
        {"all-zero request frame, address 0", Bytes(Reply(0, 9)), 0, 0, true},
        {"all-zero request frame, address 1", Bytes(Reply(1, 9)), 0, 0, false},
        {"line error text", {'C', 'o', 'm', 'm'}, 5, 9, false},
    };
    for (const auto& c : cases) {
        DeviceFrame tx{};
        tx[1] = static_cast<std::uint8_t>(c.pendingAddress);
        tx[2] = static_cast<std::uint8_t>(c.pendingCommand);
        DeviceFrame rx{};
        EXPECT_EQ(AcceptReply(c.block.data(), c.block.size(), tx, rx), c.accepted) << c.name;
    }
}

TEST(Acceptance, CopiesA26ByteBlockBeforeTheOtherTests) {
    DeviceFrame tx{};
    tx[1] = 5;
    tx[2] = 9;
    auto bad = Reply(6, 9);
    DeviceFrame rx{};
    EXPECT_FALSE(AcceptReply(bad.data(), bad.size(), tx, rx));
    EXPECT_EQ(rx, bad);
    DeviceFrame untouched{};
    std::uint8_t shortBlock[25] = {0xAA};
    EXPECT_FALSE(AcceptReply(shortBlock, sizeof shortBlock, tx, untouched));
    EXPECT_EQ(untouched, DeviceFrame{});
}

struct OutcomeCase {
    int command;
    DeviceFrame reply;
    std::optional<std::string> text;
    std::optional<std::string> typeText;
    std::optional<int> address;
};

TEST(Outcomes, EveryRowOfTheTable) {
    const OutcomeCase cases[] = {
        {9, Reply(1, 9), "Ok to test NUV !", {}, {}},
        {16,
         Reply(1, 16, {{3, 1}, {4, 1}, {5, 3}}),
         "Ok to read NUV Type!",
         "10Points(Digital In)",
         {}},
        {16,
         Reply(1, 16, {{3, 1}, {4, 1}, {5, 6}}),
         "Ok to read NUV Type!",
         "20Points(Analog In)",
         {}},
        {16,
         Reply(1, 16, {{3, 1}, {4, 1}, {5, 0}}),
         "Failed to read NUV Type !",
         "Unknown NUV Type !",
         {}},
        {16,
         Reply(1, 16, {{3, 1}, {4, 1}, {5, 7}}),
         "Failed to read NUV Type !",
         "Unknown NUV Type !",
         {}},
        {16,
         Reply(1, 16, {{3, 2}, {4, 1}, {5, 3}}),
         "Failed to read NUV Type !",
         "Unknown NUV Type !",
         {}},
        {16,
         Reply(1, 16, {{3, 1}, {4, 0}, {5, 3}}),
         "Failed to read NUV Type !",
         "Unknown NUV Type !",
         {}},
        {17, Reply(1, 17), "Ok to write NUV type!", {}, {}},
        {14, Reply(42, 14), "Ok to read NUV Address!", {}, 42},
        {21, Reply(1, 21), "Ok to write NUV Address,Please reset NUV device!!", {}, {}},
        {0, Reply(0, 0), std::nullopt, {}, {}},
        {99, Reply(0, 0), std::nullopt, {}, {}},
    };
    for (const auto& c : cases) {
        const ReplyOutcome out = OutcomeFor(static_cast<std::uint8_t>(c.command), c.reply);
        EXPECT_EQ(out.text, c.text) << c.command;
        EXPECT_EQ(out.typeText, c.typeText) << c.command;
        EXPECT_EQ(out.address, c.address) << c.command;
    }
}

}  // namespace
