#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "Pty.h"
#include "SimProcess.h"
#include "Win32.h"

namespace {

struct Run {
    int code = -1;
    std::string out;
    std::string err;
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

Run Ctl(const std::vector<std::string>& args) {
    const std::string base = "/tmp/nuvctl-test-" + std::to_string(::getpid());
    std::string cmd = NUVCTL_PATH;
    for (const auto& a : args) cmd += " " + Quote(a);
    cmd += " >" + base + ".out 2>" + base + ".err";
    const int status = std::system(cmd.c_str());
    Run r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = Slurp(base + ".out");
    r.err = Slurp(base + ".err");
    return r;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(NuvCtl, EveryOperationAgainstTheSimulator) {
    SimProcess sim({"--device", "4:2", "--delay", "1", "--quiet"});
    const std::string port = sim.Link();
    auto r = Ctl({"--port", port, "--address", "4", "test"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Ok to test NUV !\n");

    r = Ctl({"--port", port, "--address", "4", "read-type"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "Ok to read NUV Type!\nType: 6Points(Analog In)\n");

    r = Ctl({"--port", port, "--address", "4", "write-type", "20Points(Analog In)"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "Ok to write NUV type!\n");
    r = Ctl({"--port", port, "--address", "4", "write-type", "3"});
    EXPECT_EQ(r.code, 0);
    r = Ctl({"--port", port, "--address", "4", "read-type"});
    EXPECT_EQ(r.out, "Ok to read NUV Type!\nType: 10Points(Digital In)\n");

    r = Ctl({"--port", port, "read-address"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "Ok to read NUV Address!\nAddress: 4\n");

    r = Ctl({"--port", port, "--address", "4", "write-address", "12"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "Ok to write NUV Address,Please reset NUV device!!\n");
}

TEST(NuvCtl, JsonForm) {
    SimProcess sim({"--device", "3:5", "--delay", "1", "--quiet"});
    const auto r = Ctl({"--port", sim.Link(), "--address", "3", "--json", "read-type"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(Has(r.out, "\"operation\":\"read-type\",\"address\":3,"
                           "\"sent\":\"AA 03 10 00")) << r.out;
    EXPECT_TRUE(Has(r.out, "\"received\":\"AA 03 10 01 01 05")) << r.out;
    EXPECT_TRUE(Has(r.out, "\"outcome\":\"Ok to read NUV Type!\"")) << r.out;
    EXPECT_TRUE(Has(r.out, "\"value\":{\"code\":5,\"name\":\"20Points(Digital In)\"}")) << r.out;
    EXPECT_TRUE(Has(r.out, "\"elapsed_ms\":")) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);
}

TEST(NuvCtl, FailuresSayWhatCameBack) {
    const struct {
        const char* fault;
        const char* says;
    } cases[] = {
        {"silent", "nothing came back"},
        {"split", "only part of a frame"},
        {"bad-checksum", "bad checksum"},
        {"wrong-address", "another address"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        SimProcess sim({"--fault", c.fault, "--delay", "1", "--quiet"});
        const auto r = Ctl({"--port", sim.Link(), "--timeout", "600", "test"});
        EXPECT_EQ(r.code, 1);
        EXPECT_TRUE(Has(r.out, c.says)) << r.out;
    }
}

TEST(NuvCtl, FailedReadTypeIsExitFour) {
    PtyPair peer;
    std::thread device([&] {
        peer.Read(26);
        DeviceFrame reply{};
        reply[0] = 0xAA;
        reply[1] = 1;
        reply[3] = 1;
        reply[4] = 1;
        reply[5] = 9;
        reply[25] = CheckSum(reply);
        peer.Write({reply.begin(), reply.end()});
    });
    const auto r = Ctl({"--port", peer.SlavePath(), "read-type"});
    device.join();
    EXPECT_EQ(r.code, 4);
    EXPECT_EQ(r.out, "Failed to read NUV Type !\nType: Unknown NUV Type !\n");
}

TEST(NuvCtl, PortProblems) {
    auto r = Ctl({"--port", "/dev/nuv-missing-port", "test"});
    EXPECT_EQ(r.code, 3);
    EXPECT_TRUE(Has(r.err, "no such port")) << r.err;

    SimProcess sim({"--quiet"});
    const w32::HANDLE held =
        w32::CreateFileA(sim.Link().c_str(), w32::GENERIC_READ | w32::GENERIC_WRITE, 0, nullptr,
                         w32::OPEN_EXISTING, w32::FILE_FLAG_OVERLAPPED, 0);
    ASSERT_NE(held, w32::INVALID_HANDLE_VALUE);
    r = Ctl({"--port", sim.Link(), "test"});
    EXPECT_EQ(r.code, 3);
    EXPECT_TRUE(Has(r.err, "in use")) << r.err;
    w32::CloseHandle(held);
}

TEST(NuvCtl, UsageErrors) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"frobnicate"}, {"--address", "300", "test"}, {"write-type"},
             {"write-type", "7"}, {"--bogus", "test"}, {"scan", "--from", "9", "--to", "3"}}) {
        const auto r = Ctl(args);
        EXPECT_EQ(r.code, 2) << (args.empty() ? "" : args[0]);
        EXPECT_FALSE(r.err.empty());
    }
    const auto help = Ctl({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_TRUE(Has(help.out, "Exit codes:"));
}

TEST(NuvCtl, ScanFindsTwoDevicesOnOneBusAtWireSpeed) {
    SimProcess sim({"--device", "2:1", "--device", "5:6", "--wire-speed", "--quiet"});
    const auto r = Ctl({"--port", sim.Link(), "scan", "--from", "0", "--to", "8"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Address 2: 6Points(Digital In)\nAddress 5: 20Points(Analog In)\n");
}

TEST(NuvCtl, ScanOfAQuietRangeFindsNothing) {
    SimProcess sim({"--device", "200:1", "--quiet"});
    const auto r = Ctl({"--port", sim.Link(), "scan", "--from", "0", "--to", "5"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Has(r.out, "No device answered at addresses 0 to 5.")) << r.out;
}

TEST(NuvCtl, WriteAddressVerifiedAfterTheReset) {
    SimProcess sim({"--delay", "1"});
    std::thread reset([&] {
        sim.AwaitLog("Test to 9", 10000);  // the first question at the new address
        sim.Signal(SIGHUP);
    });
    const auto r = Ctl({"--port", sim.Link(), "write-address", "9", "--verify"});
    reset.join();
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "Reset the device now")) << r.out;
    EXPECT_TRUE(Has(r.out, "Device answers at address 9")) << r.out;
}

TEST(NuvCtl, TraceFileHoldsTheLinkInOrder) {
    SimProcess sim({"--delay", "1", "--quiet"});
    const std::string trace = "/tmp/nuvctl-trace-" + std::to_string(::getpid()) + ".log";
    const auto r = Ctl({"--port", sim.Link(), "--trace", trace, "test"});
    EXPECT_EQ(r.code, 0);
    const std::string text = Slurp(trace);
    std::size_t at = 0;
    EXPECT_TRUE(Has(text, "Waiting for data from comm connection.\r\n")) << text;
    for (const char* line : {"Writing to comm port\r\n",
                             "Got something from Comm port!!!\r\n", "Stopping the Comm\r\n",
                             "Read thread shutting down\r\n"}) {
        const auto found = text.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << text;
        at = found;
    }
    unlink(trace.c_str());
}

TEST(NuvCtl, PulledAdapterEndsTheCommandWithoutHanging) {
    SimProcess sim({"--fault", "hangup", "--quiet"});
    const auto start = std::chrono::steady_clock::now();
    const auto r = Ctl({"--port", sim.Link(), "test"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(Has(r.out, "nothing came back")) << r.out;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(NuvCtl, PortsListsWithoutFailing) {
    const auto r = Ctl({"ports"});
    EXPECT_EQ(r.code, 0);
    EXPECT_FALSE(r.out.empty());
}

}  // namespace
