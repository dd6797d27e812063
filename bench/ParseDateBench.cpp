// Dates parsed per second by parsedate over real Date: values, against strptime +
// timegm over the same strings (the RFC 822 forms they can read) in the same run.
//
// The values come from the mail corpora of Debian's test packages when they are
// installed, else from a built-in list of real dates.

#include <time.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kinbook/mailtext/ParseDate.h"

namespace {

const char* const kCorpusFolders[] = {
    "/usr/lib/python3/dist-packages/flufl/bounce/tests/data",
    "/usr/share/gocode/src/github.com/jhillyerd/enmime/testdata",
    "/usr/lib/python3.11/test/test_email/data",
    "/usr/share/doc/spamassassin/examples",
};

const char* const kBuiltInDates[] = {
    "Mon, 6 Jan 2003 10:20:30 -0500",
    "Tue, 22 Dec 1998 16:55:06 -0500",
    "Fri, 26 May 2000 17:14:07 -0400",
    "Tue, 26 Dec 2000 13:26:18 -0500 (EST)",
    "Thu,  8 Feb 2001 14:00:07 +0100 (CET)",
    "Fri, 6 Apr 2001 09:23:06 -0800 (GMT-0800)",
    "Thu,  4 Oct 2001 10:45:28 +0200 (CEST)",
    "Wed, 3 Apr 2002 09:44:37 -0500",
    "Sat, 26 Oct 2002 22:00:26 +0900 (JST)",
    "Sat, 22 Apr 2006 17:14:50 UT",
    "Tue, 2 May 2006 18:42:52 +0200 (MEST)",
    "Mon, 25 Dec 2006 01:57:35 +0100",
    "Fri, 13 Feb 2009 09:22:22 -0800",
    "Wed, 07 Nov 2012 10:47:34 +0400",
    "Wed, 20 Feb 2013 15:50:26 -0000",
    "Thu, 22 Nov 2018 17:56:08 -0200 (-02)",
    "06 Feb 2001 14:41:27 GMT",
    "12 Feb 2006 14:47:00 +0900",
};

// The Date: values of the message files below the corpus folders.
std::vector<std::string> CorpusDates() {
    std::vector<std::string> dates;
    for (const char* folder : kCorpusFolders) {
        std::error_code error;
        std::filesystem::recursive_directory_iterator it(folder, error), end;
        for (; !error && it != end; it.increment(error)) {
            if (!it->is_regular_file(error)) {
                continue;
            }
            std::ifstream file(it->path(), std::ios::binary);
            std::string line;
            while (std::getline(file, line)) {
                if (line.empty() || line == "\r") {
                    break;  // end of the header
                }
                if (line.size() > 5 && (line[0] == 'D' || line[0] == 'd') &&
                    line.compare(1, 4, "ate:") == 0) {
                    std::string value = line.substr(5);
                    while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) {
                        value.pop_back();
                    }
                    const std::size_t start = value.find_first_not_of(" \t");
                    if (start != std::string::npos) {
                        dates.push_back(value.substr(start));
                    }
                    break;
                }
            }
        }
    }
    return dates;
}

// strptime + timegm for "[Day, ]dd Mon yyyy hh:mm:ss +hhmm"; -1 for other forms.
long StrptimeDate(const char* text) {
    struct tm fields {};
    const char* end = strptime(text, "%a, %d %b %Y %H:%M:%S %z", &fields);
    if (end == nullptr) {
        fields = tm{};
        end = strptime(text, "%d %b %Y %H:%M:%S %z", &fields);
    }
    if (end == nullptr) {
        return -1;
    }
    const long offset = fields.tm_gmtoff;
    return static_cast<long>(timegm(&fields)) - offset;
}

// Calls `parse` over `dates` for at least half a second; dates per second.
template <typename Parse>
double Rate(const std::vector<std::string>& dates, Parse parse, long& checksum) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    long count = 0;
    double seconds = 0;
    do {
        for (const std::string& date : dates) {
            checksum += parse(date.c_str());
        }
        count += static_cast<long>(dates.size());
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
    } while (seconds < 0.5);
    return static_cast<double>(count) / seconds;
}

}  // namespace

int main() {
    tzset();
    std::vector<std::string> dates = CorpusDates();
    const bool fromCorpus = !dates.empty();
    if (!fromCorpus) {
        dates.assign(std::begin(kBuiltInDates), std::end(kBuiltInDates));
    }

    int accepted = 0;
    int agree = 0;
    for (const std::string& date : dates) {
        const long value = parsedate(date.c_str());
        accepted += value != -1 ? 1 : 0;
        agree += value != -1 && value == StrptimeDate(date.c_str()) ? 1 : 0;
    }
    std::printf("%zu Date: values from %s; parsedate accepts %d, strptime agrees on %d\n",
                dates.size(), fromCorpus ? "the installed mail corpora" : "the built-in list",
                accepted, agree);

    long checksum = 0;
    const double parsedateRate = Rate(dates, parsedate, checksum);
    const double baselineRate = Rate(dates, StrptimeDate, checksum);
    std::printf("parsedate:         %.0f dates/s\n", parsedateRate);
    std::printf("strptime + timegm: %.0f dates/s (checksum %ld)\n", baselineRate, checksum);
    std::printf("ratio parsedate / strptime+timegm: %.2f\n", parsedateRate / baselineRate);
    return 0;
}
