// Small PDF files for tests: each page shows its lines of text in a standard font, in small type
// so that a page can hold many; a page with no lines has no text at all.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace tvrn::test {

using PdfPage = std::vector<std::string>;

inline std::string makePdf(const std::vector<PdfPage>& pages) {
  std::string kids;
  for (std::size_t i = 0; i < pages.size(); ++i) kids += std::to_string(4 + 2 * i) + " 0 R ";
  std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>",
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"};
  for (std::size_t i = 0; i < pages.size(); ++i) {
    std::string stream;
    for (const auto& line : pages[i]) {
      std::string escaped;
      for (const char c : line)
        escaped +=
            (c == '(' || c == ')' || c == '\\') ? "\\" + std::string(1, c) : std::string(1, c);
      stream += "(" + escaped + ") Tj T*\n";
    }
    if (!stream.empty()) stream = "BT /F1 3 Tf 3.6 TL 20 780 Td\n" + stream + "ET\n";
    objects.push_back(
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << "
        "/F1 3 0 R >> >> /Contents " +
        std::to_string(5 + 2 * i) + " 0 R >>");
    objects.push_back("<< /Length " + std::to_string(stream.size()) + " >>\nstream\n" + stream +
                      "endstream");
  }
  std::string pdf = "%PDF-1.4\n";
  std::string xref = "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (std::size_t i = 0; i < objects.size(); ++i) {
    char entry[32];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", pdf.size());
    xref += entry;
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::size_t xrefOffset = pdf.size();
  return pdf + xref + "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xrefOffset) + "\n%%EOF\n";
}

}  // namespace tvrn::test
