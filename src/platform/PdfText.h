// The text of a PDF document, page by page, for readers that only need plain text. The PDF
// library's own warnings are kept off standard error.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace poppler {
class document;
}

namespace tvrn {

class RegularFile;

class PdfText {
 public:
  // Nothing when the file cannot be opened as a PDF (missing, not a regular file, over
  // RegularFile's cap, damaged, not a PDF, or locked by a password).
  static std::unique_ptr<PdfText> open(const std::filesystem::path& file);
  // The same of a file the caller holds open.
  static std::unique_ptr<PdfText> open(const RegularFile& file);
  ~PdfText();
  PdfText(const PdfText&) = delete;
  PdfText& operator=(const PdfText&) = delete;

  int pageCount() const;
  // The page's text as UTF-8, without a page break at its end; nothing when the page cannot be
  // read.
  std::optional<std::string> pageText(int index) const;

 private:
  explicit PdfText(std::string bytes);
  std::string bytes_;  // the file, which the document reads from: declared first, freed last
  std::unique_ptr<poppler::document> document_;
};

}  // namespace tvrn
