// A stand-in for the desktop's browser, started as "fake-browser <address>": it loads the
// address and follows redirects, as a browser would once the user has signed in. The sign-in
// page it loads first is a test's stand-in server, which cannot know the random state of the
// request: so "{redirect_uri}" and "{state}" in a redirect's Location are replaced by those query
// items of the first address. cpp-httplib's client hands the Location over percent-decoded once,
// so a stand-in that means "%26" in it writes "%2526".
//
// FAKE_BROWSER_OUT: a file that receives the body of the last page loaded, once the browser is
// done.
#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

// The query items of an address, decoded.
httplib::Params queryItems(const std::string& url) {
  httplib::Params items;
  if (const auto question = url.find('?'); question != std::string::npos) {
    httplib::detail::parse_query_text(url.substr(question + 1), items);
  }
  return items;
}

void replace(std::string& text, const std::string& from, const std::string& to) {
  if (auto at = text.find(from); at != std::string::npos) text.replace(at, from.size(), to);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 64;
  const std::string first = argv[1];
  const auto items = queryItems(first);
  std::string url = first;
  std::string page;
  for (int hop = 0; hop < 5; ++hop) {
    const auto pathStart = url.find('/', url.find("://") + 3);
    httplib::Client client(url.substr(0, pathStart));
    client.set_url_encode(false);  // the addresses are encoded already
    auto answer = client.Get(pathStart == std::string::npos ? "/" : url.substr(pathStart));
    if (!answer) return 1;
    page = answer->body;
    if (answer->status < 300 || answer->status >= 400 || !answer->has_header("Location")) break;
    url = answer->get_header_value("Location");
    for (const char* name : {"redirect_uri", "state"}) {
      const auto found = items.find(name);
      replace(url, "{" + std::string(name) + "}", found == items.end() ? "" : found->second);
    }
  }
  // Whole or not at all: a test waits for the file to appear.
  if (const char* out = std::getenv("FAKE_BROWSER_OUT")) {
    const std::string part = std::string(out) + ".part";
    std::ofstream(part) << page;
    std::rename(part.c_str(), out);
  }
  return 0;
}
