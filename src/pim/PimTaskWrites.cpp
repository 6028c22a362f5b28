#include "pim/PimAccess.h"
#include "pim/PimCodec.h"
#include "platform/HardwareId.h"

namespace tvrn {

using namespace pimstore;
using namespace PimCodec;
using std::chrono::seconds;

Result<Reminder, PimError> PimStore::saveReminder(const Reminder& reminder) {
  const auto seen = [&](const PimIndex& index) -> std::optional<Reminder> {
    auto [c, entry] = theItem(index, reminder.id, Kind::tasks);
    if (reminder.id.empty() || entry == nullptr) return std::nullopt;
    return reminderOf(index, *c, *entry);
  };
  return changing(
      seen,
      [&](PimIndex& index, PimWarnings& warnings,
          std::optional<Reminder> seenBefore) -> Result<Reminder, PimError> {
        Reminder wanted = reminder;
        if (wanted.dueDateComponents &&
            (!validComponents(*wanted.dueDateComponents) || !wanted.dueDateComponents->date())) {
          return fail(problem(PimError::Code::invalid, "The due date is not valid."));
        }
        if (wanted.priority < 0 || wanted.priority > 9) {
          return fail(problem(PimError::Code::invalid, "The priority is not valid."));
        }
        if (!wanted.completed) {
          wanted.completionDate.reset();
        } else if (!wanted.completionDate) {
          wanted.completionDate = std::chrono::system_clock::now();
        }
        if (wanted.completionDate) {
          wanted.completionDate = std::chrono::floor<seconds>(*wanted.completionDate);
          if (!inStoredRange(*wanted.completionDate)) {
            return fail(problem(PimError::Code::invalid, "The completion date is out of range."));
          }
        }
        if (auto refused = checkWritable(index, Kind::tasks, wanted.listId, true)) {
          return fail(*refused);
        }
        Collection& target = *index.collection(wanted.listId, Kind::tasks);
        std::string name;
        if (wanted.id.empty()) {
          wanted.id = HardwareId::randomUUID();
          ICalItem item = ICalItem::create(wanted.id, true);
          item.changeReminder(Reminder{}, wanted);
          name = fileNameFor(wanted.id, ".ics");
          if (auto failure = index.write(target, name, item, std::nullopt, warnings)) {
            return fail(*failure);
          }
        } else {
          auto [c, entry] = theItem(index, wanted.id, Kind::tasks);
          if (entry == nullptr) return fail(reminderNotFound(index, wanted.id));
          if (auto refused = checkWritable(index, Kind::tasks, c->id, false)) return fail(*refused);
          const Reminder before = seenBefore.value_or(reminderOf(index, *c, *entry));
          name = index.nameOf(*c, *entry);
          auto current = index.fresh<ICalItem>(*c, name, parseItem);
          if (!current) return fail(current.error());
          auto& [item, identity] = current.value();
          item.changeReminder(before, wanted);
          if (c != &target) {
            if (auto failure = index.write(target, name, item, std::nullopt, warnings)) {
              return fail(*failure);
            }
            if (auto failure = index.remove(*c, name, warnings)) return fail(*failure);
          } else if (auto failure = index.write(*c, name, item, identity, warnings)) {
            return fail(*failure);
          }
        }
        auto saved = target.entries.find(name);
        if (saved == target.entries.end() || !saved->second.reminder) {
          return fail(reminderNotFound(index, wanted.id));
        }
        return reminderOf(index, target, saved->second);
      });
}

Result<Reminder, PimError> PimStore::removeReminder(std::string_view id) {
  return writing([&](PimIndex& index, PimWarnings& warnings) -> Result<Reminder, PimError> {
    auto [c, entry] = theItem(index, id, Kind::tasks);
    if (entry == nullptr) return fail(reminderNotFound(index, id));
    if (auto refused = checkWritable(index, Kind::tasks, c->id, false)) return fail(*refused);
    Reminder removed = reminderOf(index, *c, *entry);
    if (auto failure = index.remove(*c, index.nameOf(*c, *entry), warnings)) {
      return fail(*failure);
    }
    return removed;
  });
}

}  // namespace tvrn
