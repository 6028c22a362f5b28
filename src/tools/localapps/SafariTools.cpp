#include "tools/localapps/SafariTools.h"

#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "core/Params.h"
#include "core/ToolResponse.h"
#include "core/ToolSchema.h"
#include "tools/localapps/SafariTexts.h"

namespace tvrn::SafariTools {
namespace {

using nlohmann::json;
using ToolSchema::property;
using ToolSchema::schema;

constexpr std::string_view kLineSeparator = "\xE2\x80\xA8";       // U+2028
constexpr std::string_view kParagraphSeparator = "\xE2\x80\xA9";  // U+2029

// A JavaScript string literal in single quotes. U+2028 and U+2029 are escaped too: older script
// engines end a line at them, which would cut the literal.
std::string literal(std::string_view value) {
  std::string out = "'";
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (value.substr(i, 3) == kLineSeparator) {
      out += "\\u2028";
      i += 2;
    } else if (value.substr(i, 3) == kParagraphSeparator) {
      out += "\\u2029";
      i += 2;
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c == '\'') {
      out += "\\'";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out + "'";
}

// Page code as a template literal that reproduces it exactly and substitutes nothing.
std::string templateLiteral(std::string_view pageCode) {
  std::string out = "`";
  for (const char c : pageCode) {
    if (c == '\\' || c == '`' || c == '$') out += '\\';
    out += c;
  }
  return out + "`";
}

std::string boolean(bool value) { return value ? "true" : "false"; }

constexpr const char* kHead = "var app = Application('Safari');\n";

constexpr const char* kLinksPageCode =
    "JSON.stringify(Array.prototype.slice.call(document.querySelectorAll('a[href]'), 0, 200)"
    ".map(function(a) { return { text: (a.innerText || '').trim().substring(0, 100), href: a.href "
    "}; }).filter(function(l) { return l.href && l.href.indexOf('javascript:') !== 0 && l.text; "
    "}))";

std::string readTabScript(const std::string& needle, std::int64_t windowIndex,
                          std::int64_t tabIndex, bool wantHtml, bool wantLinks,
                          std::int64_t maxBytes) {
  const std::string window = std::to_string(windowIndex);
  const std::string tab = std::to_string(tabIndex);
  std::string s = kHead;
  s += "var needle = " + literal(needle) + ";\n";
  s += "var wantHtml = " + boolean(wantHtml) + ";\n";
  s += "var wantLinks = " + boolean(wantLinks) + ";\n";
  s += "var maxBytes = " + std::to_string(maxBytes) + ";\n";
  s += "var target = null;\nvar found = null;\n";
  s += "function readOr(f, fallback) { try { var v = f(); return v ? String(v) : fallback; } "
       "catch (e) { return fallback; } }\n";
  s += "try {\n";
  s += "  var wins = app.windows();\n";
  s += "  if (needle.length > 0) {\n"
       "    var low = needle.toLowerCase();\n"
       "    for (var w = 0; w < wins.length && !target; w++) {\n"
       "      var tabs = wins[w].tabs();\n"
       "      for (var t = 0; t < tabs.length; t++) {\n"
       "        var u;\n"
       "        try { u = String(tabs[t].url() || ''); } catch (e) { continue; }\n"
       "        if (u.toLowerCase().indexOf(low) !== -1) { target = tabs[t]; found = u; break; }\n"
       "      }\n"
       "    }\n"
       "    if (!target) return { error: \"No open tab matches '\" + needle + \"'. Call "
       "safari_list_tabs to see what's open.\" };\n"
       "  } else {\n";
  s += "    var win = wins[" + window + "];\n";
  s += "    if (!win) return { error: 'window_index ' + " + window + " + ' out of range' };\n";
  s += "    if (" + tab + " >= 0) {\n";
  s += "      target = win.tabs()[" + tab + "];\n";
  s += "      if (!target) return { error: 'tab_index ' + " + tab +
       " + ' out of range in window ' + " + window + " };\n";
  s += "    } else {\n      target = win.currentTab();\n    }\n  }\n";
  s += "  var text;\n"
       "  try { text = String(target.text() || ''); } catch (e) { text = " +
       literal(SafariTexts::kTextUnavailable) + "; }\n";
  s += "  var truncated = false;\n"
       "  if (text.length > maxBytes) { text = text.substring(0, maxBytes); truncated = true; }\n"
       "  var result = { title: readOr(function() { return target.name(); }, ''),\n"
       "    url: readOr(function() { return target.url(); }, ''),\n"
       "    text: text, text_bytes: text.length, truncated: truncated };\n";
  s += "  if (wantHtml) {\n"
       "    var html = readOr(function() { return target.source(); }, '');\n"
       "    if (html.length > maxBytes) { html = html.substring(0, maxBytes); "
       "result.html_truncated = true; }\n"
       "    result.html = html;\n"
       "    result.html_bytes = html.length;\n"
       "  }\n";
  s += "  if (wantLinks) {\n"
       "    try {\n"
       "      var raw = app.doJavaScript(" +
       literal(kLinksPageCode) +
       ", { in: target });\n"
       "      var links = JSON.parse(raw || '[]');\n"
       "      result.links = links;\n"
       "      result.link_count = links.length;\n"
       "    } catch (e) {\n"
       "      result.links = [];\n"
       "      result.link_count = 0;\n"
       "      result.links_error = " +
       literal(SafariTexts::kLinksError) +
       ";\n"
       "    }\n"
       "  }\n";
  s += "  return result;\n"
       "} catch (e) {\n"
       "  return { error: 'Safari automation error: ' + e };\n"
       "}";
  return s;
}

std::string searchTabsScript(const std::string& query, std::int64_t maxTabs, std::int64_t context) {
  std::string s = kHead;
  s += "var needle = " + literal(query) + ".toLowerCase();\n";
  s += "var maxTabs = " + std::to_string(maxTabs) + ";\n";
  s += "var ctx = " + std::to_string(context) + ";\n";
  s += "var scanned = 0;\nvar hits = [];\n";
  s += "try {\n"
       "  var wins = app.windows();\n"
       "  for (var w = 0; w < wins.length && scanned < maxTabs; w++) {\n"
       "    var tabs = wins[w].tabs();\n"
       "    for (var t = 0; t < tabs.length && scanned < maxTabs; t++) {\n"
       "      scanned++;\n"
       "      var tab = tabs[t];\n"
       "      var url = '';\n"
       "      try { url = String(tab.url() || ''); } catch (e) {}\n"
       "      var title = '';\n"
       "      try { title = String(tab.name() || ''); } catch (e) {}\n"
       "      var text;\n"
       "      try { text = String(tab.text() || ''); } catch (e) { continue; }\n"
       "      var idx = text.toLowerCase().indexOf(needle);\n"
       "      if (idx === -1) continue;\n"
       "      var start = Math.max(0, idx - ctx);\n"
       "      var end = Math.min(text.length, idx + needle.length + ctx);\n"
       "      var snippet = (start > 0 ? '…' : '') + text.substring(start, end) + "
       "(end < text.length ? '…' : '');\n"
       "      hits.push({ window_index: w, tab_index: t, title: title, url: url, snippet: snippet "
       "});\n"
       "    }\n"
       "  }\n";
  s += "  return { hits: hits, scanned: scanned, query: " + literal(query) + " };\n";
  s += "} catch (e) {\n"
       "  return { error: 'Safari automation error: ' + e, hits: [], scanned: scanned };\n"
       "}";
  return s;
}

// Runs page code in the first window's current tab and reports its value, or why it could not.
std::string pageScriptWrapper(const std::string& pageCode) {
  std::string s = kHead;
  s += "try {\n"
       "  var win = app.windows()[0];\n"
       "  if (!win) return { error: " +
       literal(SafariTexts::kNoWindow) +
       " };\n"
       "  var tab = win.currentTab();\n"
       "  var value = app.doJavaScript(" +
       templateLiteral(pageCode) +
       ", { in: tab });\n"
       "  return { ok: true, result: value };\n"
       "} catch (e) {\n"
       "  var msg = String(e);\n"
       "  if (msg.indexOf('JavaScript through AppleEvents is not enabled') !== -1 || "
       "msg.indexOf('not allowed to send') !== -1 || msg.indexOf('not enabled') !== -1) {\n"
       "    return { error: " +
       literal(SafariTexts::kJavaScriptDisabled) +
       " };\n"
       "  }\n"
       "  return { error: 'Safari JS error: ' + msg };\n"
       "}";
  return s;
}

std::string clickPageCode(const std::string& selector, std::int64_t nth) {
  return "(function() {\n"
         "  var before = location.href;\n"
         "  var els = document.querySelectorAll(" +
         literal(selector) +
         ");\n"
         "  if (!els.length) return { clicked: false, reason: 'no match for selector' };\n"
         "  var el = els[" +
         std::to_string(nth) +
         "];\n"
         "  if (!el) return { clicked: false, reason: 'nth index out of range', matches: "
         "els.length };\n"
         "  el.click();\n"
         "  return { clicked: true, tag: el.tagName, text: (el.innerText || el.value || "
         "'').substring(0, 120), matches: els.length, url_before: before };\n"
         "})()";
}

std::string clickScript(const std::string& selector, std::int64_t nth, bool waitForNavigation) {
  const std::string wrapper = pageScriptWrapper(clickPageCode(selector, nth));
  if (!waitForNavigation) return wrapper;
  std::string s = kHead;
  s += "var tab = app.windows()[0].currentTab();\n";
  s += "var clicked = (function() {\n" + wrapper + "\n})();\n";
  s += "if (typeof clicked === 'string') { try { clicked = JSON.parse(clicked); } catch (e) {} }\n"
       "if (clicked && clicked.result != null && clicked.result.clicked !== true) return "
       "clicked;\n"
       "var before = (clicked && clicked.result && clicked.result.url_before) || '';\n"
       "var began = Date.now();\n"
       "while (Date.now() - began < 3000) {\n"
       "  delay(0.3);\n"
       "  try {\n"
       "    var state = app.doJavaScript('document.readyState', { in: tab });\n"
       "    var url = tab.url();\n"
       "    var waited = Date.now() - began;\n"
       "    if (state === 'complete' && (url !== before || waited > 500)) {\n"
       "      clicked.url_after = url;\n"
       "      clicked.navigated = url !== before;\n"
       "      clicked.wait_ms = waited;\n"
       "      return clicked;\n"
       "    }\n"
       "  } catch (e) {}\n"
       "}\n"
       "var last = '';\n"
       "try { last = tab.url(); } catch (e) {}\n"
       "clicked.url_after = last;\n"
       "clicked.navigated = last !== before;\n"
       "clicked.wait_ms = Date.now() - began;\n"
       "clicked.timed_out = true;\n"
       "return clicked;";
  return s;
}

std::string probePageCode(const std::string& selector, const std::string& textMatch) {
  return "(function() {\n"
         "  var sel = " +
         literal(selector) +
         ";\n"
         "  var needle = " +
         (textMatch.empty() ? std::string("null") : literal(textMatch)) +
         ";\n"
         "  var el = document.querySelector(sel);\n"
         "  if (!el) return { found: false };\n"
         "  var text = el.innerText || el.textContent || '';\n"
         "  if (needle !== null && text.indexOf(needle) === -1) return { found: false, reason: "
         "'text_mismatch', saw: text.substring(0, 80) };\n"
         "  return { found: true, tag: el.tagName, text: text.substring(0, 120) };\n"
         "})()";
}

std::string waitForScript(const std::string& selector, const std::string& textMatch,
                          std::int64_t timeoutMs) {
  const std::string wait = std::to_string(timeoutMs);
  std::string s = kHead;
  s += "var deadline = Date.now() + " + wait + ";\n";
  s += "var last = null;\n";
  s += "while (Date.now() < deadline) {\n";
  s += "  last = (function() {\n" + pageScriptWrapper(probePageCode(selector, textMatch)) +
       "\n  })();\n";
  s += "  if (last && last.ok === true && last.result && last.result.found === true) {\n"
       "    return { waited_ms: " +
       wait +
       " - (deadline - Date.now()), element: last.result };\n"
       "  }\n"
       "  if (last && last.error) return last;\n"
       "  delay(0.25);\n"
       "}\n";
  s += "return { error: 'Timed out waiting for selector after ' + " + wait +
       " + 'ms', last_probe: last };";
  return s;
}

ToolResult runScript(JXARunning& runner, const std::string& script) {
  ToolResult result = runner.runAsJSONValue(script);
  if (!result.ok()) return result;
  return ToolResponse::json(result.value());
}

ToolHandler safariReadTab(JXARunning& jxa) {
  return [&jxa](const Params::Arguments& arguments) {
    const std::int64_t maxBytes = std::clamp<std::int64_t>(
        Params::optionalInt("max_bytes", arguments, 102400), 1024, 1048576);
    return runScript(
        jxa, readTabScript(Params::optional("url_match", arguments, ""),
                           Params::optionalInt("window_index", arguments, 0),
                           Params::optionalInt("tab_index", arguments, -1),
                           Params::optionalBool("include_html", arguments, false),
                           Params::optionalBool("include_links", arguments, false), maxBytes));
  };
}

ToolHandler safariSearchTabs(JXARunning& jxa) {
  return [&jxa](const Params::Arguments& arguments) {
    return Params::withRequired("query", arguments, [&](const std::string& query) {
      const std::int64_t maxTabs =
          std::min<std::int64_t>(Params::optionalInt("max_tabs", arguments, 30), 100);
      const std::int64_t context =
          std::clamp<std::int64_t>(Params::optionalInt("context", arguments, 120), 20, 500);
      return runScript(jxa, searchTabsScript(query, maxTabs, context));
    });
  };
}

ToolHandler safariClick(JXARunning& jxa) {
  return [&jxa](const Params::Arguments& arguments) {
    return Params::withRequired("selector", arguments, [&](const std::string& selector) {
      return runScript(jxa,
                       clickScript(selector, Params::optionalInt("nth", arguments, 0),
                                   Params::optionalBool("wait_for_navigation", arguments, false)));
    });
  };
}

ToolHandler safariWaitFor(JXARunning& jxa) {
  return [&jxa](const Params::Arguments& arguments) {
    return Params::withRequired("selector", arguments, [&](const std::string& selector) {
      const std::int64_t timeoutMs =
          std::clamp<std::int64_t>(Params::optionalInt("timeout_ms", arguments, 10000), 500, 30000);
      return runScript(
          jxa, waitForScript(selector, Params::optional("text_match", arguments, ""), timeoutMs));
    });
  };
}

}  // namespace

void registerTools(ToolRegistry& registry, JXARunning& jxa, JXARunning& slowJxa) {
  ToolRegistry::ServiceScope scope(registry, "safari");
  using namespace SafariTexts;
  registry.registerTool({"safari_read_tab", kReadTab,
                         schema({{"url_match", property("string", kUrlMatchHelp)},
                                 {"window_index", property("integer", kWindowIndexHelp)},
                                 {"tab_index", property("integer", kTabIndexHelp)},
                                 {"include_html", property("boolean", kIncludeHtmlHelp)},
                                 {"include_links", property("boolean", kIncludeLinksHelp)},
                                 {"max_bytes", property("integer", kMaxBytesHelp)}},
                                json::array()),
                         ToolKind::readOnly, safariReadTab(slowJxa)});
  registry.registerTool({"safari_search_tabs", kSearchTabs,
                         schema({{"query", property("string", kQueryHelp)},
                                 {"max_tabs", property("integer", kMaxTabsHelp)},
                                 {"context", property("integer", kContextHelp)}},
                                {"query"}),
                         ToolKind::readOnly, safariSearchTabs(slowJxa)});
  registry.registerTool(
      {"safari_click", kClick,
       schema({{"selector", property("string", kSelectorHelp)},
               {"nth", property("integer", kNthHelp)},
               {"wait_for_navigation", property("boolean", kWaitForNavigationHelp)}},
              {"selector"}),
       ToolKind::write, safariClick(jxa)});
  registry.registerTool({"safari_wait_for", kWaitFor,
                         schema({{"selector", property("string", kWaitSelectorHelp)},
                                 {"text_match", property("string", kTextMatchHelp)},
                                 {"timeout_ms", property("integer", kTimeoutHelp)}},
                                {"selector"}),
                         ToolKind::readOnly, safariWaitFor(slowJxa)});
}

}  // namespace tvrn::SafariTools
