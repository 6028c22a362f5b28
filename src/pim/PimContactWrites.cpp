#include "pim/PimAccess.h"
#include "pim/PimCodec.h"
#include "platform/FileStore.h"
#include "platform/HardwareId.h"

namespace tvrn {

using namespace pimstore;
using namespace PimCodec;

namespace {

// The address book a card goes into (the default one when none is given), giving a new card its
// UID.
Result<Collection*, PimError> placeCard(PimIndex& index, std::string& containerId,
                                        std::string& id) {
  if (containerId.empty()) containerId = defaultContainerIn(index);
  Collection* target = index.collection(containerId, Kind::contacts);
  if (target == nullptr) {
    return fail(problem(PimError::Code::notFound, "The container does not exist."));
  }
  if (id.empty()) id = HardwareId::randomUUID();
  return target;
}

}  // namespace

Result<ContactContainer, PimError> PimStore::saveContainer(const ContactContainer& container) {
  return writing([&](PimIndex& index, PimWarnings& warnings) {
    auto saved =
        saveCollection(index, container.id, container.name, std::nullopt, Kind::contacts, warnings);
    if (!saved) return Result<ContactContainer, PimError>(fail(saved.error()));
    const Collection& c = *saved.value();
    return Result<ContactContainer, PimError>(
        ContactContainer{c.id, c.title, ContainerType::local});
  });
}

Result<ContactContainer, PimError> PimStore::setDefaultContainer(std::string_view id) {
  return writing([&](PimIndex& index, PimWarnings&) -> Result<ContactContainer, PimError> {
    const Collection* c = index.collection(id, Kind::contacts);
    if (c == nullptr) {
      return fail(problem(PimError::Code::notFound, "The container does not exist."));
    }
    if (!index.setDefault("contacts", c->id)) {
      return fail(notSaved("cannot write " + index.defaultsFile().string()));
    }
    return ContactContainer{c->id, c->title, ContainerType::local};
  });
}

Result<ContactGroup, PimError> PimStore::saveGroup(const ContactGroup& group) {
  return writing([&](PimIndex& index, PimWarnings& warnings) -> Result<ContactGroup, PimError> {
    ContactGroup wanted = group;
    auto book = placeCard(index, wanted.containerId, wanted.id);
    if (!book) return fail(book.error());
    Collection* target = book.value();
    if (auto several = index.items(wanted.id, Kind::contacts); several.size() > 1) {
      return fail(contactNotFound(index, wanted.id));
    }
    auto [c, entry] = theItem(index, wanted.id, Kind::contacts);
    if (entry != nullptr && !entry->decoded->isGroup) {
      return fail(problem(PimError::Code::invalid, "The identifier is already in use."));
    }
    ContactGroup written = wanted;
    if (entry != nullptr) written.id = entry->uid;  // the card keeps its own UID
    const VCard::Card card = VCard::encodeGroup(written);
    std::optional<PimError> failure;
    if (entry == nullptr) {
      failure = index.write(*target, fileNameFor(wanted.id, ".vcf"), VCard::serialize(card),
                            std::nullopt, warnings);
    } else {
      const std::string name = index.nameOf(*c, *entry);
      failure = index.write(*c, name, VCard::serialize(card), entry->identity, warnings);
    }
    if (failure) return fail(*failure);
    return wanted;
  });
}

Result<Contact, PimError> PimStore::saveContact(const Contact& contact) {
  const auto seen = [&](const PimIndex& index) -> std::optional<Contact> {
    auto [c, entry] = theItem(index, contact.id, Kind::contacts);
    if (contact.id.empty() || entry == nullptr || entry->decoded->isGroup) return std::nullopt;
    return contactOf(index, *c, *entry);
  };
  return changing(
      seen,
      [&](PimIndex& index, PimWarnings& warnings,
          std::optional<Contact> seenBefore) -> Result<Contact, PimError> {
        Contact wanted = contact;
        if (wanted.birthday && (!validComponents(*wanted.birthday) || !wanted.birthday->month ||
                                !wanted.birthday->day)) {
          return fail(problem(PimError::Code::invalid, "The birthday is not valid."));
        }
        auto book = placeCard(index, wanted.containerId, wanted.id);
        if (!book) return fail(book.error());
        Collection* target = book.value();
        // An identifier that fits several cards changes none of them, nor makes one more.
        if (auto several = index.items(wanted.id, Kind::contacts); several.size() > 1) {
          return fail(contactNotFound(index, wanted.id));
        }
        auto [c, entry] = theItem(index, wanted.id, Kind::contacts);
        std::string name = fileNameFor(wanted.id, ".vcf");
        if (entry == nullptr) {
          if (auto failure = index.write(*target, name, VCard::serialize(VCard::encode(wanted)),
                                         std::nullopt, warnings)) {
            return fail(*failure);
          }
        } else {
          if (entry->decoded->isGroup) {
            return fail(problem(PimError::Code::invalid, "The identifier is already in use."));
          }
          const Contact before = seenBefore.value_or(contactOf(index, *c, *entry));
          name = index.nameOf(*c, *entry);
          auto current = index.fresh<VCard::Card>(
              *c, name, [](const std::string& text, std::string*) { return VCard::parse(text); });
          if (!current) return fail(current.error());
          auto& [card, identity] = current.value();
          VCard::applyChanges(card, before, wanted);
          if (c != target) {
            if (auto failure =
                    index.write(*target, name, VCard::serialize(card), std::nullopt, warnings)) {
              return fail(*failure);
            }
            if (auto failure = index.remove(*c, name, warnings)) return fail(*failure);
          } else if (auto failure =
                         index.write(*c, name, VCard::serialize(card), identity, warnings)) {
            return fail(*failure);
          }
        }
        auto saved = target->entries.find(name);
        if (saved == target->entries.end() || !saved->second.decoded)
          return fail(problem(PimError::Code::notFound, "The contact is gone."));
        return contactOf(index, *target, saved->second);
      });
}

}  // namespace tvrn
