// Which time zone a TZID in a calendar file names. A name the system's zone database knows (also
// behind a vendor prefix such as "/freeassociation.sourceforge.net/Europe/Berlin") is read with the
// system's full zone data, whatever the file's own VTIMEZONE holds: khal writes only the changes
// of offset near the event's start, and a zone worked out once serves every file that names it.
// A file's own VTIMEZONE serves only a name the system does not know, and then one zone serves
// every file that carries the same VTIMEZONE text; a Windows zone name (Outlook's "Eastern Standard
// Time") that the file does not define is the zone CLDR maps it to. The files themselves are never
// changed.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// libical's zone and component (icaltimezone, icalcomponent).
struct _icaltimezone;
struct icalcomponent_impl;

namespace tvrn::ICalZones {

using Zone = _icaltimezone;
using Component = icalcomponent_impl;

// The system's zone `tzid` names, or nothing.
const Zone* systemZone(std::string_view tzid);

// A file's VTIMEZONE blocks, each from its "BEGIN:VTIMEZONE" line to its "END:VTIMEZONE" line
// with that line's end, in file order.
std::vector<std::string_view> blocksIn(std::string_view text);

// What one VTIMEZONE block stands for: its TZID and, for a name the system does not know, the
// zone shared by every file that holds the same text (kept for the life of the process).
struct Block {
  std::string tzid;
  const Zone* zone = nullptr;  // nothing for a name the system knows
};
// Nothing when the block defines no zone, or when so many different ones were met that no more
// are kept: the file then keeps it as its own.
std::optional<Block> readBlock(std::string_view block);

// The zones a calendar's own VTIMEZONEs define for names the system does not know, by TZID.
using OwnZones = std::vector<std::pair<std::string, const Zone*>>;
// Lets the times of the calendar `root` find its own zones (it may no longer hold their
// VTIMEZONEs) until `forget`.
void remember(const Component* root, std::shared_ptr<const OwnZones> own);
void forget(const Component* root);

// The zone `tzid` names for a property of `within` (any component of a calendar): the system's,
// else the calendar's own, matched as written and, failing that, with the blanks at its ends left
// out; else the zone CLDR gives a Windows zone name; else nothing (the time then floats).
const Zone* zoneFor(std::string_view tzid, Component* within);
// A TZID without the blanks and tabs at its ends.
std::string_view withoutBlanks(std::string_view tzid);

// A new VTIMEZONE named `tzid` for the system's zone `zone` (nothing for a zone without rules,
// such as UTC), as desktop calendar programs write one: only the observances from New Year's Day
// of `firstYear` on, the rules in force as RRULEs without an end and the changes of offset before
// them as dates. The zone's whole history, or a rule with an end, makes khal skip the file. The
// caller owns it.
Component* rulesFrom(const Zone* zone, const std::string& tzid, int firstYear);
// What stands for `vtz` once the file's times on its clock begin in `firstYear` (nothing: no time
// is on it), when `vtz` is exactly what rulesFrom made from another year for the zone its TZID
// names (the system's, or the one CLDR gives a Windows name), as the store adds one: a VTIMEZONE
// from `firstYear` on, owned by the caller, or none at all. Nothing when `vtz` stays: it fits the
// times already, or it is the file's own.
std::optional<Component*> refitted(Component* vtz, std::optional<int> firstYear);

}  // namespace tvrn::ICalZones
