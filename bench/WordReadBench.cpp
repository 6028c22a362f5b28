// word_read of a .docx whose document.xml is about 10 MB: unpacking the member and turning its
// markup into text.
#include <benchmark/benchmark.h>

#include <string>

#include "PrivateHome.h"
#include "core/ToolRegistry.h"
#include "platform/ZipArchive.h"
#include "tools/office/OfficeTools.h"

namespace tvrn {
namespace {

std::string largeDocument() {
  const auto file = bench::privateHome.path / "large.docx";
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<w:document "
      "xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\"><w:body>";
  for (int i = 0; xml.size() < 10'000'000; ++i) {
    xml +=
        "<w:p><w:pPr><w:pStyle w:val=\"Normal\"/></w:pPr><w:r><w:rPr><w:b/></w:rPr>"
        "<w:t xml:space=\"preserve\">Paragraph " +
        std::to_string(i) +
        " of a long report &amp; its figures</w:t></w:r><w:r><w:br/><w:t>more text</w:t>"
        "</w:r></w:p>";
  }
  xml += "<w:sectPr/></w:body></w:document>";
  bench::require(ZipArchive::create(file, {{"word/document.xml", xml}}).ok(),
                 "writing the document");
  return file.string();
}

void BM_WordReadTenMegabytes(benchmark::State& state) {
  const std::string path = largeDocument();
  ToolRegistry registry;
  OfficeTools::registerTools(registry);
  const auto tool = registry.tool("word_read");
  const auto arguments = JSONValue::fromRaw({{"path", path}});
  for (auto _ : state) {
    auto result = tool->handler(arguments);
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_WordReadTenMegabytes)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tvrn
