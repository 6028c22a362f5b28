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

// A card as its file holds it now, with the file's text to write it back into.
struct HeldCard {
  std::string text;
  VCard::Card card;
  bool alone = true;  // the only card of its file
};

// The card an item names, read again from its file; the file no longer holding it in its place
// means another program changed it meanwhile.
Result<std::pair<HeldCard, std::optional<Identity>>, PimError> heldCard(const PimIndex& index,
                                                                        const Collection& c,
                                                                        const Entry& entry) {
  return index.fresh<HeldCard>(
      c, index.nameOf(c, entry),
      [&](const fs::path&, const std::string& text, std::string*) -> std::optional<HeldCard> {
        auto cards = VCard::parseAll(text);
        if (entry.card >= cards.size() || cards[entry.card].text("UID") != entry.uid) {
          return std::nullopt;
        }
        return HeldCard{text, std::move(cards[entry.card]), cards.size() == 1};
      });
}

// The contact or group as the index now holds it, once its file was written.
const Entry* savedCard(const Collection& c, const std::string& name, size_t card) {
  auto saved = c.entries.find(name);
  return saved == c.entries.end() ? nullptr : cardIn(saved->second, card);
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
    VCard::Card card = VCard::encodeGroup(written);
    std::optional<PimError> failure;
    if (entry == nullptr) {
      failure = index.write(*target, fileNameFor(wanted.id, ".vcf"), VCard::serialize(card),
                            std::nullopt, warnings);
    } else {
      // Written in the old card's place, with its line ends: the file's other cards stay.
      auto current = heldCard(index, *c, *entry);
      if (!current) return fail(current.error());
      const auto& [held, identity] = current.value();
      card.opening = held.card.opening;
      card.closing = held.card.closing;
      card.from = held.card.from;
      card.to = held.card.to;
      failure = index.write(*c, index.nameOf(*c, *entry), VCard::replaced(held.text, card),
                            identity, warnings);
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
        size_t position = 0;
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
          position = entry->card;
          auto current = heldCard(index, *c, *entry);
          if (!current) return fail(current.error());
          auto& [held, identity] = current.value();
          VCard::applyChanges(held.card, before, wanted);
          // Only the changed card is written again; the file's other cards keep every byte.
          const std::string text = VCard::replaced(held.text, held.card);
          if (c != target && !held.alone) {
            return fail(notSaved((c->folder / name).string() +
                                 " holds other cards too: one of them cannot be moved to another "
                                 "address book on its own"));
          }
          if (c != target) {
            if (auto failure = index.write(*target, name, text, std::nullopt, warnings)) {
              return fail(*failure);
            }
            if (auto failure = index.remove(*c, name, warnings)) return fail(*failure);
          } else if (auto failure = index.write(*c, name, text, identity, warnings)) {
            return fail(*failure);
          }
        }
        const Entry* saved = savedCard(*target, name, position);
        if (saved == nullptr)
          return fail(problem(PimError::Code::notFound, "The contact is gone."));
        return contactOf(index, *target, *saved);
      });
}

}  // namespace tvrn
