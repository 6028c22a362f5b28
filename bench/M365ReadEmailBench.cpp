// m365_read_email's cleaning of a 5 MiB HTML body: removing the tags and trimming the text.
#include <benchmark/benchmark.h>

#include <string>

#include "tools/m365/M365Mail.h"

namespace tvrn {
namespace {

std::string largeHtmlBody() {
  std::string html = "<html><head><style>p { margin: 0 }</style></head><body>\r\n";
  for (int i = 0; html.size() < 5 * 1024 * 1024; ++i) {
    html += "<p class=\"MsoNormal\"><span style=\"font-size:11pt\">Line " + std::to_string(i) +
            " of the quarterly figures &amp; their notes, 3 < 4 and 5 > 2</span></p>\r\n";
  }
  return html + "</body></html>\r\n";
}

void BM_M365ReadEmailCleanFiveMiB(benchmark::State& state) {
  const std::string html = largeHtmlBody();
  for (auto _ : state) {
    std::string text = M365Tools::plainBodyText(html);
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * html.size()));
}
BENCHMARK(BM_M365ReadEmailCleanFiveMiB)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tvrn
