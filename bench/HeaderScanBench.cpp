// Header blocks scanned per second: the header scanner (fields, then the From, To and CC
// address scans) and the message model (store the text, then every header-derived
// getter), against a plain memchr line split of the same bytes in the same run.
//
// The header blocks come from the mail corpora of Debian's test packages when they are
// installed, else from a few built-in blocks.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ferrymail/store/Message.h"
#include "kinbook/mailtext/AddressHandler.h"
#include "kinbook/mailtext/TextMessage.h"

namespace {

const char* const kCorpusFolders[] = {
    "/usr/lib/python3/dist-packages/flufl/bounce/tests/data",
    "/usr/share/gocode/src/github.com/jhillyerd/enmime/testdata",
    "/usr/lib/python3.11/test/test_email/data",
    "/usr/lib/python3/dist-packages/dkim/tests/data",
    "/usr/share/doc/spamassassin/examples",
};

const char* const kBuiltInHeaders[] = {
    "Return-Path: <tbtf-approval@world.std.com>\r\n"
    "Received: from europe.std.com (europe.std.com [199.172.62.20])\r\n"
    "\tby mail.example.com (Postfix) with ESMTP id 392E1114061\r\n"
    "\tfor <foo@example.com>; Fri, 20 Apr 2001 21:34:46 +0000\r\n"
    "Date: Fri, 20 Apr 2001 16:59:58 -0400\r\nTo: tbtf@world.std.com\r\n"
    "From: Keith Dawson <dawson@world.std.com>\r\nSubject: TBTF ping\r\n"
    "Content-Type: text/plain; charset=\"us-ascii\"\r\nSender: tbtf-approval@world.std.com\r\n",
    "From: Scott Kitterman <scott@kitterman.com>\r\n"
    "To: Kerrick Staley <mail@kerrickstaley.com>,\r\n Nick Coghlan <ncoghlan@gmail.com>\r\n"
    "Subject: Comments on PEP 394 draft\r\nDate: Mon, 7 Mar 2011 14:22:57 -0500\r\n"
    "Cc: barry@python.org\r\nMIME-Version: 1.0\r\n"
    "Content-Type: multipart/signed;\r\n  boundary=\"nextPart1746914.gtVYRJxS1r\"\r\n",
    "Subject: Test spam mail (GTUBE)\r\nMessage-ID: <GTUBE1.1010101@example.net>\r\n"
    "Date: Wed, 23 Jul 2003 23:30:00 +0200\r\nFrom: Sender <sender@example.net>\r\n"
    "To: Recipient <recipient@example.net>\r\nPrecedence: junk\r\n",
};

bool IsMessageFile(const std::filesystem::path& path) {
    std::string ext = path.extension().string();
    std::string name = path.filename().string();
    return ext == ".raw" || ext == ".msg" || ext == ".message" || ext == ".mbox" ||
           (ext == ".txt" && (name.rfind("msg_", 0) == 0 || name.rfind("sample-", 0) == 0 ||
                              path.string().find("flufl/bounce") != std::string::npos));
}

// The header block of `text` with CRLF line ends, up to and including the CRLF of its
// last line.
std::string HeaderBlock(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            out += '\r';
        out += text[i];
    }
    size_t blank = out.find("\r\n\r\n");
    return blank == std::string::npos ? out : out.substr(0, blank + 2);
}

std::vector<std::string> CorpusHeaders() {
    std::vector<std::string> headers;
    for (const char* folder : kCorpusFolders) {
        std::error_code error;
        std::filesystem::recursive_directory_iterator it(folder, error), end;
        for (; !error && it != end; it.increment(error)) {
            if (!it->is_regular_file(error) || !IsMessageFile(it->path()))
                continue;
            std::ifstream file(it->path(), std::ios::binary);
            std::string text((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
            std::string header = HeaderBlock(text);
            if (!header.empty())
                headers.push_back(header);
        }
    }
    return headers;
}

class CCountingHandler : public CAddressHandler {
public:
    int ProcessAddress(const char* name, const char* address, ADDRESS_SOURCE source,
                       long date) override {
        return 1;
    }
    int ProcessAddress(const char* name, const char* address, ADDRESS_SOURCE source, long date,
                       FR_NAME nameKind) override {
        m_bytes += std::strlen(address) + std::strlen(name);
        return 1;
    }
    size_t m_bytes = 0;
};

volatile size_t gSink;

// Runs `pass` over all headers until at least `seconds` have passed; headers per second.
template <class Pass>
double HeadersPerSecond(const std::vector<std::string>& headers, double seconds, Pass pass) {
    using Clock = std::chrono::steady_clock;
    size_t done = 0;
    Clock::time_point start = Clock::now();
    double elapsed = 0;
    do {
        for (const std::string& header : headers) gSink = gSink + pass(header);
        done += headers.size();
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    } while (elapsed < seconds);
    return static_cast<double>(done) / elapsed;
}

size_t ScanHeader(const std::string& header) {
    CTextMessage text;
    text.Initialize(header.data(), static_cast<unsigned>(header.size()));
    CCountingHandler handler;
    text.ScanFrom(&handler, 0);
    text.ScanTo(&handler);
    text.ScanCC(&handler);
    return handler.m_bytes + text.Subject().size() + static_cast<size_t>(text.ReceivedCount());
}

size_t ReadMessage(const std::string& header) {
    CMessage message;
    message.SetHeader(header, -1);
    size_t n = static_cast<size_t>(message.GetDate()) + message.GetSubject().size() +
               message.GetContentType().size() + message.GetFrom()->m_address.size() +
               message.GetTo()->size() + message.GetCC()->size() +
               message.GetSender()->m_address.size() + message.GetReplyTo()->m_address.size() +
               static_cast<size_t>(message.GetReceivedDate(1));
    return n;
}

size_t SplitLines(const std::string& header) {
    size_t lines = 0;
    const char* p = header.data();
    const char* end = p + header.size();
    while (p < end) {
        const void* nl = std::memchr(p, '\n', static_cast<size_t>(end - p));
        if (nl == nullptr)
            break;
        p = static_cast<const char*>(nl) + 1;
        ++lines;
    }
    return lines;
}

}  // namespace

int main() {
    std::vector<std::string> headers = CorpusHeaders();
    const char* source = "the real-mail corpus packages";
    if (headers.empty()) {
        headers.assign(std::begin(kBuiltInHeaders), std::end(kBuiltInHeaders));
        source = "built-in header blocks (corpus packages not installed)";
    }
    size_t bytes = 0;
    for (const std::string& header : headers) bytes += header.size();
    std::printf("%zu header blocks, %zu bytes, from %s\n", headers.size(), bytes, source);

    const double seconds = 1.0;
    double baseline = HeadersPerSecond(headers, seconds, SplitLines);
    double scanned = HeadersPerSecond(headers, seconds, ScanHeader);
    double messages = HeadersPerSecond(headers, seconds, ReadMessage);
    double mib = static_cast<double>(bytes) / headers.size() / (1024.0 * 1024.0);
    std::printf("memchr line split (baseline): %12.0f headers/s  %8.1f MiB/s\n", baseline,
                baseline * mib);
    std::printf("header scan + address scans:  %12.0f headers/s  %8.1f MiB/s\n", scanned,
                scanned * mib);
    std::printf("message text + every getter:  %12.0f headers/s  %8.1f MiB/s\n", messages,
                messages * mib);
    std::printf("header scan / memchr line split (headers per second): %.4f\n", scanned / baseline);
    return 0;
}
