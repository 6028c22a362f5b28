#include "platform/PdfText.h"

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>

#include <limits>
#include <mutex>

#include "platform/RegularFile.h"

namespace tvrn {
namespace {

void ignoreMessage(const std::string&, void*) {}

// Damaged files make the library print to standard error, which the server uses for its log.
void silenceLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { poppler::set_debug_error_function(ignoreMessage, nullptr); });
}

}  // namespace

PdfText::PdfText(std::string bytes) : bytes_(std::move(bytes)) {}
PdfText::~PdfText() = default;

std::unique_ptr<PdfText> PdfText::open(const std::filesystem::path& file) {
  auto opened = RegularFile::open(file);
  if (!opened) return nullptr;
  return open(opened.value());
}

std::unique_ptr<PdfText> PdfText::open(const RegularFile& file) {
  silenceLibrary();
  // Read by us, not by the library, so that a pipe or a device in the file's place cannot hold
  // the caller and no more than the cap is ever taken in.
  auto bytes = file.readAll();
  if (!bytes || bytes.value().size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    return nullptr;
  }
  std::unique_ptr<PdfText> pdf(new PdfText(std::move(bytes).value()));
  pdf->document_.reset(poppler::document::load_from_raw_data(pdf->bytes_.data(),
                                                             static_cast<int>(pdf->bytes_.size())));
  if (!pdf->document_) return nullptr;
  // An owner password alone does not stop reading; a user password does.
  if (pdf->document_->is_locked() && pdf->document_->unlock("", "")) return nullptr;
  return pdf;
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
