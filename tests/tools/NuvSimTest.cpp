#include <gtest/gtest.h>

#include <chrono>

#include "NuvBus.h"
#include "SimProcess.h"

namespace {

using Clock = std::chrono::steady_clock;

DeviceFrame Request(NuvOperation op, int address, int newAddress = 0, int typeIndex = 0) {
    DeviceFrame f{};
    FillRequest(f, op, {address, newAddress, typeIndex});
    return f;
}

std::optional<DeviceFrame> AsFrame(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() != kFrameSize) return std::nullopt;
    DeviceFrame f;
    std::copy(bytes.begin(), bytes.end(), f.begin());
    return f;
}

void ExpectValidFrom(const std::vector<std::uint8_t>& bytes, int address) {
    auto f = AsFrame(bytes);
    ASSERT_TRUE(f) << bytes.size() << " bytes";
    EXPECT_EQ((*f)[0], 0xAA);
    EXPECT_EQ((*f)[1], address);
    EXPECT_EQ((*f)[25], CheckSum(*f));
}

TEST(FrameParserTest, SkipsNoiseAndFindsFramesAcrossPieces) {
    nuvsim::FrameParser parser;
    const DeviceFrame a = Request(NuvOperation::Test, 3);
    std::vector<std::uint8_t> stream = {0x00, 0xAA, 0x01};  // noise with a false header
    stream.insert(stream.end(), a.begin(), a.end());
    auto bad = a;
    bad[25] ^= 1;
    stream.insert(stream.end(), bad.begin(), bad.end());
    stream.insert(stream.end(), a.begin(), a.end());
    std::vector<DeviceFrame> found;
    for (std::size_t i = 0; i < stream.size(); i += 7) {
        auto more = parser.Feed(stream.data() + i, std::min<std::size_t>(7, stream.size() - i));
        found.insert(found.end(), more.begin(), more.end());
    }
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0], a);
    EXPECT_EQ(found[1], a);
}

TEST(NuvSimTest, AnswersEveryCommand) {
    SimProcess sim({"--device", "7:2", "--delay", "1"});
    RawLine line(sim.Link());

    line.Send(Request(NuvOperation::Test, 7));
    auto reply = line.Receive();
    ExpectValidFrom(reply, 7);
    EXPECT_EQ(reply[2], 9);

    line.Send(Request(NuvOperation::ReadType, 7));
    reply = line.Receive();
    ExpectValidFrom(reply, 7);
    EXPECT_EQ(std::vector<std::uint8_t>(reply.begin() + 3, reply.begin() + 6),
              (std::vector<std::uint8_t>{1, 1, 2}));

    line.Send(Request(NuvOperation::WriteType, 7, 0, 4));  // type 5
    ExpectValidFrom(line.Receive(), 7);
    line.Send(Request(NuvOperation::ReadType, 7));
    EXPECT_EQ(line.Receive().at(5), 5);

    line.Send(Request(NuvOperation::ReadAddress, 1));
    ExpectValidFrom(line.Receive(), 7);

    line.Send(Request(NuvOperation::Test, 8));
    EXPECT_TRUE(line.Receive(200, 600).empty()) << "no device at 8";
}

TEST(NuvSimTest, WrittenAddressTakesEffectAfterAReset) {
    SimProcess sim({"--delay", "1"});
    RawLine line(sim.Link());
    line.Send(Request(NuvOperation::WriteAddress, 1, 9));
    ExpectValidFrom(line.Receive(), 1);
    line.Send(Request(NuvOperation::Test, 9));
    EXPECT_TRUE(line.Receive(200, 600).empty()) << "not before the reset";
    sim.Signal(SIGHUP);
    ASSERT_TRUE(sim.AwaitLog("reset:"));
    line.Send(Request(NuvOperation::Test, 9));
    ExpectValidFrom(line.Receive(), 9);
}

TEST(NuvSimTest, ImmediateAddressChange) {
    SimProcess sim({"--apply-address", "immediate", "--delay", "1"});
    RawLine line(sim.Link());
    line.Send(Request(NuvOperation::WriteAddress, 1, 200));
    ExpectValidFrom(line.Receive(), 1);
    line.Send(Request(NuvOperation::Test, 200));
    ExpectValidFrom(line.Receive(), 200);
}

TEST(NuvSimTest, TwoDevicesCollideOnABroadcastButAnswerAlone) {
    SimProcess sim({"--device", "3:1", "--device", "4:6", "--delay", "1"});
    RawLine line(sim.Link());
    line.Send(Request(NuvOperation::ReadAddress, 0));
    const auto collided = line.Receive();
    auto f = AsFrame(collided);
    EXPECT_TRUE(!f || (*f)[25] != CheckSum(*f)) << "not a valid frame";
    line.Send(Request(NuvOperation::Test, 4));
    ExpectValidFrom(line.Receive(), 4);
}

TEST(NuvSimTest, Faults) {
    struct Case {
        const char* fault;
        std::function<void(const std::vector<std::uint8_t>&, long ms)> check;
    };
    const Case cases[] = {
        {"silent", [](auto& b, long) { EXPECT_TRUE(b.empty()); }},
        {"late",
         [](auto& b, long ms) {
             ExpectValidFrom(b, 1);
             EXPECT_GE(ms, 1900);
         }},
        {"bad-checksum",
         [](auto& b, long) {
             ASSERT_EQ(b.size(), 26u);
             auto f = *AsFrame(b);
             EXPECT_EQ(f[25], static_cast<std::uint8_t>(CheckSum(f) + 1));
         }},
        {"wrong-address", [](auto& b, long) { ExpectValidFrom(b, 2); }},
        {"short", [](auto& b, long) { EXPECT_EQ(b.size(), 25u); }},
        {"garbage", [](auto& b, long) { EXPECT_NE(b.size(), 26u); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        SimProcess sim({"--fault", c.fault, "--delay", "1", "--seed", "7"});
        RawLine line(sim.Link());
        const auto start = Clock::now();
        line.Send(Request(NuvOperation::Test, 1));
        const auto got = line.Receive(300, 3000);
        const long ms = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
        c.check(got, ms);
    }
}

TEST(NuvSimTest, SplitReplyComesInTwoHalvesFarApart) {
    SimProcess sim({"--fault", "split", "--delay", "1"});
    RawLine line(sim.Link());
    line.Send(Request(NuvOperation::Test, 1));
    const auto first = line.Receive(100);
    const auto second = line.Receive(100);
    EXPECT_EQ(first.size(), 13u);
    EXPECT_EQ(second.size(), 13u);
}

TEST(NuvSimTest, FractionOfFaults) {
    SimProcess sim({"--fault", "silent:0.5", "--delay", "0", "--seed", "11", "--quiet"});
    RawLine line(sim.Link());
    int answered = 0;
    for (int i = 0; i < 20; ++i) {
        line.Send(Request(NuvOperation::Test, 1));
        answered += line.Receive(60, 200).size() == 26;
    }
    EXPECT_GT(answered, 2);
    EXPECT_LT(answered, 18);
}

TEST(NuvSimTest, HangupClosesTheLineAndRemovesTheLink) {
    SimProcess sim({"--fault", "hangup"});
    RawLine line(sim.Link());
    line.Send(Request(NuvOperation::Test, 1));
    pollfd p{line.Fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    sim.Wait();
    EXPECT_NE(access(sim.Link().c_str(), F_OK), 0);
}

TEST(NuvSimTest, WireSpeedPacesTheReply) {
    SimProcess sim({"--wire-speed", "--delay", "0"});
    RawLine line(sim.Link());
    const auto start = Clock::now();
    line.Send(Request(NuvOperation::Test, 1));
    const auto got = line.Receive(100);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    ExpectValidFrom(got, 1);
    EXPECT_GE(ms, 25 + 100) << "26 bytes at 9600 baud take about 27 ms";
}

TEST(NuvSimTest, LinkRemovedOnTerminate) {
    std::string link;
    {
        SimProcess sim;
        link = sim.Link();
        EXPECT_EQ(access(link.c_str(), F_OK), 0);
        EXPECT_EQ(sim.Stop(), 0);
    }
    EXPECT_NE(access(link.c_str(), F_OK), 0);
}

}  // namespace
