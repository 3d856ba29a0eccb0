#include <gtest/gtest.h>

#include <string>
#include <type_traits>

#include "LoopbackServer.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"
#include "vision/FakeCameras.h"
#include "vision/TCPClient.h"

using VisionTest::LoopbackServer;
using VisionTest::WaitFor;

static_assert(!std::is_copy_constructible<TCPClient>::value && !std::is_copy_assignable<TCPClient>::value,
              "a copy would close the socket under the other object");

TEST(TCPClient, ConnectsByAddressAndByName) {
    for (const char* host : {"127.0.0.1", "localhost"}) {
        LoopbackServer server;
        TCPClient client;
        ASSERT_TRUE(client.Setup(host, server.Port())) << host;
        ASSERT_TRUE(server.WaitForConnections(1)) << host;
        ASSERT_TRUE(client.Send("hello"));
        EXPECT_TRUE(server.WaitForReceived("hello")) << host;
        client.Close();
        client.Close();
        EXPECT_FALSE(client.IsOpen());
    }
}

TEST(TCPClient, FailuresAreLoggedAndReported) {
    TestSupport::LogCapture log;
    TCPClient client;
    EXPECT_FALSE(client.Setup("127.0.0.1", TestSupport::FreeLoopbackPort()));
    EXPECT_TRUE(log.HasErrorContaining("TCPClient: Connect failed: "));
    client.Close();
    EXPECT_FALSE(client.Setup("no-such-host.invalid", 80));
    EXPECT_TRUE(log.HasErrorContaining("TCPClient: Failed to resolve hostname "));
    // Nothing open: polls report nothing, a send fails with a log line.
    client.Close();
    const timeval none{0, 0};
    EXPECT_FALSE(client.DataAvailable(&none));
    EXPECT_FALSE(client.Send("x"));
    EXPECT_TRUE(log.HasErrorContaining("TCPClient: Send failed: "));
}

TEST(TCPClient, ReadsBytesLinesAndTheEndOfTheStream) {
    LoopbackServer server;
    TCPClient client;
    ASSERT_TRUE(client.Setup("127.0.0.1", server.Port()));
    ASSERT_TRUE(server.WaitForConnections(1));
    ASSERT_TRUE(WaitFor([&] { return server.IsConnected(); }));

    const timeval zero{0, 0};
    const timeval shortWait{0, 50000};
    EXPECT_FALSE(client.DataAvailable(&zero));
    EXPECT_FALSE(client.DataAvailable(&shortWait));

    ASSERT_TRUE(server.Send("abc\n"));
    EXPECT_EQ(client.ReadLine(), "abc\n");

    ASSERT_TRUE(server.Send(std::string("ab\0cd", 5)));
    ASSERT_TRUE(WaitFor([&] { return client.DataAvailable(&zero); }));
    // Everything up to the first zero byte.
    EXPECT_EQ(client.Receive(5), "ab");

    ASSERT_TRUE(server.Send("xyz"));
    char buffer[16];
    ASSERT_TRUE(WaitFor([&] { return client.DataAvailable(&zero); }));
    EXPECT_EQ(client.ReadBytes(buffer, sizeof(buffer)), 3);

    TestSupport::LogCapture log;
    ASSERT_TRUE(server.Send("tail"));
    server.Disconnect();
    // A line cut by the end of the stream comes back as it is.
    EXPECT_EQ(client.ReadLine(), "tail");
    EXPECT_TRUE(client.DataAvailable(&zero));
    EXPECT_EQ(client.ReadBytes(buffer, sizeof(buffer)), 0);
    EXPECT_TRUE(log.Lines().empty());
}

TEST(TCPClient, ASendToAClosedPeerIsLoggedAndTheProcessLives) {
    TestSupport::LogCapture log;
    LoopbackServer server;
    TCPClient client;
    ASSERT_TRUE(client.Setup("127.0.0.1", server.Port()));
    ASSERT_TRUE(WaitFor([&] { return server.IsConnected(); }));
    server.Disconnect();
    // The first send may still be accepted; a later one meets the reset connection.
    const std::string block(65536, 'x');
    EXPECT_TRUE(WaitFor([&] { return !client.Send(block); }));
    EXPECT_TRUE(log.HasErrorContaining("TCPClient: Send failed: "));
}

TEST(TCPClient, MovingHandsTheSocketOver) {
    LoopbackServer server;
    TCPClient first;
    ASSERT_TRUE(first.Setup("127.0.0.1", server.Port()));
    TCPClient second;
    second = std::move(first);
    EXPECT_FALSE(first.IsOpen());
    ASSERT_TRUE(second.IsOpen());
    EXPECT_TRUE(second.Send("moved"));
    EXPECT_TRUE(server.WaitForReceived("moved"));
}
