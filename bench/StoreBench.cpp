// Time to save and load message stores of 1,000, 10,000 and 100,000 messages with
// realistic headers, the memory each message takes once loaded, and, as the baseline, a
// plain copy of the same store file (read whole, write, flush). The last line is the
// ratio of load + save to the plain copy for the largest store.
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "ferrymail/store/MessageStore.h"
#include "kinbook/foundation/Paths.h"
#include "kinbook/foundation/Registry.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Heap bytes in use (the mapped store file is unmapped again after loading).
long HeapBytes() { return static_cast<long>(mallinfo2().uordblks); }

std::string Header(int i) {
    char text[2048];
    std::snprintf(
        text, sizeof text,
        "Return-Path: <sender%d@lists.example.org>\r\n"
        "Received: from mx%d.example.net (mx%d.example.net [192.0.2.%d])\r\n"
        "\tby mail.example.org (Postfix) with ESMTPS id 4F%08X\r\n"
        "\tfor <anna@example.org>; Mon, 6 Jan 2003 10:%02d:%02d -0500\r\n"
        "Received: from [10.0.0.%d] (helo=workstation) by mx%d.example.net with esmtpa\r\n"
        "\t(Exim 4.96) id 1r%06X-000%d; Mon, 6 Jan 2003 10:%02d:%02d -0500\r\n"
        "DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=example.net; s=mail;\r\n"
        "\th=from:to:subject:date:message-id; bh=47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=;\r\n"
        "\tb=Gq8mTjL2Ds3j9k1pQ0Zr7hV5yX2wN4eC6fB8aD0uI3oP1sK9lM7nJ5hG2tR4vE6cW8xY0zA1bQ3\r\n"
        "From: Sender Number %d <sender%d@lists.example.org>\r\n"
        "To: Anna Example <anna@example.org>, team@example.org\r\n"
        "Cc: bert@example.net\r\n"
        "Subject: Weekly report %d: figures, plans and the next meeting\r\n"
        "Date: Mon, 6 Jan 2003 10:%02d:%02d -0500\r\n"
        "Message-ID: <%d.%d@mx%d.example.net>\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: text/plain; charset=utf-8\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n",
        i, i % 7, i % 7, i % 250, i, i % 60, i % 60, i % 250, i % 7, i, i % 10, i % 60, i % 60, i,
        i, i, i % 60, i % 60, i, i * 7, i % 7);
    return text;
}

std::string Body() {
    std::string body;
    for (int line = 0; line < 10; ++line)
        body += "This is a line of the message body, as TOP brings the first ten of them.\r\n";
    return body;
}

struct SFigures {
    double save;
    double load;
    double copy;
    double bytesPerMessage;
    long fileBytes;
};

double PlainCopy(const std::string& from, const std::string& to) {
    auto start = std::chrono::steady_clock::now();
    std::string contents;
    ReadWholeFile(from, contents);
    int fd = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    size_t written = 0;
    while (written < contents.size()) {
        ssize_t n = write(fd, contents.data() + written, contents.size() - written);
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    fsync(fd);
    close(fd);
    return Seconds(start);
}

SFigures Measure(int messages) {
    SFigures figures{};
    std::string body = Body();
    {
        CMessageStore* store = new CMessageStore;
        store->AddRef();
        store->Open(nullptr, 1, "pop.example.org", "bench" + std::to_string(messages), 0);
        std::vector<std::pair<int, std::string>> listing;
        for (int i = 1; i <= messages; ++i)
            listing.emplace_back(i, "UID" + std::to_string(i * 7919));
        store->ApplyUidlListing(listing);
        for (int i = 1; i <= messages; ++i) {
            store->SetServerSize(i, 4000 + i % 3000);
            store->AddDownloadedMessage(i, Header(i) + "\r\n" + body, 10);
            CMessage* message = store->GetServerMessage(i);
            message->GetFrom();
            message->GetTo();
            message->GetSubject();
            message->GetDate();
        }
        auto start = std::chrono::steady_clock::now();
        store->Save(0);
        figures.save = Seconds(start);
        CRefCount::DoRelease(store);
    }
    std::string path = GetStoreFilePath("pop.example.org", "bench" + std::to_string(messages));
    figures.fileBytes = static_cast<long>(std::filesystem::file_size(path));
    long before = HeapBytes();
    auto start = std::chrono::steady_clock::now();
    CMessageStore* store = new CMessageStore;
    store->AddRef();
    store->Open(nullptr, 1, "pop.example.org", "bench" + std::to_string(messages), 0);
    figures.load = Seconds(start);
    figures.bytesPerMessage = static_cast<double>(HeapBytes() - before) / messages;
    CRefCount::DoRelease(store);
    figures.copy = PlainCopy(path, path + ".copy");
    std::filesystem::remove(path + ".copy");
    return figures;
}

}  // namespace

int main() {
    char pattern[] = "/tmp/quillon-bench-XXXXXX";
    std::string home = mkdtemp(pattern);
    setenv("QUILLON_HOME", home.c_str(), 1);
    std::printf("%10s %12s %10s %10s %12s %14s\n", "messages", "file MB", "save s", "load s",
                "plain copy s", "bytes/message");
    SFigures last{};
    for (int messages : {1000, 10000, 100000}) {
        last = Measure(messages);
        std::printf("%10d %12.1f %10.3f %10.3f %12.3f %14.0f\n", messages, last.fileBytes / 1e6,
                    last.save, last.load, last.copy, last.bytesPerMessage);
    }
    std::filesystem::remove_all(home);
    std::printf("load+save vs plain copy (100,000 messages): %.2f\n",
                (last.load + last.save) / last.copy);
    return 0;
}
