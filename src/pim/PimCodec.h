// How the personal-data store and its callers write and read times: UTC instants, UTC days, and
// the compact form an occurrence's identifier carries.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "pim/PimTypes.h"

namespace tvrn::PimCodec {

// "2024-05-01T08:30:00Z"; "2024-05-01" (the UTC day).
std::string instantText(PimTime time);
std::string dayText(PimTime time);
std::string timeText(PimTime time, bool asDay);
// Reads "YYYY-MM-DD" (midnight UTC), "YYYY-MM-DDTHH:MM:SSZ" and "YYYY-MM-DDTHH:MM:SS+HH:MM".
std::optional<PimTime> parseTime(std::string_view text, bool* dateOnly = nullptr);
bool inStoredRange(PimTime time);

// The part of an occurrence's id after the series id: its original start, compactly.
std::string occurrenceKey(PimTime original, bool allDay);
std::optional<PimTime> parseOccurrenceKey(std::string_view key);

// All-day events cover whole UTC days: the start moves back to its midnight, the end on to the
// next one, and at least one day is covered.
void coverWholeDays(Event& event);
bool validComponents(const DateComponents& components);

}  // namespace tvrn::PimCodec
