// The proxy log: line forms by category, password masking, level and pause, the spool
// file and the log window, lines from many threads, and forwarding to another listener.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <sstream>

#include "ProxyTestPeers.h"
#include "TestHome.h"
#include "ferrymail/proxy/LogWindowSink.h"

using namespace testpeers;

namespace {

// A log source with a fixed name.
class CTestSource : public CLogger {
public:
    CTestSource(CListener* listener, const char* name) : m_name(name) { m_logListener = listener; }
    const char* GetLogName() override { return m_name; }

private:
    const char* m_name;
};

class CRecordingWindow : public CLogWindowSink {
public:
    void AppendLogLine(const std::string& line) override { m_lines.push_back(line); }
    std::vector<std::string> m_lines;
};

// A listener that hands its logging to another, as a second listener of one proxy does.
class CForwardingListener : public CRelayListener {
public:
    explicit CForwardingListener(CListener* logger) : m_logger(logger) {}
    CListener* GetLogger() override { return m_logger; }

private:
    CListener* m_logger;
};

// Whether `line` begins with a time stamp "HH:MM:SS.mmm: ".
bool HasTimeStamp(const std::string& line) {
    const char* kForm = "dd:dd:dd.ddd: ";
    if (line.size() < std::strlen(kForm))
        return false;
    for (size_t i = 0; kForm[i] != '\0'; ++i) {
        if (kForm[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != kForm[i])
            return false;
    }
    return line.compare(0, 2, "24") < 0 && line[3] < '6' && line[6] < '7';
}

// The spool file's lines with their time stamps replaced by "T: "; CR LF is checked.
std::vector<std::string> MaskedLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back("<unterminated>" + text.substr(start));
            break;
        }
        const std::string line = text.substr(start, end - start);
        lines.push_back(HasTimeStamp(line) ? "T: " + line.substr(14) : "<no time stamp>" + line);
        start = end + 2;
    }
    return lines;
}

}  // namespace

class ProxyLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_spool = m_home.Path() + "/proxy.log";
        m_listener = std::make_unique<CRelayListener>();
        const int file = CListener::OpenSpoolFile(m_spool);
        ASSERT_GE(file, 0);
        m_listener->SetSpoolFile(m_spool, file);
        m_listener->AddLogging(0xFFFF);
    }

    std::vector<std::string> Lines() { return MaskedLines(ReadFile(m_spool)); }
    // The masked lines written by `action`.
    template <typename F>
    std::vector<std::string> Logged(F action) {
        const size_t before = Lines().size();
        action();
        std::vector<std::string> lines = Lines();
        return std::vector<std::string>(lines.begin() + static_cast<long>(before), lines.end());
    }

    CTestHome m_home;
    std::string m_spool;
    std::unique_ptr<CRelayListener> m_listener;
};

TEST_F(ProxyLogTest, LineFormsByCategory) {
    struct Case {
        unsigned category;
        const char* data;
        const char* line;
    };
    const Case kCases[] = {
        {0x1, "USER bob", "T: POP3(7): C->  USER bob"},
        {0x2, "+OK hello", "T: POP3(7): C<-  +OK hello"},
        {0x4, "+OK server", "T: POP3(7):  <-S +OK server"},
        {0x8, "STAT", "T: POP3(7):  ->S STAT"},
        {0x10, "data in", "T: POP3(7): C->  data in"},
        {0x20, "Subject: x", "T: POP3(7): C<-  Subject: x"},
        {0x40, "From: y", "T: POP3(7):  <-S From: y"},
        {0x80, ".", "T: POP3(7):  ->S ."},
        {0x100, "Connection started", "T: POP3(7): Connection started"},
        {0x200, "info two", "T: POP3(7): info two"},
        {0x400, "info three", "T: POP3(7): info three"},
        {0x800, "Close client connection", "T: POP3(7): Connection closed"},
        {0x800, "", "T: POP3(7): New connection"},
        {0x1000, "anything", "T: POP3(7): Connection closed"},
        {0x1000, "", "T: POP3(7): New connection"},
        {0x2000, "Start synch on bob@host", "T: POP3(7):  ->UI Start synch on bob@host"},
        {0x4000, "bob", "T: POP3(7): USER 'bob'"},
        {0x8000, "RND: Runtimer", "T: POP3(7): DBG  RND: Runtimer"},
        {0x3, "two bits", "T: POP3(7):  two bits"},
    };
    CTestSource source(m_listener.get(), "POP3(7)");
    for (const Case& c : kCases) {
        const auto lines =
            Logged([&] { m_listener->LogData(&source, c.category, c.data, -1); });
        ASSERT_EQ(lines.size(), 1u) << c.line;
        EXPECT_EQ(lines[0], c.line);
    }
}

TEST_F(ProxyLogTest, LinesWithoutSourceAndDebugFormat) {
    EXPECT_EQ(Logged([&] { m_listener->LogData(nullptr, 0x100, "Server listening on 2110", -1); }),
              std::vector<std::string>{"T: Server listening on 2110"});
    EXPECT_EQ(Logged([&] { m_listener->LogDebugData("Tick %s %d", "real", 5); }),
              std::vector<std::string>{"T: DBG  Tick real 5"});
    EXPECT_EQ(Logged([&] { m_listener->LogData(nullptr, 0x100, "abcdef", 3); }),
              std::vector<std::string>{"T: abc"});
}

TEST_F(ProxyLogTest, InitListenerLogsListeningPort) {
    int errorNumber = 0;
    std::string errorText;
    const auto lines = Logged([&] { ASSERT_TRUE(m_listener->InitListener(5, errorNumber, errorText)); });
    EXPECT_EQ(lines, std::vector<std::string>{"T: Server listening on " +
                                              std::to_string(m_listener->GetPort())});
}

TEST_F(ProxyLogTest, PasswordsToProxyAndServerAreMasked) {
    struct Case {
        unsigned category;
        const char* data;
        const char* line;
    };
    const Case kCases[] = {
        {0x1, "PASS my secret", "T: POP3(2): C->  PASS xx xxxxxx"},
        {0x1, "pass Two\tWords ", "T: POP3(2): C->  pass xxx\txxxxx "},
        {0x8, "PASS s3cr3t!", "T: POP3(2):  ->S PASS xxxxxxx"},
        {0x8, "Pass  a  b", "T: POP3(2):  ->S Pass  x  x"},
        {0x1, "PASS ", "T: POP3(2): C->  PASS "},
        // Only the two directions that carry a password to someone, and only "PASS ".
        {0x4, "PASS secret", "T: POP3(2):  <-S PASS secret"},
        {0x2, "PASS secret", "T: POP3(2): C<-  PASS secret"},
        {0x10, "PASS secret", "T: POP3(2): C->  PASS secret"},
        {0x1, "PASSWORD secret", "T: POP3(2): C->  PASSWORD secret"},
        {0x1, "PASS", "T: POP3(2): C->  PASS"},
        // The command as parsed, whatever blanks come before or after its word.
        {0x1, "PASS\tsecret", "T: POP3(2): C->  PASS\txxxxxx"},
        {0x1, " PASS secret", "T: POP3(2): C->   PASS xxxxxx"},
        {0x8, "\t pass\t\tsecret", "T: POP3(2):  ->S \t pass\t\txxxxxx"},
        // AUTH keeps its mechanism, not its initial response.
        {0x1, "AUTH PLAIN AGFubmEAc2VjcmV0", "T: POP3(2): C->  AUTH PLAIN xxxxxxxxxxxxxxxx"},
        {0x8, "auth\tLOGIN YW5uYQ==", "T: POP3(2):  ->S auth\tLOGIN xxxxxxxx"},
        {0x1, "AUTH", "T: POP3(2): C->  AUTH"},
        // A SASL response on a line of its own, to the proxy or the server.
        {0x1, "AGFubmEvaG9zdABzZWNyZXQ=", "T: POP3(2): C->  xxxxxxxxxxxxxxxxxxxxxxxx"},
        {0x8, "c2VjcmV0", "T: POP3(2):  ->S xxxxxxxx"},
        {0x8, "c2VjcmV0 ", "T: POP3(2):  ->S xxxxxxxx "},
        // Commands without arguments, the cancel and other lines stay as they are.
        {0x1, "STAT", "T: POP3(2): C->  STAT"},
        {0x8, "uidl", "T: POP3(2):  ->S uidl"},
        {0x1, "*", "T: POP3(2): C->  *"},
        {0x1, "LIST 1", "T: POP3(2): C->  LIST 1"},
        {0x1, "HELLO there", "T: POP3(2): C->  HELLO there"},
    };
    CTestSource source(m_listener.get(), "POP3(2)");
    for (const Case& c : kCases) {
        const auto lines = Logged([&] { source.Log(c.category, c.data); });
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], c.line);
    }
}

TEST_F(ProxyLogTest, LevelZeroStillLogsUserCategory) {
    m_listener->DeleteLogging(0xFFFFFFFF);
    EXPECT_EQ(m_listener->GetLogLevel(), 0u);
    CTestSource source(m_listener.get(), "SMTP(1)");
    const auto lines = Logged([&] {
        source.Log(0x1, "USER bob");
        source.Log(0x8000, "debug");
        source.Log(0x100, "info");
        source.Log(0x4000, "bob@example.com");
    });
    EXPECT_EQ(lines, std::vector<std::string>{"T: SMTP(1): USER 'bob@example.com'"});
    EXPECT_TRUE(m_listener->SkipLog(0x1));
    EXPECT_FALSE(m_listener->SkipLog(0x4000));
    // Only the bits asked for come back.
    m_listener->AddLogging(0x100);
    EXPECT_EQ(m_listener->GetLogLevel(), 0x100u);
    EXPECT_FALSE(m_listener->SkipLog(0x100));
    EXPECT_TRUE(m_listener->SkipLog(0x200));
}

TEST_F(ProxyLogTest, PausedLogWritesNothing) {
    CTestSource source(m_listener.get(), "POP3(4)");
    m_listener->PauseLogging();
    EXPECT_EQ(m_listener->GetLoggingPaused(), 1);
    EXPECT_TRUE(m_listener->SkipLog(0x4000));
    const auto paused = Logged([&] {
        source.Log(0x4000, "bob");
        source.Log(0x1, "USER bob");
        m_listener->LogDebugData("debug %d", 1);
    });
    EXPECT_TRUE(paused.empty());
    m_listener->ResumeLogging();
    EXPECT_EQ(m_listener->GetLoggingPaused(), 0);
    EXPECT_EQ(Logged([&] { source.Log(0x1, "USER bob"); }),
              std::vector<std::string>{"T: POP3(4): C->  USER bob"});
}

TEST_F(ProxyLogTest, ConnectionEventsAndSourceLines) {
    CRelaySession session(INVALID_SOCKET, 3);
    EXPECT_EQ(Logged([&] { m_listener->LogConnection(&session); }),
              std::vector<std::string>{"T: POP3(3): New connection"});
    m_listener->DeleteLogging(0x800);
    EXPECT_TRUE(Logged([&] { m_listener->LogConnection(&session); }).empty());

    // Multi-line data is logged line by line; a lone line end adds nothing.
    CTestSource source(m_listener.get(), "AOL(9)");
    EXPECT_EQ(Logged([&] {
                  source.Log(0x20, "first\r\nsecond\r\n");
                  source.Log(0x20, "\r\n");
                  source.LogFormat(0x100, "Thread shutting down, %d", 0);
              }),
              (std::vector<std::string>{"T: AOL(9): C<-  first", "T: AOL(9): C<-  second",
                                        "T: AOL(9): Thread shutting down, 0"}));
}

TEST_F(ProxyLogTest, TimeStampIsLocalTimeWithMilliseconds) {
    CTestSource source(m_listener.get(), "POP3(1)");
    source.Log(0x100, "stamp");
    const std::string text = ReadFile(m_spool);
    ASSERT_GE(text.size(), 2u);
    const std::string body = text.substr(0, text.size() - 2);
    const size_t previous = body.rfind("\r\n");
    const std::string last = previous == std::string::npos ? body : body.substr(previous + 2);
    ASSERT_TRUE(HasTimeStamp(last)) << last;
    const time_t now = time(nullptr);
    tm local;
    localtime_r(&now, &local);
    char hour[4];
    std::strftime(hour, sizeof(hour), "%H", &local);
    // The hour agrees with the clock (unless the hour turned over just now).
    if (local.tm_min != 0 || local.tm_sec > 5) {
        EXPECT_EQ(last.substr(0, 2), hour);
    }
}

TEST_F(ProxyLogTest, SpoolFileIsAppendedAndRemembered) {
    CTestSource source(m_listener.get(), "POP3(1)");
    source.Log(0x100, "first run");
    m_listener.reset();
    // The next listener of the same name opens the same spool file and appends to it.
    auto second = std::make_unique<CRelayListener>();
    EXPECT_TRUE(second->IsSpooling());
    EXPECT_EQ(second->GetLogLevel(), 0xFFFFu);
    CTestSource again(second.get(), "POP3(2)");
    again.Log(0x100, "second run");
    const auto lines = Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "T: POP3(1): first run");
    EXPECT_EQ(lines.back(), "T: POP3(2): second run");
    // While it is held, the file cannot be taken as a second spool file.
    EXPECT_LT(CListener::OpenSpoolFile(m_spool), 0);

    // Stopping the spool forgets the file.
    second->SetSpoolFile(-1);
    EXPECT_FALSE(second->IsSpooling());
    second.reset();
    CRelayListener third;
    EXPECT_FALSE(third.IsSpooling());
}

TEST_F(ProxyLogTest, DefaultLevelAndWindowSettings) {
    m_listener.reset();
    CTestHome fresh;
    CRelayListener listener;
    EXPECT_EQ(listener.GetLogLevel(), 47375u);
    EXPECT_EQ(listener.LoggingEnabled(), 0);
    EXPECT_FALSE(listener.IsSpooling());
    UINT type = 9;
    POINT position{0, 0};
    POINT size{0, 0};
    listener.GetLogLoc(type, position, size);
    EXPECT_EQ(type, 0u);
    EXPECT_EQ(position.x, -1);
    EXPECT_EQ(position.y, -1);
    EXPECT_EQ(size.x, -1);
    EXPECT_EQ(size.y, -1);

    listener.SetLogPosition(10, 20);
    listener.SetLogSize(3, 640, 480);
    listener.EnableLogging(1);
    CRelayListener reloaded;
    reloaded.GetLogLoc(type, position, size);
    EXPECT_EQ(type, 3u);
    EXPECT_EQ(position.x, 10);
    EXPECT_EQ(position.y, 20);
    EXPECT_EQ(size.x, 640);
    EXPECT_EQ(size.y, 480);
    EXPECT_EQ(reloaded.LoggingEnabled(), 1);
}

TEST_F(ProxyLogTest, LogWindowGetsLinesWhenEnabled) {
    CRecordingWindow window;
    m_listener->SetLogWindowSink(&window);
    CTestSource source(m_listener.get(), "POP3(5)");
    source.Log(0x1, "USER hidden");
    EXPECT_TRUE(window.m_lines.empty());
    m_listener->EnableLogging(1);
    source.Log(0x1, "PASS shown");
    ASSERT_EQ(window.m_lines.size(), 1u);
    EXPECT_EQ(MaskedLines(window.m_lines[0]), std::vector<std::string>{"T: POP3(5): C->  PASS xxxxx"});
    m_listener->SetLogWindowSink(nullptr);
}

TEST_F(ProxyLogTest, LinesFromManyThreadsNeverInterleave) {
    constexpr int kThreads = 8;
    constexpr int kLines = 2000;
    const size_t before = Lines().size();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            const std::string name = "SMTP(" + std::to_string(t) + ")";
            CTestSource source(m_listener.get(), name.c_str());
            const std::string data(100 + t * 37, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i)
                source.Log(0x20, data);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    const auto lines = Lines();
    ASSERT_EQ(lines.size() - before, static_cast<size_t>(kThreads * kLines));
    std::vector<int> counts(kThreads, 0);
    for (size_t i = before; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        ASSERT_EQ(line.compare(0, 8, "T: SMTP("), 0) << line;
        const int t = line[8] - '0';
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(line, "T: SMTP(" + std::to_string(t) + "): C<-  " +
                            std::string(100 + t * 37, static_cast<char>('a' + t)));
        ++counts[t];
    }
    for (int count : counts)
        EXPECT_EQ(count, kLines);
}

TEST_F(ProxyLogTest, SecondListenerLogsIntoTheFirst) {
    CForwardingListener direct(m_listener.get());
    CTestSource source(&direct, "POP3(8)");
    EXPECT_EQ(Logged([&] {
                  source.Log(0x1, "USER bob");
                  direct.LogData(nullptr, 0x100, "from the second listener", -1);
              }),
              (std::vector<std::string>{"T: POP3(8): C->  USER bob",
                                        "T: from the second listener"}));
    direct.PauseLogging();
    EXPECT_EQ(m_listener->GetLoggingPaused(), 1);
    direct.ResumeLogging();
}
