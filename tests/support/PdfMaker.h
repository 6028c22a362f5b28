// Small PDF files for tests: each page shows its lines of text in a standard font, so a PDF
// reader finds them again; a page with no lines has no text at all.
#pragma once

#include <string>
#include <vector>

namespace tvrn::test {

using PdfPage = std::vector<std::string>;

// The bytes of a PDF with these pages, in order.
std::string makePdf(const std::vector<PdfPage>& pages);

}  // namespace tvrn::test
