// The texts of the statistics windows, as plain text: the "Quillon Statistics" summary
// (first text, second text, the "Details:" table) and the "Filter Statistics" figures.
// The functions that take the chain hold its lock while they read it.
#pragma once

#include <string>
#include <utility>
#include <vector>

class CFilterChain;

// "Filter Stats Date" of "Settings"; when it is empty, today's date in the short date
// format, which is stored (unless `store` is false).
std::string GetFilterStatsDate(bool store = true);
// Today's date in the short date format of the user's locale.
std::string ShortDateToday();

// The summary's first text: what was scanned since `date`, passed and held.
std::string SummaryFirstText(int passed, int held, const std::string& date);
// The summary's second text: what the user did with held mail; empty when it is hidden
// (nothing held, or nothing released or deleted).
std::string SummarySecondText(int held, int sent, int deleted);
// "Details:" and the table of held, deleted and sent-to-inbox counts per category.
std::string SummaryDetails(CFilterChain& chain);
// The whole summary: the two texts joined as the window shows them, then the details.
std::string SummaryText(CFilterChain& chain, const std::string& date);

// One row of the detailed figures: the label and its figure ("%d/%d" or "%d"); a row
// with an empty label separates groups.
using StatisticsRow = std::pair<std::string, std::string>;
// The heading "Filter statistics since <date>", then the rows of the filters, the
// friendly, bad and nice details.
std::vector<StatisticsRow> FilterStatisticsRows(CFilterChain& chain);
// The footer about the bodies read; empty unless more than one message was not friendly.
std::string FilterStatisticsFooter(CFilterChain& chain);
// The heading, the rows as a table (labels padded) and the footer.
std::string FilterStatisticsText(CFilterChain& chain, const std::string& date);
