#include "support/PdfMaker.h"

#include <cstdio>

namespace tvrn::test {
namespace {

std::string pdfString(const std::string& text) {
  std::string out = "(";
  for (const char c : text) {
    if (c == '(' || c == ')' || c == '\\') out += '\\';
    out += c;
  }
  return out + ")";
}

// Lines top-down in small type, so that a page can hold many of them.
std::string contentStream(const PdfPage& lines) {
  std::string stream;
  if (lines.empty()) return stream;
  stream = "BT /F1 3 Tf 3.6 TL 20 780 Td\n";
  for (const auto& line : lines) stream += pdfString(line) + " Tj T*\n";
  return stream + "ET\n";
}

}  // namespace

std::string makePdf(const std::vector<PdfPage>& pages) {
  std::vector<std::string> objects;
  std::string kids;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    const std::size_t pageObject = 4 + 2 * i;
    kids += std::to_string(pageObject) + " 0 R ";
  }
  objects.push_back("<< /Type /Catalog /Pages 2 0 R >>");
  objects.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) +
                    " >>");
  objects.push_back("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
  for (std::size_t i = 0; i < pages.size(); ++i) {
    const std::size_t contents = 5 + 2 * i;
    objects.push_back(
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 3 0 R "
        ">> >> /Contents " +
        std::to_string(contents) + " 0 R >>");
    const std::string stream = contentStream(pages[i]);
    objects.push_back("<< /Length " + std::to_string(stream.size()) + " >>\nstream\n" + stream +
                      "endstream");
  }

  std::string pdf = "%PDF-1.4\n";
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (const std::size_t offset : offsets) {
    char entry[32];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
    pdf += entry;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return pdf;
}

}  // namespace tvrn::test
