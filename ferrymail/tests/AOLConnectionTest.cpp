// The AOL proxy: FLAP frames cut from bytes split anywhere, their log form, and a session
// over loopback between a client and a fake AOL server.
#include <gtest/gtest.h>

#include <memory>

#include "ProxyTestPeers.h"
#include "TestHome.h"
#include "proxy/AOLConnection.h"
#include "proxy/AOLListener.h"
#include "proxy/FLAPFrame.h"

using namespace testpeers;

namespace {

std::string Frame(int channel, int sequence, const std::string& data) {
    const char header[] = {'*', static_cast<char>(channel), static_cast<char>(sequence >> 8),
                           static_cast<char>(sequence), static_cast<char>(data.size() >> 8),
                           static_cast<char>(data.size())};
    return std::string(header, sizeof(header)) + data;
}

std::string AllBytes(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>(i * 7);
    return data;
}

std::string ReadBytes(TestClient& client, size_t count) {
    std::string data;
    while (data.size() < count) {
        const std::string more = client.ReadSome(count - data.size());
        if (more.empty())
            break;
        data += more;
    }
    return data;
}

}  // namespace

class AOLConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_frames = {Frame(1, 1, std::string("\0\0\0\1", 4)), Frame(5, 2, ""),
                    Frame(2, 3, std::string(3, '\0')), Frame(2, 65535, AllBytes(1000)),
                    Frame(4, 4, "")};
        for (const std::string& frame : m_frames)
            m_stream += frame;
    }

    // Feeds `pieces` to the frame reader as a session's buffer would receive them.
    std::vector<std::string> CutAll(const std::vector<std::string>& pieces) {
        std::vector<std::string> frames;
        std::string buffer;
        for (const std::string& piece : pieces) {
            buffer += piece;
            size_t length = 0;
            while (CFLAPFrame::Cut(buffer.data(), buffer.size(), length) ==
                   CFLAPFrame::ECut::kFrame) {
                frames.push_back(buffer.substr(0, length));
                buffer.erase(0, length);
            }
        }
        EXPECT_TRUE(buffer.empty());
        return frames;
    }

    std::vector<std::string> m_frames;
    std::string m_stream;
    CTestHome m_home;
};

// Frames of data length 0 to 3 are cut as soon as they are whole: a short last frame
// (a keep-alive, a sign-off) is not held back until more bytes come.
TEST_F(AOLConnectionTest, FramesAreCutWholeFromBytesSplitAnywhere) {
    EXPECT_EQ(CutAll({m_stream}), m_frames);
    for (size_t cut = 0; cut <= m_stream.size(); ++cut)
        ASSERT_EQ(CutAll({m_stream.substr(0, cut), m_stream.substr(cut)}), m_frames) << cut;
    std::vector<std::string> bytes;
    for (char c : m_stream)
        bytes.emplace_back(1, c);
    EXPECT_EQ(CutAll(bytes), m_frames);
    size_t length = 0;
    EXPECT_EQ(CFLAPFrame::Cut("CONNECT", 7, length), CFLAPFrame::ECut::kNotFrame);
    EXPECT_EQ(CFLAPFrame::Cut("\0*", 2, length), CFLAPFrame::ECut::kNotFrame);
}

TEST_F(AOLConnectionTest, LogFormShowsHeaderAndEscapesBytes) {
    const std::pair<std::string, const char*> kCases[] = {
        {Frame(2, 261, std::string("\0\1\0\x17" "A\x80", 6)),
         "CH02 Seq 261 fam 1 subtype 23 len 6 *\\02\\01\\05\\00\\06\\00\\01\\00\\17A\\ff80"},
        {Frame(255, 65535, std::string("\xff\xfe\x12\x34 \\\x7f", 7)),
         "CH255 Seq 65535 fam 65534 subtype 4660 len 7 *\\ffff\\ffff\\ffff\\00\\07"
         "\\ffff\\fffe\\124 \\\x7f"},
        {Frame(5, 9, ""), "CH05 Seq 9 fam 0 subtype 0 len 0 *\\05\\00\\t\\00\\00"},
        {Frame(10, 1, "\1\2"), "CH10 Seq 1 fam 258 subtype 0 len 2 *\\n\\00\\01\\00\\02\\01\\02"},
        // What may carry credentials is masked: sign-on, sign-off, the authorization family.
        {Frame(1, 3, std::string("\0\0\0\1\0\2\0\3pw!", 11)),
         "CH01 Seq 3 fam 0 subtype 0 len 11 *\\01\\00\\03\\00\\0b<11 bytes masked>"},
        {Frame(4, 5, std::string("\0\6\0\2ck", 6)),
         "CH04 Seq 5 fam 0 subtype 0 len 6 *\\04\\00\\05\\00\\06<6 bytes masked>"},
        {Frame(2, 4, std::string("\0\x17\0\2\0\0\0\0\0\1\0\x25\0\2pw", 16)),
         "CH02 Seq 4 fam 23 subtype 2 len 16 *\\02\\00\\04\\00\\10\\00\\17\\00\\02"
         "\\00\\00\\00\\00\\00\\01<6 bytes masked>"},
        {"*ab", "*ab"},
        {"a\tb\nc\rd\x1f\x80", "a\\tb\\nc\\rd\\1f\\ff80"},
    };
    for (const auto& [data, form] : kCases) {
        std::string out;
        EXPECT_TRUE(CFLAPFrame::FormatLog(data.data(), data.size(), out)) << form;
        EXPECT_EQ(out, form);
    }
    for (const char* text : {"Connection started", "-1\r\n", "\r\n", ""}) {
        std::string out = "kept";
        EXPECT_FALSE(CFLAPFrame::FormatLog(text, std::strlen(text), out)) << text;
        EXPECT_EQ(out, "kept");
    }
}

// A malformed destination gets "-1" and the session waits on; a valid one connects and
// frames (the first in the CONNECT line's read, one split over two reads, two in one
// read) pass both ways unchanged, each logged once. Bytes that are no frame end it.
TEST_F(AOLConnectionTest, SessionRelaysFramesBothWaysUnchanged) {
    CAOLListener listener(0);
    const int file = CListener::OpenSpoolFile(m_home.Path() + "/aol.log");
    listener.SetSpoolFile(m_home.Path() + "/aol.log", file);
    listener.AddLogging(0xFFFF);
    int errorNumber = 0;
    std::string errorText;
    ASSERT_TRUE(listener.InitListener(5, errorNumber, errorText)) << errorText;
    const std::string hello = Frame(1, 1, std::string("\0\0\0\1", 4));
    const std::string replies = Frame(2, 7, AllBytes(60000)) + Frame(5, 8, "");
    std::string received;
    std::atomic<bool> done{false};
    TestServer server("", [&](int fd) {
        TestServer::SendAll(fd, hello);
        char chunk[4096];
        while (received.size() < m_stream.size()) {
            const ssize_t got = ::recv(fd, chunk, sizeof(chunk), 0);
            if (got <= 0)
                return;
            received.append(chunk, static_cast<size_t>(got));
        }
        done = true;
        TestServer::SendAll(fd, replies);
        while (::recv(fd, chunk, sizeof(chunk), 0) > 0) {
        }
    });
    TestClient client(listener.GetPort());
    EXPECT_EQ(client.ReadLine(), CAOLConnection::kGreeting);
    for (const char* line : {"CONNECT 127.0.0.1", "CONN", "CONNECT 127.0.0.1:x"}) {
        ASSERT_TRUE(client.SendLine(line));
        EXPECT_EQ(client.ReadLine(), "-1") << line;
    }
    const std::string& f = m_stream;
    const size_t second = m_frames[0].size(), split = second + m_frames[1].size() + 9 + 500;
    ASSERT_TRUE(client.Send(ConnectLine(server.GetPort()) + "\r\n" + f.substr(0, second)));
    EXPECT_EQ(ReadBytes(client, 3 + hello.size()), "0\r\n" + hello);
    ASSERT_TRUE(client.Send(f.substr(second, split - second)));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(client.Send(f.substr(split)));
    EXPECT_EQ(ReadBytes(client, replies.size()), replies);
    ASSERT_TRUE(done.load());
    EXPECT_EQ(received, m_stream);

    ASSERT_TRUE(client.Send("?junk"));
    client.ReadUntilClosed(10.0);
    EXPECT_TRUE(client.IsClosed());
    const std::string log = ReadFile(m_home.Path() + "/aol.log");
    const auto count = [&log](const std::string& text) {
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("C->  CH"), m_frames.size());
    EXPECT_EQ(count(" ->S CH"), m_frames.size());
    EXPECT_EQ(count(" <-S CH"), 3u);
    EXPECT_EQ(count("C<-  CH"), 3u);
    EXPECT_EQ(count("C->  CH02 Seq 65535 fam 7 subtype 3605 len 1000 *\\02\\ffff\\ffff\\03\\ffe8"), 1u);
    EXPECT_EQ(count("C<-  CH01 Seq 1 fam 0 subtype 0 len 4 *\\01\\00\\01\\00\\04<4 bytes masked>"),
              1u);
    EXPECT_EQ(count("AOL(1): Connection completed\r\n"), 1u);
    EXPECT_EQ(count("Not a FLAP frame from the client (first byte 0x3f); closing"), 1u);
}
