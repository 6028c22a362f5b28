// The fixed texts of the Safari tab tools: descriptions, argument help and the messages the
// generated scripts return.
#pragma once

namespace tvrn::SafariTexts {

inline constexpr const char* kReadTab =
    "Reads the rendered text content of a Safari tab. Identify the tab either by `url_match` "
    "(substring match against URL; first hit wins) or by `window_index` + `tab_index` (from "
    "safari_list_tabs). Text is capped at `max_bytes` (default 100 KB). Pass `include_html: true` "
    "to also get the raw HTML source. Pass `include_links: true` to extract all links with their "
    "href and text (useful for following navigation in SPAs like dashboards).";
inline constexpr const char* kSearchTabs =
    "Searches the rendered text of every open Safari tab for a substring. Returns each matching "
    "tab with the surrounding snippet. Useful for 'do I have a tab open with X?' questions across "
    "dozens of tabs.";
inline constexpr const char* kClick =
    "Clicks the first element matching a CSS selector in the current Safari tab. Returns the tag "
    "name and visible text of the clicked element so you can confirm the right thing was hit. "
    "Pass `wait_for_navigation: true` to wait up to 3 seconds for the page to load after the "
    "click (useful when clicking links or buttons that trigger navigation).";
inline constexpr const char* kWaitFor =
    "Polls the current Safari tab until a CSS selector appears (or its text matches, if "
    "`text_match` is provided). Useful after safari_click to wait for the next page or a modal "
    "to render.";

inline constexpr const char* kUrlMatchHelp =
    "Substring to match against the tab URL. Takes precedence over indices.";
inline constexpr const char* kWindowIndexHelp = "Window index from safari_list_tabs (default 0)";
inline constexpr const char* kTabIndexHelp =
    "Tab index from safari_list_tabs (default current tab of that window)";
inline constexpr const char* kIncludeHtmlHelp = "Also return the HTML source (default false)";
inline constexpr const char* kIncludeLinksHelp =
    "Extract all links with href + visible text (default false). Great for navigating SPAs.";
inline constexpr const char* kMaxBytesHelp =
    "Max bytes of text (and html) to return (default 102400)";
inline constexpr const char* kQueryHelp = "Substring to search for (case-insensitive)";
inline constexpr const char* kMaxTabsHelp = "Max tabs to scan (default 30). Higher = slower.";
inline constexpr const char* kContextHelp = "Characters of context around each match (default 120)";
inline constexpr const char* kSelectorHelp =
    "CSS selector (e.g. 'button.primary', '#save', '[data-testid=login]')";
inline constexpr const char* kNthHelp =
    "Which match to click if there are several (0-based, default 0)";
inline constexpr const char* kWaitForNavigationHelp =
    "Wait up to 3s for page load after click (default false)";
inline constexpr const char* kWaitSelectorHelp = "CSS selector to wait for";
inline constexpr const char* kTextMatchHelp =
    "Optional substring that must appear inside the matched element";
inline constexpr const char* kTimeoutHelp = "Max time to wait (default 10000 = 10s, max 30000)";

inline constexpr const char* kTextUnavailable =
    "(text unavailable — page may still be loading or cross-origin restricted)";
inline constexpr const char* kLinksError =
    "Could not extract links — JavaScript from Apple Events may not be enabled. Run "
    "safari_setup_check for instructions.";
inline constexpr const char* kNoWindow = "No Safari window is open. Open a tab first, then retry.";
inline constexpr const char* kJavaScriptDisabled =
    "Safari won't run JavaScript from automation. Open Safari → Develop menu → enable 'Allow "
    "JavaScript from Apple Events'. If the Develop menu is hidden: Safari → Settings → Advanced → "
    "turn on 'Show Develop menu in menu bar'. This is a one-time setup and persists across "
    "restarts.";

}  // namespace tvrn::SafariTexts
