#include "platform/PdfText.h"

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>

#include <mutex>

namespace tvrn {
namespace {

void ignoreMessage(const std::string&, void*) {}

// Damaged files make the library print to standard error, which the server uses for its log.
void silenceLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { poppler::set_debug_error_function(ignoreMessage, nullptr); });
}

}  // namespace

PdfText::PdfText(std::unique_ptr<poppler::document> document) : document_(std::move(document)) {}
PdfText::~PdfText() = default;

std::unique_ptr<PdfText> PdfText::open(const std::filesystem::path& file) {
  silenceLibrary();
  std::unique_ptr<poppler::document> document(poppler::document::load_from_file(file.string()));
  if (!document) return nullptr;
  // An owner password alone does not stop reading; a user password does.
  if (document->is_locked() && document->unlock("", "")) return nullptr;
  return std::unique_ptr<PdfText>(new PdfText(std::move(document)));
}

int PdfText::pageCount() const { return document_->pages(); }

std::optional<std::string> PdfText::pageText(int index) const {
  std::unique_ptr<poppler::page> page(document_->create_page(index));
  if (!page) return std::nullopt;
  const poppler::byte_array utf8 = page->text().to_utf8();
  std::string text(utf8.begin(), utf8.end());
  // The library ends every page with a line feed and a form feed; callers join pages themselves.
  while (!text.empty() && (text.back() == '\f' || text.back() == '\n')) text.pop_back();
  return text;
}

}  // namespace tvrn
